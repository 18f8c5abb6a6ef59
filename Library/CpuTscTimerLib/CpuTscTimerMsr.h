// The timer's one way to an MSR. Each image links the instance that suits
// it: the plain instruction in the DXE drivers, the privilege-aware accessor
// in the SMM driver.
#pragma once

#include <Uefi.h>

UINT64 EFIAPI CpuTscTimerReadMsr(UINT32 Index);
