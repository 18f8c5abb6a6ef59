// Debug output backends of the SMM driver. Only the POST-code backend can be
// found present; the serial port and the memory log are carried with their
// operations but report absent. Every port access and MSR read goes through
// the guarded accessors.
#include <AmdCfgPcdBuffer.h>
#include <Library/BaseLib.h>
#include <Library/SioAccessLib.h>
#include <Library/SioDebugOutputLib.h>
#include <Library/TimerLib.h>

constinit UINT32 mDebugRoutingA = DEBUG_ROUTING_UNREAD;
constinit UINT32 mDebugRoutingB = DEBUG_ROUTING_UNREAD;

namespace {

constexpr UINT16 kPciConfigAddressPort = 0xCF8;
constexpr UINT16 kPciConfigDataPort = 0xCFC;
constexpr UINT32 kSmnIndexConfigAddress = 0x800000B8;
constexpr UINT32 kSmnDataConfigAddress = 0x800000BC;

constexpr UINT16 kPostCodePort = 0x80;
constexpr UINT16 kDebugPortE0 = 0xE0;
constexpr UINT16 kFatalMarker = 0xDEAD;
constexpr UINTN kFatalStepUs = 2500000;

constexpr UINT16 kSerialData = 0x3F8;
constexpr UINT16 kSerialLineStatus = 0x3FD;
constexpr UINT16 kSerialModemStatus = 0x3FE;
constexpr UINT8 kLineTransmitterEmpty = 0x60;
constexpr UINT8 kModemClearToSend = 0x10;
constexpr UINTN kSerialTries = 2000;

constexpr UINT32 kMsrApicBase = 0x1B;
constexpr UINT64 kApicBaseBsp = BIT8;

constexpr UINT32 kSimulationLeaf = 0xBACCD00B;
constexpr UINT32 kSimulationQuery = 2;

// The fatal display is enabled by the third byte of Const3 (record byte 5).
constexpr UINTN kFatalDisplayEnableByte = 5;

volatile MEM_LOG_HEADER *MemLogHeader() { return (volatile MEM_LOG_HEADER *)(UINTN)MEM_LOG_BASE; }
volatile UINT8 *MemLogData() { return (volatile UINT8 *)(UINTN)(MEM_LOG_BASE + sizeof(MEM_LOG_HEADER)); }

BOOLEAN OnBootProcessor() { return (GuardedReadMsr(kMsrApicBase) & kApicBaseBsp) != 0 ? TRUE : FALSE; }

UINT32 SmnReadCf8(UINT32 Address) {
  SmnIndexWriteCf8(Address);
  return SmnDataReadCf8();
}

VOID MemLogZero(UINT32 From, UINT32 To) {
  volatile UINT8 *Data = MemLogData();
  for (UINT32 Offset = From; Offset < To; ++Offset) {
    Data[Offset] = 0;
  }
}

BOOLEAN EFIAPI Port80Detect(VOID) { return DebugRoutingProbe(); }
// The serial and memory-log backends are never selected on this platform;
// they still run the probe so the routing caches fill the same way.
BOOLEAN EFIAPI AbsentDetect(VOID) {
  DebugRoutingProbe();
  return FALSE;
}
VOID EFIAPI NoInit(VOID) {}
BOOLEAN EFIAPI NoQuery(VOID) { return FALSE; }

constexpr DEBUG_OUTPUT_BACKEND mPort80Backend = {Port80Detect, NoInit, NoQuery, Port80Write};
constexpr DEBUG_OUTPUT_BACKEND mSerialBackend = {AbsentDetect, NoInit, NoQuery, SerialWrite};
constexpr DEBUG_OUTPUT_BACKEND mMemLogBackend = {AbsentDetect, MemLogInit, NoQuery, MemLogWrite};

}  // namespace

constinit CONST DEBUG_OUTPUT_BACKEND *CONST mDebugOutputBackends[4] = {&mPort80Backend, &mSerialBackend,
                                                                        &mMemLogBackend, nullptr};

