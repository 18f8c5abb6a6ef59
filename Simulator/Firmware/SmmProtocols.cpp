// The platform's SMM protocols (SMM Base2 and Access2 in the UEFI protocol
// database; the Sx and power-button dispatchers and the SMM variable protocol
// in the SMM one), a heap-buffer list left by an earlier driver, and the SMM
// core's side of the Firmware interface: SMM entry, SMI dispatch, the
// relayed heap-buffer list.
#include "Firmware/SmmWorld.h"

#include <cstring>

#include "Board/Board.h"

namespace sim {
namespace {

// --- SMM Base2 -------------------------------------------------------------------

EFI_STATUS EFIAPI Base2InSmm(CONST EFI_SMM_BASE2_PROTOCOL *This, BOOLEAN *InSmram) {
  (void)This;
  return WithSmm(EFI_INVALID_PARAMETER, [&](Firmware::Impl &F, SmmWorld &W) {
    EFI_STATUS Status = EFI_INVALID_PARAMETER;
    Json Answer = nullptr;
    if (InSmram != nullptr) {
      *InSmram = W.Depth > 0 ? TRUE : FALSE;
      Answer = W.Depth > 0;
      Status = EFI_SUCCESS;
    }
    F.Call("InSmm", {{"in_smm", Answer}}, Status);
    return Status;
  });
}

EFI_STATUS EFIAPI Base2GetSmstLocation(CONST EFI_SMM_BASE2_PROTOCOL *This, EFI_SMM_SYSTEM_TABLE2 **Smst) {
  (void)This;
  return WithSmm(EFI_INVALID_PARAMETER, [&](Firmware::Impl &F, SmmWorld &W) {
    EFI_STATUS Status = EFI_INVALID_PARAMETER;
    if (Smst != nullptr) {
      Status = W.Depth > 0 ? EFI_SUCCESS : EFI_UNSUPPORTED;
      if (Status == EFI_SUCCESS) {
        *Smst = &W.Smst;
      }
    }
    F.Call("GetSmstLocation", Json::object(), Status);
    return Status;
  });
}

// --- SMM Access2 -----------------------------------------------------------------

EFI_STATUS EFIAPI Access2GetCapabilities(CONST EFI_SMM_ACCESS2_PROTOCOL *This, UINTN *SmramMapSize,
                                         EFI_SMRAM_DESCRIPTOR *SmramMap) {
  (void)This;
  return WithSmm(EFI_INVALID_PARAMETER, [&](Firmware::Impl &F, SmmWorld &W) {
    const UINTN Needed = W.SmramMap.size() * sizeof(EFI_SMRAM_DESCRIPTOR);
    Json SizeIn = SmramMapSize != nullptr ? Json(Hex(*SmramMapSize)) : Json(nullptr);
    EFI_STATUS Status = EFI_INVALID_PARAMETER;
    if (SmramMapSize != nullptr) {
      if (*SmramMapSize < Needed) {
        Status = EFI_BUFFER_TOO_SMALL;
      } else if (SmramMap != nullptr) {
        std::memcpy(SmramMap, W.SmramMap.data(), Needed);
        Status = EFI_SUCCESS;
      }
      if (Status != EFI_INVALID_PARAMETER) {
        *SmramMapSize = Needed;
      }
    }
    F.Call("SmmAccessGetCapabilities", {{"size", SizeIn}, {"needed", Hex(Needed)}}, Status);
    return Status;
  });
}

// --- Sx and power-button dispatch -----------------------------------------------

Json SxContextJson(const EFI_SMM_SX_REGISTER_CONTEXT &C) {
  uint32_t Type = 0, Phase = 0;
  std::memcpy(&Type, &C.Type, sizeof Type);
  std::memcpy(&Phase, &C.Phase, sizeof Phase);
  return Json{{"type", Hex(Type)}, {"phase", Hex(Phase)}};
}

Json PowerButtonContextJson(const EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT &C) {
  uint32_t Phase = 0;
  std::memcpy(&Phase, &C.Phase, sizeof Phase);
  return Json{{"phase", Hex(Phase)}};
}

// Registers Handler with a copy of the context Fill stores; Valid says whether
// the context is one the dispatcher serves.
template <typename FillFn>
EFI_STATUS RegisterSmi(Firmware::Impl &F, SmmWorld &W, std::vector<std::unique_ptr<SmiRegistration>> &List,
                       const char *Service, EFI_SMM_HANDLER_ENTRY_POINT2 Handler, const void *Context, bool Valid,
                       EFI_HANDLE *DispatchHandle, FillFn &&Fill, Json ContextText) {
  EFI_STATUS Status = EFI_INVALID_PARAMETER;
  const SmiRegistration *Made = nullptr;
  if (Handler != nullptr && Context != nullptr && DispatchHandle != nullptr && Valid &&
      W.ContextBlocksUsed == W.ContextBlocks.size()) {
    Status = EFI_OUT_OF_RESOURCES;
  } else if (Handler != nullptr && Context != nullptr && DispatchHandle != nullptr && Valid) {
    auto R = std::make_unique<SmiRegistration>();
    R->Visible = &W.ContextBlocks[W.ContextBlocksUsed++];
    R->Number = ++W.DispatchHandlesMade;
    R->Handler = Handler;
    R->Image = F.Tr.Image();
    Fill(*R);
    Made = R.get();
    *DispatchHandle = R.get();
    List.push_back(std::move(R));
    Status = EFI_SUCCESS;
  }
  F.Call(Service, {{"context", std::move(ContextText)}, {"handle", Made != nullptr ? Json(Hex(Made->Number)) : Json(nullptr)}},
         Status);
  return Status;
}

EFI_STATUS UnRegisterSmi(Firmware::Impl &F, SmmWorld &W, std::vector<std::unique_ptr<SmiRegistration>> &List,
                         const char *Service, EFI_HANDLE DispatchHandle) {
  auto It = std::find_if(List.begin(), List.end(), [&](const auto &R) { return R.get() == DispatchHandle; });
  Json Number = nullptr;
  EFI_STATUS Status = EFI_INVALID_PARAMETER;
  if (It != List.end()) {
    Number = Hex((*It)->Number);
    W.Withdrawn.push_back(std::move(*It));
    List.erase(It);
    Status = EFI_SUCCESS;
  }
  F.Call(Service, {{"handle", Number}}, Status);
  return Status;
}

EFI_STATUS EFIAPI SxRegister(CONST EFI_SMM_SX_DISPATCH2_PROTOCOL *This, EFI_SMM_HANDLER_ENTRY_POINT2 DispatchFunction,
                             CONST EFI_SMM_SX_REGISTER_CONTEXT *RegisterContext, EFI_HANDLE *DispatchHandle) {
  (void)This;
  return WithSmm(EFI_OUT_OF_RESOURCES, [&](Firmware::Impl &F, SmmWorld &W) {
    EFI_SMM_SX_REGISTER_CONTEXT Copy{};
    uint32_t Type = 0, Phase = 0;
    if (RegisterContext != nullptr) {
      std::memcpy(&Copy, RegisterContext, sizeof Copy);
      std::memcpy(&Type, &Copy.Type, sizeof Type);
      std::memcpy(&Phase, &Copy.Phase, sizeof Phase);
    }
    const bool Valid = Type < EfiMaximumSleepType && Phase < EfiMaximumPhase;
    return RegisterSmi(
        F, W, W.SxHandlers, "SxRegister", DispatchFunction, RegisterContext, Valid, DispatchHandle,
        [&](SmiRegistration &R) { R.Visible->Sx = Copy; },
        RegisterContext != nullptr ? SxContextJson(Copy) : Json(nullptr));
  });
}

EFI_STATUS EFIAPI SxUnRegister(CONST EFI_SMM_SX_DISPATCH2_PROTOCOL *This, EFI_HANDLE DispatchHandle) {
  (void)This;
  return WithSmm(EFI_INVALID_PARAMETER, [&](Firmware::Impl &F, SmmWorld &W) {
    return UnRegisterSmi(F, W, W.SxHandlers, "SxUnRegister", DispatchHandle);
  });
}

EFI_STATUS EFIAPI PowerButtonRegister(CONST EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL *This,
                                      EFI_SMM_HANDLER_ENTRY_POINT2 DispatchFunction,
                                      EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT *RegisterContext,
                                      EFI_HANDLE *DispatchHandle) {
  (void)This;
  return WithSmm(EFI_OUT_OF_RESOURCES, [&](Firmware::Impl &F, SmmWorld &W) {
    EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT Copy{};
    uint32_t Phase = 0;
    if (RegisterContext != nullptr) {
      std::memcpy(&Copy, RegisterContext, sizeof Copy);
      std::memcpy(&Phase, &Copy.Phase, sizeof Phase);
    }
    const bool Valid = Phase < EfiPowerButtonMax;
    return RegisterSmi(
        F, W, W.PowerButtonHandlers, "PowerButtonRegister", DispatchFunction, RegisterContext, Valid, DispatchHandle,
        [&](SmiRegistration &R) { R.Visible->PowerButton = Copy; },
        RegisterContext != nullptr ? PowerButtonContextJson(Copy) : Json(nullptr));
  });
}

EFI_STATUS EFIAPI PowerButtonUnRegister(CONST EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL *This,
                                        EFI_HANDLE DispatchHandle) {
  (void)This;
  return WithSmm(EFI_INVALID_PARAMETER, [&](Firmware::Impl &F, SmmWorld &W) {
    return UnRegisterSmi(F, W, W.PowerButtonHandlers, "PowerButtonUnRegister", DispatchHandle);
  });
}

// --- SMM variable protocol --------------------------------------------------------

EFI_STATUS EFIAPI SmmGetVariable(CHAR16 *VariableName, EFI_GUID *VendorGuid, UINT32 *Attributes, UINTN *DataSize,
                                 VOID *Data) {
  return Guarded<EFI_STATUS>(EFI_DEVICE_ERROR, [&](Firmware::Impl &F) {
    return ServeGetVariable(F, "SmmGetVariable", VariableName, VendorGuid, Attributes, DataSize, Data);
  });
}

EFI_STATUS EFIAPI SmmSetVariable(CHAR16 *VariableName, EFI_GUID *VendorGuid, UINT32 Attributes, UINTN DataSize,
                                 VOID *Data) {
  return Guarded<EFI_STATUS>(EFI_DEVICE_ERROR, [&](Firmware::Impl &F) {
    return ServeSetVariable(F, "SmmSetVariable", VariableName, VendorGuid, Attributes, DataSize, Data);
  });
}

// --- Installation -----------------------------------------------------------------

constexpr EFI_GUID kSmmBase2Guid = EFI_SMM_BASE2_PROTOCOL_GUID;
constexpr EFI_GUID kSmmAccess2Guid = EFI_SMM_ACCESS2_PROTOCOL_GUID;
constexpr EFI_GUID kSxDispatchGuid = EFI_SMM_SX_DISPATCH2_PROTOCOL_GUID;
constexpr EFI_GUID kPowerButtonDispatchGuid = EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL_GUID;
constexpr EFI_GUID kSmmVariableGuid = EFI_SMM_VARIABLE_PROTOCOL_GUID;

// SMRAM as reported: the arena in two adjacent ranges, closed and locked as
// the SMM driver finds it.
constexpr size_t kSmramRanges = 2;
constexpr UINT64 kSmramState = EFI_SMRAM_CLOSED | EFI_SMRAM_LOCKED | EFI_CACHEABLE;

}  // namespace

#define ACCESS2_UNSUPPORTED(Member, Name) \
  W.Access2.Member = &UnsupportedSlot<Name, decltype(EFI_SMM_ACCESS2_PROTOCOL::Member)>::Call
#define VARIABLE_UNSUPPORTED(Member) \
  W.Variable.Member = &UnsupportedSlot<#Member, decltype(EFI_SMM_VARIABLE_PROTOCOL::Member)>::Call

void InitSmmProtocols(Firmware::Impl &F, SmmWorld &W, const ProtocolSet &Protocols) {
  const size_t RangeSize = SmramArena::kSize / kSmramRanges;
  for (size_t I = 0; I < kSmramRanges; ++I) {
    const auto Start = static_cast<EFI_PHYSICAL_ADDRESS>(reinterpret_cast<uintptr_t>(W.Arena.Base() + I * RangeSize));
    W.SmramMap.push_back(EFI_SMRAM_DESCRIPTOR{Start, Start, RangeSize, kSmramState});
  }

  W.Base2.InSmm = &Base2InSmm;
  W.Base2.GetSmstLocation = &Base2GetSmstLocation;
  ACCESS2_UNSUPPORTED(Open, "SmmAccessOpen");
  ACCESS2_UNSUPPORTED(Close, "SmmAccessClose");
  ACCESS2_UNSUPPORTED(Lock, "SmmAccessLock");
  W.Access2.GetCapabilities = &Access2GetCapabilities;
  W.Access2.LockState = TRUE;
  W.Access2.OpenState = FALSE;
  W.SxDispatch.Register = &SxRegister;
  W.SxDispatch.UnRegister = &SxUnRegister;
  W.PowerButtonDispatch.Register = &PowerButtonRegister;
  W.PowerButtonDispatch.UnRegister = &PowerButtonUnRegister;
  W.Variable.SmmGetVariable = &SmmGetVariable;
  VARIABLE_UNSUPPORTED(SmmGetNextVariableName);
  W.Variable.SmmSetVariable = &SmmSetVariable;
  VARIABLE_UNSUPPORTED(SmmQueryVariableInfo);
  W.PreinstalledHeapList.Forward = &W.PreinstalledHeapList.Forward;
  W.PreinstalledHeapList.Backward = &W.PreinstalledHeapList.Forward;

  if (Protocols.SmmBase2) {
    F.Protocols.Publish(kSmmBase2Guid, &W.Base2);
  }
  if (Protocols.SmmAccess2) {
    F.Protocols.Publish(kSmmAccess2Guid, &W.Access2);
  }
  if (Protocols.HeapBufferList) {
    F.Protocols.Publish(kHeapBufferListProtocolGuid, &W.PreinstalledHeapList);
  }
  if (Protocols.SxDispatch) {
    W.Protocols.Publish(kSxDispatchGuid, &W.SxDispatch);
  }
  if (Protocols.PowerButtonDispatch) {
    W.Protocols.Publish(kPowerButtonDispatchGuid, &W.PowerButtonDispatch);
  }
  if (Protocols.SmmVariable) {
    W.Protocols.Publish(kSmmVariableGuid, &W.Variable);
  }
}

// --- The SMM core's side of Firmware ------------------------------------------------

void Firmware::EnterSmm() {
  SmmWorld &W = *P->Smm;
  if (W.Depth++ == 0) {
    W.SavedCs = P->Brd.ReadCs();
    if (W.CodeSegment) {
      P->Brd.SetCodeSegment(*W.CodeSegment);
    }
  }
}

void Firmware::LeaveSmm() {
  SmmWorld &W = *P->Smm;
  if (W.Depth > 0 && --W.Depth == 0 && W.CodeSegment) {
    P->Brd.SetCodeSegment(W.SavedCs);
  }
}

bool Firmware::InSmm() const { return P->Smm->Depth > 0; }

void Firmware::SetSmmCodeSegment(std::optional<uint16_t> Cs) {
  SmmWorld &W = *P->Smm;
  if (W.Depth > 0) {
    P->Brd.SetCodeSegment(Cs ? *Cs : W.SavedCs);
  }
  W.CodeSegment = Cs;
}

EFI_SMM_SYSTEM_TABLE2 *Firmware::SmmSystemTable() { return &P->Smm->Smst; }

namespace {

// Calls, in SMM, the handlers of List that Matches selects, in registration
// order; one withdrawn by an earlier handler of the same SMI is skipped.
template <typename MatchFn, typename ContextFn>
size_t DispatchSmi(Firmware &Fw, Firmware::Impl &F, std::vector<std::unique_ptr<SmiRegistration>> &List,
                   const char *Source, MatchFn &&Matches, ContextFn &&ContextOf, const SmiHandlerRunner &Run) {
  std::vector<SmiRegistration *> Targets;
  for (auto &R : List) {
    if (Matches(*R)) {
      Targets.push_back(R.get());
    }
  }
  Fw.EnterSmm();
  size_t Ran = 0;
  for (SmiRegistration *R : Targets) {
    if (std::none_of(List.begin(), List.end(), [&](const auto &E) { return E.get() == R; })) {
      continue;
    }
    const std::optional<std::string> Previous = F.Tr.Image();
    if (R->Image) {
      F.Tr.SetImage(R->Image);
    }
    const std::pair<const void *, Json> Registered = ContextOf(*R);
    const void *Context = Registered.first;
    F.Tr.Emit("smi", {{"source", Source}, {"dispatch", Hex(R->Number)}, {"context", Registered.second}});
    const uint64_t Number = R->Number;
    const EFI_SMM_HANDLER_ENTRY_POINT2 Handler = R->Handler;
    const EFI_HANDLE DispatchHandle = R;
    UINTN &CommBufferSize = R->Visible->CommBufferSize;
    CommBufferSize = 0;
    const std::function<EFI_STATUS()> Invoke = [&] {
      return F.CallDriver(reinterpret_cast<const void *>(Handler),
                          {reinterpret_cast<uint64_t>(DispatchHandle), reinterpret_cast<uint64_t>(Context), 0,
                           reinterpret_cast<uint64_t>(&CommBufferSize)});
    };
    const std::optional<EFI_STATUS> Status = Run ? Run(R->Image, Invoke) : std::optional<EFI_STATUS>(Invoke());
    if (Status) {
      F.Tr.Emit("smi-return", {{"dispatch", Hex(Number)}, {"status", Hex(*Status)}});
    }
    F.Tr.SetImage(Previous);
    ++Ran;
  }
  Fw.LeaveSmm();
  return Ran;
}

}  // namespace

size_t Firmware::DispatchSx(uint32_t SleepType, const SmiHandlerRunner &Run) {
  return DispatchSmi(
      *this, *P, P->Smm->SxHandlers, "sx",
      [&](const SmiRegistration &R) {
        uint32_t Type = 0, Phase = 0;
        std::memcpy(&Type, &R.Visible->Sx.Type, sizeof Type);
        std::memcpy(&Phase, &R.Visible->Sx.Phase, sizeof Phase);
        return Type == SleepType && Phase == SxEntry;
      },
      [](const SmiRegistration &R) { return std::pair<const void *, Json>(&R.Visible->Sx, SxContextJson(R.Visible->Sx)); },
      Run);
}

size_t Firmware::DispatchPowerButton(const SmiHandlerRunner &Run) {
  return DispatchSmi(
      *this, *P, P->Smm->PowerButtonHandlers, "power-button",
      [](const SmiRegistration &R) {
        uint32_t Phase = 0;
        std::memcpy(&Phase, &R.Visible->PowerButton.Phase, sizeof Phase);
        return Phase == EfiPowerButtonEntry;
      },
      [](const SmiRegistration &R) {
        return std::pair<const void *, Json>(&R.Visible->PowerButton, PowerButtonContextJson(R.Visible->PowerButton));
      },
      Run);
}

std::vector<std::pair<std::string, const void *>> Firmware::HeldPointers() const {
  std::vector<std::pair<std::string, const void *>> Out;
  auto Code = [](auto Function) { return reinterpret_cast<const void *>(Function); };
  auto Named = [](const EFI_GUID &Guid) {
    const char *Name = KnownGuidName(Guid);
    return Name != nullptr ? std::string(Name) : GuidText(Guid);
  };
  const SmmWorld &W = *P->Smm;
  for (const auto &R : W.SxHandlers) {
    uint32_t Type = 0;
    std::memcpy(&Type, &R->Visible->Sx.Type, sizeof Type);
    Out.emplace_back("Sx handler " + Hex(R->Number) + " (S" + std::to_string(Type) + ")", Code(R->Handler));
  }
  for (const auto &R : W.PowerButtonHandlers) {
    Out.emplace_back("power-button handler " + Hex(R->Number), Code(R->Handler));
  }
  for (const auto &N : W.Notifies) {
    Out.emplace_back("SMM notification on " + Named(N->Guid), Code(N->Function));
  }
  for (const ProtocolEntry *E : P->Protocols.ServiceInstalls()) {
    Out.emplace_back("protocol " + Named(E->Guid), E->Interface);
  }
  for (const ProtocolEntry *E : W.Protocols.ServiceInstalls()) {
    Out.emplace_back("SMM protocol " + Named(E->Guid), E->Interface);
  }
  for (const auto &T : P->Tables) {
    Out.emplace_back("configuration table " + Named(T.VendorGuid), T.VendorTable);
  }
  for (const auto &T : W.Tables) {
    Out.emplace_back("SMM configuration table " + Named(T.VendorGuid), T.VendorTable);
  }
  for (const auto &[Handle, E] : P->Events) {
    Out.emplace_back("event " + Hex(E->Number) + " notification", Code(E->Notify));
    Out.emplace_back("event " + Hex(E->Number) + " context", E->Context);
  }
  return Out;
}

size_t Firmware::SxHandlerCount() const { return P->Smm->SxHandlers.size(); }
size_t Firmware::PowerButtonHandlerCount() const { return P->Smm->PowerButtonHandlers.size(); }
size_t Firmware::LiveSmramBlocks() const { return P->Smm->Arena.LiveBlocks(); }

std::vector<uint64_t> Firmware::LiveBlockNumbers() const {
  std::vector<uint64_t> Out;
  for (const auto &[Buffer, Block] : P->Pool) {
    if (Block.FromService) Out.push_back(Block.Number);
  }
  for (const auto &[Offset, Block] : P->Smm->Arena.Blocks()) {
    Out.push_back(Block.Number);
  }
  std::sort(Out.begin(), Out.end());
  return Out;
}

std::optional<std::vector<HeapBufferNode>> Firmware::HeapBufferList(
    const std::function<bool(const void *)> &Readable) const {
  constexpr size_t kLinkSize = 16;
  constexpr size_t kHeaderSize = 16;
  constexpr size_t kPayloadSizeOffset = 8;
  auto *Instance = static_cast<uint8_t *>(P->Protocols.FindProtocol(kHeapBufferListProtocolGuid));
  if (Instance == nullptr || (Readable && !Readable(Instance))) {
    return std::nullopt;
  }
  const uint8_t *Head = Instance + sizeof(UINT64);
  // A node is a whole pool block (SMRAM or boot-services pool): how many
  // bytes the block starting at Node holds, 0 when none starts there.
  auto BlockBytes = [&](const uint8_t *Node) -> size_t {
    if (const SmramArena::Block *B = P->Smm->Arena.Find(Node)) {
      return B->Size;
    }
    const PoolBlock *B = P->FindPoolBlock(Node);
    return B != nullptr ? B->Size : 0;
  };
  std::vector<HeapBufferNode> Nodes;
  const uint8_t *Link = nullptr;
  std::memcpy(static_cast<void *>(&Link), Head, sizeof(const uint8_t *));
  // The cap ends a list whose links go round without reaching the head.
  const size_t Cap = SmramArena::kSize / (kLinkSize + kHeaderSize) + P->Pool.size();
  while (Link != Head && Nodes.size() < Cap) {
    const size_t Bytes = BlockBytes(Link);
    if (Bytes < kLinkSize + kHeaderSize) {
      break;
    }
    uint32_t PayloadSize = 0;
    std::memcpy(&PayloadSize, Link + kLinkSize + kPayloadSizeOffset, sizeof PayloadSize);
    if (kLinkSize + kHeaderSize + uint64_t{PayloadSize} > Bytes) {
      break;
    }
    HeapBufferNode Node;
    Node.Header.assign(Link + kLinkSize, Link + kLinkSize + kHeaderSize);
    Node.Payload.assign(Link + kLinkSize + kHeaderSize, Link + kLinkSize + kHeaderSize + PayloadSize);
    Nodes.push_back(std::move(Node));
    std::memcpy(static_cast<void *>(&Link), Link, sizeof(const uint8_t *));
  }
  return Nodes;
}

}  // namespace sim
