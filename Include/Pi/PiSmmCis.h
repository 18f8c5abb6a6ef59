// PI SMM: the SMM system table, SMM Base2, SMM Access2, the Sx and
// power-button dispatch protocols and the SMM variable protocol (x86-64).
#pragma once

#include <Uefi.h>

// --- Handler and notification entry points ----------------------------------

typedef EFI_STATUS(EFIAPI *EFI_SMM_HANDLER_ENTRY_POINT2)(EFI_HANDLE DispatchHandle, CONST VOID *Context,
                                                          VOID *CommBuffer, UINTN *CommBufferSize);
typedef EFI_STATUS(EFIAPI *EFI_SMM_NOTIFY_FN)(CONST EFI_GUID *Protocol, VOID *Interface, EFI_HANDLE Handle);
typedef VOID(EFIAPI *EFI_AP_PROCEDURE)(VOID *ProcedureArgument);

// --- SMM CPU I/O, embedded in the system table ------------------------------

typedef enum { SMM_IO_UINT8, SMM_IO_UINT16, SMM_IO_UINT32, SMM_IO_UINT64 } EFI_SMM_IO_WIDTH;
static_assert(sizeof(EFI_SMM_IO_WIDTH) == 4, "enum size");

typedef struct EFI_SMM_CPU_IO2_PROTOCOL EFI_SMM_CPU_IO2_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EFI_SMM_CPU_IO2)(CONST EFI_SMM_CPU_IO2_PROTOCOL *This, EFI_SMM_IO_WIDTH Width,
                                             UINT64 Address, UINTN Count, VOID *Buffer);
typedef struct {
  EFI_SMM_CPU_IO2 Read;
  EFI_SMM_CPU_IO2 Write;
} EFI_SMM_IO_ACCESS2;
struct EFI_SMM_CPU_IO2_PROTOCOL {
  EFI_SMM_IO_ACCESS2 Mem;
  EFI_SMM_IO_ACCESS2 Io;
};
static_assert(sizeof(EFI_SMM_CPU_IO2_PROTOCOL) == 32, "EFI_SMM_CPU_IO2_PROTOCOL");

// --- EFI_SMM_SYSTEM_TABLE2 ---------------------------------------------------

#define SMM_SMST_SIGNATURE 0x54534D53ULL  // "SMST"
#define EFI_SMM_SYSTEM_TABLE2_REVISION ((1u << 16) | 70u)

typedef struct EFI_SMM_SYSTEM_TABLE2 EFI_SMM_SYSTEM_TABLE2;

