// Board script engine: the in-place compiler and the executor.
#include <BoardScript.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/IoLib.h>
#include <Library/TimerLib.h>

namespace {

constexpr UINTN kFchPmRegister = 0xFED80300;
constexpr UINT32 kFchPmSmbusBits = 0x00050000;
constexpr UINT32 kFchPmSmbusBaseMask = 0xFF00;

// SMBus host controller, PIIX4 register layout; the second one sits at +0x20.
constexpr UINT16 kSmbusSecondary = 0x20;
constexpr UINT16 kSmbusStatus = 0;
constexpr UINT16 kSmbusControl = 2;
constexpr UINT16 kSmbusCommand = 3;
constexpr UINT16 kSmbusAddress = 4;
constexpr UINT16 kSmbusData0 = 5;
constexpr UINT16 kSmbusData1 = 6;
constexpr UINT8 kSmbusStatusClearAll = 0xBE;
constexpr UINT8 kSmbusStatusEnded = 0x9E;      // any of these ends the poll for completion
constexpr UINT8 kSmbusStatusDone = 0x02;
constexpr UINT8 kSmbusStatusErrors = 0x1C;
constexpr UINT8 kSmbusStatusSettled = 0x1E;
constexpr UINT8 kSmbusStatusInUse = 0x40;
constexpr UINT8 kSmbusReadBit = 0x01;
constexpr UINT8 kSmbusByteData = 0x08;
constexpr UINT8 kSmbusWordData = 0x0C;
constexpr UINT8 kSmbusStart = 0x40;
constexpr UINT32 kSmbusDonePolls = 0x6000;
constexpr UINT32 kSmbusSettlePolls = 0x3FFF;

constexpr UINT16 kPciConfigAddress = 0xCF8;
constexpr UINT16 kPciConfigData = 0xCFC;

BOOLEAN IsTableOperation(UINT16 Op) {
  switch (Op & SCRIPT_OP_MASK) {
    case SCRIPT_OP_OR:
    case SCRIPT_OP_AND:
    case SCRIPT_OP_AND_OR:
    case SCRIPT_OP_READ:
    case SCRIPT_OP_READ_OR:
    case SCRIPT_OP_READ_AND:
    case SCRIPT_OP_READ_AND_OR:
    case SCRIPT_OP_READ_ALT:
    case SCRIPT_OP_READ_AND_ALT:
      return TRUE;
    default:
      return FALSE;
  }
}

// The operation table shared by every register class. Read() yields the
// register zero-extended to the class's width; Modify(And, Or) is one
// read-modify-write of (value AND And) OR Or. The values handed in are
// already of the class's width, so the compare is at that width too.
template <typename READ, typename MODIFY>
BOOLEAN RunOperation(UINT16 Op, UINT64 AndMask, UINT64 OrValue, UINT64 CompareValue, READ Read, MODIFY Modify) {
  UINT64 Value;
  switch (Op & SCRIPT_OP_MASK) {
    case SCRIPT_OP_OR:
      Modify(~0ull, OrValue);
      return TRUE;
    case SCRIPT_OP_AND:
      Modify(AndMask, 0);
      return TRUE;
    case SCRIPT_OP_AND_OR:
      Modify(AndMask, OrValue);
      return TRUE;
    case SCRIPT_OP_READ:
    case SCRIPT_OP_READ_ALT:
      Value = Read();
      break;
    case SCRIPT_OP_READ_OR:
      Value = Read() | OrValue;
      break;
    case SCRIPT_OP_READ_AND:
    case SCRIPT_OP_READ_AND_ALT:
      Value = Read() & AndMask;
      break;
    case SCRIPT_OP_READ_AND_OR:
      Value = (Read() & AndMask) | OrValue;
      break;
    default:
      return TRUE;
  }
  return Value == CompareValue;
}

UINT64 MemRead(UINTN Address, UINT8 Width) {
  switch (Width) {
    case SCRIPT_WIDTH_8:
      return MmioRead8(Address);
    case SCRIPT_WIDTH_16:
      return MmioRead16(Address);
    case SCRIPT_WIDTH_32:
      return MmioRead32(Address);
    default:
      return MmioRead64(Address);
  }
}

VOID MemWrite(UINTN Address, UINT8 Width, UINT64 Value) {
  switch (Width) {
    case SCRIPT_WIDTH_8:
      MmioWrite8(Address, (UINT8)Value);
      break;
    case SCRIPT_WIDTH_16:
      MmioWrite16(Address, (UINT16)Value);
      break;
    case SCRIPT_WIDTH_32:
      MmioWrite32(Address, (UINT32)Value);
      break;
    default:
      MmioWrite64(Address, Value);
      break;
  }
}

// Memory and I/O records share their layouts and their index/data handling.
struct MEM_ACCESS {
  static VOID Store(UINT64 Address, UINT8 Width, UINT64 Value) { MemWrite((UINTN)Address, Width, Value); }
  static UINT64 Read(UINT64 Address, UINT8 Width) { return MemRead((UINTN)Address, Width); }
  static VOID Modify(UINT64 Address, UINT8 Width, UINT64 AndMask, UINT64 OrValue) {
    ScriptMemAndThenOr((UINTN)Address, Width, AndMask, OrValue);
  }
};

struct IO_ACCESS {
  static VOID Store(UINT64 Port, UINT8 Width, UINT64 Value) { ScriptIoWrite((UINT16)Port, Value, Width); }
  static UINT64 Read(UINT64 Port, UINT8 Width) { return ScriptIoRead((UINT16)Port, Width); }
  static VOID Modify(UINT64 Port, UINT8 Width, UINT64 AndMask, UINT64 OrValue) {
    ScriptIoWrite((UINT16)Port, (ScriptIoRead((UINT16)Port, Width) & AndMask) | OrValue, Width);
  }
};

template <typename ACCESS>
BOOLEAN ExecMemOrIo(UINT8 *Record, UINT32 *Offset) {
  const UINT8 Width = Record[0] & SCRIPT_WIDTH_MASK;
  UINT16 Op;
  UINT64 Target;
  UINT64 AndMask;
  UINT64 OrValue;
  UINT64 CompareValue;

  switch (Record[0] & SCRIPT_MODE_MASK) {
    case SCRIPT_MODE_SINGLE: {
      BOARD_SCRIPT_MEM_IO_RECORD Single;
      CopyMem(&Single, Record, sizeof(Single));
      *Offset += sizeof(Single);
      Op = Single.Op;
      Target = Single.Address;
      AndMask = Single.AndMask;
      OrValue = Single.OrValue;
      CompareValue = Single.CompareValue;
      break;
    }
    case SCRIPT_MODE_INDEXED: {
      BOARD_SCRIPT_MEM_IO_INDEX_RECORD Indexed;
      CopyMem(&Indexed, Record, sizeof(Indexed));
      *Offset += sizeof(Indexed);
      if (!IsTableOperation(Indexed.Op)) {
        return TRUE;  // a record without effect selects nothing either
      }
      // The index goes first, for reads as well.
      ACCESS::Store(Indexed.IndexAddress, Width, Indexed.IndexValue);
      Op = Indexed.Op;
      Target = Indexed.DataAddress;
      AndMask = Indexed.AndMask;
      OrValue = Indexed.OrValue;
      CompareValue = Indexed.CompareValue;
      break;
    }
    default:
      return FALSE;
  }

  return RunOperation(
      Op, AndMask, OrValue, CompareValue, [&]() { return ACCESS::Read(Target, Width); },
      [&](UINT64 And, UINT64 Or) { ACCESS::Modify(Target, Width, And, Or); });
}

// One byte or word read on the controller at SmbusBase, without the retry.
EFI_STATUS SmbusReadOnce(UINT16 SmbusBase, UINT8 SlaveAddress, UINT16 Command, UINT8 Width, UINT16 *Data) {
  IoRead8(SmbusBase + kSmbusStatus);
  IoWrite8(SmbusBase + kSmbusStatus, kSmbusStatusClearAll);
  IoWrite8(SmbusBase + kSmbusCommand, (UINT8)Command);
  IoWrite8(SmbusBase + kSmbusAddress, SlaveAddress);
  IoWrite8(SmbusBase + kSmbusAddress, SlaveAddress | kSmbusReadBit);
  if (Width == SCRIPT_WIDTH_8) {
    IoWrite8(SmbusBase + kSmbusControl, kSmbusByteData);
    IoWrite8(SmbusBase + kSmbusControl, kSmbusByteData | kSmbusStart);
  } else if (Width == SCRIPT_WIDTH_16) {
    IoWrite8(SmbusBase + kSmbusControl, kSmbusWordData);
    IoWrite8(SmbusBase + kSmbusControl, kSmbusWordData | kSmbusStart);
  }
  // Any other width starts nothing; the bounded waits below run out.

  EFI_STATUS Status = SmbusWaitDone(SmbusBase);
  *Data = 0;
  if (!EFI_ERROR(Status)) {
    *Data = IoRead8(SmbusBase + kSmbusData0);
    if (Width == SCRIPT_WIDTH_16) {
      *Data |= (UINT16)(IoRead8(SmbusBase + kSmbusData1) << 8);
    }
  }
  SmbusWaitAndClearStatus(SmbusBase);
  IoWrite8(SmbusBase + kSmbusControl, IoRead8(SmbusBase + kSmbusControl) & 0xFE);
  IoWrite8(SmbusBase + kSmbusStatus, kSmbusStatusInUse);
  MicroSecondDelay(10);
  return Status;
}

// The read with its one retry on the second controller, which is handed the
// address with the read bit already set.
EFI_STATUS SmbusReadWithRetry(UINT16 SmbusBase, UINT8 SlaveAddress, UINT16 Command, UINT8 Width, UINT16 *Data) {
  EFI_STATUS Status = SmbusReadOnce(SmbusBase, SlaveAddress, Command, Width, Data);
  if (EFI_ERROR(Status) && (SmbusBase & kSmbusSecondary) == 0) {
    Status = SmbusReadOnce(SmbusBase + kSmbusSecondary, SlaveAddress | kSmbusReadBit, Command, Width, Data);
  }
  return Status;
}

EFI_STATUS SmbusWriteOnce(UINT16 SmbusBase, UINT8 SlaveAddress, UINT16 Command, UINT16 Data, UINT8 Width) {
  IoRead8(SmbusBase + kSmbusStatus);
  IoWrite8(SmbusBase + kSmbusStatus, kSmbusStatusClearAll);
  IoWrite8(SmbusBase + kSmbusCommand, (UINT8)Command);
  IoWrite8(SmbusBase + kSmbusAddress, SlaveAddress);
  IoWrite8(SmbusBase + kSmbusData0, (UINT8)Data);
  IoWrite8(SmbusBase + kSmbusData1, (UINT8)(Data >> 8));
  if (Width == SCRIPT_WIDTH_8) {
    IoWrite8(SmbusBase + kSmbusControl, kSmbusByteData);
    IoWrite8(SmbusBase + kSmbusControl, kSmbusByteData | kSmbusStart);
  } else if (Width == SCRIPT_WIDTH_16) {
    IoWrite8(SmbusBase + kSmbusControl, kSmbusWordData);
    IoWrite8(SmbusBase + kSmbusControl, kSmbusWordData | kSmbusStart);
  }
  EFI_STATUS Status = SmbusWaitDone(SmbusBase);
  SmbusWaitAndClearStatus(SmbusBase);
  IoWrite8(SmbusBase + kSmbusControl, IoRead8(SmbusBase + kSmbusControl) & 0xFE);
  IoWrite8(SmbusBase + kSmbusStatus, kSmbusStatusInUse);
  MicroSecondDelay(10);
  return Status;
}

// Controller base from the FCH power-management register, after setting the
// two bits there that every SMBus access of this platform sets first.
UINT16 SmbusControllerBase() {
  MmioWrite32(kFchPmRegister, MmioRead32(kFchPmRegister) | kFchPmSmbusBits);
  return (UINT16)(MmioRead32(kFchPmRegister) & kFchPmSmbusBaseMask);
}

// What the executor accepts as a record at all: 0 for an unknown class or a
// memory/I/O mode other than single and indexed.
UINT32 RecordLength(UINT8 Type) {
  switch (Type & SCRIPT_CLASS_MASK) {
    case SCRIPT_CLASS_MEM:
    case SCRIPT_CLASS_IO:
      switch (Type & SCRIPT_MODE_MASK) {
        case SCRIPT_MODE_SINGLE:
          return sizeof(BOARD_SCRIPT_MEM_IO_RECORD);
        case SCRIPT_MODE_INDEXED:
          return sizeof(BOARD_SCRIPT_MEM_IO_INDEX_RECORD);
        default:
          return 0;
      }
    case SCRIPT_CLASS_MSR:
      return sizeof(BOARD_SCRIPT_MSR_RECORD);
    case SCRIPT_CLASS_SMBUS:
      return sizeof(BOARD_SCRIPT_SMBUS_RECORD);
    case SCRIPT_CLASS_PCI:
      return sizeof(BOARD_SCRIPT_PCI_RECORD);
    case SCRIPT_CLASS_STALL:
      return sizeof(BOARD_SCRIPT_STALL_RECORD);
    default:
      return 0;
  }
}

BOOLEAN ExecStall(UINT8 *Record, UINT32 *Offset) {
  BOARD_SCRIPT_STALL_RECORD Stall;
  CopyMem(&Stall, Record, sizeof(Stall));
  *Offset += sizeof(Stall);
  if ((Stall.Op & SCRIPT_OP_MASK) == 0) {
    return TRUE;
  }
  UINT32 Calls = 0;
  switch (Stall.Unit) {
    case SCRIPT_STALL_UNIT_US:
      Calls = 1;
      break;
    case SCRIPT_STALL_UNIT_MS:
      Calls = 1000;
      break;
    case SCRIPT_STALL_UNIT_S:
      Calls = 1000000;
      break;
    default:
      break;
  }
  for (UINT32 Call = 0; Call < Calls; ++Call) {
    MicroSecondDelay(Stall.Count);
  }
  return TRUE;
}

}  // namespace

