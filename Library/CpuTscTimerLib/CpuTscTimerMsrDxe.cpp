#include <Library/BaseLib.h>

#include "CpuTscTimerMsr.h"

UINT64 EFIAPI CpuTscTimerReadMsr(UINT32 Index) { return AsmReadMsr64(Index); }

CPU_FREQUENCY_RECORD *EFIAPI CpuTscTimerRefreshTarget(VOID) { return CpuTscTimerFindPublished(); }
