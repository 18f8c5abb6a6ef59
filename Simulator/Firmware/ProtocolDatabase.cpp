#include "Firmware/ProtocolDatabase.h"

#include <algorithm>

#include "Firmware/FirmwareImpl.h"

namespace sim {
namespace {

// The entry of Protocol on H (with Interface, when one is given), or nullptr.
ProtocolEntry *FindEntry(HandleRecord &H, const EFI_GUID &Protocol, const void *const *Interface) {
  for (auto &E : H.Protocols) {
    if (SameGuid(E.Guid, Protocol) && (Interface == nullptr || E.Interface == *Interface)) {
      return &E;
    }
  }
  return nullptr;
}

}  // namespace

HandleRecord *ProtocolDatabase::NewHandle() {
  auto H = std::make_unique<HandleRecord>();
  H->Number = Handles_.size() + 1;
  Handles_.push_back(std::move(H));
  return Handles_.back().get();
}

HandleRecord *ProtocolDatabase::FindRecord(EFI_HANDLE Handle) const {
  for (const auto &H : Handles_) {
    if (H.get() == Handle) {
      return H.get();
    }
  }
  return nullptr;
}

const HandleRecord *ProtocolDatabase::Find(EFI_HANDLE Handle) const { return FindRecord(Handle); }

EFI_STATUS ProtocolDatabase::Install(EFI_HANDLE *Handle, const EFI_GUID *Protocol, void *Interface,
                                     bool FromService) {
  if (Handle == nullptr || Protocol == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  HandleRecord *H = nullptr;
  if (*Handle == nullptr) {
    H = NewHandle();
  } else {
    H = FindRecord(*Handle);
    if (H == nullptr || FindEntry(*H, *Protocol, nullptr) != nullptr) {
      return EFI_INVALID_PARAMETER;
    }
  }
  H->Protocols.push_back(ProtocolEntry{*Protocol, Interface, FromService, ++Installs_});
  *Handle = H;
  return EFI_SUCCESS;
}

void ProtocolDatabase::Publish(const EFI_GUID &Protocol, void *Interface) {
  EFI_HANDLE Handle = nullptr;
  Install(&Handle, &Protocol, Interface, false);
}

EFI_STATUS ProtocolDatabase::Reinstall(EFI_HANDLE Handle, const EFI_GUID *Protocol, void *OldInterface,
                                       void *NewInterface) {
  HandleRecord *H = FindRecord(Handle);
  if (H == nullptr || Protocol == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  ProtocolEntry *E = FindEntry(*H, *Protocol, &OldInterface);
  if (E == nullptr) {
    return EFI_NOT_FOUND;
  }
  E->Interface = NewInterface;
  return EFI_SUCCESS;
}

EFI_STATUS ProtocolDatabase::Uninstall(EFI_HANDLE Handle, const EFI_GUID *Protocol, void *Interface) {
  HandleRecord *H = FindRecord(Handle);
  if (H == nullptr || Protocol == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  ProtocolEntry *E = FindEntry(*H, *Protocol, &Interface);
  if (E == nullptr) {
    return EFI_NOT_FOUND;
  }
  // The handle itself stays: its number is never given to another.
  H->Protocols.erase(H->Protocols.begin() + (E - H->Protocols.data()));
  return EFI_SUCCESS;
}

EFI_STATUS ProtocolDatabase::HandleProtocol(EFI_HANDLE Handle, const EFI_GUID *Protocol, void **Interface) const {
  if (Interface == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *Interface = nullptr;
  HandleRecord *H = FindRecord(Handle);
  if (H == nullptr || Protocol == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const ProtocolEntry *E = FindEntry(*H, *Protocol, nullptr);
  if (E == nullptr) {
    return EFI_UNSUPPORTED;
  }
  *Interface = E->Interface;
  return EFI_SUCCESS;
}

EFI_STATUS ProtocolDatabase::Locate(const EFI_GUID *Protocol, void **Interface) const {
  if (Interface == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *Interface = nullptr;
  if (Protocol == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *Interface = FindProtocol(*Protocol);
  return *Interface != nullptr ? EFI_SUCCESS : EFI_NOT_FOUND;
}

void *ProtocolDatabase::FindProtocol(const EFI_GUID &Protocol) const {
  const ProtocolEntry *Best = nullptr;
  for (const auto &H : Handles_) {
    for (const auto &E : H->Protocols) {
      if (SameGuid(E.Guid, Protocol) && (Best == nullptr || E.Order < Best->Order)) {
        Best = &E;
      }
    }
  }
  return Best != nullptr ? Best->Interface : nullptr;
}

std::vector<const ProtocolEntry *> ProtocolDatabase::ServiceInstalls() const {
  std::vector<const ProtocolEntry *> Entries;
  for (const auto &H : Handles_) {
    for (const auto &E : H->Protocols) {
      if (E.FromService) {
        Entries.push_back(&E);
      }
    }
  }
  std::sort(Entries.begin(), Entries.end(), [](auto *A, auto *B) { return A->Order < B->Order; });
  return Entries;
}

Json HandleCallFields(const EFI_GUID *Protocol, const HandleRecord *Handle) {
  return {{"guid", GuidJson(Protocol)},
          {"protocol", NameJson(Protocol)},
          {"handle", Handle != nullptr ? Json(Hex(Handle->Number)) : Json(nullptr)}};
}

}  // namespace sim
