// Boot services: pool, events, the protocol database, configuration tables
// and the memory helpers; every other slot answers EFI_UNSUPPORTED.
#include "Firmware/FirmwareImpl.h"

#include <cstring>

namespace sim {
namespace {

constexpr uint32_t kOemMemoryTypeMin = 0x70000000;
constexpr const char *kExitBootServicesGroup = "exit-boot-services";
constexpr const char *kVirtualAddressChangeGroup = "virtual-address-change";

bool ValidPoolType(uint32_t Type) {
  if (Type >= EfiMaxMemoryType && Type < kOemMemoryTypeMin) {
    return false;
  }
  return Type != EfiConventionalMemory && Type != EfiPersistentMemory && Type != EfiUnacceptedMemoryType;
}

bool ValidEventType(uint32_t Type) {
  if (Type == EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE) {
    return true;
  }
  switch (Type & ~EVT_RUNTIME) {
    case 0:
    case EVT_TIMER:
    case EVT_TIMER | EVT_NOTIFY_WAIT:
    case EVT_TIMER | EVT_NOTIFY_SIGNAL:
    case EVT_NOTIFY_WAIT:
    case EVT_NOTIFY_SIGNAL:
    case EVT_SIGNAL_EXIT_BOOT_SERVICES:
      return true;
    default:
      return false;
  }
}

EFI_TPL EFIAPI RaiseTpl(EFI_TPL NewTpl) {
  return Guarded<EFI_TPL>(TPL_APPLICATION, [&](Firmware::Impl &F) {
    EFI_TPL Old = F.Tpl;
    F.Tpl = NewTpl;
    F.Call("RaiseTPL", {{"tpl", Hex(NewTpl)}, {"previous", Hex(Old)}}, std::nullopt);
    return Old;
  });
}

VOID EFIAPI RestoreTpl(EFI_TPL OldTpl) {
  GuardedVoid([&](Firmware::Impl &F) {
    F.Tpl = OldTpl;
    F.Call("RestoreTPL", {{"tpl", Hex(OldTpl)}}, std::nullopt);
  });
}

EFI_STATUS EFIAPI AllocatePool(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer) {
  return Guarded<EFI_STATUS>(EFI_OUT_OF_RESOURCES, [&](Firmware::Impl &F) {
    return ServeAllocatePool(F, "AllocatePool", PoolType, Size, Buffer, &ValidPoolType,
                             [&](uint32_t Type, uint64_t Number) {
                               return F.NewPoolBlock(Type, Size, Number, true);
                             });
  });
}

EFI_STATUS EFIAPI FreePool(VOID *Buffer) {
  return Guarded<EFI_STATUS>(EFI_INVALID_PARAMETER, [&](Firmware::Impl &F) {
    const PoolBlock *Block = Buffer != nullptr ? F.FindPoolBlock(Buffer) : nullptr;
    Json Number = Block != nullptr ? Json(Hex(Block->Number)) : Json(nullptr);
    EFI_STATUS Status = EFI_INVALID_PARAMETER;
    if (Block != nullptr) {
      F.ReleasePoolBlock(Buffer);
      Status = EFI_SUCCESS;
    }
    F.Call("FreePool", {{"block", Number}}, Status);
    return Status;
  });
}

EFI_STATUS CreateEventCommon(Firmware::Impl &F, const char *Service, UINT32 Type, EFI_TPL NotifyTpl,
                             EFI_EVENT_NOTIFY NotifyFunction, const VOID *NotifyContext, const EFI_GUID *EventGroup,
                             EFI_EVENT *Event) {
  EFI_STATUS Status = EFI_SUCCESS;
  const bool Notifies = (Type & (EVT_NOTIFY_WAIT | EVT_NOTIFY_SIGNAL)) != 0;
  if (Event == nullptr || !ValidEventType(Type)) {
    Status = EFI_INVALID_PARAMETER;
  } else if (EventGroup != nullptr &&
             (Type == EVT_SIGNAL_EXIT_BOOT_SERVICES || Type == EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE)) {
    Status = EFI_INVALID_PARAMETER;
  } else if (Notifies && (NotifyFunction == nullptr || NotifyTpl <= TPL_APPLICATION || NotifyTpl >= TPL_HIGH_LEVEL)) {
    Status = EFI_INVALID_PARAMETER;
  }

  EventRecord *Created = nullptr;
  if (Status == EFI_SUCCESS) {
    auto E = std::make_unique<EventRecord>();
    E->Number = ++F.EventsCreated;
    E->Type = Type;
    E->Tpl = NotifyTpl;
    E->Notify = Notifies ? NotifyFunction : nullptr;
    E->Context = NotifyContext;
    if (EventGroup != nullptr) {
      E->Group = GuidText(*EventGroup);
    } else if (Type == EVT_SIGNAL_EXIT_BOOT_SERVICES) {
      E->Group = kExitBootServicesGroup;
    } else if (Type == EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE) {
      E->Group = kVirtualAddressChangeGroup;
    }
    Created = E.get();
    F.Events[Created] = std::move(E);
    *Event = Created;
  }

  Json Args = {{"type", Hex(Type)}, {"tpl", Hex(NotifyTpl)}, {"notify", NotifyFunction != nullptr}};
  if (std::strcmp(Service, "CreateEventEx") == 0) {
    Args["group"] = GuidJson(EventGroup);
  }
  Args["handle"] = Created != nullptr ? Json(Hex(Created->Number)) : Json(nullptr);
  F.Call(Service, std::move(Args), Status);
  return Status;
}

EFI_STATUS EFIAPI CreateEvent(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction, VOID *NotifyContext,
                              EFI_EVENT *Event) {
  return Guarded<EFI_STATUS>(EFI_OUT_OF_RESOURCES, [&](Firmware::Impl &F) {
    return CreateEventCommon(F, "CreateEvent", Type, NotifyTpl, NotifyFunction, NotifyContext, nullptr, Event);
  });
}

EFI_STATUS EFIAPI CreateEventEx(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction,
                                CONST VOID *NotifyContext, CONST EFI_GUID *EventGroup, EFI_EVENT *Event) {
  return Guarded<EFI_STATUS>(EFI_OUT_OF_RESOURCES, [&](Firmware::Impl &F) {
    return CreateEventCommon(F, "CreateEventEx", Type, NotifyTpl, NotifyFunction, NotifyContext, EventGroup, Event);
  });
}

EFI_STATUS EFIAPI SignalEvent(EFI_EVENT Event) {
  struct Pending {
    EFI_EVENT Handle;
    EFI_EVENT_NOTIFY Notify;
    void *Context;
  };
  std::vector<Pending> Run;
  EFI_STATUS Status = Guarded<EFI_STATUS>(EFI_INVALID_PARAMETER, [&](Firmware::Impl &F) {
    auto It = F.Events.find(Event);
    if (It == F.Events.end()) {
      F.Call("SignalEvent", {{"handle", nullptr}}, EFI_INVALID_PARAMETER);
      return EFI_INVALID_PARAMETER;
    }
    for (EventRecord *Target : F.SignalTargets(*It->second)) {
      Target->Signalled = true;
      Run.push_back({Target, Target->Notify, const_cast<void *>(Target->Context)});
    }
    It->second->Signalled = true;
    F.Call("SignalEvent", {{"handle", Hex(It->second->Number)}, {"notified", Run.size()}}, EFI_SUCCESS);
    return EFI_SUCCESS;
  });
  if (Status != EFI_SUCCESS) {
    Run.clear();
  }
  // Driver code runs outside the guard: whatever it does is its own business.
  for (const auto &P : Run) {
    if (gActiveFirmware != nullptr && gActiveFirmware->Events.count(P.Handle) != 0) {
      gActiveFirmware->CallDriver(reinterpret_cast<const void *>(P.Notify),
                                  {reinterpret_cast<uint64_t>(P.Handle), reinterpret_cast<uint64_t>(P.Context)});
    }
  }
  return Status;
}

EFI_STATUS EFIAPI CloseEvent(EFI_EVENT Event) {
  return Guarded<EFI_STATUS>(EFI_INVALID_PARAMETER, [&](Firmware::Impl &F) {
    auto It = F.Events.find(Event);
    if (It == F.Events.end()) {
      F.Call("CloseEvent", {{"handle", nullptr}}, EFI_INVALID_PARAMETER);
      return EFI_INVALID_PARAMETER;
    }
    uint64_t Number = It->second->Number;
    F.Events.erase(It);
    F.Call("CloseEvent", {{"handle", Hex(Number)}}, EFI_SUCCESS);
    return EFI_SUCCESS;
  });
}

EFI_STATUS EFIAPI InstallProtocolInterface(EFI_HANDLE *Handle, EFI_GUID *Protocol, EFI_INTERFACE_TYPE InterfaceType,
                                           VOID *Interface) {
  return Guarded<EFI_STATUS>(EFI_OUT_OF_RESOURCES, [&](Firmware::Impl &F) {
    const EFI_STATUS Status = InterfaceType == EFI_NATIVE_INTERFACE
                                  ? F.Protocols.Install(Handle, Protocol, Interface, true)
                                  : EFI_INVALID_PARAMETER;
    const HandleRecord *H = Status == EFI_SUCCESS ? F.Protocols.Find(*Handle) : nullptr;
    F.Call("InstallProtocolInterface", HandleCallFields(Protocol, H), Status);
    return Status;
  });
}

EFI_STATUS EFIAPI ReinstallProtocolInterface(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID *OldInterface,
                                             VOID *NewInterface) {
  return Guarded<EFI_STATUS>(EFI_INVALID_PARAMETER, [&](Firmware::Impl &F) {
    const EFI_STATUS Status = F.Protocols.Reinstall(Handle, Protocol, OldInterface, NewInterface);
    F.Call("ReinstallProtocolInterface", HandleCallFields(Protocol, F.Protocols.Find(Handle)), Status);
    return Status;
  });
}

EFI_STATUS EFIAPI UninstallProtocolInterface(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID *Interface) {
  return Guarded<EFI_STATUS>(EFI_INVALID_PARAMETER, [&](Firmware::Impl &F) {
    const EFI_STATUS Status = F.Protocols.Uninstall(Handle, Protocol, Interface);
    F.Call("UninstallProtocolInterface", HandleCallFields(Protocol, F.Protocols.Find(Handle)), Status);
    return Status;
  });
}

EFI_STATUS EFIAPI HandleProtocol(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID **Interface) {
  return Guarded<EFI_STATUS>(EFI_INVALID_PARAMETER, [&](Firmware::Impl &F) {
    const EFI_STATUS Status = F.Protocols.HandleProtocol(Handle, Protocol, Interface);
    F.Call("HandleProtocol", HandleCallFields(Protocol, F.Protocols.Find(Handle)), Status);
    return Status;
  });
}

EFI_STATUS EFIAPI LocateProtocol(EFI_GUID *Protocol, VOID *Registration, VOID **Interface) {
  (void)Registration;  // no notifications are registered here, so none narrows the search
  return Guarded<EFI_STATUS>(EFI_INVALID_PARAMETER, [&](Firmware::Impl &F) {
    const EFI_STATUS Status = F.Protocols.Locate(Protocol, Interface);
    F.Call("LocateProtocol", {{"guid", GuidJson(Protocol)}, {"protocol", NameJson(Protocol)}}, Status);
    return Status;
  });
}

EFI_STATUS EFIAPI InstallConfigurationTable(EFI_GUID *Guid, VOID *Table) {
  return Guarded<EFI_STATUS>(EFI_OUT_OF_RESOURCES, [&](Firmware::Impl &F) {
    EFI_STATUS Status = Guid != nullptr ? F.SetConfigurationTable(*Guid, Table) : EFI_INVALID_PARAMETER;
    F.Call("InstallConfigurationTable",
           {{"guid", GuidJson(Guid)}, {"table", NameJson(Guid)}, {"remove", Table == nullptr}}, Status);
    return Status;
  });
}

EFI_STATUS EFIAPI CalculateCrc32(VOID *Data, UINTN DataSize, UINT32 *Crc32Out) {
  return Guarded<EFI_STATUS>(EFI_INVALID_PARAMETER, [&](Firmware::Impl &F) {
    EFI_STATUS Status = EFI_INVALID_PARAMETER;
    Json Crc = nullptr;
    if (Data != nullptr && Crc32Out != nullptr && DataSize != 0) {
      *Crc32Out = Crc32(Data, DataSize);
      Crc = Hex(*Crc32Out);
      Status = EFI_SUCCESS;
    }
    F.Call("CalculateCrc32", {{"size", Hex(DataSize)}, {"crc", Crc}}, Status);
    return Status;
  });
}

VOID EFIAPI CopyMem(VOID *Destination, VOID *Source, UINTN Length) {
  GuardedVoid([&](Firmware::Impl &F) {
    F.Call("CopyMem", {{"size", Hex(Length)}}, std::nullopt);
  });
  if (Length != 0 && Destination != nullptr && Source != nullptr) {
    std::memmove(Destination, Source, Length);
  }
}

VOID EFIAPI SetMem(VOID *Buffer, UINTN Size, UINT8 Value) {
  GuardedVoid([&](Firmware::Impl &F) {
    F.Call("SetMem", {{"size", Hex(Size)}, {"value", Hex(Value)}}, std::nullopt);
  });
  if (Size != 0 && Buffer != nullptr) {
    std::memset(Buffer, Value, Size);
  }
}

}  // namespace

EFI_STATUS ServeAllocatePool(Firmware::Impl &F, std::string_view Service, const EFI_MEMORY_TYPE &PoolType,
                             UINTN Size, VOID **Buffer, bool (*ValidType)(uint32_t Type),
                             const std::function<void *(uint32_t Type, uint64_t Number)> &Allocate) {
  // OEM and OS types lie outside the enumeration's range: read the raw value
  // (hence PoolType by reference: a copy would load it as the enumeration).
  uint32_t Type = 0;
  std::memcpy(&Type, &PoolType, sizeof Type);
  const uint64_t Number = F.NextAllocationNumber();
  bool Injected = false;
  void *Block = nullptr;
  EFI_STATUS Status = EFI_SUCCESS;
  if (!ValidType(Type) || Buffer == nullptr) {
    Status = EFI_INVALID_PARAMETER;
  } else if (F.AllocationFails(Number)) {
    Injected = true;
    Status = EFI_OUT_OF_RESOURCES;
  } else if ((Block = Allocate(Type, Number)) == nullptr) {
    Status = EFI_OUT_OF_RESOURCES;
  }
  if (Buffer != nullptr) {
    *Buffer = Block;
  }
  F.Call(Service,
         {{"type", MemoryTypeName(Type)},
          {"size", Hex(Size)},
          {"allocation", Hex(Number)},
          {"injected", Injected},
          {"block", Block != nullptr ? Json(Hex(Number)) : Json(nullptr)}},
         Status);
  return Status;
}

#define BS_UNSUPPORTED(Member) F.Bs.Member = &UnsupportedSlot<#Member, decltype(EFI_BOOT_SERVICES::Member)>::Call

void InitBootServices(Firmware::Impl &F) {
  F.Bs.RaiseTPL = &RaiseTpl;
  F.Bs.RestoreTPL = &RestoreTpl;
  BS_UNSUPPORTED(AllocatePages);
  BS_UNSUPPORTED(FreePages);
  BS_UNSUPPORTED(GetMemoryMap);
  F.Bs.AllocatePool = &AllocatePool;
  F.Bs.FreePool = &FreePool;
  F.Bs.CreateEvent = &CreateEvent;
  BS_UNSUPPORTED(SetTimer);
  BS_UNSUPPORTED(WaitForEvent);
  F.Bs.SignalEvent = &SignalEvent;
  F.Bs.CloseEvent = &CloseEvent;
  BS_UNSUPPORTED(CheckEvent);
  F.Bs.InstallProtocolInterface = &InstallProtocolInterface;
  F.Bs.ReinstallProtocolInterface = &ReinstallProtocolInterface;
  F.Bs.UninstallProtocolInterface = &UninstallProtocolInterface;
  F.Bs.HandleProtocol = &HandleProtocol;
  // Not a service, but a caller jumping through it must still land somewhere harmless.
  F.Bs.Reserved = reinterpret_cast<VOID *>(&UnsupportedSlot<"Reserved", EFI_STATUS(EFIAPI *)()>::Call);
  BS_UNSUPPORTED(RegisterProtocolNotify);
  BS_UNSUPPORTED(LocateHandle);
  BS_UNSUPPORTED(LocateDevicePath);
  F.Bs.InstallConfigurationTable = &InstallConfigurationTable;
  BS_UNSUPPORTED(LoadImage);
  BS_UNSUPPORTED(StartImage);
  BS_UNSUPPORTED(Exit);
  BS_UNSUPPORTED(UnloadImage);
  BS_UNSUPPORTED(ExitBootServices);
  BS_UNSUPPORTED(GetNextMonotonicCount);
  BS_UNSUPPORTED(Stall);
  BS_UNSUPPORTED(SetWatchdogTimer);
  BS_UNSUPPORTED(ConnectController);
  BS_UNSUPPORTED(DisconnectController);
  BS_UNSUPPORTED(OpenProtocol);
  BS_UNSUPPORTED(CloseProtocol);
  BS_UNSUPPORTED(OpenProtocolInformation);
  BS_UNSUPPORTED(ProtocolsPerHandle);
  BS_UNSUPPORTED(LocateHandleBuffer);
  F.Bs.LocateProtocol = &LocateProtocol;
  BS_UNSUPPORTED(InstallMultipleProtocolInterfaces);
  BS_UNSUPPORTED(UninstallMultipleProtocolInterfaces);
  F.Bs.CalculateCrc32 = &CalculateCrc32;
  F.Bs.CopyMem = &CopyMem;
  F.Bs.SetMem = &SetMem;
  F.Bs.CreateEventEx = &CreateEventEx;
}

}  // namespace sim
