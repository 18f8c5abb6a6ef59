// The SMM driver's debug output backends (POST-code markers, serial port,
// memory log), the SMN routing probe that decides which are present, and
// the fatal code display.
#pragma once

#include <Uefi.h>

typedef struct {
  BOOLEAN(EFIAPI *Detect)(VOID);
  VOID(EFIAPI *Init)(VOID);
  BOOLEAN(EFIAPI *Query)(VOID);
  VOID(EFIAPI *Write)(CONST UINT8 *Bytes, UINTN Length);
} DEBUG_OUTPUT_BACKEND;

// POST-code markers, serial port, memory log; then NULL.
extern CONST DEBUG_OUTPUT_BACKEND *CONST mDebugOutputBackends[4];

// Routing registers, read over SMN once and cached; this value means unread.
#define DEBUG_ROUTING_UNREAD 0xA5A5A5A5u
#define DEBUG_ROUTING_A_SMN_ADDRESS 0x03810A84u
#define DEBUG_ROUTING_B_SMN_ADDRESS 0x03810A88u
#define DEBUG_ROUTING_A_MASK 0x0000000Fu
#define DEBUG_ROUTING_B_MASK 0x00010000u
extern UINT32 mDebugRoutingA;
extern UINT32 mDebugRoutingB;

#define PORT80_MESSAGE_START 0x5F535452u  // "_STR"
#define PORT80_MESSAGE_END 0x5F454E44u    // "_END"

#define MEM_LOG_BASE 0x8A00000ull
#define MEM_LOG_SIZE 0x1000000u
#define MEM_LOG_DATA_SIZE 0xFFFFF0u
#define MEM_LOG_SIGNATURE 0x4D454D44u  // "DMEM"
#define MEM_LOG_MAGIC1 0x55AA55AAu
#define MEM_LOG_MAGIC2 0xBB66BB66u
// Bytes dropped from the front of the data when a message does not fit.
#define MEM_LOG_COMPACT_BYTES 0x400000u

typedef struct {
  UINT32 Signature;
  UINT32 Magic1;
  UINT32 UsedBytes;
  UINT32 Magic2;
} MEM_LOG_HEADER;
static_assert(sizeof(MEM_LOG_HEADER) == 16, "MEM_LOG_HEADER");

#define FATAL_CODE_MEM_LOG_TOO_LONG 0x20850309u

VOID EFIAPI DebugOutputInit(VOID);
BOOLEAN EFIAPI DebugOutputAnyPresent(CONST DEBUG_OUTPUT_BACKEND *CONST *Backends);
BOOLEAN EFIAPI DebugRoutingProbe(VOID);

// SMN through the legacy configuration ports; each half is its own critical section.
VOID EFIAPI SmnIndexWriteCf8(UINT32 SmnAddress);
UINT32 EFIAPI SmnDataReadCf8(VOID);

VOID EFIAPI Port80Write(CONST UINT8 *Bytes, UINTN Length);
VOID EFIAPI SerialWrite(CONST UINT8 *Bytes, UINTN Length);
BOOLEAN EFIAPI MemLogIsValid(VOID);
VOID EFIAPI MemLogInit(VOID);
VOID EFIAPI MemLogWrite(CONST UINT8 *Bytes, UINTN Length);

// Shows Code on the POST-code ports and, when enabled and not simulated,
// never returns.
VOID EFIAPI FatalCodeDisplay(UINT32 Code);
// One turn of the endless display: six rotations by 8 bits, each shown on
// port 0x80 for 2.5 seconds, then a rotation by 16. Returns the new value.
UINT64 EFIAPI FatalCodeDisplayCycle(UINT64 Value);
BOOLEAN EFIAPI SimulationPresent(VOID);
