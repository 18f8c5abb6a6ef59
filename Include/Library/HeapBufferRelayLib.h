#pragma once

#include <Uefi.h>
#include <Protocol/HeapBufferList.h>

// The list in use: inside an earlier driver's protocol instance, or inside
// this module's own (SMRAM pool). NULL before the constructor ran, and when
// no instance could be allocated.
extern HEAP_BUFFER_LINK *mHeapBufferList;

// Needs gBS, the HOB list and SMRAM pool.
EFI_STATUS EFIAPI HeapBufferRelayConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
