// PCD_PROTOCOL (EDK II dynamic PCD access by token number).
#pragma once

#include <Uefi.h>

#define PCD_PROTOCOL_GUID {0x11B34006, 0xD85B, 0x4D0A, {0xA2, 0x90, 0xD5, 0xA5, 0x71, 0x31, 0x0E, 0xF7}}
extern EFI_GUID gPcdProtocolGuid;

typedef VOID(EFIAPI *PCD_PROTOCOL_CALLBACK)(CONST EFI_GUID *CallBackGuid, UINTN CallBackToken, VOID *TokenData, UINTN TokenDataSize);

typedef struct {
  VOID(EFIAPI *SetSku)(UINTN SkuId);
  UINT8(EFIAPI *Get8)(UINTN TokenNumber);
  UINT16(EFIAPI *Get16)(UINTN TokenNumber);
  UINT32(EFIAPI *Get32)(UINTN TokenNumber);
  UINT64(EFIAPI *Get64)(UINTN TokenNumber);
  VOID *(EFIAPI *GetPtr)(UINTN TokenNumber);
  BOOLEAN(EFIAPI *GetBool)(UINTN TokenNumber);
  UINTN(EFIAPI *GetSize)(UINTN TokenNumber);
  UINT8(EFIAPI *Get8Ex)(CONST EFI_GUID *Guid, UINTN TokenNumber);
  UINT16(EFIAPI *Get16Ex)(CONST EFI_GUID *Guid, UINTN TokenNumber);
  UINT32(EFIAPI *Get32Ex)(CONST EFI_GUID *Guid, UINTN TokenNumber);
  UINT64(EFIAPI *Get64Ex)(CONST EFI_GUID *Guid, UINTN TokenNumber);
  VOID *(EFIAPI *GetPtrEx)(CONST EFI_GUID *Guid, UINTN TokenNumber);
  BOOLEAN(EFIAPI *GetBoolEx)(CONST EFI_GUID *Guid, UINTN TokenNumber);
  UINTN(EFIAPI *GetSizeEx)(CONST EFI_GUID *Guid, UINTN TokenNumber);
  EFI_STATUS(EFIAPI *Set8)(UINTN TokenNumber, UINT8 Value);
  EFI_STATUS(EFIAPI *Set16)(UINTN TokenNumber, UINT16 Value);
  EFI_STATUS(EFIAPI *Set32)(UINTN TokenNumber, UINT32 Value);
  EFI_STATUS(EFIAPI *Set64)(UINTN TokenNumber, UINT64 Value);
  EFI_STATUS(EFIAPI *SetPtr)(UINTN TokenNumber, UINTN *SizeOfBuffer, VOID *Buffer);
  EFI_STATUS(EFIAPI *SetBool)(UINTN TokenNumber, BOOLEAN Value);
  EFI_STATUS(EFIAPI *Set8Ex)(CONST EFI_GUID *Guid, UINTN TokenNumber, UINT8 Value);
  EFI_STATUS(EFIAPI *Set16Ex)(CONST EFI_GUID *Guid, UINTN TokenNumber, UINT16 Value);
  EFI_STATUS(EFIAPI *Set32Ex)(CONST EFI_GUID *Guid, UINTN TokenNumber, UINT32 Value);
  EFI_STATUS(EFIAPI *Set64Ex)(CONST EFI_GUID *Guid, UINTN TokenNumber, UINT64 Value);
  EFI_STATUS(EFIAPI *SetPtrEx)(CONST EFI_GUID *Guid, UINTN TokenNumber, UINTN *SizeOfBuffer, VOID *Buffer);
  EFI_STATUS(EFIAPI *SetBoolEx)(CONST EFI_GUID *Guid, UINTN TokenNumber, BOOLEAN Value);
  EFI_STATUS(EFIAPI *CallbackOnSet)(CONST EFI_GUID *Guid, UINTN TokenNumber, PCD_PROTOCOL_CALLBACK CallBackFunction);
  EFI_STATUS(EFIAPI *CancelCallback)(CONST EFI_GUID *Guid, UINTN TokenNumber, PCD_PROTOCOL_CALLBACK CallBackFunction);
  EFI_STATUS(EFIAPI *GetNextToken)(CONST EFI_GUID *Guid, UINTN *TokenNumber);
  EFI_STATUS(EFIAPI *GetNextTokenSpace)(CONST EFI_GUID **Guid);
} PCD_PROTOCOL;
static_assert(sizeof(PCD_PROTOCOL) == 248, "PCD_PROTOCOL");
static_assert(OFFSET_OF(PCD_PROTOCOL, Get8) == 0x08, "Get8 slot");
static_assert(OFFSET_OF(PCD_PROTOCOL, Get32) == 0x18, "Get32 slot");
static_assert(OFFSET_OF(PCD_PROTOCOL, GetBool) == 0x30, "GetBool slot");
static_assert(OFFSET_OF(PCD_PROTOCOL, Set32) == 0x88, "Set32 slot");
