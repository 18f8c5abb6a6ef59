// SMN through the host bridge's memory-mapped index/data pair. The index is
// written before every data access, even for the same address, because
// nothing guarantees it still holds ours.
#include <Library/IoLib.h>
#include <SmnAccess.h>

UINT32 EFIAPI SmnRegisterRead32(UINT32 SmnAddress) {
  MmioWrite32(SMN_INDEX_REGISTER_MMIO, SmnAddress);
  return MmioRead32(SMN_DATA_REGISTER_MMIO);
}

VOID EFIAPI SmnRegisterWrite32(UINT32 SmnAddress, UINT32 Value) {
  MmioWrite32(SMN_INDEX_REGISTER_MMIO, SmnAddress);
  MmioWrite32(SMN_DATA_REGISTER_MMIO, Value);
}