//
// Compiler.
//

UINT8 EFIAPI BoardScriptCompileEntry(UINT8 *Record, CONST UINT64 *Entry, UINT32 *Length) {
  return BoardScriptPackEntry(Record, Entry, (UINTN)-1, Length);
}

UINT32 EFIAPI BoardScriptCompile(UINT64 *Table, UINTN WordCount) {
  return BoardScriptPackTable((UINT8 *)Table, Table, WordCount);
}

//
// Executor.
//

BOOLEAN EFIAPI BoardScriptRun(UINT8 *Script, UINT32 Length) {
  // An empty script is an empty list of conditions, and that holds: TRUE
  // without touching the script. Callers that need a non-empty script check
  // the compiled length (BoardInitDxe checks its table at compile time).
  UINT32 Offset = 0;
  while (Offset != Length) {
    // Offset never passes Length: a record only advances it when it fits.
    if (!BoardScriptExecuteRecord(Script + Offset, &Offset, Length - Offset)) {
      return FALSE;
    }
  }
  return TRUE;
}

BOOLEAN EFIAPI BoardScriptExecuteRecord(UINT8 *Record, UINT32 *Offset, UINT32 Remaining) {
  // A record that runs past the end of the script (a corrupt length, or a
  // length that is not a record boundary) ends the run before any field of
  // it is read, so nothing outside the script is ever looked at.
  if (Remaining == 0) {
    return FALSE;
  }
  const UINT32 Length = RecordLength(Record[0]);
  if (Length == 0 || Length > Remaining) {
    return FALSE;
  }
  switch (Record[0] & SCRIPT_CLASS_MASK) {
    case SCRIPT_CLASS_MEM:
      return BoardScriptExecMem(Record, Offset);
    case SCRIPT_CLASS_IO:
      return BoardScriptExecIo(Record, Offset);
    case SCRIPT_CLASS_MSR:
      return BoardScriptExecMsr(Record, Offset);
    case SCRIPT_CLASS_SMBUS:
      return BoardScriptExecSmbus(Record, Offset);
    case SCRIPT_CLASS_PCI:
      return BoardScriptExecPci(Record, Offset);
    case SCRIPT_CLASS_STALL:
      return ExecStall(Record, Offset);
    default:
      return FALSE;
  }
}

