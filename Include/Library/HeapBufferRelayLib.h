#pragma once

#include <Uefi.h>
#include <Protocol/HeapBufferList.h>

// The list in use: inside an earlier driver's protocol instance, or inside
// this module's own. NULL before the constructor ran.
extern HEAP_BUFFER_LINK *mHeapBufferList;
extern HEAP_BUFFER_LIST_PROTOCOL mHeapBufferListProtocol;

// Needs gBS, the HOB list and SMRAM pool.
EFI_STATUS EFIAPI HeapBufferRelayConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