struct EFI_SMM_SYSTEM_TABLE2 {
  EFI_TABLE_HEADER Hdr;
  CHAR16 *SmmFirmwareVendor;
  UINT32 SmmFirmwareRevision;
  EFI_STATUS(EFIAPI *SmmInstallConfigurationTable)(CONST EFI_SMM_SYSTEM_TABLE2 *SystemTable, CONST EFI_GUID *Guid,
                                                   VOID *Table, UINTN TableSize);
  EFI_SMM_CPU_IO2_PROTOCOL SmmIo;
  EFI_STATUS(EFIAPI *SmmAllocatePool)(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer);
  EFI_STATUS(EFIAPI *SmmFreePool)(VOID *Buffer);
  EFI_STATUS(EFIAPI *SmmAllocatePages)(EFI_ALLOCATE_TYPE Type, EFI_MEMORY_TYPE MemoryType, UINTN Pages,
                                       EFI_PHYSICAL_ADDRESS *Memory);
  EFI_STATUS(EFIAPI *SmmFreePages)(EFI_PHYSICAL_ADDRESS Memory, UINTN Pages);
  EFI_STATUS(EFIAPI *SmmStartupThisAp)(EFI_AP_PROCEDURE Procedure, UINTN CpuNumber, VOID *ProcArguments);
  UINTN CurrentlyExecutingCpu;
  UINTN NumberOfCpus;
  UINTN *CpuSaveStateSize;
  VOID **CpuSaveState;
  UINTN NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE *SmmConfigurationTable;
  EFI_STATUS(EFIAPI *SmmInstallProtocolInterface)(EFI_HANDLE *Handle, EFI_GUID *Protocol,
                                                  EFI_INTERFACE_TYPE InterfaceType, VOID *Interface);
  EFI_STATUS(EFIAPI *SmmUninstallProtocolInterface)(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID *Interface);
  EFI_STATUS(EFIAPI *SmmHandleProtocol)(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID **Interface);
  EFI_STATUS(EFIAPI *SmmRegisterProtocolNotify)(CONST EFI_GUID *Protocol, EFI_SMM_NOTIFY_FN Function,
                                                VOID **Registration);
  EFI_STATUS(EFIAPI *SmmLocateHandle)(EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID *Protocol, VOID *SearchKey,
                                      UINTN *BufferSize, EFI_HANDLE *Buffer);
  EFI_STATUS(EFIAPI *SmmLocateProtocol)(EFI_GUID *Protocol, VOID *Registration, VOID **Interface);
  EFI_STATUS(EFIAPI *SmiManage)(CONST EFI_GUID *HandlerType, CONST VOID *Context, VOID *CommBuffer,
                                UINTN *CommBufferSize);
  EFI_STATUS(EFIAPI *SmiHandlerRegister)(EFI_SMM_HANDLER_ENTRY_POINT2 Handler, CONST EFI_GUID *HandlerType,
                                         EFI_HANDLE *DispatchHandle);
  EFI_STATUS(EFIAPI *SmiHandlerUnRegister)(EFI_HANDLE DispatchHandle);
};
static_assert(sizeof(EFI_SMM_SYSTEM_TABLE2) == 240, "EFI_SMM_SYSTEM_TABLE2");
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmFirmwareVendor) == 0x18, "SmmFirmwareVendor");
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmFirmwareRevision) == 0x20, "SmmFirmwareRevision");
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmInstallConfigurationTable) == 0x28, "SmmInstallConfigurationTable");
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmIo) == 0x30, "SmmIo");
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmIo.Io.Write) == 0x48, "SmmIo.Io.Write");
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmAllocatePool) == 0x50, "SmmAllocatePool");
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmFreePool) == 0x58, "SmmFreePool");
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmAllocatePages) == 0x60, "SmmAllocatePages");
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmFreePages) == 0x68, "SmmFreePages");
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmStartupThisAp) == 0x70, "SmmStartupThisAp");
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, CurrentlyExecutingCpu) == 0x78, "CurrentlyExecutingCpu");
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, NumberOfCpus) == 0x80, "NumberOfCpus");
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, CpuSaveStateSize) == 0x88, "CpuSaveStateSize");
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, CpuSaveState) == 0x90, "CpuSaveState");
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, NumberOfTableEntries) == 0x98, "NumberOfTableEntries");
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmConfigurationTable) == 0xA0, "SmmConfigurationTable");
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmInstallProtocolInterface) == 0xA8, "SmmInstallProtocolInterface");
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmUninstallProtocolInterface) == 0xB0, "SmmUninstallProtocolInterface");
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmHandleProtocol) == 0xB8, "SmmHandleProtocol");
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmRegisterProtocolNotify) == 0xC0, "SmmRegisterProtocolNotify");
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmLocateHandle) == 0xC8, "SmmLocateHandle");
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmLocateProtocol) == 0xD0, "SmmLocateProtocol");
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmiManage) == 0xD8, "SmiManage");
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmiHandlerRegister) == 0xE0, "SmiHandlerRegister");
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmiHandlerUnRegister) == 0xE8, "SmiHandlerUnRegister");

// --- EFI_SMM_BASE2_PROTOCOL ----------------------------------------------------

#define EFI_SMM_BASE2_PROTOCOL_GUID {0xF4CCBFB7, 0xF6E0, 0x47FD, {0x9D, 0xD4, 0x10, 0xA8, 0xF1, 0x50, 0xC1, 0x91}}
extern EFI_GUID gEfiSmmBase2ProtocolGuid;

