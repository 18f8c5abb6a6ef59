// A protocol database as the UEFI boot services and the SMM system table both
// keep one: handles numbered from 1 in creation order, and every installation
// numbered, so that a search by protocol answers with the first installation
// still present. The statuses are those of the services; the services around
// it add their guard and trace the call under their own names.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "Core/Trace.h"

#include <Uefi.h>

namespace sim {

struct ProtocolEntry {
  EFI_GUID Guid{};
  void *Interface = nullptr;
  bool FromService = false;  // installed through the service (by a driver)
  uint64_t Order = 0;
};

struct HandleRecord {
  uint64_t Number = 0;
  std::vector<ProtocolEntry> Protocols;
};

class ProtocolDatabase {
 public:
  HandleRecord *NewHandle();
  // The record of a handle this database made, or nullptr.
  const HandleRecord *Find(EFI_HANDLE Handle) const;

  // Installs Protocol on *Handle, or on a new handle when *Handle is null,
  // and stores the handle back. One protocol at most once on a handle.
  EFI_STATUS Install(EFI_HANDLE *Handle, const EFI_GUID *Protocol, void *Interface, bool FromService);
  // A protocol the firmware provides itself, on a handle of its own.
  void Publish(const EFI_GUID &Protocol, void *Interface);
  EFI_STATUS Reinstall(EFI_HANDLE Handle, const EFI_GUID *Protocol, void *OldInterface, void *NewInterface);
  EFI_STATUS Uninstall(EFI_HANDLE Handle, const EFI_GUID *Protocol, void *Interface);
  EFI_STATUS HandleProtocol(EFI_HANDLE Handle, const EFI_GUID *Protocol, void **Interface) const;
  EFI_STATUS Locate(const EFI_GUID *Protocol, void **Interface) const;

  // The first installation of Protocol still present, or nullptr.
  void *FindProtocol(const EFI_GUID &Protocol) const;
  // What drivers installed through the service and is still present, in installation order.
  std::vector<const ProtocolEntry *> ServiceInstalls() const;

 private:
  HandleRecord *FindRecord(EFI_HANDLE Handle) const;

  std::vector<std::unique_ptr<HandleRecord>> Handles_;  // creation order
  uint64_t Installs_ = 0;
};

// The fields a call on a handle traces: the protocol's GUID and name, then the handle.
Json HandleCallFields(const EFI_GUID *Protocol, const HandleRecord *Handle);

}  // namespace sim
