// The test platform around the drivers in a firmware volume on OVMF: what
// its DXE driver, its SMM dispatcher and its test application share.
#pragma once

#include <Uefi.h>

// SMM communicate request to the test dispatcher: the event to raise.
#define TEST_SMI_GUID {0x7A3C1E52, 0x4F0B, 0x4D3E, {0x9C, 0x61, 0x2B, 0x8E, 0x05, 0xD4, 0x73, 0x19}}

#define TEST_SMI_POWER_BUTTON 0xB0u  // any other value: the sleep type of an Sx entry

#define TEST_SMI_MAX_HANDLERS 16

// Other SMM drivers of the platform register Sx handlers too once the
// dispatcher exists: the reply names every handler by its address, which
// the application maps to the image that holds it.
typedef struct {
  UINT32 Event;
  UINT32 HandlersRun;   // reply: how many registered handlers the event reached
  UINT32 Registered;    // reply: Sx and power-button registrations held
  UINT32 Reserved;
  UINT64 LastStatus;    // reply: the last handler's status
  UINT64 Ran[TEST_SMI_MAX_HANDLERS];         // reply: the handlers the event reached
  UINT64 Registrations[TEST_SMI_MAX_HANDLERS];  // reply: every handler registered
} TEST_SMI_MESSAGE;
static_assert(sizeof(TEST_SMI_MESSAGE) == 24 + 2 * 8 * TEST_SMI_MAX_HANDLERS, "TEST_SMI_MESSAGE");

// EFI_SMM_COMMUNICATE_HEADER with the message behind it.
typedef struct {
  EFI_GUID HeaderGuid;
  UINTN MessageLength;
  TEST_SMI_MESSAGE Message;
} TEST_SMI_COMMUNICATE;
static_assert(OFFSET_OF(TEST_SMI_COMMUNICATE, Message) == 24, "communicate header");

#define SMM_COMMUNICATION_PROTOCOL_GUID {0xC68ED8E2, 0x9DC6, 0x4CBD, {0x9D, 0x94, 0xDB, 0x65, 0xAC, 0xC5, 0xC3, 0x32}}
typedef struct SMM_COMMUNICATION_PROTOCOL SMM_COMMUNICATION_PROTOCOL;
struct SMM_COMMUNICATION_PROTOCOL {
  EFI_STATUS(EFIAPI *Communicate)(SMM_COMMUNICATION_PROTOCOL *This, VOID *CommBuffer, UINTN *CommSize);
};

// What the platform DXE driver recorded, for the test application.
#define TEST_PLATFORM_PROTOCOL_GUID {0x2D6F9A41, 0x8C37, 0x4E12, {0xB5, 0x0E, 0x61, 0xA9, 0x3C, 0x7D, 0x28, 0xF4}}

#define TEST_PCD_LOG_CAPACITY 64
#define TEST_DEBUG_LOG_CAPACITY 8
#define TEST_DEBUG_TEXT 160

typedef struct {
  UINT32 Kind;  // 'G' a get, 'S' a set
  UINT32 Width;
  UINT64 Token;
  UINT64 Value;
} TEST_PCD_CALL;

typedef struct {
  UINT64 Level;
  CHAR8 Text[TEST_DEBUG_TEXT];
} TEST_DEBUG_MESSAGE;

typedef struct {
  EFI_STATUS MemoryLogReserve;   // AllocatePages of the memory-log block
  EFI_STATUS PcdWrap;            // ReinstallProtocolInterface of PCD_PROTOCOL
  EFI_STATUS SetupCreate;        // SetVariable of Setup, from the variable-write notification
  UINT32 PcdCallCount;
  UINT32 DebugMessageCount;
  TEST_PCD_CALL PcdCalls[TEST_PCD_LOG_CAPACITY];
  TEST_DEBUG_MESSAGE DebugMessages[TEST_DEBUG_LOG_CAPACITY];
} TEST_PLATFORM_PROTOCOL;

// Setup as the platform creates it: the simulator's default board image
// with these power-off bytes.
#define TEST_MEMORY_LOG_BASE 0x8A00000ull
#define TEST_MEMORY_LOG_PAGES 4096u

// Setup as the platform creates it (attributes NV|BS|RT): every byte 0 but
// these (offset, value) pairs. The test runner reads this list to give the
// simulator the same variable.
#define TEST_SETUP_BYTES {0x286, 1}, {0x05F, 2}, {0x20A, 1}, {0x20C, 3}, {0x216, 5}