BOOLEAN EFIAPI BoardScriptExecMem(UINT8 *Record, UINT32 *Offset) { return ExecMemOrIo<MEM_ACCESS>(Record, Offset); }

BOOLEAN EFIAPI BoardScriptExecIo(UINT8 *Record, UINT32 *Offset) { return ExecMemOrIo<IO_ACCESS>(Record, Offset); }

BOOLEAN EFIAPI BoardScriptExecMsr(UINT8 *Record, UINT32 *Offset) {
  BOARD_SCRIPT_MSR_RECORD Msr;
  CopyMem(&Msr, Record, sizeof(Msr));
  *Offset += sizeof(Msr);
  return RunOperation(
      Msr.Op, Msr.AndMask, Msr.OrValue, Msr.CompareValue, [&]() { return AsmReadMsr64(Msr.MsrIndex); },
      [&](UINT64 And, UINT64 Or) { AsmWriteMsr64(Msr.MsrIndex, (AsmReadMsr64(Msr.MsrIndex) & And) | Or); });
}

BOOLEAN EFIAPI BoardScriptExecSmbus(UINT8 *Record, UINT32 *Offset) {
  BOARD_SCRIPT_SMBUS_RECORD Smbus;
  CopyMem(&Smbus, Record, sizeof(Smbus));
  *Offset += sizeof(Smbus);
  const UINT8 Width = Smbus.Type & SCRIPT_WIDTH_MASK;
  const UINT16 Base = SmbusControllerBase();
  return RunOperation(
      Smbus.Op, Smbus.AndMask, Smbus.OrValue, Smbus.CompareValue,
      [&]() -> UINT64 { return SmbusReadData(Base, Smbus.SlaveAddress, Smbus.Command, Width); },
      [&](UINT64 And, UINT64 Or) {
        UINT16 Data;
        // A read that failed on both controllers gives no value to modify;
        // writing one computed from 0 could clear bits the device holds, so
        // nothing is written. The record still yields TRUE.
        if (EFI_ERROR(SmbusReadWithRetry(Base, Smbus.SlaveAddress, Smbus.Command, Width, &Data))) {
          return;
        }
        SmbusWriteData(Base, Smbus.SlaveAddress, Smbus.Command, (UINT16)((Data & And) | Or), Width);
      });
}

