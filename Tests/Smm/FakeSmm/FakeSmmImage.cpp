// A stand-in SMM driver for the runner tests: it uses the SMM environment
// the way an SMM driver does and leaves marks the tests can check.
//   entry: SMM system table through SMM Base2; Sx handlers for S3 entry,
//          S3 exit, S4 entry (faults) and S5 entry; a power-button handler;
//          a memory log at 0x8A00000 and one heap-buffer node.
//   Sx handler: port 0x80 <- 0xA0 | sleep type (through the supervisor
//          when the code segment's RPL is 3); 0xEE instead when the
//          communication buffer or its size is not as dispatched.
//   S4 handler: port 0x80 <- 0xB4, then a supervisor call the board refuses.
//   power-button handler: port 0x80 <- 0xB0.
#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/IoLib.h>
#include <Pi/PiSmmCis.h>

namespace {

constexpr EFI_GUID kBase2 = EFI_SMM_BASE2_PROTOCOL_GUID;
constexpr EFI_GUID kSx = EFI_SMM_SX_DISPATCH2_PROTOCOL_GUID;
constexpr EFI_GUID kPowerButton = EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL_GUID;
constexpr EFI_GUID kHeapList = {0xAF62673D, 0xDEDA, 0x43AE, {0x8F, 0x03, 0x9C, 0x2D, 0x89, 0xFD, 0x78, 0xDA}};

struct ListEntry {
  ListEntry *Forward;
  ListEntry *Backward;
};

struct HeapList {
  UINT64 Signature;
  ListEntry Head;
};

constinit HeapList mOwnList = {1, {nullptr, nullptr}};

void PostCode(UINT8 Value) {
  if ((AsmReadCs() & 3) == 3) {
    AsmSmmSupervisorCall(4, 0x80, 0, Value);
  } else {
    IoWrite8(0x80, Value);
  }
}

EFI_STATUS EFIAPI SxHandler(EFI_HANDLE, CONST VOID *Context, VOID *CommBuffer, UINTN *CommBufferSize) {
  const auto *Sx = static_cast<const EFI_SMM_SX_REGISTER_CONTEXT *>(Context);
  if (CommBuffer != nullptr || (CommBufferSize != nullptr && *CommBufferSize != 0)) {
    PostCode(0xEE);
  }
  PostCode(static_cast<UINT8>(0xA0 | Sx->Type));
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FaultingHandler(EFI_HANDLE, CONST VOID *, VOID *, UINTN *) {
  PostCode(0xB4);
  AsmSmmSupervisorCall(0x99, 0, 0, 0);
  PostCode(0xBF);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI PowerButtonHandler(EFI_HANDLE, CONST VOID *, VOID *, UINTN *) {
  PostCode(0xB0);
  return EFI_WARN_RESET_REQUIRED;
}

void WriteMemoryLog() {
  auto *Log = reinterpret_cast<volatile UINT32 *>(0x8A00000);
  auto *Data = reinterpret_cast<volatile UINT8 *>(0x8A00010);
  const char Text[] = "fake smm";
  for (UINTN I = 0; I + 1 < sizeof Text; ++I) {
    Data[I] = static_cast<UINT8>(Text[I]);
  }
  Log[0] = 0x4D454D44;
  Log[1] = 0x55AA55AA;
  Log[2] = sizeof Text - 1;
  Log[3] = 0xBB66BB66;
}

void AddHeapNode(EFI_BOOT_SERVICES *Bs, EFI_SMM_SYSTEM_TABLE2 *Smst) {
  UINT8 *Node = nullptr;
  if (Smst->SmmAllocatePool(EfiRuntimeServicesData, 16 + 16 + 3, reinterpret_cast<VOID **>(&Node)) != EFI_SUCCESS) {
    return;
  }
  const UINT8 Header[16] = {'H', 'E', 'A', 'P', 0x44, 0x33, 0x22, 0x11, 3, 0, 0, 0, 8, 1, 0xCD, 0xAB};
  for (int I = 0; I < 16; ++I) Node[16 + I] = Header[I];
  Node[32] = 0x01;
  Node[33] = 0x02;
  Node[34] = 0x03;

  EFI_GUID Guid = kHeapList;
  HeapList *List = nullptr;
  const bool Adopted = Bs->LocateProtocol(&Guid, nullptr, reinterpret_cast<VOID **>(&List)) == EFI_SUCCESS;
  if (!Adopted) {
    List = &mOwnList;
    List->Head.Forward = List->Head.Backward = &List->Head;
  }
  auto *Entry = reinterpret_cast<ListEntry *>(Node);
  Entry->Forward = &List->Head;
  Entry->Backward = List->Head.Backward;
  List->Head.Backward->Forward = Entry;
  List->Head.Backward = Entry;
  if (!Adopted) {
    EFI_HANDLE Handle = nullptr;
    Bs->InstallProtocolInterface(&Handle, &Guid, EFI_NATIVE_INTERFACE, List);
  }
}

}  // namespace

extern "C" MODULE_EXPORT EFI_STATUS EFIAPI _ModuleEntryPoint(EFI_HANDLE, EFI_SYSTEM_TABLE *SystemTable) {
  EFI_BOOT_SERVICES *Bs = SystemTable->BootServices;
  EFI_GUID Guid = kBase2;
  EFI_SMM_BASE2_PROTOCOL *Base2 = nullptr;
  if (Bs->LocateProtocol(&Guid, nullptr, reinterpret_cast<VOID **>(&Base2)) != EFI_SUCCESS) {
    return EFI_NOT_FOUND;
  }
  EFI_SMM_SYSTEM_TABLE2 *Smst = nullptr;
  EFI_STATUS Status = Base2->GetSmstLocation(Base2, &Smst);
  if (Status != EFI_SUCCESS) {
    return Status;
  }

  Guid = kSx;
  EFI_SMM_SX_DISPATCH2_PROTOCOL *Sx = nullptr;
  if ((Status = Smst->SmmLocateProtocol(&Guid, nullptr, reinterpret_cast<VOID **>(&Sx))) != EFI_SUCCESS) {
    return Status;
  }
  EFI_HANDLE Handle = nullptr;
  EFI_SMM_SX_REGISTER_CONTEXT Context = {SxS3, SxEntry};
  Sx->Register(Sx, &SxHandler, &Context, &Handle);
  Context = {SxS3, SxExit};
  Sx->Register(Sx, &SxHandler, &Context, &Handle);
  Context = {SxS4, SxEntry};
  Sx->Register(Sx, &FaultingHandler, &Context, &Handle);
  Context = {SxS5, SxEntry};
  Sx->Register(Sx, &SxHandler, &Context, &Handle);

  Guid = kPowerButton;
  EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL *PowerButton = nullptr;
  if ((Status = Smst->SmmLocateProtocol(&Guid, nullptr, reinterpret_cast<VOID **>(&PowerButton))) != EFI_SUCCESS) {
    return Status;
  }
  EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT ButtonContext = {EfiPowerButtonEntry};
  Status = PowerButton->Register(PowerButton, &PowerButtonHandler, &ButtonContext, &Handle);

  WriteMemoryLog();
  AddHeapNode(Bs, Smst);
  PostCode(0x5A);  // the entry ran with the code segment the runner chose
  return Status;
}