BOOLEAN EFIAPI DebugOutputAnyPresent(CONST DEBUG_OUTPUT_BACKEND *CONST *Backends) {
  BOOLEAN Any = FALSE;
  // Every backend is asked; no early stop.
  for (UINTN Index = 0; Backends[Index] != nullptr; ++Index) {
    if (Backends[Index]->Detect()) {
      Any = TRUE;
    }
  }
  return Any;
}

VOID EFIAPI DebugOutputInit(VOID) {
  if (!DebugOutputAnyPresent(mDebugOutputBackends)) {
    return;
  }
  for (UINTN Index = 0; mDebugOutputBackends[Index] != nullptr; ++Index) {
    if (mDebugOutputBackends[Index]->Detect()) {
      mDebugOutputBackends[Index]->Init();
    }
  }
}

BOOLEAN EFIAPI DebugRoutingProbe(VOID) {
  if (mDebugRoutingA == DEBUG_ROUTING_UNREAD) {
    mDebugRoutingA = SmnReadCf8(DEBUG_ROUTING_A_SMN_ADDRESS);
  }
  if ((mDebugRoutingA & DEBUG_ROUTING_A_MASK) != 0) {
    return TRUE;
  }
  if (mDebugRoutingB == DEBUG_ROUTING_UNREAD) {
    mDebugRoutingB = SmnReadCf8(DEBUG_ROUTING_B_SMN_ADDRESS);
  }
  return (mDebugRoutingB & DEBUG_ROUTING_B_MASK) != 0 ? TRUE : FALSE;
}

// Whoever was using the configuration address register finds it unchanged.
VOID EFIAPI SmnIndexWriteCf8(UINT32 SmnAddress) {
  BOOLEAN InterruptState = GuardedSaveAndDisableInterrupts();
  UINT32 Saved = GuardedIoRead32(kPciConfigAddressPort);
  GuardedIoWrite32(kPciConfigAddressPort, kSmnIndexConfigAddress);
  GuardedIoWrite32(kPciConfigDataPort, SmnAddress);
  GuardedIoWrite32(kPciConfigAddressPort, Saved);
  GuardedSetInterruptState(InterruptState);
}

UINT32 EFIAPI SmnDataReadCf8(VOID) {
  BOOLEAN InterruptState = GuardedSaveAndDisableInterrupts();
  UINT32 Saved = GuardedIoRead32(kPciConfigAddressPort);
  GuardedIoWrite32(kPciConfigAddressPort, kSmnDataConfigAddress);
  UINT32 Value = GuardedIoRead32(kPciConfigDataPort);
  GuardedIoWrite32(kPciConfigAddressPort, Saved);
  GuardedSetInterruptState(InterruptState);
  return Value;
}

VOID EFIAPI Port80Write(CONST UINT8 *Bytes, UINTN Length) {
  GuardedIoWrite32(kPostCodePort, PORT80_MESSAGE_START);
  for (UINTN Index = 0; Index < Length; ++Index) {
    GuardedIoWrite8(kPostCodePort, Bytes[Index]);
  }
  GuardedIoWrite32(kPostCodePort, PORT80_MESSAGE_END);
}

VOID EFIAPI SerialWrite(CONST UINT8 *Bytes, UINTN Length) {
  for (UINTN Index = 0; Index < Length; ++Index) {
    BOOLEAN Ready = FALSE;
    for (UINTN Try = 0; Try < kSerialTries && !Ready; ++Try) {
      Ready = (GuardedIoRead8(kSerialLineStatus) & kLineTransmitterEmpty) == kLineTransmitterEmpty;
    }
    if (!Ready) {
      continue;
    }
    Ready = FALSE;
    for (UINTN Try = 0; Try < kSerialTries && !Ready; ++Try) {
      Ready = (GuardedIoRead8(kSerialModemStatus) & kModemClearToSend) != 0;
    }
    if (!Ready) {
      continue;
    }
    GuardedIoWrite8(kSerialData, Bytes[Index]);
  }
}

BOOLEAN EFIAPI MemLogIsValid(VOID) {
  if (!OnBootProcessor()) {
    return FALSE;
  }
  volatile MEM_LOG_HEADER *Header = MemLogHeader();
  return Header->Signature == MEM_LOG_SIGNATURE && Header->Magic1 == MEM_LOG_MAGIC1 &&
                 Header->Magic2 == MEM_LOG_MAGIC2 && Header->UsedBytes <= MEM_LOG_SIZE
             ? TRUE
             : FALSE;
}

