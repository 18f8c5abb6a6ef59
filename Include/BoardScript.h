// Board scripts: register operations written as a macro table (one UINT64
// word per field, so a script is a plain list of constants), compiled in place
// into byte-packed records, then run record by record against memory, I/O
// ports, MSRs, SMBus devices and PCI configuration space.
#pragma once

#include <Uefi.h>

//
// Type byte: width in bits 7:6, class in bits 5:2, mode in bits 1:0.
//
#define SCRIPT_WIDTH_MASK 0xC0
#define SCRIPT_WIDTH_8 0x00
#define SCRIPT_WIDTH_16 0x40
#define SCRIPT_WIDTH_32 0x80
#define SCRIPT_WIDTH_64 0xC0

#define SCRIPT_CLASS_MASK 0x3C
#define SCRIPT_CLASS_MEM 0x00
#define SCRIPT_CLASS_IO 0x04
#define SCRIPT_CLASS_MSR 0x08
#define SCRIPT_CLASS_SMBUS 0x0C
#define SCRIPT_CLASS_PCI 0x10
#define SCRIPT_CLASS_STALL 0x14

#define SCRIPT_MODE_MASK 0x03
#define SCRIPT_MODE_SINGLE 0x01
#define SCRIPT_MODE_INDEXED 0x02

// Class and mode together: what the compiler selects a record layout by.
#define SCRIPT_KIND_MASK 0x3F

//
// Op word: the run operation is Op & SCRIPT_OP_MASK. Bit 7 marks the
// operations whose result is compared.
//
#define SCRIPT_OP_MASK 0x1F0
#define SCRIPT_OP_COMPARE 0x080
#define SCRIPT_OP_OR 0x050
#define SCRIPT_OP_AND 0x060
#define SCRIPT_OP_AND_OR 0x070
#define SCRIPT_OP_READ 0x080
#define SCRIPT_OP_READ_OR 0x090
#define SCRIPT_OP_READ_AND 0x0A0
#define SCRIPT_OP_READ_AND_OR 0x0B0
#define SCRIPT_OP_READ_ALT 0x180      // acts as SCRIPT_OP_READ
#define SCRIPT_OP_READ_AND_ALT 0x1A0  // acts as SCRIPT_OP_READ_AND

#define SCRIPT_STALL_UNIT_US 1
#define SCRIPT_STALL_UNIT_MS 2
#define SCRIPT_STALL_UNIT_S 3

// Stands where the next entry's type word would be.
#define BOARD_SCRIPT_TERMINATOR 0xFFFFFFFFFFFFFFFFull

// BoardScriptCompileEntry's answer for a type it has no layout for.
#define BOARD_SCRIPT_UNSUPPORTED 0xFF

//
// Packed records: little-endian, unaligned, no padding, laid end to end.
//
#pragma pack(push, 1)

typedef struct {
  UINT8 Type;
  UINT16 Op;
  UINT64 Address;  // memory address, or I/O port in the low 16 bits
  UINT64 AndMask;
  UINT64 OrValue;
  UINT64 CompareValue;
  UINT32 Reserved0;
  UINT32 Reserved1;
  UINT8 Reserved2;
} BOARD_SCRIPT_MEM_IO_RECORD;

typedef struct {
  UINT8 Type;
  UINT16 Op;
  UINT64 IndexAddress;
  UINT64 DataAddress;
  UINT64 IndexValue;
  UINT64 AndMask;
  UINT64 OrValue;
  UINT64 CompareValue;
  UINT32 Reserved0;
  UINT32 Reserved1;
  UINT8 Reserved2;
} BOARD_SCRIPT_MEM_IO_INDEX_RECORD;

typedef struct {
  UINT8 Type;
  UINT16 Op;
  UINT32 MsrIndex;
  UINT64 AndMask;
  UINT64 OrValue;
  UINT64 CompareValue;
  UINT32 Reserved0;
  UINT32 Reserved1;
  UINT8 Reserved2;
} BOARD_SCRIPT_MSR_RECORD;

typedef struct {
  UINT8 Type;
  UINT16 Op;
  UINT8 SlaveAddress;  // 8-bit form; bit 0 is the read/write bit
  UINT16 Command;      // the low byte goes to the host command register
  UINT16 AndMask;
  UINT16 OrValue;
  UINT16 CompareValue;
  UINT32 Reserved0;
  UINT32 Reserved1;
  UINT8 Reserved2;
} BOARD_SCRIPT_SMBUS_RECORD;

