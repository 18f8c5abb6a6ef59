// Stand-in SMM drivers that break the SMRAM rules on purpose, so that the
// simulator's checks are seen to fire.
//   ROGUE_OUTSIDE: entry keeps gST and a boot-services pool block; the S3
//     handler reads the system table's configuration table, the S4 handler
//     writes the pool block, the S5 handler calls a boot service.
//   ROGUE_FAILED_ENTRY: entry registers an S5 handler and a notification,
//     then fails.
#include <Uefi.h>
#include <Library/IoLib.h>
#include <Pi/PiSmmCis.h>

namespace {

constexpr EFI_GUID kBase2 = EFI_SMM_BASE2_PROTOCOL_GUID;
constexpr EFI_GUID kSx = EFI_SMM_SX_DISPATCH2_PROTOCOL_GUID;
constexpr EFI_GUID kNotified = {0x296EB418, 0xC4C8, 0x4E05, {0xAB, 0x59, 0x39, 0xE8, 0xAF, 0x56, 0xF0, 0x0A}};

constinit EFI_SYSTEM_TABLE *mSt = nullptr;
constinit volatile UINT8 *mPoolBlock = nullptr;
constinit EFI_SMM_SX_REGISTER_CONTEXT mContexts[] = {{SxS3, SxEntry}, {SxS4, SxEntry}, {SxS5, SxEntry}};

EFI_STATUS EFIAPI SxHandler(EFI_HANDLE, CONST VOID *Context, VOID *, UINTN *) {
  IoWrite8(0x80, 0xC0);
  switch (static_cast<const EFI_SMM_SX_REGISTER_CONTEXT *>(Context)->Type) {
    case SxS3:
      IoWrite8(0x80, static_cast<UINT8>(mSt->NumberOfTableEntries != 0 && mSt->ConfigurationTable != nullptr));
      break;
    case SxS4:
      mPoolBlock[4] = 0x5A;
      break;
    default: {
      VOID *Interface = nullptr;
      mSt->BootServices->LocateProtocol(const_cast<EFI_GUID *>(&kBase2), nullptr, &Interface);
      break;
    }
  }
  IoWrite8(0x80, 0xC1);  // never reached
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Notify(CONST EFI_GUID *, VOID *, EFI_HANDLE) { return EFI_SUCCESS; }

}  // namespace

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