VOID EFIAPI MemLogInit(VOID) {
  if (!OnBootProcessor() || MemLogIsValid()) {
    return;
  }
  volatile MEM_LOG_HEADER *Header = MemLogHeader();
  Header->Signature = MEM_LOG_SIGNATURE;
  if (Header->Signature != MEM_LOG_SIGNATURE) {
    return;  // no memory behind the block
  }
  Header->Magic1 = MEM_LOG_MAGIC1;
  Header->Magic2 = MEM_LOG_MAGIC2;
  Header->UsedBytes = 0;
  MemLogZero(0, MEM_LOG_DATA_SIZE);
}

// The block lies outside SMRAM, so its header is not trusted: UsedBytes is
// read once and every offset derived from it is kept inside the data area.
VOID EFIAPI MemLogWrite(CONST UINT8 *Bytes, UINTN Length) {
  if (!MemLogIsValid()) {
    return;
  }
  if (Length > MEM_LOG_DATA_SIZE) {
    FatalCodeDisplay(FATAL_CODE_MEM_LOG_TOO_LONG);
    // The display is disabled here and returns. Such a message can never
    // fit, so it is dropped without discarding any of the log.
    return;
  }
  volatile MEM_LOG_HEADER *Header = MemLogHeader();
  volatile UINT8 *Data = MemLogData();
  UINT32 Used = Header->UsedBytes;
  // The validity test admits up to 0x1000000, more than the data area
  // holds, and the header may change after that test: a larger count is
  // taken as a full area.
  if (Used > MEM_LOG_DATA_SIZE) {
    Used = MEM_LOG_DATA_SIZE;
  }
  if ((UINT64)Used + Length > MEM_LOG_DATA_SIZE) {
    // Discard the oldest 4 MiB, or everything when less is in use.
    UINT32 Dropped = Used < MEM_LOG_COMPACT_BYTES ? Used : MEM_LOG_COMPACT_BYTES;
    for (UINT32 Offset = Dropped; Offset < Used; ++Offset) {
      Data[Offset - Dropped] = Data[Offset];
    }
    Used -= Dropped;
    MemLogZero(Used, MEM_LOG_DATA_SIZE);
    if ((UINT64)Used + Length > MEM_LOG_DATA_SIZE) {
      // Dropped after the move: the count is left at what the area now
      // holds, so the header and the zeroed tail agree.
      Header->UsedBytes = Used;
      return;
    }
  }
  for (UINTN Index = 0; Index < Length; ++Index) {
    Data[Used + Index] = Bytes[Index];
  }
  Header->UsedBytes = Used + (UINT32)Length;
}

VOID EFIAPI FatalCodeDisplay(UINT32 Code) {
  if (((CONST UINT8 *)&gAmdCfgPcdBuffer)[kFatalDisplayEnableByte] == 0) {
    return;
  }
  GuardedIoWrite16(kDebugPortE0, kFatalMarker);
  GuardedIoWrite32(kPostCodePort, Code);
  if (SimulationPresent()) {
    return;
  }
  UINT64 Value = ((UINT64)kFatalMarker << 48) | ((UINT64)Code << 16);
  for (;;) {
    Value = FatalCodeDisplayCycle(Value);
  }
}

UINT64 EFIAPI FatalCodeDisplayCycle(UINT64 Value) {
  for (UINTN Step = 0; Step < 6; ++Step) {
    Value = (Value << 8) | (Value >> 56);
    GuardedIoWrite32(kPostCodePort, (UINT32)Value);
    MicroSecondDelay(kFatalStepUs);
  }
  return (Value << 16) | (Value >> 48);
}

BOOLEAN EFIAPI SimulationPresent(VOID) {
  // The answer is SI, the low 16 bits of RSI.
  return (UINT16)AsmCpuidReadSi(kSimulationLeaf, kSimulationQuery) != 0 ? TRUE : FALSE;
}
