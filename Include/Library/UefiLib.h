#pragma once

#include <Uefi.h>

// Scans gST's configuration table; EFI_NOT_FOUND (and *Table = NULL) when absent.
EFI_STATUS EFIAPI EfiGetSystemConfigurationTable(EFI_GUID *TableGuid, VOID **Table);
