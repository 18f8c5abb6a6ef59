// Stand-in SMM drivers that break the SMRAM rules on purpose, so that the
// simulator's checks are seen to fire.
//   ROGUE_OUTSIDE: entry keeps gST and a boot-services pool block; the S3
//     handler reads the system table's configuration table, the S4 handler
//     writes the pool block, the S5 handler calls a boot service. When a DXE
//     driver published a rogue table, entry keeps it too: the S3 handler first
//     reads its word, the S5 handler calls its function instead.
//   ROGUE_FAILED_ENTRY: entry registers an S5 handler and a notification,
//     then fails.
//   ROGUE_DXE_TABLE: a DXE driver that publishes the rogue table, a word and
//     a function in its own image.
#include <Uefi.h>
#include <Library/IoLib.h>
#include <Pi/PiSmmCis.h>

namespace {

constexpr EFI_GUID kBase2 = EFI_SMM_BASE2_PROTOCOL_GUID;
[[maybe_unused]] constexpr EFI_GUID kSx = EFI_SMM_SX_DISPATCH2_PROTOCOL_GUID;
[[maybe_unused]] constexpr EFI_GUID kNotified = {0x296EB418, 0xC4C8, 0x4E05, {0xAB, 0x59, 0x39, 0xE8, 0xAF, 0x56, 0xF0, 0x0A}};
[[maybe_unused]] constexpr EFI_GUID kRogueTable = {0x6A4C0E51, 0x2B7D, 0x4F3A, {0x9C, 0x11, 0x5E, 0x2D, 0x7A, 0x80, 0x43, 0x19}};

struct ROGUE_TABLE {
  UINT64 Word;
  VOID(EFIAPI *Function)(VOID);
};

constinit volatile ROGUE_TABLE *mDxeTable = nullptr;

constinit EFI_SYSTEM_TABLE *mSt = nullptr;
constinit volatile UINT8 *mPoolBlock = nullptr;
[[maybe_unused]] constinit EFI_SMM_SX_REGISTER_CONTEXT mContexts[] = {{SxS3, SxEntry}, {SxS4, SxEntry}, {SxS5, SxEntry}};

[[maybe_unused]] EFI_STATUS EFIAPI SxHandler(EFI_HANDLE, CONST VOID *Context, VOID *, UINTN *) {
  IoWrite8(0x80, 0xC0);
  switch (static_cast<const EFI_SMM_SX_REGISTER_CONTEXT *>(Context)->Type) {
    case SxS3:
      if (mDxeTable != nullptr) {
        IoWrite8(0x80, static_cast<UINT8>(mDxeTable->Word));
      }
      IoWrite8(0x80, static_cast<UINT8>(mSt->NumberOfTableEntries != 0 && mSt->ConfigurationTable != nullptr));
      break;
    case SxS4:
      mPoolBlock[4] = 0x5A;
      break;
    default: {
      if (mDxeTable != nullptr) {
        mDxeTable->Function();
      }
      VOID *Interface = nullptr;
      mSt->BootServices->LocateProtocol(const_cast<EFI_GUID *>(&kBase2), nullptr, &Interface);
      break;
    }
  }
  IoWrite8(0x80, 0xC1);  // never reached
  return EFI_SUCCESS;
}

[[maybe_unused]] EFI_STATUS EFIAPI Notify(CONST EFI_GUID *, VOID *, EFI_HANDLE) { return EFI_SUCCESS; }

}  // namespace

#if defined(ROGUE_DXE_TABLE)
namespace {
VOID EFIAPI DxeFunction(VOID) { IoWrite8(0x80, 0xD0); }
constinit ROGUE_TABLE mTable = {0xA5, DxeFunction};
}  // namespace

extern "C" MODULE_EXPORT EFI_STATUS EFIAPI _ModuleEntryPoint(EFI_HANDLE, EFI_SYSTEM_TABLE *St) {
  return St->BootServices->InstallConfigurationTable(const_cast<EFI_GUID *>(&kRogueTable), &mTable);
}
#else
extern "C" MODULE_EXPORT EFI_STATUS EFIAPI _ModuleEntryPoint(EFI_HANDLE, EFI_SYSTEM_TABLE *St) {
  EFI_SMM_BASE2_PROTOCOL *Base2 = nullptr;
  EFI_SMM_SYSTEM_TABLE2 *Smst = nullptr;
  EFI_SMM_SX_DISPATCH2_PROTOCOL *Sx = nullptr;
  if (St->BootServices->LocateProtocol(const_cast<EFI_GUID *>(&kBase2), nullptr, reinterpret_cast<VOID **>(&Base2)) !=
          EFI_SUCCESS ||
      Base2->GetSmstLocation(Base2, &Smst) != EFI_SUCCESS ||
      Smst->SmmLocateProtocol(const_cast<EFI_GUID *>(&kSx), nullptr, reinterpret_cast<VOID **>(&Sx)) != EFI_SUCCESS) {
    return EFI_NOT_FOUND;
  }
  EFI_HANDLE Handle = nullptr;
#if defined(ROGUE_OUTSIDE)
  mSt = St;
  for (UINTN Index = 0; Index < St->NumberOfTableEntries; ++Index) {
    const EFI_GUID &Guid = St->ConfigurationTable[Index].VendorGuid;
    if (Guid.Data1 == kRogueTable.Data1 && Guid.Data2 == kRogueTable.Data2) {
      mDxeTable = static_cast<ROGUE_TABLE *>(St->ConfigurationTable[Index].VendorTable);
    }
  }
  St->BootServices->AllocatePool(EfiBootServicesData, 16, (VOID **)&mPoolBlock);
  for (const auto &Context : mContexts) {
    Sx->Register(Sx, SxHandler, &Context, &Handle);
  }
  return EFI_SUCCESS;
#else
  Sx->Register(Sx, SxHandler, &mContexts[2], &Handle);
  VOID *Registration = nullptr;
  Smst->SmmRegisterProtocolNotify(&kNotified, Notify, &Registration);
  return EFI_UNSUPPORTED;
#endif
}
#endif