BOOLEAN EFIAPI BoardScriptExecPci(UINT8 *Record, UINT32 *Offset) {
  BOARD_SCRIPT_PCI_RECORD Pci;
  CopyMem(&Pci, Record, sizeof(Pci));
  *Offset += sizeof(Pci);
  const UINT8 Width = Pci.Type & SCRIPT_WIDTH_MASK;
  const UINT32 Address = ((((UINT32)Pci.Bus * 32 + Pci.Device) * 8 + Pci.Function) * 4096) + Pci.Register;
  return RunOperation(
      Pci.Op, Pci.AndMask, Pci.OrValue, Pci.CompareValue, [&]() -> UINT64 { return ScriptPciRead(Address, Width); },
      [&](UINT64 And, UINT64 Or) {
        ScriptPciWrite(Address, (UINT32)((ScriptPciRead(Address, Width) & And) | Or), Width);
      });
}

//
// Accessors.
//

UINT64 EFIAPI ScriptIoRead(UINT16 Port, UINT8 Width) {
  switch (Width) {
    case SCRIPT_WIDTH_8:
      return IoRead8(Port);
    case SCRIPT_WIDTH_16:
      return IoRead16(Port);
    case SCRIPT_WIDTH_32:
      return IoRead32(Port);
    default:
      return 0;  // no 64-bit port access exists
  }
}