typedef struct EFI_SMM_BASE2_PROTOCOL EFI_SMM_BASE2_PROTOCOL;
struct EFI_SMM_BASE2_PROTOCOL {
  EFI_STATUS(EFIAPI *InSmm)(CONST EFI_SMM_BASE2_PROTOCOL *This, BOOLEAN *InSmram);
  // EFI_UNSUPPORTED outside SMM.
  EFI_STATUS(EFIAPI *GetSmstLocation)(CONST EFI_SMM_BASE2_PROTOCOL *This, EFI_SMM_SYSTEM_TABLE2 **Smst);
};
static_assert(sizeof(EFI_SMM_BASE2_PROTOCOL) == 16, "EFI_SMM_BASE2_PROTOCOL");

// --- EFI_SMM_ACCESS2_PROTOCOL --------------------------------------------------

#define EFI_SMM_ACCESS2_PROTOCOL_GUID {0xC2702B74, 0x800C, 0x4131, {0x87, 0x46, 0x8F, 0xB5, 0xB8, 0x9C, 0xE4, 0xAC}}
extern EFI_GUID gEfiSmmAccess2ProtocolGuid;

#define EFI_SMRAM_OPEN 0x00000001ULL
#define EFI_SMRAM_CLOSED 0x00000002ULL
#define EFI_SMRAM_LOCKED 0x00000004ULL
#define EFI_CACHEABLE 0x00000008ULL
#define EFI_ALLOCATED 0x00000010ULL
#define EFI_NEEDS_TESTING 0x00000020ULL
#define EFI_NEEDS_ECC_INITIALIZATION 0x00000040ULL

typedef struct {
  EFI_PHYSICAL_ADDRESS PhysicalStart;
  EFI_PHYSICAL_ADDRESS CpuStart;
  UINT64 PhysicalSize;
  UINT64 RegionState;
} EFI_SMRAM_DESCRIPTOR;
static_assert(sizeof(EFI_SMRAM_DESCRIPTOR) == 32, "EFI_SMRAM_DESCRIPTOR");

typedef struct EFI_SMM_ACCESS2_PROTOCOL EFI_SMM_ACCESS2_PROTOCOL;
struct EFI_SMM_ACCESS2_PROTOCOL {
  EFI_STATUS(EFIAPI *Open)(EFI_SMM_ACCESS2_PROTOCOL *This);
  EFI_STATUS(EFIAPI *Close)(EFI_SMM_ACCESS2_PROTOCOL *This);
  EFI_STATUS(EFIAPI *Lock)(EFI_SMM_ACCESS2_PROTOCOL *This);
  // EFI_BUFFER_TOO_SMALL, with the size needed in *SmramMapSize, when the map does not fit.
  EFI_STATUS(EFIAPI *GetCapabilities)(CONST EFI_SMM_ACCESS2_PROTOCOL *This, UINTN *SmramMapSize,
                                      EFI_SMRAM_DESCRIPTOR *SmramMap);
  BOOLEAN LockState;
  BOOLEAN OpenState;
};
static_assert(sizeof(EFI_SMM_ACCESS2_PROTOCOL) == 40, "EFI_SMM_ACCESS2_PROTOCOL");
static_assert(OFFSET_OF(EFI_SMM_ACCESS2_PROTOCOL, GetCapabilities) == 24, "GetCapabilities");
static_assert(OFFSET_OF(EFI_SMM_ACCESS2_PROTOCOL, LockState) == 32, "LockState");
static_assert(OFFSET_OF(EFI_SMM_ACCESS2_PROTOCOL, OpenState) == 33, "OpenState");

// --- EFI_SMM_SX_DISPATCH2_PROTOCOL ---------------------------------------------

#define EFI_SMM_SX_DISPATCH2_PROTOCOL_GUID {0x456D2859, 0xA84B, 0x4E47, {0xA2, 0xEE, 0x32, 0x76, 0xD8, 0x86, 0x99, 0x7D}}
extern EFI_GUID gEfiSmmSxDispatch2ProtocolGuid;

