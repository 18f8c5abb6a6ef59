#include <CpuTscTimerLib/CpuTscTimerMsr.h>
#include <Library/SioAccessLib.h>

UINT64 EFIAPI CpuTscTimerReadMsr(UINT32 Index) { return GuardedReadMsr(Index); }

// A refresh runs inside an SMI, when the system table and the record it
// leads to belong to the OS: a kernel could point the record into SMRAM and
// have the SMI write there. The SMRAM copy alone is refreshed.
CPU_FREQUENCY_RECORD *EFIAPI CpuTscTimerRefreshTarget(VOID) { return nullptr; }