UINT64 EFIAPI ScriptIoWrite(UINT16 Port, UINT64 Value, UINT8 Width) {
  switch (Width) {
    case SCRIPT_WIDTH_8:
      IoWrite8(Port, (UINT8)Value);
      break;
    case SCRIPT_WIDTH_16:
      IoWrite16(Port, (UINT16)Value);
      break;
    case SCRIPT_WIDTH_32:
      IoWrite32(Port, (UINT32)Value);
      break;
    default:
      break;
  }
  return Value;
}

namespace {
// Configuration mechanism #1: register bits 11:8 have no place in 0xCF8.
VOID SelectPciRegister(UINT32 PciAddress) {
  IoWrite32(kPciConfigAddress, 0x80000000u | ((PciAddress >> 4) & 0x00FFFF00u) | (PciAddress & 0xFCu));
}
}  // namespace

UINT32 EFIAPI ScriptPciRead(UINT32 PciAddress, UINT8 Width) {
  SelectPciRegister(PciAddress);
  switch (Width) {
    case SCRIPT_WIDTH_8:
      return IoRead8(kPciConfigData + (PciAddress & 3));
    case SCRIPT_WIDTH_16:
      return IoRead16(kPciConfigData + (PciAddress & 2));
    case SCRIPT_WIDTH_32:
      return IoRead32(kPciConfigData);
    default:
      return 0;
  }
}

