// Buffers an earlier boot phase hands to SMM in "HEAP" GUID HOBs, copied
// into SMRAM and strung on one list published as a protocol.
#pragma once

#include <Uefi.h>

#define HEAP_BUFFER_LIST_PROTOCOL_GUID {0xAF62673D, 0xDEDA, 0x43AE, {0x8F, 0x03, 0x9C, 0x2D, 0x89, 0xFD, 0x78, 0xDA}}
#define HEAP_BUFFER_HOB_GUID {0xD97D161A, 0x16CD, 0x4ADA, {0xB9, 0xF6, 0xAE, 0xC3, 0xF9, 0xFC, 0xCC, 0x2C}}
extern EFI_GUID gHeapBufferListProtocolGuid;
extern EFI_GUID gHeapBufferHobGuid;

#define HEAP_BUFFER_SIGNATURE 0x50414548u  // "HEAP"
#define HEAP_BUFFER_KIND_FATAL_8 8
#define HEAP_BUFFER_RELAY 1

// Failure codes shown when a node cannot be allocated or the list not published.
#define HEAP_BUFFER_FATAL_KIND_8 0x80134u
#define HEAP_BUFFER_FATAL_OTHER_KIND 0x80137u
#define HEAP_BUFFER_FATAL_INSTALL 0x80225u

typedef struct HEAP_BUFFER_LINK HEAP_BUFFER_LINK;
struct HEAP_BUFFER_LINK {
  HEAP_BUFFER_LINK *ForwardLink;
  HEAP_BUFFER_LINK *BackLink;
};

#pragma pack(push, 1)
typedef struct {
  UINT32 Signature;
  UINT32 Word4;  // carried, not interpreted
  UINT32 PayloadSize;
  UINT8 Kind;
  UINT8 Relay;
  UINT16 Word14;  // carried, not interpreted
} HEAP_BUFFER_HEADER;
#pragma pack(pop)
static_assert(sizeof(HEAP_BUFFER_HEADER) == 16, "HEAP_BUFFER_HEADER");
static_assert(OFFSET_OF(HEAP_BUFFER_HEADER, PayloadSize) == 8, "PayloadSize");
static_assert(OFFSET_OF(HEAP_BUFFER_HEADER, Kind) == 12, "Kind");
static_assert(OFFSET_OF(HEAP_BUFFER_HEADER, Relay) == 13, "Relay");

// Allocated as PayloadSize + 32 bytes; the payload follows the header copy.
typedef struct {
  HEAP_BUFFER_LINK Link;
  HEAP_BUFFER_HEADER Header;
} HEAP_BUFFER_NODE;
static_assert(sizeof(HEAP_BUFFER_NODE) == 32, "HEAP_BUFFER_NODE");

typedef struct {
  UINT64 Revision;  // 1
  HEAP_BUFFER_LINK List;
} HEAP_BUFFER_LIST_PROTOCOL;
static_assert(sizeof(HEAP_BUFFER_LIST_PROTOCOL) == 24, "HEAP_BUFFER_LIST_PROTOCOL");
static_assert(OFFSET_OF(HEAP_BUFFER_LIST_PROTOCOL, List) == 8, "list head 8 bytes in");
