// The board's front door: the hardware seam entry points, the CPU (CPUID,
// MSRs, virtual TSC), faults, reboot and inspection.
//
// Time: every access is stamped with the time at which it starts and then
// costs its price (I/O 1 us, MMIO 0.1 us, MSR/CPUID 100 cycles, RDTSC 40,
// PAUSE 140). Before an access is carried out, device activity that has
// finished by then (an SMBus transaction, a keyboard answer) is settled, so
// an smbus event appears, stamped at or after its transaction's end, ahead of
// the first access of any kind that comes after that end.
//
// Refused accesses (bad width, unaligned MMIO): with a fault handler, no event
// is recorded and the handler is called before anything changes; without one
// the access is traced as a plain access that reads all ones and writes
// nothing.
#include "Board/BoardImpl.h"

#include <cstdio>

namespace sim {

namespace {

constexpr uint32_t kMsrTsc = 0x10;
constexpr uint32_t kMsrApicBase = 0x1B;
constexpr uint32_t kMsrPstateStatus = 0xC0010063;
constexpr uint32_t kMsrPstateDef0 = 0xC0010064;
constexpr uint32_t kCpuidSignature = 0x80000001;
constexpr uint32_t kCpuidPowerFeatures = 0x80000007;
constexpr uint32_t kCpuidSimulation = 0xBACCD00B;
constexpr uint64_t kFallbackTscHz = 3750000000ull;
constexpr uint64_t kMsrCpuidCycles = 100;
constexpr uint64_t kRdtscCycles = 40;
constexpr uint64_t kPauseCycles = 140;
constexpr uint64_t kSyscallCycles = 200;

// Supervisor services.
constexpr uint64_t kSyscallReadMsr = 0;
constexpr uint64_t kSyscallDisableInterrupts = 2;
constexpr uint64_t kSyscallIoRead = 3;
constexpr uint64_t kSyscallIoWrite = 4;

uint64_t TscRateFor(const CpuConfig &Cpu) {
  const uint64_t P0 = Cpu.PstateDefs[0];
  const uint32_t Sig = Cpu.Signature;
  uint64_t Hz = 0;
  if ((Sig & 0xF00) == 0xF00 && (Sig & 0xFF00000) >= 0xB00000) {
    Hz = (P0 & 0xFFF) * 5000000ull;
  } else {
    const uint32_t Fid = static_cast<uint32_t>(P0 & 0xFF);
    uint32_t Did = static_cast<uint32_t>((P0 >> 8) & 0x3F);
    if (Did == 0) {
      Did = 1;
    }
    const uint32_t Mhz = (Fid * 200) / Did;
    uint32_t Rounded = (Mhz / 100) * 100;
    if (Mhz % 100 >= 50) {
      Rounded += 100;
    }
    Hz = static_cast<uint64_t>(Rounded) * 1000000ull;
  }
  return Hz == 0 ? kFallbackTscHz : Hz;
}

std::string Describe(const char *Fmt, uint64_t A, uint64_t B) {
  char Buffer[160];
  std::snprintf(Buffer, sizeof Buffer, Fmt, static_cast<unsigned long long>(A), static_cast<unsigned long long>(B));
  return Buffer;
}

}  // namespace

uint64_t AllOnes(unsigned Width) { return Width >= 64 ? ~0ull : ((1ull << Width) - 1); }

std::string BdfText(uint8_t Bus, uint8_t Device, uint8_t Function) {
  char Buffer[16];
  std::snprintf(Buffer, sizeof Buffer, "%02X:%02X.%X", Bus, Device, Function);
  return Buffer;
}

Board::Impl::Impl(const Scenario &Sc, Trace &Tr) : S(Sc), T(Tr) {
  TscHz = TscRateFor(S.Cpu);
  for (const auto &[Offset, Value] : S.Cmos) {
    Cmos[Offset] = Value;
  }
  InitRtc();
  SeedMemory(true);
  ResetDevices();
}

void Board::Impl::SeedMemory(bool IncludeRam) {
  Memory.Pages.clear();
  Memory.Write(kFchPmRegister, 4, S.SmbusPmRegister);
  for (const auto &[Address, Init] : S.Mmio) {
    const unsigned Bytes = Init.Width / 8;
    const bool InRam = Address + Bytes > kRamBlockBase && Address < kRamBlockBase + kRamBlockSize;
    if (InRam && !IncludeRam) {
      continue;
    }
    Memory.Write(Address, Bytes, Init.Value);
  }
}

void Board::Impl::ResetDevices() {
  Msrs.clear();
  Msrs[kMsrPstateStatus] = S.Cpu.Pstate & 7;
  for (uint32_t N = 0; N < 8; ++N) {
    Msrs[kMsrPstateDef0 + N] = S.Cpu.PstateDefs[N];
  }
  Msrs[kMsrApicBase] = 0xFEE00800ull | (S.Cpu.Bsp ? 0x100 : 0);
  InterruptsEnabled = true;
  Cs = 0x38;

  SmnIndex = 0;
  Smn = S.Smn;
  Cf8 = 0;
  PciFunctions.clear();
  for (const auto &[Address, Registers] : S.Pci) {
    auto &Space = PciFunctions[Address];
    Space.fill(0);
    for (const auto &[Register, Value] : Registers) {
      for (unsigned I = 0; I < 4 && Register + I < Space.size(); ++I) {
        Space[Register + I] = static_cast<uint8_t>(Value >> (8 * I));
      }
    }
  }

  for (size_t C = 0; C < Smbus.size(); ++C) {
    Smbus[C] = SmbusController{};
    Smbus[C].Responds = S.SmbusControllers[C].Responds;
    Smbus[C].Devices = S.SmbusControllers[C].Devices;
  }
  Sio = SuperIoModel{};
  Sio.Global = S.SioGlobal;
  Sio.Ldn = S.SioLdn;
  Kbc = KbcModel{};
  Uart = UartModel{};
  Latched.clear();
  for (const auto &[Port, Value] : S.Io) {
    Latched[Port] = Value;
  }
}

uint64_t Board::Impl::NowUs() const {
  return static_cast<uint64_t>(static_cast<unsigned __int128>(Tsc) * 1000000u / TscHz);
}

uint64_t Board::Impl::CyclesFor(uint64_t Numerator, uint64_t Denominator) const {
  // Rounded up so that a cost is never free.
  const unsigned __int128 Product = static_cast<unsigned __int128>(Numerator) * TscHz;
  return static_cast<uint64_t>((Product + Denominator - 1) / Denominator);
}

void Board::Impl::AdvanceCycles(uint64_t Cycles) { Tsc += Cycles; }

void Board::Impl::Settle() {
  Spinning = false;  // any access but a TSC read or a pause ends a busy-wait
  for (int C = 0; C < 2; ++C) {
    if (Smbus[C].Active) {
      SmbusSettle(C);
    }
  }
  if (!Kbc.Queue.empty()) {
    KbcSettle();
  }
}

void Board::Impl::Decode(std::string Name, Json Fields) { Decoded.push_back({std::move(Name), std::move(Fields)}); }

void Board::Impl::FlushDecoded() {
  std::vector<DecodedEvent> Pending;
  Pending.swap(Decoded);
  for (auto &E : Pending) {
    T.Emit(E.Name, E.Fields);
  }
}

bool Board::Impl::Refuse(std::string What) {
  if (!Fault) {
    return false;
  }
  RefusalText = std::move(What);
  Supervising = false;  // the fault handler does not return
  Fault(RefusalText);
  return true;  // a handler that returns anyway: drop the access
}

bool Board::Impl::PrivilegeFault(const char *Instruction) {
  if ((Cs & 3) != 3 || Supervising) {
    return false;
  }
  return Refuse(std::string("#GP: ") + Instruction +
                Describe(" executed at privilege level 3 (code segment 0x%llX)", Cs, 0));
}

// --- Board ---------------------------------------------------------------

Board::Board(const Scenario &S, Trace &T) : P(std::make_unique<Impl>(S, T)) {
  T.SetClock([this] { return P->NowUs(); });
}

Board::~Board() {
  const uint64_t End = P->NowUs();
  P->T.SetClock([End] { return End; });
}

uint32_t Board::IoRead(uint16_t Port, uint8_t Width) {
  Impl &I = *P;
  I.Settle();
  if (I.PrivilegeFault("IN")) {
    return static_cast<uint32_t>(AllOnes(Width));
  }
  uint32_t Value;
  if (Width != 8 && Width != 16 && Width != 32) {
    if (I.Refuse(Describe("io-read of port 0x%llX with width %llu refused: I/O widths are 8, 16 and 32", Port, Width))) {
      return static_cast<uint32_t>(AllOnes(Width));
    }
    Value = static_cast<uint32_t>(AllOnes(Width));
  } else {
    Value = I.IoReadAccess(Port, Width);
  }
  I.T.Emit("io-read", Json{{"port", Hex(Port)}, {"width", Width}, {"value", Hex(Value)}});
  I.FlushDecoded();
  I.AdvanceCycles(I.CyclesFor(1, 1000000));
  return Value;
}

void Board::IoWrite(uint16_t Port, uint8_t Width, uint32_t Value) {
  Impl &I = *P;
  I.Settle();
  if (I.PrivilegeFault("OUT")) {
    return;
  }
  const bool Valid = Width == 8 || Width == 16 || Width == 32;
  if (!Valid && I.Refuse(Describe("io-write of port 0x%llX with width %llu refused: I/O widths are 8, 16 and 32", Port, Width))) {
    return;
  }
  if (Valid) {
    Value &= static_cast<uint32_t>(AllOnes(Width));
    I.IoWriteAccess(Port, Width, Value);
  }
  I.T.Emit("io-write", Json{{"port", Hex(Port)}, {"width", Width}, {"value", Hex(Value)}});
  I.FlushDecoded();
  I.AdvanceCycles(I.CyclesFor(1, 1000000));
}

namespace {
const char *MmioProblem(uint64_t Address, uint8_t Width) {
  if (Width != 8 && Width != 16 && Width != 32 && Width != 64) {
    return "MMIO widths are 8, 16, 32 and 64";
  }
  if (Address % (Width / 8) != 0) {
    return "the address is not aligned to the access width";
  }
  return nullptr;
}
}  // namespace

uint64_t Board::MmioRead(uint64_t Address, uint8_t Width) {
  Impl &I = *P;
  I.Settle();
  uint64_t Value;
  if (const char *Problem = MmioProblem(Address, Width)) {
    if (I.Refuse(Describe("mmio-read of 0x%llX with width %llu refused: ", Address, Width) + Problem)) {
      return AllOnes(Width);
    }
    Value = AllOnes(Width);
  } else {
    Value = I.MmioReadAccess(Address, Width);
  }
  I.T.Emit("mmio-read", Json{{"address", Hex(Address)}, {"width", Width}, {"value", Hex(Value)}});
  I.FlushDecoded();
  I.AdvanceCycles(I.CyclesFor(1, 10000000));
  return Value;
}

void Board::MmioWrite(uint64_t Address, uint8_t Width, uint64_t Value) {
  Impl &I = *P;
  I.Settle();
  const char *Problem = MmioProblem(Address, Width);
  if (Problem != nullptr && I.Refuse(Describe("mmio-write of 0x%llX with width %llu refused: ", Address, Width) + Problem)) {
    return;
  }
  if (Problem == nullptr) {
    Value &= AllOnes(Width);
    I.MmioWriteAccess(Address, Width, Value);
  }
  I.T.Emit("mmio-write", Json{{"address", Hex(Address)}, {"width", Width}, {"value", Hex(Value)}});
  I.FlushDecoded();
  I.AdvanceCycles(I.CyclesFor(1, 10000000));
}

uint64_t Board::ReadMsr(uint32_t Msr) {
  Impl &I = *P;
  I.Settle();
  if (I.PrivilegeFault("RDMSR")) {
    return 0;
  }
  uint64_t Value = 0;
  if (Msr == kMsrTsc) {
    Value = I.Tsc;
  } else if (auto It = I.Msrs.find(Msr); It != I.Msrs.end()) {
    Value = It->second;
  }
  I.T.Emit("msr-read", Json{{"msr", Hex(Msr)}, {"value", Hex(Value)}});
  I.AdvanceCycles(kMsrCpuidCycles);
  return Value;
}

void Board::WriteMsr(uint32_t Msr, uint64_t Value) {
  Impl &I = *P;
  I.Settle();
  if (I.PrivilegeFault("WRMSR")) {
    return;
  }
  if (Msr != kMsrTsc) {
    I.Msrs[Msr] = Value;
  }
  I.T.Emit("msr-write", Json{{"msr", Hex(Msr)}, {"value", Hex(Value)}});
  I.AdvanceCycles(kMsrCpuidCycles);
}

void Board::Cpuid(uint32_t Leaf, uint32_t SubLeaf, uint32_t Registers[4]) {
  (void)SubLeaf;
  Impl &I = *P;
  I.Settle();
  uint32_t R[4] = {0, 0, 0, 0};
  switch (Leaf) {
    case kCpuidSignature:
      R[0] = I.S.Cpu.Signature;
      break;
    case kCpuidPowerFeatures:
      R[3] = I.S.Cpu.PowerFeatures;
      break;
    case kCpuidSimulation:
      // The seam carries EAX..EDX only, so the non-zero SI of a simulation
      // environment is reported in every one of them.
      if (I.S.Cpu.Simulation) {
        R[0] = R[1] = R[2] = R[3] = 1;
      }
      break;
    default:
      break;
  }
  for (int N = 0; N < 4; ++N) {
    Registers[N] = R[N];
  }
  I.T.Emit("cpuid", Json{{"leaf", Hex(Leaf)}, {"eax", Hex(R[0])}, {"ebx", Hex(R[1])}, {"ecx", Hex(R[2])}, {"edx", Hex(R[3])}});
  I.AdvanceCycles(kMsrCpuidCycles);
}

uint64_t Board::CpuidReadSi(uint32_t Eax, uint32_t Ebx) {
  Impl &I = *P;
  I.Settle();
  uint32_t R[4] = {0, 0, 0, 0};
  uint64_t Si = 0;
  if (Eax == kCpuidSimulation) {
    Si = I.S.Cpu.Simulation ? 1 : 0;
  } else if (Eax == kCpuidSignature) {
    R[0] = I.S.Cpu.Signature;
  } else if (Eax == kCpuidPowerFeatures) {
    R[3] = I.S.Cpu.PowerFeatures;
  }
  I.T.Emit("cpuid", Json{{"leaf", Hex(Eax)},
                         {"eax", Hex(R[0])},
                         {"ebx", Hex(R[1])},
                         {"ecx", Hex(R[2])},
                         {"edx", Hex(R[3])},
                         {"ebx_in", Hex(Ebx)},
                         {"si", Hex(Si)}});
  I.AdvanceCycles(kMsrCpuidCycles);
  return Si;
}

namespace {
// Width in bits for a supervisor width code, 0 for a code it does not know.
uint8_t SyscallWidth(uint64_t Code) {
  switch (Code) {
    case 0:
      return 8;
    case 1:
      return 16;
    case 2:
      return 32;
    default:
      return 0;
  }
}
}  // namespace

uint64_t Board::SupervisorCall(uint64_t Service, uint64_t A1, uint64_t A2, uint64_t A3) {
  Impl &I = *P;
  I.Settle();
  I.T.Emit("syscall", Json{{"service", Hex(Service)}, {"arg1", Hex(A1)}, {"arg2", Hex(A2)}, {"arg3", Hex(A3)}});
  I.AdvanceCycles(kSyscallCycles);
  // Cleared again on the way out, and by Refuse when a fault ends the call.
  I.Supervising = true;
  struct Ring0 {
    bool &Flag;
    ~Ring0() { Flag = false; }
  } Supervisor{I.Supervising};
  auto Refused = [&](std::string What) -> uint64_t {
    I.Refuse(std::move(What));
    return ~0ull;
  };
  switch (Service) {
    case kSyscallReadMsr:
      if (A1 > 0xFFFFFFFFull) {
        return Refused(Describe("supervisor call 0x%llX refused: MSR index 0x%llX is wider than 32 bits", Service, A1));
      }
      return ReadMsr(static_cast<uint32_t>(A1));
    case kSyscallDisableInterrupts:
      SetInterruptFlag(false);
      return 0;
    case kSyscallIoRead:
    case kSyscallIoWrite: {
      const uint8_t Width = SyscallWidth(A2);
      if (Width == 0) {
        return Refused(Describe("supervisor call 0x%llX refused: width code 0x%llX (0, 1 and 2 are 8, 16 and 32 bits)",
                                Service, A2));
      }
      if (A1 > 0xFFFF) {
        return Refused(Describe("supervisor call 0x%llX refused: port 0x%llX is beyond 0xFFFF", Service, A1));
      }
      if (Service == kSyscallIoRead) {
        return IoRead(static_cast<uint16_t>(A1), Width);
      }
      IoWrite(static_cast<uint16_t>(A1), Width, static_cast<uint32_t>(A3));
      return 0;
    }
    default:
      return Refused(Describe("supervisor call 0x%llX refused: the supervisor has no such service (arg1 0x%llX)", Service, A1));
  }
}

// How far a pause skips ahead, beyond its own cycles. Simulated time must
// not cost wall time in proportion (a stall of seconds is a million short
// waits back to back; a foreign frequency record can ask for hours), yet a
// wait must end exactly where the hardware's would:
// - A wait in a run whose previous two waits were alike is one more of the
//   same (the stall loop): its first pause jumps to the read before the last
//   one of those, so from there on it reads the very values they read and
//   ends on the same read.
// - A wait longer than 10 ms (none on a working board) skips 1/1024 of the
//   time it has spun at each pause: it ends at most about 0.1 % late, and a
//   wait of hours takes some ten thousand pauses.
// Every other wait runs cycle by cycle.
uint64_t Board::Impl::SpinSkip() {
  constexpr uint64_t kIteration = kRdtscCycles + kPauseCycles;
  if (++PausesInWait == 1 && SameWaits >= 2 && LastWaitTurn > kIteration) {
    return LastWaitTurn - kIteration;
  }
  const uint64_t Spun = Tsc - WaitStart;
  return Spun < TscHz / 100 ? 0 : Spun >> 10;
}

uint64_t Board::ReadTsc() {
  Impl &I = *P;
  const bool InRun = I.Spinning;
  const bool InWait = I.Spinning && I.PausedSinceRead;
  I.Settle();
  if (!InWait) {
    // A read right after a read starts a wait; one that paused ends the last.
    if (InRun && I.PausesInWait > 0) {
      const uint64_t Length = I.LastRead - I.WaitStart, Turn = I.ReadBefore - I.WaitStart;
      I.SameWaits = Length == I.LastWait && Turn == I.LastWaitTurn ? I.SameWaits + 1 : 0;
      I.LastWait = Length;
      I.LastWaitTurn = Turn;
    } else if (!InRun) {
      I.SameWaits = 0;
      I.LastWait = I.LastWaitTurn = 0;
    }
    I.WaitStart = I.Tsc;
    I.PausesInWait = 0;
  }
  I.Spinning = true;
  I.PausedSinceRead = false;
  I.ReadBefore = I.LastRead;
  I.LastRead = I.Tsc;
  const uint64_t Value = I.Tsc;
  I.AdvanceCycles(kRdtscCycles);
  return Value;
}

void Board::Pause() {
  Impl &I = *P;
  const bool Spinning = I.Spinning;
  I.Settle();
  I.Spinning = Spinning;
  I.PausedSinceRead = true;
  I.AdvanceCycles(kPauseCycles + (Spinning ? I.SpinSkip() : 0));
}

void Board::SetInterruptFlag(bool Enabled) {
  if (P->PrivilegeFault(Enabled ? "STI" : "CLI")) {
    return;
  }
  P->InterruptsEnabled = Enabled;
}
bool Board::GetInterruptFlag() { return P->InterruptsEnabled; }
uint16_t Board::ReadCs() { return P->Cs; }
void Board::SetCodeSegment(uint16_t Cs) { P->Cs = Cs; }
void Board::SetFaultHandler(FaultHandler Handler) { P->Fault = std::move(Handler); }

void Board::Reboot() {
  // An SMBus transaction in flight dies with the reset and reports nothing.
  P->SeedMemory(false);
  P->ResetDevices();
}

uint64_t Board::NowUs() const { return P->NowUs(); }
uint64_t Board::TscHz() const { return P->TscHz; }
uint64_t Board::TscCycles() const { return P->Tsc; }

void Board::AdvanceUs(uint64_t Us) {
  P->AdvanceCycles(P->CyclesFor(Us, 1000000));
  P->Settle();
}

uint8_t Board::CmosByte(uint8_t Offset) const { return P->Cmos[Offset]; }
void Board::SetCmosByte(uint8_t Offset, uint8_t Value) { P->Cmos[Offset] = Value; }

uint32_t Board::SmnRegister(uint32_t Address) const { return P->SmnRead(Address); }

uint64_t Board::PeekMemory(uint64_t Address, uint8_t Width) const {
  const unsigned Bytes = Width >= 8 && Width <= 64 ? Width / 8 : 1;
  return P->Memory.Read(Address, Bytes);
}

uint8_t Board::SioRegister(std::optional<uint8_t> Ldn, uint8_t Register) const {
  const auto &Sio = P->Sio;
  if (!Ldn) {
    auto It = Sio.Global.find(Register);
    return It == Sio.Global.end() ? 0 : It->second;
  }
  auto Dev = Sio.Ldn.find(*Ldn);
  if (Dev == Sio.Ldn.end()) {
    return 0;
  }
  auto It = Dev->second.find(Register);
  return It == Dev->second.end() ? 0 : It->second;
}

const std::vector<uint8_t> &Board::PostCodes() const { return P->PostCodes; }
const std::vector<uint32_t> &Board::PostCodeValues() const { return P->PostCodeValues; }
uint8_t *Board::RamBlock() { return P->Memory.Ram; }
const uint8_t *Board::RamBlock() const { return P->Memory.Ram; }
bool Board::RamBlockAtPhysicalAddress() const { return P->Memory.RamStorage.AtPhysicalAddress(); }

uint8_t Board::LatchedPort(uint16_t Port) const {
  auto It = P->Latched.find(Port);
  return It == P->Latched.end() ? 0xFF : It->second;
}

uint8_t Board::KeyboardLeds() const { return P->Kbc.Leds; }
bool Board::AuxReporting() const { return P->Kbc.AuxReporting; }

}  // namespace sim