VOID EFIAPI ScriptPciWrite(UINT32 PciAddress, UINT32 Value, UINT8 Width) {
  SelectPciRegister(PciAddress);
  switch (Width) {
    case SCRIPT_WIDTH_8:
      IoWrite8(kPciConfigData + (PciAddress & 3), (UINT8)Value);
      break;
    case SCRIPT_WIDTH_16:
      IoWrite16(kPciConfigData + (PciAddress & 2), (UINT16)Value);
      break;
    case SCRIPT_WIDTH_32:
      IoWrite32(kPciConfigData, Value);
      break;
    default:
      break;
  }
}

UINT64 EFIAPI ScriptMemAndThenOr(UINTN Address, UINT8 Width, UINT64 AndMask, UINT64 OrValue) {
  const UINT64 Value = (MemRead(Address, Width) & AndMask) | OrValue;
  MemWrite(Address, Width, Value);
  return Value;
}

UINT16 EFIAPI SmbusReadData(UINT16 SmbusBase, UINT8 SlaveAddress, UINT16 Command, UINT8 Width) {
  UINT16 Data;
  SmbusReadWithRetry(SmbusBase, SlaveAddress, Command, Width, &Data);
  return Data;
}

EFI_STATUS EFIAPI SmbusWriteData(UINT16 SmbusBase, UINT8 SlaveAddress, UINT16 Command, UINT16 Data, UINT8 Width) {
  EFI_STATUS Status = SmbusWriteOnce(SmbusBase, SlaveAddress, Command, Data, Width);
  if (EFI_ERROR(Status) && (SmbusBase & kSmbusSecondary) == 0) {
    Status = SmbusWriteOnce(SmbusBase + kSmbusSecondary, SlaveAddress, Command, Data, Width);
  }
  return Status;
}

EFI_STATUS EFIAPI SmbusWaitDone(UINT16 SmbusBase) {
  MicroSecondDelay(1000);
  UINT8 Status = 0;
  for (UINT32 Poll = 0; Poll < kSmbusDonePolls; ++Poll) {
    Status = IoRead8(SmbusBase + kSmbusStatus);
    if ((Status & kSmbusStatusEnded) != 0) {
      break;
    }
    MicroSecondDelay(1);
  }
  if ((Status & kSmbusStatusDone) != 0 && (Status & kSmbusStatusErrors) == 0) {
    return EFI_SUCCESS;
  }
  return EFI_DEVICE_ERROR;
}

VOID EFIAPI SmbusWaitAndClearStatus(UINT16 SmbusBase) {
  for (UINT32 Poll = 0; Poll < kSmbusSettlePolls; ++Poll) {
    MicroSecondDelay(1);
    if ((IoRead8(SmbusBase + kSmbusStatus) & kSmbusStatusSettled) != 0) {
      break;
    }
  }
  IoWrite8(SmbusBase + kSmbusStatus, kSmbusStatusClearAll);
}