typedef struct {
  UINT8 Type;
  UINT16 Op;
  UINT8 Bus;
  UINT8 Device;
  UINT8 Function;
  UINT16 Register;
  UINT32 AndMask;
  UINT32 OrValue;
  UINT32 CompareValue;
  UINT32 Reserved0;
  UINT32 Reserved1;
  UINT8 Reserved2;
} BOARD_SCRIPT_PCI_RECORD;

typedef struct {
  UINT8 Type;
  UINT16 Op;
  UINT8 Unit;  // SCRIPT_STALL_UNIT_*
  UINT16 Count;
  UINT32 Reserved0;
  UINT32 Reserved1;
  UINT8 Reserved2;
} BOARD_SCRIPT_STALL_RECORD;

#pragma pack(pop)

static_assert(sizeof(BOARD_SCRIPT_MEM_IO_RECORD) == 44, "BOARD_SCRIPT_MEM_IO_RECORD");
static_assert(OFFSET_OF(BOARD_SCRIPT_MEM_IO_RECORD, Type) == 0, "Type");
static_assert(OFFSET_OF(BOARD_SCRIPT_MEM_IO_RECORD, Op) == 1, "Op");
static_assert(OFFSET_OF(BOARD_SCRIPT_MEM_IO_RECORD, Address) == 3, "Address");
static_assert(OFFSET_OF(BOARD_SCRIPT_MEM_IO_RECORD, AndMask) == 11, "AndMask");
static_assert(OFFSET_OF(BOARD_SCRIPT_MEM_IO_RECORD, OrValue) == 19, "OrValue");
static_assert(OFFSET_OF(BOARD_SCRIPT_MEM_IO_RECORD, CompareValue) == 27, "CompareValue");
static_assert(OFFSET_OF(BOARD_SCRIPT_MEM_IO_RECORD, Reserved0) == 35, "Reserved0");
static_assert(OFFSET_OF(BOARD_SCRIPT_MEM_IO_RECORD, Reserved1) == 39, "Reserved1");
static_assert(OFFSET_OF(BOARD_SCRIPT_MEM_IO_RECORD, Reserved2) == 43, "Reserved2");

static_assert(sizeof(BOARD_SCRIPT_MEM_IO_INDEX_RECORD) == 60, "BOARD_SCRIPT_MEM_IO_INDEX_RECORD");
static_assert(OFFSET_OF(BOARD_SCRIPT_MEM_IO_INDEX_RECORD, Type) == 0, "Type");
static_assert(OFFSET_OF(BOARD_SCRIPT_MEM_IO_INDEX_RECORD, Op) == 1, "Op");
static_assert(OFFSET_OF(BOARD_SCRIPT_MEM_IO_INDEX_RECORD, IndexAddress) == 3, "IndexAddress");
static_assert(OFFSET_OF(BOARD_SCRIPT_MEM_IO_INDEX_RECORD, DataAddress) == 11, "DataAddress");
static_assert(OFFSET_OF(BOARD_SCRIPT_MEM_IO_INDEX_RECORD, IndexValue) == 19, "IndexValue");
static_assert(OFFSET_OF(BOARD_SCRIPT_MEM_IO_INDEX_RECORD, AndMask) == 27, "AndMask");
static_assert(OFFSET_OF(BOARD_SCRIPT_MEM_IO_INDEX_RECORD, OrValue) == 35, "OrValue");
static_assert(OFFSET_OF(BOARD_SCRIPT_MEM_IO_INDEX_RECORD, CompareValue) == 43, "CompareValue");
static_assert(OFFSET_OF(BOARD_SCRIPT_MEM_IO_INDEX_RECORD, Reserved0) == 51, "Reserved0");
static_assert(OFFSET_OF(BOARD_SCRIPT_MEM_IO_INDEX_RECORD, Reserved1) == 55, "Reserved1");
static_assert(OFFSET_OF(BOARD_SCRIPT_MEM_IO_INDEX_RECORD, Reserved2) == 59, "Reserved2");