typedef enum { SxS0, SxS1, SxS2, SxS3, SxS4, SxS5, EfiMaximumSleepType } EFI_SLEEP_TYPE;
typedef enum { SxEntry, SxExit, EfiMaximumPhase } EFI_SLEEP_PHASE;

typedef struct {
  EFI_SLEEP_TYPE Type;
  EFI_SLEEP_PHASE Phase;
} EFI_SMM_SX_REGISTER_CONTEXT;
static_assert(sizeof(EFI_SMM_SX_REGISTER_CONTEXT) == 8, "EFI_SMM_SX_REGISTER_CONTEXT");

typedef struct EFI_SMM_SX_DISPATCH2_PROTOCOL EFI_SMM_SX_DISPATCH2_PROTOCOL;
struct EFI_SMM_SX_DISPATCH2_PROTOCOL {
  EFI_STATUS(EFIAPI *Register)(CONST EFI_SMM_SX_DISPATCH2_PROTOCOL *This, EFI_SMM_HANDLER_ENTRY_POINT2 DispatchFunction,
                               CONST EFI_SMM_SX_REGISTER_CONTEXT *RegisterContext, EFI_HANDLE *DispatchHandle);
  EFI_STATUS(EFIAPI *UnRegister)(CONST EFI_SMM_SX_DISPATCH2_PROTOCOL *This, EFI_HANDLE DispatchHandle);
};
static_assert(sizeof(EFI_SMM_SX_DISPATCH2_PROTOCOL) == 16, "EFI_SMM_SX_DISPATCH2_PROTOCOL");

// --- EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL -----------------------------------

#define EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL_GUID \
  {0x1B1183FA, 0x1823, 0x46A7, {0x88, 0x72, 0x9C, 0x57, 0x87, 0x55, 0x40, 0x9D}}
extern EFI_GUID gEfiSmmPowerButtonDispatch2ProtocolGuid;

typedef enum { EfiPowerButtonEntry, EfiPowerButtonExit, EfiPowerButtonMax } EFI_POWER_BUTTON_PHASE;

typedef struct {
  EFI_POWER_BUTTON_PHASE Phase;
} EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT;
static_assert(sizeof(EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT) == 4, "EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT");

typedef struct EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL;
struct EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL {
  EFI_STATUS(EFIAPI *Register)(CONST EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL *This,
                               EFI_SMM_HANDLER_ENTRY_POINT2 DispatchFunction,
                               EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT *RegisterContext, EFI_HANDLE *DispatchHandle);
  EFI_STATUS(EFIAPI *UnRegister)(CONST EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL *This, EFI_HANDLE DispatchHandle);
};
static_assert(sizeof(EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL) == 16, "EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL");

// --- SMM variable protocol -----------------------------------------------------

#define EFI_SMM_VARIABLE_PROTOCOL_GUID {0xED32D533, 0x99E6, 0x4209, {0x9C, 0xC0, 0x2D, 0x72, 0xCD, 0xD9, 0x98, 0xA7}}
extern EFI_GUID gEfiSmmVariableProtocolGuid;

typedef struct {
  EFI_STATUS(EFIAPI *SmmGetVariable)(CHAR16 *VariableName, EFI_GUID *VendorGuid, UINT32 *Attributes, UINTN *DataSize,
                                     VOID *Data);
  EFI_STATUS(EFIAPI *SmmGetNextVariableName)(UINTN *VariableNameSize, CHAR16 *VariableName, EFI_GUID *VendorGuid);
  EFI_STATUS(EFIAPI *SmmSetVariable)(CHAR16 *VariableName, EFI_GUID *VendorGuid, UINT32 Attributes, UINTN DataSize,
                                     VOID *Data);
  EFI_STATUS(EFIAPI *SmmQueryVariableInfo)(UINT32 Attributes, UINT64 *MaximumVariableStorageSize,
                                           UINT64 *RemainingVariableStorageSize, UINT64 *MaximumVariableSize);
} EFI_SMM_VARIABLE_PROTOCOL;
static_assert(sizeof(EFI_SMM_VARIABLE_PROTOCOL) == 32, "EFI_SMM_VARIABLE_PROTOCOL");
