// HOB structures of the PI specification.
#pragma once

#include <Uefi/UefiBaseType.h>

#define EFI_HOB_TYPE_HANDOFF 0x0001
#define EFI_HOB_TYPE_MEMORY_ALLOCATION 0x0002
#define EFI_HOB_TYPE_RESOURCE_DESCRIPTOR 0x0003
#define EFI_HOB_TYPE_GUID_EXTENSION 0x0004
#define EFI_HOB_TYPE_FV 0x0005
#define EFI_HOB_TYPE_CPU 0x0006
#define EFI_HOB_TYPE_MEMORY_POOL 0x0007
#define EFI_HOB_TYPE_UNUSED 0xFFFE
#define EFI_HOB_TYPE_END_OF_HOB_LIST 0xFFFF

typedef struct {
  UINT16 HobType;
  UINT16 HobLength;
  UINT32 Reserved;
} EFI_HOB_GENERIC_HEADER;
static_assert(sizeof(EFI_HOB_GENERIC_HEADER) == 8, "EFI_HOB_GENERIC_HEADER");

typedef struct {
  EFI_HOB_GENERIC_HEADER Header;
  EFI_GUID Name;
} EFI_HOB_GUID_TYPE;
static_assert(sizeof(EFI_HOB_GUID_TYPE) == 24, "EFI_HOB_GUID_TYPE");
static_assert(OFFSET_OF(EFI_HOB_GUID_TYPE, Name) == 8, "EFI_HOB_GUID_TYPE.Name");

typedef struct {
  EFI_HOB_GENERIC_HEADER Header;
  UINT32 Version;
  UINT32 BootMode;
  EFI_PHYSICAL_ADDRESS EfiMemoryTop;
  EFI_PHYSICAL_ADDRESS EfiMemoryBottom;
  EFI_PHYSICAL_ADDRESS EfiFreeMemoryTop;
  EFI_PHYSICAL_ADDRESS EfiFreeMemoryBottom;
  EFI_PHYSICAL_ADDRESS EfiEndOfHobList;
} EFI_HOB_HANDOFF_INFO_TABLE;
static_assert(sizeof(EFI_HOB_HANDOFF_INFO_TABLE) == 56, "EFI_HOB_HANDOFF_INFO_TABLE");

typedef union {
  EFI_HOB_GENERIC_HEADER *Header;
  EFI_HOB_HANDOFF_INFO_TABLE *HandoffInformationTable;
  EFI_HOB_GUID_TYPE *Guid;
  UINT8 *Raw;
} EFI_PEI_HOB_POINTERS;

#define GET_HOB_TYPE(HobStart) ((*(EFI_HOB_GENERIC_HEADER **)&(HobStart))->HobType)
#define GET_HOB_LENGTH(HobStart) ((*(EFI_HOB_GENERIC_HEADER **)&(HobStart))->HobLength)
#define GET_NEXT_HOB(HobStart) ((VOID *)((UINT8 *)(HobStart) + GET_HOB_LENGTH(HobStart)))
#define END_OF_HOB_LIST(HobStart) (GET_HOB_TYPE(HobStart) == (UINT16)EFI_HOB_TYPE_END_OF_HOB_LIST)
#define GET_GUID_HOB_DATA(HobStart) ((VOID *)((UINT8 *)(HobStart) + sizeof(EFI_HOB_GUID_TYPE)))
#define GET_GUID_HOB_DATA_SIZE(HobStart) ((UINT16)(GET_HOB_LENGTH(HobStart) - sizeof(EFI_HOB_GUID_TYPE)))