static_assert(sizeof(BOARD_SCRIPT_MSR_RECORD) == 40, "BOARD_SCRIPT_MSR_RECORD");
static_assert(OFFSET_OF(BOARD_SCRIPT_MSR_RECORD, Type) == 0, "Type");
static_assert(OFFSET_OF(BOARD_SCRIPT_MSR_RECORD, Op) == 1, "Op");
static_assert(OFFSET_OF(BOARD_SCRIPT_MSR_RECORD, MsrIndex) == 3, "MsrIndex");
static_assert(OFFSET_OF(BOARD_SCRIPT_MSR_RECORD, AndMask) == 7, "AndMask");
static_assert(OFFSET_OF(BOARD_SCRIPT_MSR_RECORD, OrValue) == 15, "OrValue");
static_assert(OFFSET_OF(BOARD_SCRIPT_MSR_RECORD, CompareValue) == 23, "CompareValue");
static_assert(OFFSET_OF(BOARD_SCRIPT_MSR_RECORD, Reserved0) == 31, "Reserved0");
static_assert(OFFSET_OF(BOARD_SCRIPT_MSR_RECORD, Reserved1) == 35, "Reserved1");
static_assert(OFFSET_OF(BOARD_SCRIPT_MSR_RECORD, Reserved2) == 39, "Reserved2");

static_assert(sizeof(BOARD_SCRIPT_SMBUS_RECORD) == 21, "BOARD_SCRIPT_SMBUS_RECORD");
static_assert(OFFSET_OF(BOARD_SCRIPT_SMBUS_RECORD, Type) == 0, "Type");
static_assert(OFFSET_OF(BOARD_SCRIPT_SMBUS_RECORD, Op) == 1, "Op");
static_assert(OFFSET_OF(BOARD_SCRIPT_SMBUS_RECORD, SlaveAddress) == 3, "SlaveAddress");
static_assert(OFFSET_OF(BOARD_SCRIPT_SMBUS_RECORD, Command) == 4, "Command");
static_assert(OFFSET_OF(BOARD_SCRIPT_SMBUS_RECORD, AndMask) == 6, "AndMask");
static_assert(OFFSET_OF(BOARD_SCRIPT_SMBUS_RECORD, OrValue) == 8, "OrValue");
static_assert(OFFSET_OF(BOARD_SCRIPT_SMBUS_RECORD, CompareValue) == 10, "CompareValue");
static_assert(OFFSET_OF(BOARD_SCRIPT_SMBUS_RECORD, Reserved0) == 12, "Reserved0");
static_assert(OFFSET_OF(BOARD_SCRIPT_SMBUS_RECORD, Reserved1) == 16, "Reserved1");
static_assert(OFFSET_OF(BOARD_SCRIPT_SMBUS_RECORD, Reserved2) == 20, "Reserved2");

static_assert(sizeof(BOARD_SCRIPT_PCI_RECORD) == 29, "BOARD_SCRIPT_PCI_RECORD");
static_assert(OFFSET_OF(BOARD_SCRIPT_PCI_RECORD, Type) == 0, "Type");
static_assert(OFFSET_OF(BOARD_SCRIPT_PCI_RECORD, Op) == 1, "Op");
static_assert(OFFSET_OF(BOARD_SCRIPT_PCI_RECORD, Bus) == 3, "Bus");
static_assert(OFFSET_OF(BOARD_SCRIPT_PCI_RECORD, Device) == 4, "Device");
static_assert(OFFSET_OF(BOARD_SCRIPT_PCI_RECORD, Function) == 5, "Function");
static_assert(OFFSET_OF(BOARD_SCRIPT_PCI_RECORD, Register) == 6, "Register");
static_assert(OFFSET_OF(BOARD_SCRIPT_PCI_RECORD, AndMask) == 8, "AndMask");
static_assert(OFFSET_OF(BOARD_SCRIPT_PCI_RECORD, OrValue) == 12, "OrValue");
static_assert(OFFSET_OF(BOARD_SCRIPT_PCI_RECORD, CompareValue) == 16, "CompareValue");
static_assert(OFFSET_OF(BOARD_SCRIPT_PCI_RECORD, Reserved0) == 20, "Reserved0");
static_assert(OFFSET_OF(BOARD_SCRIPT_PCI_RECORD, Reserved1) == 24, "Reserved1");
static_assert(OFFSET_OF(BOARD_SCRIPT_PCI_RECORD, Reserved2) == 28, "Reserved2");

