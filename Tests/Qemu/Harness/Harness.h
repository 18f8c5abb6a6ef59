// The test harness: a UEFI application that plays the platform around the
// DXE drivers on real firmware and reports one result line per check.
#pragma once

#include <CpuFrequencyRecord.h>
#include <SetupConfig.h>
#include <Uefi.h>

// ---- Result lines -----------------------------------------------------------

// "BOARDTEST <Name> PASS|FAIL <details>" on the console; returns Pass.
BOOLEAN EFIAPI HarnessCheck(BOOLEAN Pass, CONST CHAR8 *Name, CONST CHAR8 *DetailFormat, ...);
// "BOARDTEST-INFO <Name> <details>": facts the checks were derived from.
VOID EFIAPI HarnessInfo(CONST CHAR8 *Name, CONST CHAR8 *DetailFormat, ...);
// One console line, CR LF appended.
VOID EFIAPI HarnessPrint(CONST CHAR8 *Format, ...);
UINTN HarnessPassed(VOID);
UINTN HarnessFailed(VOID);

// ---- Recording PCD protocol ---------------------------------------------------

typedef enum {
  PcdCallGet8,
  PcdCallGet32,
  PcdCallGetBool,
  PcdCallSet32,
  PcdCallOther,  // any member the drivers have no business calling
} PCD_CALL_KIND;

typedef struct {
  PCD_CALL_KIND Kind;
  UINTN Token;  // for PcdCallOther: the member's slot number
  UINT64 Value;
} PCD_CALL;

#define PCD_CALL_CAPACITY 256

// Put the recorder in place of the platform's PCD_PROTOCOL on the handle that
// carries it, and back again.
EFI_STATUS PcdRecorderInstall(VOID);
EFI_STATUS PcdRecorderRemove(VOID);
// Take the platform's PCD_PROTOCOL away altogether, and back again.
EFI_STATUS PcdWithdraw(VOID);
EFI_STATUS PcdRestore(VOID);
// The platform's own interface, as found at start-up.
VOID *PcdPlatformInterface(VOID);
UINTN PcdCallCount(VOID);
CONST PCD_CALL *PcdCallAt(UINTN Index);

// ---- Recording debug print service -----------------------------------------

#define DEBUG_MESSAGE_CAPACITY 32
#define DEBUG_MESSAGE_LENGTH 200

typedef struct {
  UINTN Level;
  CHAR8 Text[DEBUG_MESSAGE_LENGTH];
} DEBUG_MESSAGE;

EFI_STATUS DebugRecorderInstall(VOID);
EFI_STATUS DebugRecorderRemove(VOID);
UINTN DebugMessageCount(VOID);
CONST DEBUG_MESSAGE *DebugMessageAt(UINTN Index);

// ---- Variable services ------------------------------------------------------

// Wraps GetVariable/SetVariable in the runtime-services table so that every
// access to "Setup" by anyone is counted; Remove puts the originals back.
VOID VariableHooksInstall(VOID);
VOID VariableHooksRemove(VOID);
UINTN SetupReadCount(VOID);
UINTN SetupWriteCount(VOID);
// The firmware's own services, bypassing the counters.
EFI_STATUS SetupStore(CONST SETUP_CONFIG *Setup, UINT32 Attributes);
EFI_STATUS SetupDelete(VOID);
EFI_STATUS SetupLoad(SETUP_CONFIG *Setup, UINT32 *Attributes, UINTN *Size);

// ---- Configuration table and memory map ---------------------------------------

// How many entries the system table has under Guid; *First gets the first one's table.
UINTN ConfigTableCount(CONST EFI_GUID *Guid, VOID **First);
// The memory type of the map entry holding Address; EfiMaxMemoryType if none.
UINT32 MemoryTypeOf(EFI_PHYSICAL_ADDRESS Address);

// ---- Images --------------------------------------------------------------------

// Loads \images\<Name>.efi from the harness's own volume and starts it.
EFI_STATUS ImageRun(CONST CHAR8 *Name, EFI_STATUS *LoadStatus, EFI_STATUS *EntryStatus);

// How the firmware maps an image loaded as if from its own firmware volume
// (a device path inside one), where the loader applies its image protection.
// The image is loaded, measured and unloaded again, never started.
typedef struct {
  UINT64 ImageBase;
  UINT64 ImageSize;
  UINT32 SectionAlignment;
  UINT32 FileAlignment;
  UINTN CodePages;            // pages of executable sections
  UINTN CodePagesReadOnly;
  UINTN CodePagesExecutable;
  UINTN OtherPages;           // headers and every other section
  UINTN OtherPagesNoExecute;
  UINTN WritableExecutablePages;
} IMAGE_PROTECTION;

EFI_STATUS ImageProtection(CONST CHAR8 *Name, IMAGE_PROTECTION *Result);
