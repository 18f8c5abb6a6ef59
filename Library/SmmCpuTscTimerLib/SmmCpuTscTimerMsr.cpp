#include <CpuTscTimerLib/CpuTscTimerMsr.h>
#include <Library/SioAccessLib.h>

UINT64 EFIAPI CpuTscTimerReadMsr(UINT32 Index) { return GuardedReadMsr(Index); }
