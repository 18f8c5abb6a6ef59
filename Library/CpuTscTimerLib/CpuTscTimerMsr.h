// The timer's two links to the image it is built into. Each image links the
// instance that suits it: the DXE drivers read MSRs with the plain
// instruction and share the published record at any time; the SMM driver
// reads them through the privilege-aware accessor and, once its entry has
// returned, never touches the published record, which then lies in memory
// the OS owns.
#pragma once

#include <CpuFrequencyRecord.h>

UINT64 EFIAPI CpuTscTimerReadMsr(UINT32 Index);

// The published record a refresh recomputes in place, or NULL when the
// refresh recomputes into the module copy alone.
CPU_FREQUENCY_RECORD *EFIAPI CpuTscTimerRefreshTarget(VOID);

// The published record, or NULL when none is installed.
CPU_FREQUENCY_RECORD *EFIAPI CpuTscTimerFindPublished(VOID);
