#include "Simulation.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>

#include <BoardScript.h>
#include <CpuFrequencyRecord.h>

namespace sim {

namespace {
// The host image that carries the board script engine for script steps.
constexpr const char *kScriptImage = "BoardScript";
constexpr UINT64 kScriptTerminator = 0xFFFFFFFFFFFFFFFFull;
constexpr size_t kScriptLongestEntryWords = 12;
}  // namespace

namespace {
// The SMM driver: entered in SMM, and the image whose handlers Sx and
// power-button steps dispatch.
constexpr const char *kSmmImage = "SioPowerSmm";

bool IsSmmImage(const std::string &Name) { return Name == kSmmImage; }

// The memory log at the start of the RAM block, when it carries its signature.
Json MemoryLogJson(const Board &B) {
  constexpr uint32_t kSignature = 0x4D454D44;  // "DMEM"
  constexpr size_t kUsedBytesOffset = 8;
  constexpr size_t kDataOffset = 0x10;
  constexpr size_t kShownBytes = 64;
  const uint8_t *Log = B.RamBlock();
  uint32_t Signature = 0, UsedBytes = 0;
  std::memcpy(&Signature, Log, sizeof Signature);
  std::memcpy(&UsedBytes, Log + kUsedBytesOffset, sizeof UsedBytes);
  if (Signature != kSignature) {
    return nullptr;
  }
  return Json{{"signature", Hex(Signature)},
              {"used_bytes", Hex(UsedBytes)},
              {"data", HexBytes(Log + kDataOffset, kShownBytes)}};
}
}  // namespace

Simulation::Simulation(Scenario S, Trace &T, EngineChoice E) : Scenario_(std::move(S)), Trace_(T) {
  Board_ = std::make_unique<Board>(Scenario_, Trace_);
  if (E.Dir.empty()) {
    E.Dir = E.Kind == EngineKind::Host ? DefaultImageDir() : DefaultFirmwareDir();
  }
  Engine_ = Engine::Make(E.Kind, *Board_, std::move(E.Dir), std::move(E.Paths));
  Engine_->SetInstructionBudget(Scenario_.InstructionBudget);
  Board_->SetFaultHandler([this](const std::string &What) { Engine_->Refuse(What); });
  Trace_.SetOrigin([this] { return Engine_->Origin(); });
  Trace_.SetImage(std::nullopt);
  NewFirmware();
}

void Simulation::NewFirmware() {
  Firmware_ = std::make_unique<Firmware>(Scenario_, *Board_, Trace_, Persistent_);
  Engine_->Attach(*Firmware_);
  Firmware_->SetSmmCodeSegment(SmmCodeSegment_);
}

Simulation::~Simulation() {
  Firmware_.reset();
  Images_.clear();
  Trace_.SetOrigin({});
}

bool Simulation::Supports(const Step &S, std::string *Why) const {
  auto Refuse = [&](std::string Reason) {
    if (Why != nullptr) *Why = std::move(Reason);
    return false;
  };
  switch (S.StepKind) {
    case Step::Kind::Image:
      if (!Engine_->Exists(S.Image)) {
        return Refuse("driver " + S.Image + " is not built yet (no " + Engine_->PathOf(S.Image) + ")");
      }
      return true;
    case Step::Kind::Reset:
      return true;
    case Step::Kind::Sx:
    case Step::Kind::PowerButton:
      if (!Engine_->Exists(kSmmImage)) {
        return Refuse("SMI dispatch needs the SMM driver, which is not built (no " + Engine_->PathOf(kSmmImage) + ")");
      }
      return true;
    case Step::Kind::Script:
      if (!Engine_->Exists(kScriptImage)) {
        return Refuse("the board script engine is not built (no " + Engine_->PathOf(kScriptImage) + ")");
      }
      return true;
  }
  return Refuse("unknown step");
}

void Simulation::RunImage(const Step &S) {
  std::string Error;
  auto Image = Engine_->Load(S.Image, Error);
  if (Image == nullptr) {
    Trace_.Emit("fault", {{"what", Error}});
    Trace_.Emit("step", {{"step", S.Name()}, {"status", nullptr}});
    return;
  }
  EFI_HANDLE Handle = Firmware_->NewImageHandle();
  EFI_SYSTEM_TABLE *SystemTable = Firmware_->SystemTable();
  uint64_t Status = EFI_SUCCESS;
  Trace_.SetImage(S.Image);
  // The SMM core enters an SMM driver in SMM, with the UEFI system table.
  const bool Smm = IsSmmImage(S.Image);
  if (Smm) {
    Firmware_->EnterSmm();
  }
  GuardResult Result = Engine_->CallGuarded(
      Image->Entry, {reinterpret_cast<uint64_t>(Handle), reinterpret_cast<uint64_t>(SystemTable)}, Status);
  if (Smm) {
    Firmware_->LeaveSmm();
  }
  if (Result.Faulted) {
    Trace_.Emit("fault", {{"what", Result.What}});
  } else if (EFI_ERROR(Status)) {
    // The DXE and SMM cores free an image whose entry failed; whatever it
    // left registered now points into freed memory.
    Image->Unload();
    Trace_.Emit("unload", {{"status", Hex(Status)}});
  }
  Trace_.SetImage(std::nullopt);
  // A resident image stays while anything the firmware holds points into
  // it; one that left nothing behind is let go, so a long run's memory does
  // not grow with its steps.
  if (Result.Faulted || Image->Unloaded || FirmwareHoldsInto(*Image)) {
    Images_.push_back(std::move(Image));
  }
  Trace_.Emit("step", {{"step", S.Name()}, {"status", Result.Faulted ? Json(nullptr) : Json(Hex(Status))}});
}

namespace {
// Field names by record kind, for telling a board engineer which word of an
// entry did not fit: the compile keeps only a field's low bytes, by design.
const char *const kMemIoFields[] = {"Type", "Op", "Address", "AndMask", "OrValue", "CompareValue",
                                   "Reserved0", "Reserved1", "Reserved2"};
const char *const kIndexFields[] = {"Type", "Op", "IndexAddress", "DataAddress", "IndexValue", "AndMask",
                                   "OrValue", "CompareValue", "Reserved0", "Reserved1", "Reserved2"};
const char *const kMsrFields[] = {"Type", "Op", "MsrIndex", "AndMask", "OrValue", "CompareValue",
                                 "Reserved0", "Reserved1", "Reserved2"};
const char *const kSmbusFields[] = {"Type", "Op", "SlaveAddress", "Command", "AndMask", "OrValue",
                                   "CompareValue", "Reserved0", "Reserved1", "Reserved2"};
const char *const kPciFields[] = {"Type", "Op", "Bus", "Device", "Function", "Register",
                                 "AndMask", "OrValue", "CompareValue", "Reserved0", "Reserved1", "Reserved2"};
const char *const kStallFields[] = {"Type", "Op", "Unit", "Count", "Reserved0", "Reserved1", "Reserved2"};

const char *FieldName(UINT8 Kind, UINT32 Word) {
  switch (Kind) {
    case SCRIPT_CLASS_MEM | SCRIPT_MODE_SINGLE:
    case SCRIPT_CLASS_IO | SCRIPT_MODE_SINGLE:
      return kMemIoFields[Word];
    case SCRIPT_CLASS_MEM | SCRIPT_MODE_INDEXED:
    case SCRIPT_CLASS_IO | SCRIPT_MODE_INDEXED:
      return kIndexFields[Word];
    case SCRIPT_CLASS_MSR:
      return kMsrFields[Word];
    case SCRIPT_CLASS_SMBUS | SCRIPT_MODE_SINGLE:
      return kSmbusFields[Word];
    case SCRIPT_CLASS_PCI | SCRIPT_MODE_SINGLE:
      return kPciFields[Word];
    default:
      return kStallFields[Word];
  }
}
}  // namespace

// Walks the table as the compiler will and warns of every word wider than
// its field.
void Simulation::WarnOfCutWords(const std::vector<UINT64> &Table) {
  const size_t Limit = std::min<size_t>(Table.size(), BOARD_SCRIPT_MAX_WORDS);
  size_t Word = 0;
  while (Word < Limit && Table[Word] != kScriptTerminator) {
    const BOARD_SCRIPT_LAYOUT *Layout = BoardScriptFindLayout(static_cast<UINT8>(Table[Word]));
    if (Layout == nullptr || Word + Layout->WordCount > Limit) {
      return;
    }
    for (UINT32 I = 0; I < Layout->WordCount; ++I) {
      const unsigned Bytes = Layout->Fields[I].Size;
      const UINT64 Value = Table[Word + I];
      if (Bytes < 8 && (Value >> (8 * Bytes)) != 0) {
        Trace_.Emit("warning", {{"word", Word + I},
                                {"field", FieldName(Layout->Kind, I)},
                                {"value", Hex(Value)},
                                {"kept", Hex(Value & ((1ull << (8 * Bytes)) - 1))},
                                {"what", "word " + std::to_string(Word + I) + " does not fit the " +
                                             std::to_string(Bytes) + "-byte field " + FieldName(Layout->Kind, I) +
                                             "; the compile keeps its low bytes"}});
      }
    }
    Word += Layout->WordCount;
  }
}

void Simulation::RunScript(const Step &S) {
  std::string Error;
  auto Image = Engine_->Load(kScriptImage, Error);
  if (Image == nullptr || Image->ScriptEntry == nullptr) {
    Trace_.Emit("fault", {{"what", Image ? "the script image lacks its script entry" : Error}});
    Trace_.Emit("step", {{"step", S.Name()}, {"status", nullptr}});
    return;
  }
  // The engine finds the table's end by its terminator; one is added when the
  // author left it out, and a last entry cut short reads terminator words
  // instead of whatever lies behind the table.
  std::vector<UINT64> Table = S.Script;
  if (Table.empty() || Table.back() != kScriptTerminator) {
    Table.push_back(kScriptTerminator);
  }
  Table.insert(Table.end(), kScriptLongestEntryWords, kScriptTerminator);

  // The table and the length the engine reports, on pages of their own that
  // the driver code is lent for the step.
  const size_t Bytes = (Table.size() * sizeof(UINT64) + sizeof(UINT32) + 4095) & ~size_t{4095};
  void *Pages = mmap(nullptr, Bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (Pages == MAP_FAILED) {
    throw std::bad_alloc();
  }
  auto *Words = static_cast<UINT64 *>(Pages);
  std::copy(Table.begin(), Table.end(), Words);
  auto *PackedLength = reinterpret_cast<UINT32 *>(Words + Table.size());
  Engine_->Lend(Pages, Bytes);

  uint64_t Outcome = 0;
  Trace_.SetImage("script");
  WarnOfCutWords(Table);
  GuardResult Result = Engine_->CallGuarded(
      Image->ScriptEntry,
      {reinterpret_cast<uint64_t>(Firmware_->SystemTable()), reinterpret_cast<uint64_t>(Words), Table.size(),
       reinterpret_cast<uint64_t>(PackedLength)},
      Outcome);
  if (Result.Faulted) {
    Trace_.Emit("fault", {{"what", Result.What}});
  }
  Trace_.SetImage(std::nullopt);
  if (Result.Faulted || FirmwareHoldsInto(*Image)) {
    Images_.push_back(std::move(Image));
  }
  Json Step = {{"step", S.Name()}, {"status", nullptr}};
  if (!Result.Faulted) {
    Step["outcome"] = static_cast<BOOLEAN>(Outcome) != FALSE;
    Step["packed_length"] = Hex(*PackedLength);
    const size_t Shown = std::min<size_t>(*PackedLength, Table.size() * sizeof(UINT64));
    Step["packed"] = HexBytes(reinterpret_cast<const uint8_t *>(Words), Shown);
  }
  Engine_->Reclaim(Pages, Bytes);
  munmap(Pages, Bytes);
  Trace_.Emit("step", Step);
}

namespace {
const char *AccessName(GuardResult::Access How) {
  switch (How) {
    case GuardResult::Access::Read:
      return "read";
    case GuardResult::Access::Write:
      return "write";
    case GuardResult::Access::Execute:
      return "execute";
    case GuardResult::Access::None:
      break;
  }
  return "none";
}
}  // namespace

bool Simulation::FirmwareHoldsInto(const DriverImage &Image) const {
  const auto Held = Firmware_->HeldPointers();
  return std::any_of(Held.begin(), Held.end(), [&](const auto &P) { return Image.Holds(P.second); });
}

const DriverImage *Simulation::UnloadedImageAt(const void *Address) const {
  for (const auto &Image : Images_) {
    if (Image->Unloaded && Image->Holds(Address)) {
      return Image.get();
    }
  }
  return nullptr;
}

void Simulation::ReportSmiFault(const GuardResult &Fault) {
  const auto *Address = reinterpret_cast<const void *>(Fault.Address);
  if (Fault.How != GuardResult::Access::None) {
    if (auto Region = Firmware_->OsMemoryAt(Address)) {
      ++SmmOutsideAccesses_;
      Trace_.Emit("smm-outside-access",
                  {{"region", Region->first}, {"offset", Hex(Region->second)}, {"access", AccessName(Fault.How)}});
      Trace_.Emit("fault", {{"what", std::string("SMM handler ") + AccessName(Fault.How) + " in memory the OS owns (" +
                                         Region->first + " + " + Hex(Region->second) + ")"}});
      return;
    }
    if (const DriverImage *Image = UnloadedImageAt(Address)) {
      Trace_.Emit("fault", {{"what", std::string("SMM handler ") + AccessName(Fault.How) + " in image " + Image->Name +
                                         ", unloaded after its entry failed"}});
      return;
    }
  }
  Trace_.Emit("fault", {{"what", Fault.What}});
}

// One SMI: the handlers registered for it run one by one, each guarded so
// that a fault ends only that handler. Memory the OS owns is out of reach
// meanwhile, as a handler must treat it: touching it traps.
void Simulation::RunSmi(const Step &S) {
  auto Run = [&](const std::optional<std::string> &, const std::function<EFI_STATUS()> &Invoke) {
    EFI_STATUS Status = EFI_SUCCESS;
    GuardResult Result = RunGuarded([&] { Status = Invoke(); });
    if (Result.Faulted) {
      ReportSmiFault(Result);
      return std::optional<EFI_STATUS>();
    }
    return std::optional<EFI_STATUS>(Status);
  };
  Trace_.SetImage(kSmmImage);
  // Host code is kept from the memory the OS owns by locking it; emulated
  // code is watched access by access instead (a lock would trap the emulator
  // itself).
  const DriverImage *Smm = nullptr;
  for (const auto &Image : Images_) {
    if (IsSmmImage(Image->Name)) Smm = Image.get();
  }
  const bool Lock = Engine_->Kind() == EngineKind::Host;
  if (Lock) {
    Firmware_->LockOsMemory(true);
  } else if (Smm != nullptr) {
    Engine_->SmiBegins(*Smm, *Firmware_, [this](const Engine::OutsideAccess &A) { return OnOutsideAccess(A); });
  }
  if (S.StepKind == Step::Kind::Sx) {
    Firmware_->DispatchSx(static_cast<uint32_t>(S.SleepType), Run);
  } else {
    Firmware_->DispatchPowerButton(Run);
  }
  if (Lock) {
    Firmware_->LockOsMemory(false);
  } else if (Smm != nullptr) {
    Engine_->SmiEnds();
  }
  Trace_.SetImage(std::nullopt);
  Trace_.Emit("step", {{"step", S.Name()}, {"status", nullptr}});
}

// The memory the OS owns traps under the host engine too: the fault report
// names it the same way for both. Anything else outside SMRAM only the image
// engine sees; each access is reported and the handler goes on.
bool Simulation::OnOutsideAccess(const Engine::OutsideAccess &A) {
  if (Firmware_->OsMemoryAt(reinterpret_cast<const void *>(A.Address))) {
    return true;
  }
  ++SmmOutsideAccesses_;
  Trace_.Emit("smm-outside-access", {{"address", Hex(A.Address)},
                                     {"width", A.Size * 8},
                                     {"access", A.Write ? "write" : "read"},
                                     {"at", A.Instruction}});
  return false;
}

void Simulation::SetSmmCodeSegment(std::optional<uint16_t> Cs) {
  SmmCodeSegment_ = Cs;
  Firmware_->SetSmmCodeSegment(Cs);
}

void Simulation::Reboot() {
  Firmware_.reset();
  Images_.clear();
  Board_->Reboot();
  NewFirmware();
}

void Simulation::RunStep(const Step &S) {
  std::string Why;
  if (!Supports(S, &Why)) {
    Trace_.Emit("fault", {{"what", Why}});
    Trace_.Emit("step", {{"step", S.Name()}, {"status", nullptr}});
    return;
  }
  switch (S.StepKind) {
    case Step::Kind::Image:
      RunImage(S);
      return;
    case Step::Kind::Reset:
      Reboot();
      Trace_.Emit("step", {{"step", S.Name()}, {"status", nullptr}});
      return;
    case Step::Kind::Script:
      RunScript(S);
      return;
    case Step::Kind::Sx:
    case Step::Kind::PowerButton:
      RunSmi(S);
      return;
  }
}

void Simulation::RunAll() {
  for (const Step &S : Scenario_.Run) {
    RunStep(S);
  }
  Trace_.Emit("final", FinalState());
}

Json Simulation::FinalState() const {
  Json Final = Json::object();
  auto Setup = Firmware_->SetupVariable();
  Final["setup"] = Setup ? Json(HexBytes(Setup->Data.data(), Setup->Data.size())) : Json(nullptr);
  Final["setup_attributes"] = Setup ? Json(Hex(Setup->Attributes)) : Json(nullptr);

  Json Pcd = Json::object();
  for (const auto &[Token, Value] : Persistent_.PcdWritten) {
    Pcd[std::to_string(Token)] = Hex(Value);
  }
  Final["pcd"] = Pcd;

  uint8_t Cmos[128];
  for (unsigned I = 0; I < 128; ++I) {
    Cmos[I] = Board_->CmosByte(static_cast<uint8_t>(0x80 + I));
  }
  Final["cmos"] = HexBytes(Cmos, sizeof Cmos);

  static const EFI_GUID RecordGuid = CPU_FREQUENCY_RECORD_GUID;
  if (const void *Table = Firmware_->ConfigurationTable(RecordGuid); Table != nullptr) {
    CPU_FREQUENCY_RECORD Record;
    std::memcpy(&Record, Table, sizeof Record);
    Final["cpu_frequency_record"] = {{"tsc_frequency", Hex(Record.TscFrequency)},
                                     {"pstate_definition", Hex(Record.PstateDefinition)},
                                     {"pstate_index", Hex(Record.PstateIndex)},
                                     {"power_features", Hex(Record.PowerFeatures)}};
  } else {
    Final["cpu_frequency_record"] = nullptr;
  }
  if (auto Nodes = Firmware_->HeapBufferList([&](const void *P) { return UnloadedImageAt(P) == nullptr; })) {
    Json List = Json::array();
    for (const HeapBufferNode &N : *Nodes) {
      List.push_back({{"header", HexBytes(N.Header.data(), N.Header.size())},
                      {"payload", HexBytes(N.Payload.data(), N.Payload.size())}});
    }
    Final["heap_buffers"] = List;
  } else {
    Final["heap_buffers"] = nullptr;
  }
  Final["memory_log"] = MemoryLogJson(*Board_);
  Final["smm_outside_accesses"] = SmmOutsideAccesses_;
  Json Dangling = Json::array();
  for (const auto &[What, Pointer] : Firmware_->HeldPointers()) {
    if (const DriverImage *Image = Pointer != nullptr ? UnloadedImageAt(Pointer) : nullptr) {
      Dangling.push_back(What + " in unloaded " + Image->Name);
    }
  }
  Final["dangling"] = Dangling;
  Json Posts = Json::array();
  // As written, at full width: the SMM markers are 32-bit.
  for (uint64_t Code : Board_->PostCodeValues()) {
    Posts.push_back(Hex(Code));
  }
  Final["post_codes"] = Posts;
  Final["t_us"] = Board_->NowUs();
  return Final;
}

}  // namespace sim