static_assert(sizeof(BOARD_SCRIPT_STALL_RECORD) == 15, "BOARD_SCRIPT_STALL_RECORD");
static_assert(OFFSET_OF(BOARD_SCRIPT_STALL_RECORD, Type) == 0, "Type");
static_assert(OFFSET_OF(BOARD_SCRIPT_STALL_RECORD, Op) == 1, "Op");
static_assert(OFFSET_OF(BOARD_SCRIPT_STALL_RECORD, Unit) == 3, "Unit");
static_assert(OFFSET_OF(BOARD_SCRIPT_STALL_RECORD, Count) == 4, "Count");
static_assert(OFFSET_OF(BOARD_SCRIPT_STALL_RECORD, Reserved0) == 6, "Reserved0");
static_assert(OFFSET_OF(BOARD_SCRIPT_STALL_RECORD, Reserved1) == 10, "Reserved1");
static_assert(OFFSET_OF(BOARD_SCRIPT_STALL_RECORD, Reserved2) == 14, "Reserved2");

//
// Record layouts as the compiler walks them: word i of a macro entry fills
// field i of its record. Taken from the structures above, so the structures
// are the one description of every layout, at run time and at compile time.
//
#define BOARD_SCRIPT_MAX_ENTRY_WORDS 12

typedef struct {
  UINT8 Offset;
  UINT8 Size;
} BOARD_SCRIPT_FIELD;

typedef struct {
  UINT8 Kind;  // Type & SCRIPT_KIND_MASK
  UINT8 WordCount;
  UINT8 RecordLength;
  BOARD_SCRIPT_FIELD Fields[BOARD_SCRIPT_MAX_ENTRY_WORDS];
} BOARD_SCRIPT_LAYOUT;

#define BOARD_SCRIPT_FIELD_OF(Record, Field) {(UINT8)OFFSET_OF(Record, Field), (UINT8)sizeof(Record::Field)}
#define BOARD_SCRIPT_MEM_IO_(Field) BOARD_SCRIPT_FIELD_OF(BOARD_SCRIPT_MEM_IO_RECORD, Field)
#define BOARD_SCRIPT_INDEX_(Field) BOARD_SCRIPT_FIELD_OF(BOARD_SCRIPT_MEM_IO_INDEX_RECORD, Field)
#define BOARD_SCRIPT_MSR_(Field) BOARD_SCRIPT_FIELD_OF(BOARD_SCRIPT_MSR_RECORD, Field)
#define BOARD_SCRIPT_SMBUS_(Field) BOARD_SCRIPT_FIELD_OF(BOARD_SCRIPT_SMBUS_RECORD, Field)
#define BOARD_SCRIPT_PCI_(Field) BOARD_SCRIPT_FIELD_OF(BOARD_SCRIPT_PCI_RECORD, Field)
#define BOARD_SCRIPT_STALL_(Field) BOARD_SCRIPT_FIELD_OF(BOARD_SCRIPT_STALL_RECORD, Field)

#define BOARD_SCRIPT_MEM_IO_FIELDS                                                                  \
  {BOARD_SCRIPT_MEM_IO_(Type), BOARD_SCRIPT_MEM_IO_(Op), BOARD_SCRIPT_MEM_IO_(Address),               \
   BOARD_SCRIPT_MEM_IO_(AndMask), BOARD_SCRIPT_MEM_IO_(OrValue), BOARD_SCRIPT_MEM_IO_(CompareValue),  \
   BOARD_SCRIPT_MEM_IO_(Reserved0), BOARD_SCRIPT_MEM_IO_(Reserved1), BOARD_SCRIPT_MEM_IO_(Reserved2)}
#define BOARD_SCRIPT_INDEX_FIELDS                                                                   \
  {BOARD_SCRIPT_INDEX_(Type), BOARD_SCRIPT_INDEX_(Op), BOARD_SCRIPT_INDEX_(IndexAddress),             \
   BOARD_SCRIPT_INDEX_(DataAddress), BOARD_SCRIPT_INDEX_(IndexValue), BOARD_SCRIPT_INDEX_(AndMask),   \
   BOARD_SCRIPT_INDEX_(OrValue), BOARD_SCRIPT_INDEX_(CompareValue), BOARD_SCRIPT_INDEX_(Reserved0),   \
   BOARD_SCRIPT_INDEX_(Reserved1), BOARD_SCRIPT_INDEX_(Reserved2)}

