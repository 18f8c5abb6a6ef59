// The image that runs a macro table through the board script engine, for
// boardsim's script step: a host image for the host engine, a PE32+ image
// whose entry point is BoardSimRunScript for the image engine. Loaded afresh
// per step like a driver image, so the engine runs as firmware code with its
// own library globals.
#include <BoardScript.h>
#include <CpuFrequencyRecord.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>

// Compiles Table (Words words) in place and runs the
// packed script over its compiled length, exactly as BoardInitDxe does with
// its probe table. The delays need the CPU timer, so its constructor runs first.
extern "C" MODULE_EXPORT BOOLEAN EFIAPI BoardSimRunScript(EFI_SYSTEM_TABLE *SystemTable, UINT64 *Table, UINTN Words,
                                                          UINT32 *PackedLength) {
  UefiBootServicesTableLibConstructor(nullptr, SystemTable);
  UefiRuntimeServicesTableLibConstructor(nullptr, SystemTable);
  CpuTscTimerLibConstructor(nullptr, SystemTable);
  UINT32 Length = BoardScriptCompile(Table, Words);
  *PackedLength = Length;
  return BoardScriptRun((UINT8 *)Table, Length);
}

// The host image's entry is never used; the image exists for the function above.
extern "C" MODULE_EXPORT EFI_STATUS EFIAPI _ModuleEntryPoint(EFI_HANDLE, EFI_SYSTEM_TABLE *) { return EFI_UNSUPPORTED; }
