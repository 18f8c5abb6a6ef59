// The PI SMM system table of an SMM driver, found through SMM Base2 by the
// library constructor.
#pragma once

#include <Uefi.h>
#include <Pi/PiSmmCis.h>

// NULL until the constructor has found it.
extern EFI_SMM_SYSTEM_TABLE2 *gSmst;

// Needs gBS. Statuses are not acted on: gSmst stays NULL when SMM Base2 is
// missing or refuses to answer.
EFI_STATUS EFIAPI SmmServicesTableLibConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