inline constexpr BOARD_SCRIPT_LAYOUT gBoardScriptLayouts[] = {
    {SCRIPT_CLASS_MEM | SCRIPT_MODE_SINGLE, 9, sizeof(BOARD_SCRIPT_MEM_IO_RECORD), BOARD_SCRIPT_MEM_IO_FIELDS},
    {SCRIPT_CLASS_IO | SCRIPT_MODE_SINGLE, 9, sizeof(BOARD_SCRIPT_MEM_IO_RECORD), BOARD_SCRIPT_MEM_IO_FIELDS},
    {SCRIPT_CLASS_MEM | SCRIPT_MODE_INDEXED, 11, sizeof(BOARD_SCRIPT_MEM_IO_INDEX_RECORD), BOARD_SCRIPT_INDEX_FIELDS},
    {SCRIPT_CLASS_IO | SCRIPT_MODE_INDEXED, 11, sizeof(BOARD_SCRIPT_MEM_IO_INDEX_RECORD), BOARD_SCRIPT_INDEX_FIELDS},
    {SCRIPT_CLASS_MSR, 9, sizeof(BOARD_SCRIPT_MSR_RECORD),
     {BOARD_SCRIPT_MSR_(Type), BOARD_SCRIPT_MSR_(Op), BOARD_SCRIPT_MSR_(MsrIndex), BOARD_SCRIPT_MSR_(AndMask),
      BOARD_SCRIPT_MSR_(OrValue), BOARD_SCRIPT_MSR_(CompareValue), BOARD_SCRIPT_MSR_(Reserved0),
      BOARD_SCRIPT_MSR_(Reserved1), BOARD_SCRIPT_MSR_(Reserved2)}},
    {SCRIPT_CLASS_SMBUS | SCRIPT_MODE_SINGLE, 10, sizeof(BOARD_SCRIPT_SMBUS_RECORD),
     {BOARD_SCRIPT_SMBUS_(Type), BOARD_SCRIPT_SMBUS_(Op), BOARD_SCRIPT_SMBUS_(SlaveAddress),
      BOARD_SCRIPT_SMBUS_(Command), BOARD_SCRIPT_SMBUS_(AndMask), BOARD_SCRIPT_SMBUS_(OrValue),
      BOARD_SCRIPT_SMBUS_(CompareValue), BOARD_SCRIPT_SMBUS_(Reserved0), BOARD_SCRIPT_SMBUS_(Reserved1),
      BOARD_SCRIPT_SMBUS_(Reserved2)}},
    {SCRIPT_CLASS_PCI | SCRIPT_MODE_SINGLE, 12, sizeof(BOARD_SCRIPT_PCI_RECORD),
     {BOARD_SCRIPT_PCI_(Type), BOARD_SCRIPT_PCI_(Op), BOARD_SCRIPT_PCI_(Bus), BOARD_SCRIPT_PCI_(Device),
      BOARD_SCRIPT_PCI_(Function), BOARD_SCRIPT_PCI_(Register), BOARD_SCRIPT_PCI_(AndMask), BOARD_SCRIPT_PCI_(OrValue),
      BOARD_SCRIPT_PCI_(CompareValue), BOARD_SCRIPT_PCI_(Reserved0), BOARD_SCRIPT_PCI_(Reserved1),
      BOARD_SCRIPT_PCI_(Reserved2)}},
    {SCRIPT_CLASS_STALL, 7, sizeof(BOARD_SCRIPT_STALL_RECORD),
     {BOARD_SCRIPT_STALL_(Type), BOARD_SCRIPT_STALL_(Op), BOARD_SCRIPT_STALL_(Unit), BOARD_SCRIPT_STALL_(Count),
      BOARD_SCRIPT_STALL_(Reserved0), BOARD_SCRIPT_STALL_(Reserved1), BOARD_SCRIPT_STALL_(Reserved2)}},
};

