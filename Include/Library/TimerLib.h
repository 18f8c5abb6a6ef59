#pragma once

#include <Uefi.h>

UINTN EFIAPI MicroSecondDelay(UINTN MicroSeconds);
