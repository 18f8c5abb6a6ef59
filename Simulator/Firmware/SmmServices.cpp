// The SMM system table: SMRAM pool, the SMM protocol database with its
// notifications, and the SMM configuration table; every other slot answers
// EFI_UNSUPPORTED.
#include "Firmware/SmmWorld.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/mman.h>


namespace sim {

// --- SmmWorld ----------------------------------------------------------------

void *SmmWorld::operator new(size_t Size) {
  void *Pages = mmap(nullptr, Size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (Pages == MAP_FAILED) {
    throw std::bad_alloc();
  }
  return Pages;
}

void SmmWorld::operator delete(void *World, size_t Size) { munmap(World, Size); }

void SmmWorld::RefreshConfigurationTable() {
  std::copy(Tables.begin(), Tables.end(), TableView.begin());
  Smst.NumberOfTableEntries = Tables.size();
  Smst.SmmConfigurationTable = Tables.empty() ? nullptr : TableView.data();
  Smst.Hdr.CRC32 = 0;
  Smst.Hdr.CRC32 = Crc32(&Smst, sizeof Smst);
}

namespace {

// --- Pool ----------------------------------------------------------------------

EFI_STATUS EFIAPI SmmAllocatePool(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer) {
  return WithSmm(EFI_OUT_OF_RESOURCES, [&](Firmware::Impl &F, SmmWorld &W) {
    return ServeAllocatePool(
        F, "SmmAllocatePool", PoolType, Size, Buffer,
        [](uint32_t Type) { return Type == EfiRuntimeServicesCode || Type == EfiRuntimeServicesData; },
        [&](uint32_t Type, uint64_t Number) { return W.Arena.Allocate(Size, Number, Type); });
  });
}

EFI_STATUS EFIAPI SmmFreePool(VOID *Buffer) {
  return WithSmm(EFI_INVALID_PARAMETER, [&](Firmware::Impl &F, SmmWorld &W) {
    const SmramArena::Block *Block = W.Arena.Find(Buffer);
    Json Number = Block != nullptr ? Json(Hex(Block->Number)) : Json(nullptr);
    EFI_STATUS Status = EFI_INVALID_PARAMETER;
    if (Block != nullptr) {
      W.Arena.Release(Buffer);
      Status = EFI_SUCCESS;
    }
    F.Call("SmmFreePool", {{"block", Number}}, Status);
    return Status;
  });
}

// --- Protocol database -----------------------------------------------------------

EFI_STATUS EFIAPI SmmInstallProtocolInterface(EFI_HANDLE *Handle, EFI_GUID *Protocol, EFI_INTERFACE_TYPE InterfaceType,
                                              VOID *Interface) {
  std::vector<SmmNotifyRecord *> Notify;
  EFI_GUID Guid{};
  const EFI_STATUS Status = WithSmm(EFI_OUT_OF_RESOURCES, [&](Firmware::Impl &F, SmmWorld &W) {
    const EFI_STATUS Result = InterfaceType == EFI_NATIVE_INTERFACE
                                  ? W.Protocols.Install(Handle, Protocol, Interface, true)
                                  : EFI_INVALID_PARAMETER;
    if (Result == EFI_SUCCESS) {
      Guid = *Protocol;
      for (auto &N : W.Notifies) {
        if (SameGuid(N->Guid, *Protocol)) {
          Notify.push_back(N.get());
        }
      }
    }
    Json Fields = HandleCallFields(Protocol, Result == EFI_SUCCESS ? W.Protocols.Find(*Handle) : nullptr);
    Fields["notified"] = Notify.size();
    F.Call("SmmInstallProtocolInterface", std::move(Fields), Result);
    return Result;
  });
  // The notification functions are driver code: called outside the guard,
  // each only while it is still registered (an earlier one may withdraw it).
  for (SmmNotifyRecord *N : Notify) {
    const bool Registered =
        gActiveFirmware != nullptr && gActiveFirmware->Smm != nullptr &&
        std::any_of(gActiveFirmware->Smm->Notifies.begin(), gActiveFirmware->Smm->Notifies.end(),
                    [&](const auto &R) { return R.get() == N; });
    if (Registered) {
      SmmWorld &W = *gActiveFirmware->Smm;
      const size_t Slot = std::min(W.NotifyDepth, W.NotifyGuids.size() - 1);
      W.NotifyGuids[Slot] = Guid;
      ++W.NotifyDepth;
      gActiveFirmware->CallDriver(reinterpret_cast<const void *>(N->Function),
                                  {reinterpret_cast<uint64_t>(&W.NotifyGuids[Slot]), reinterpret_cast<uint64_t>(Interface),
                                   reinterpret_cast<uint64_t>(*Handle)});
      --W.NotifyDepth;
    }
  }
  return Status;
}

EFI_STATUS EFIAPI SmmUninstallProtocolInterface(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID *Interface) {
  return WithSmm(EFI_INVALID_PARAMETER, [&](Firmware::Impl &F, SmmWorld &W) {
    const EFI_STATUS Status = W.Protocols.Uninstall(Handle, Protocol, Interface);
    F.Call("SmmUninstallProtocolInterface", HandleCallFields(Protocol, W.Protocols.Find(Handle)), Status);
    return Status;
  });
}

EFI_STATUS EFIAPI SmmHandleProtocol(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID **Interface) {
  return WithSmm(EFI_INVALID_PARAMETER, [&](Firmware::Impl &F, SmmWorld &W) {
    const EFI_STATUS Status = W.Protocols.HandleProtocol(Handle, Protocol, Interface);
    F.Call("SmmHandleProtocol", HandleCallFields(Protocol, W.Protocols.Find(Handle)), Status);
    return Status;
  });
}

EFI_STATUS EFIAPI SmmLocateProtocol(EFI_GUID *Protocol, VOID *Registration, VOID **Interface) {
  (void)Registration;  // nothing narrows the search: the first installation answers
  return WithSmm(EFI_INVALID_PARAMETER, [&](Firmware::Impl &F, SmmWorld &W) {
    const EFI_STATUS Status = W.Protocols.Locate(Protocol, Interface);
    F.Call("SmmLocateProtocol", {{"guid", GuidJson(Protocol)}, {"protocol", NameJson(Protocol)}}, Status);
    return Status;
  });
}

EFI_STATUS EFIAPI SmmRegisterProtocolNotify(CONST EFI_GUID *Protocol, EFI_SMM_NOTIFY_FN Function,
                                            VOID **Registration) {
  return WithSmm(EFI_OUT_OF_RESOURCES, [&](Firmware::Impl &F, SmmWorld &W) {
    EFI_STATUS Status = EFI_INVALID_PARAMETER;
    const SmmNotifyRecord *Record = nullptr;
    bool Existing = false;
    if (Protocol != nullptr && Registration != nullptr) {
      if (Function != nullptr) {
        for (const auto &N : W.Notifies) {
          if (SameGuid(N->Guid, *Protocol) && N->Function == Function) {
            Record = N.get();
            Existing = true;
            break;
          }
        }
        if (Record == nullptr) {
          auto New = std::make_unique<SmmNotifyRecord>();
          New->Number = ++W.NotifiesMade;
          New->Guid = *Protocol;
          New->Function = Function;
          Record = New.get();
          W.Notifies.push_back(std::move(New));
        }
        *Registration = const_cast<SmmNotifyRecord *>(Record);
        Status = EFI_SUCCESS;
      } else {
        auto It = std::find_if(W.Notifies.begin(), W.Notifies.end(), [&](const auto &N) {
          return N.get() == *Registration && SameGuid(N->Guid, *Protocol);
        });
        Status = EFI_NOT_FOUND;
        if (It != W.Notifies.end()) {
          Record = It->get();
          Existing = true;
          Status = EFI_SUCCESS;
        }
      }
    }
    F.Call("SmmRegisterProtocolNotify",
           {{"guid", GuidJson(Protocol)},
            {"protocol", NameJson(Protocol)},
            {"function", Function != nullptr},
            {"registration", Record != nullptr ? Json(Hex(Record->Number)) : Json(nullptr)},
            {"existing", Existing}},
           Status);
    if (Status == EFI_SUCCESS && Function == nullptr) {
      std::erase_if(W.Notifies, [&](const auto &N) { return N.get() == Record; });
    }
    return Status;
  });
}

// --- Configuration table ---------------------------------------------------------

EFI_STATUS EFIAPI SmmInstallConfigurationTable(CONST EFI_SMM_SYSTEM_TABLE2 *SystemTable, CONST EFI_GUID *Guid,
                                               VOID *Table, UINTN TableSize) {
  (void)SystemTable;
  return WithSmm(EFI_OUT_OF_RESOURCES, [&](Firmware::Impl &F, SmmWorld &W) {
    EFI_STATUS Status = EFI_INVALID_PARAMETER;
    const bool Full = Guid != nullptr && Table != nullptr && W.Tables.size() == W.TableView.size() &&
                      std::none_of(W.Tables.begin(), W.Tables.end(),
                                   [&](const auto &E) { return SameGuid(E.VendorGuid, *Guid); });
    if (Full) {
      Status = EFI_OUT_OF_RESOURCES;
    } else if (Guid != nullptr) {
      Status = UpdateConfigurationTable(W.Tables, *Guid, Table);
      W.RefreshConfigurationTable();
    }
    F.Call("SmmInstallConfigurationTable",
           {{"guid", GuidJson(Guid)}, {"table", NameJson(Guid)}, {"size", Hex(TableSize)}, {"remove", Table == nullptr}},
           Status);
    return Status;
  });
}

}  // namespace

#define SMST_UNSUPPORTED(Member, Name) \
  W.Smst.Member = &UnsupportedSlot<Name, decltype(EFI_SMM_SYSTEM_TABLE2::Member)>::Call

void InitSmmServices(Firmware::Impl &F, SmmWorld &W) {
  W.Smst.Hdr = {SMM_SMST_SIGNATURE, EFI_SMM_SYSTEM_TABLE2_REVISION, sizeof(EFI_SMM_SYSTEM_TABLE2), 0, 0};
  W.Smst.SmmFirmwareVendor = W.Vendor.data();
  W.Smst.SmmFirmwareRevision = 0x00010000;
  W.Smst.SmmInstallConfigurationTable = &SmmInstallConfigurationTable;
  SMST_UNSUPPORTED(SmmIo.Mem.Read, "SmmIoMemRead");
  SMST_UNSUPPORTED(SmmIo.Mem.Write, "SmmIoMemWrite");
  SMST_UNSUPPORTED(SmmIo.Io.Read, "SmmIoIoRead");
  SMST_UNSUPPORTED(SmmIo.Io.Write, "SmmIoIoWrite");
  W.Smst.SmmAllocatePool = &SmmAllocatePool;
  W.Smst.SmmFreePool = &SmmFreePool;
  SMST_UNSUPPORTED(SmmAllocatePages, "SmmAllocatePages");
  SMST_UNSUPPORTED(SmmFreePages, "SmmFreePages");
  SMST_UNSUPPORTED(SmmStartupThisAp, "SmmStartupThisAp");
  W.Smst.CurrentlyExecutingCpu = 0;
  W.Smst.NumberOfCpus = 1;
  W.SaveStateSize[0] = W.SaveStateArea.size();
  W.SaveState[0] = W.SaveStateArea.data();
  W.Smst.CpuSaveStateSize = W.SaveStateSize.data();
  W.Smst.CpuSaveState = W.SaveState.data();
  W.Smst.SmmInstallProtocolInterface = &SmmInstallProtocolInterface;
  W.Smst.SmmUninstallProtocolInterface = &SmmUninstallProtocolInterface;
  W.Smst.SmmHandleProtocol = &SmmHandleProtocol;
  W.Smst.SmmRegisterProtocolNotify = &SmmRegisterProtocolNotify;
  SMST_UNSUPPORTED(SmmLocateHandle, "SmmLocateHandle");
  W.Smst.SmmLocateProtocol = &SmmLocateProtocol;
  SMST_UNSUPPORTED(SmiManage, "SmiManage");
  SMST_UNSUPPORTED(SmiHandlerRegister, "SmiHandlerRegister");
  SMST_UNSUPPORTED(SmiHandlerUnRegister, "SmiHandlerUnRegister");

  // The board firmware's own SMM runtime-services table: the same services,
  // so variables read in SMM come from the one store.
  W.SmmRuntimeServices = F.Rs;
  W.Tables.reserve(16);
  W.Tables.push_back(EFI_CONFIGURATION_TABLE{kSmmRuntimeServicesTableGuid, &W.SmmRuntimeServices});
  W.RefreshConfigurationTable();
}

void InitSmm(Firmware::Impl &F, const ProtocolSet &Protocols) {
  F.Smm = std::make_unique<SmmWorld>();
  InitSmmServices(F, *F.Smm);
  InitSmmProtocols(F, *F.Smm, Protocols);
}

}  // namespace sim