#undef BOARD_SCRIPT_INDEX_FIELDS
#undef BOARD_SCRIPT_MEM_IO_FIELDS
#undef BOARD_SCRIPT_STALL_
#undef BOARD_SCRIPT_PCI_
#undef BOARD_SCRIPT_SMBUS_
#undef BOARD_SCRIPT_MSR_
#undef BOARD_SCRIPT_INDEX_
#undef BOARD_SCRIPT_MEM_IO_
#undef BOARD_SCRIPT_FIELD_OF

// Every layout packs its fields back to back and ends where its record ends;
// field i ends no later than word i does, so a record written over its own
// words never overwrites a word before it has been read, and it is shorter
// than its words, so the next entry is still intact too.
constexpr BOOLEAN BoardScriptLayoutsSound() {
  for (const BOARD_SCRIPT_LAYOUT &Layout : gBoardScriptLayouts) {
    if (Layout.WordCount < 2 || Layout.WordCount > BOARD_SCRIPT_MAX_ENTRY_WORDS ||
        Layout.RecordLength >= Layout.WordCount * sizeof(UINT64)) {
      return FALSE;
    }
    UINT32 End = 0;
    for (UINT32 Word = 0; Word < Layout.WordCount; ++Word) {
      const BOARD_SCRIPT_FIELD &Field = Layout.Fields[Word];
      if (Field.Offset != End || Field.Size == 0 || Field.Size > sizeof(UINT64)) {
        return FALSE;
      }
      End = Field.Offset + Field.Size;
      if (End > (Word + 1) * sizeof(UINT64)) {
        return FALSE;
      }
    }
    if (End != Layout.RecordLength) {
      return FALSE;
    }
  }
  return TRUE;
}
static_assert(BoardScriptLayoutsSound(), "board script record layouts");

constexpr const BOARD_SCRIPT_LAYOUT *BoardScriptFindLayout(UINT8 Type) {
  for (const BOARD_SCRIPT_LAYOUT &Layout : gBoardScriptLayouts) {
    if (Layout.Kind == (Type & SCRIPT_KIND_MASK)) {
      return &Layout;
    }
  }
  return nullptr;
}

// Compiles the entry at Entry into Record (which may lie over the entry's own
// words, at or below them) and adds the record's length to *Length. At most
// WordsLeft words are read; an entry longer than that is not compiled.
// Returns the entry's word count or BOARD_SCRIPT_UNSUPPORTED (nothing written).
constexpr UINT8 BoardScriptPackEntry(UINT8 *Record, CONST UINT64 *Entry, UINTN WordsLeft, UINT32 *Length) {
  const BOARD_SCRIPT_LAYOUT *Layout = BoardScriptFindLayout((UINT8)Entry[0]);
  if (Layout == nullptr || Layout->WordCount > WordsLeft) {
    return BOARD_SCRIPT_UNSUPPORTED;
  }
  *Length += Layout->RecordLength;
  for (UINT32 Word = 0; Word < Layout->WordCount; ++Word) {
    // The whole word is taken before its field (which may overlap it) is written.
    const UINT64 Value = Entry[Word];
    const BOARD_SCRIPT_FIELD &Field = Layout->Fields[Word];
    for (UINT32 Byte = 0; Byte < Field.Size; ++Byte) {
      Record[Field.Offset + Byte] = (UINT8)(Value >> (8 * Byte));
    }
  }
  return Layout->WordCount;
}

// Words a table can have: the table format counts them with a 16-bit index.
#define BOARD_SCRIPT_MAX_WORDS 0x10000u

// Compiles the table at Table (WordCount words) into Packed, which may be the
// table's own storage. Returns the packed length in bytes. The compile stops
// at the terminator, at the table's end, or where the 16-bit word index would
// wrap, whichever comes first: a wrapped index would read bytes already
// compiled as entries and write past the table. Every record is shorter than
// its entry, so the packed length never exceeds the words read and the write
// position never passes a word still to be read.
constexpr UINT32 BoardScriptPackTable(UINT8 *Packed, CONST UINT64 *Table, UINTN WordCount) {
  const UINTN Limit = WordCount < BOARD_SCRIPT_MAX_WORDS ? WordCount : BOARD_SCRIPT_MAX_WORDS;
  UINT32 Length = 0;
  UINTN Word = 0;
  while (Word < Limit) {
    const UINT8 Used = BoardScriptPackEntry(Packed + Length, Table + Word, Limit - Word, &Length);
    if (Used == BOARD_SCRIPT_UNSUPPORTED) {
      break;
    }
    Word += Used;
    // The terminator is looked for only after an entry.
    if (Word < Limit && Table[Word] == BOARD_SCRIPT_TERMINATOR) {
      break;
    }
  }
  return Length;
}

