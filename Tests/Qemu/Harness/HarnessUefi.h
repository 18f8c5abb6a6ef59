// The few firmware interfaces only the test harness needs: console output,
// its own loaded-image record and the file system it was started from.
// Named HARNESS_* so they never collide with the project's UEFI headers.
#pragma once

#include <Uefi.h>

struct HARNESS_TEXT_OUTPUT {
  VOID *Reset;
  EFI_STATUS(EFIAPI *OutputString)(HARNESS_TEXT_OUTPUT *This, CHAR16 *String);
};

#define HARNESS_LOADED_IMAGE_GUID {0x5B1B31A1, 0x9562, 0x11D2, {0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}}
typedef struct {
  UINT32 Revision;
  EFI_HANDLE ParentHandle;
  EFI_SYSTEM_TABLE *SystemTable;
  EFI_HANDLE DeviceHandle;
  VOID *FilePath;
  VOID *Reserved;
  UINT32 LoadOptionsSize;
  VOID *LoadOptions;
  VOID *ImageBase;
  UINT64 ImageSize;
  EFI_MEMORY_TYPE ImageCodeType;
  EFI_MEMORY_TYPE ImageDataType;
  VOID *Unload;
} HARNESS_LOADED_IMAGE;
static_assert(sizeof(HARNESS_LOADED_IMAGE) == 96, "loaded image record");
static_assert(OFFSET_OF(HARNESS_LOADED_IMAGE, DeviceHandle) == 24, "DeviceHandle");
static_assert(OFFSET_OF(HARNESS_LOADED_IMAGE, LoadOptionsSize) == 48, "LoadOptionsSize");
static_assert(OFFSET_OF(HARNESS_LOADED_IMAGE, LoadOptions) == 56, "LoadOptions");

// The first handle carrying Protocol, and its interface there.
inline EFI_STATUS HarnessFindProtocolHandle(EFI_BOOT_SERVICES *BootServices, EFI_GUID *Protocol, EFI_HANDLE *Handle,
                                            VOID **Interface) {
  UINTN Count = 0;
  EFI_HANDLE *Handles = nullptr;
  EFI_STATUS Status = BootServices->LocateHandleBuffer(ByProtocol, Protocol, nullptr, &Count, &Handles);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  EFI_HANDLE First = Count > 0 ? Handles[0] : nullptr;
  BootServices->FreePool(Handles);
  if (First == nullptr) {
    return EFI_NOT_FOUND;
  }
  Status = BootServices->HandleProtocol(First, Protocol, Interface);
  if (!EFI_ERROR(Status)) {
    *Handle = First;
  }
  return Status;
}

#define HARNESS_SIMPLE_FILE_SYSTEM_GUID {0x964E5B22, 0x6459, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}}

struct HARNESS_FILE {
  UINT64 Revision;
  EFI_STATUS(EFIAPI *Open)(HARNESS_FILE *This, HARNESS_FILE **NewHandle, CHAR16 *FileName, UINT64 OpenMode, UINT64 Attributes);
  EFI_STATUS(EFIAPI *Close)(HARNESS_FILE *This);
  VOID *Delete;
  EFI_STATUS(EFIAPI *Read)(HARNESS_FILE *This, UINTN *BufferSize, VOID *Buffer);
  VOID *Write;
  EFI_STATUS(EFIAPI *GetPosition)(HARNESS_FILE *This, UINT64 *Position);
  EFI_STATUS(EFIAPI *SetPosition)(HARNESS_FILE *This, UINT64 Position);
};
static_assert(OFFSET_OF(HARNESS_FILE, Read) == 0x20, "File Read");
static_assert(OFFSET_OF(HARNESS_FILE, SetPosition) == 0x38, "File SetPosition");

struct HARNESS_SIMPLE_FILE_SYSTEM {
  UINT64 Revision;
  EFI_STATUS(EFIAPI *OpenVolume)(HARNESS_SIMPLE_FILE_SYSTEM *This, HARNESS_FILE **Root);
};

#define HARNESS_FILE_MODE_READ 0x1ull