// A table compiled at compile time, for checking a fixed script where it is
// written: static_assert(BoardScriptCompileConstant(Table).Length == 132).
template <UINTN WordCount>
struct BOARD_SCRIPT_PACKED {
  UINT8 Bytes[WordCount * sizeof(UINT64)];
  UINT32 Length;
};

template <UINTN WordCount>
constexpr BOARD_SCRIPT_PACKED<WordCount> BoardScriptCompileConstant(CONST UINT64 (&Table)[WordCount]) {
  BOARD_SCRIPT_PACKED<WordCount> Packed = {};
  Packed.Length = BoardScriptPackTable(Packed.Bytes, Table, WordCount);
  return Packed;
}

//
// Compiler.
//

// Compiles one macro entry into Record and adds its length to *Length.
// Returns the entry's word count, or BOARD_SCRIPT_UNSUPPORTED.
UINT8 EFIAPI BoardScriptCompileEntry(UINT8 *Record, CONST UINT64 *Entry, UINT32 *Length);

// Compiles a macro table of WordCount words in place; the packed script
// starts at the table's first byte. Returns its length in bytes.
UINT32 EFIAPI BoardScriptCompile(UINT64 *Table, UINTN WordCount);

//
// Executor.
//

// Runs the packed script Script of Length bytes. TRUE when every record
// yields TRUE (an empty script included).
BOOLEAN EFIAPI BoardScriptRun(UINT8 *Script, UINT32 Length);

// Executes the record at Record, of which Remaining bytes belong to the
// script, and advances *Offset by its length. A record that is not whole, or
// of a class or mode the executor does not know, yields FALSE and *Offset
// stays as it was.
BOOLEAN EFIAPI BoardScriptExecuteRecord(UINT8 *Record, UINT32 *Offset, UINT32 Remaining);

// Record handlers: Record must hold the whole record (BoardScriptExecuteRecord
// makes sure of that).
BOOLEAN EFIAPI BoardScriptExecMem(UINT8 *Record, UINT32 *Offset);
BOOLEAN EFIAPI BoardScriptExecIo(UINT8 *Record, UINT32 *Offset);
BOOLEAN EFIAPI BoardScriptExecMsr(UINT8 *Record, UINT32 *Offset);
BOOLEAN EFIAPI BoardScriptExecSmbus(UINT8 *Record, UINT32 *Offset);
BOOLEAN EFIAPI BoardScriptExecPci(UINT8 *Record, UINT32 *Offset);

//
// Accessors. Width is a SCRIPT_WIDTH_* code.
//

// PCI addresses: (Bus << 20) | (Device << 15) | (Function << 12) | Register.
UINT64 EFIAPI ScriptIoRead(UINT16 Port, UINT8 Width);
UINT64 EFIAPI ScriptIoWrite(UINT16 Port, UINT64 Value, UINT8 Width);
UINT32 EFIAPI ScriptPciRead(UINT32 PciAddress, UINT8 Width);
VOID EFIAPI ScriptPciWrite(UINT32 PciAddress, UINT32 Value, UINT8 Width);
UINT64 EFIAPI ScriptMemAndThenOr(UINTN Address, UINT8 Width, UINT64 AndMask, UINT64 OrValue);

UINT16 EFIAPI SmbusReadData(UINT16 SmbusBase, UINT8 SlaveAddress, UINT16 Command, UINT8 Width);
EFI_STATUS EFIAPI SmbusWriteData(UINT16 SmbusBase, UINT8 SlaveAddress, UINT16 Command, UINT16 Data, UINT8 Width);
EFI_STATUS EFIAPI SmbusWaitDone(UINT16 SmbusBase);
VOID EFIAPI SmbusWaitAndClearStatus(UINT16 SmbusBase);
