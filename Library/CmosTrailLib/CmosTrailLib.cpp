// Failure trail in the upper CMOS bank: the last module entry announced by a
// debug message and the last checkpointed debug statement, with up to three
// archived records from earlier boots.
#include <CmosTrail.h>
#include <Library/IoLib.h>
#include <Library/PrintLib.h>

namespace {

// One field of a trail slot: where slot 0 keeps it, how far apart the slots
// are, and how many bytes it has. Listed in the order slots are copied.
struct SLOT_FIELD {
  UINT8 Slot0Offset;
  UINT8 SlotStride;
  UINT8 Length;
};

constexpr SLOT_FIELD mSlotFields[] = {
    {0xA0, 8, 4},                             // GuidPrefix
    {0xA4, 8, 1},                             // GuidSum
    {0xCF, 16, 1},                            // Spare
    {0xA5, 8, 3},                             // Stamp
    {0xC0, 16, CMOS_TRAIL_FILE_NAME_LENGTH},  // FileName
    {0x90, 2, 2},                             // Line, high byte first
};

// Byte index of each field inside a slot's copy order.
constexpr UINTN GUID_PREFIX_INDEX = 0;
constexpr UINTN GUID_SUM_INDEX = 4;
constexpr UINTN SPARE_INDEX = 5;
constexpr UINTN STAMP_INDEX = 6;
constexpr UINTN FILE_NAME_INDEX = 9;
constexpr UINTN LINE_INDEX = 24;

struct SLOT_LAYOUT {
  UINT8 Offset[CMOS_TRAIL_SLOT_COUNT][CMOS_TRAIL_SLOT_BYTES];
};

consteval SLOT_LAYOUT BuildSlotLayout() {
  SLOT_LAYOUT Layout{};
  for (UINTN Slot = 0; Slot < CMOS_TRAIL_SLOT_COUNT; Slot++) {
    UINTN Index = 0;
    for (const SLOT_FIELD &Field : mSlotFields) {
      for (UINTN Byte = 0; Byte < Field.Length; Byte++) {
        Layout.Offset[Slot][Index++] = (UINT8)(Field.Slot0Offset + Slot * Field.SlotStride + Byte);
      }
    }
  }
  return Layout;
}

// CMOS offset of every byte of every slot, in copy order.
constexpr SLOT_LAYOUT mSlotLayout = BuildSlotLayout();

static_assert(mSlotLayout.Offset[0][GUID_SUM_INDEX] == 0xA4);
static_assert(mSlotLayout.Offset[3][SPARE_INDEX] == 0xFF);
static_assert(mSlotLayout.Offset[2][STAMP_INDEX + 2] == 0xB7);
static_assert(mSlotLayout.Offset[1][FILE_NAME_INDEX + 14] == 0xDE);
static_assert(mSlotLayout.Offset[3][LINE_INDEX + 1] == 0x97);

constexpr UINT8 RTC_MINUTES = 0x02;
constexpr UINT8 RTC_HOURS = 0x04;
constexpr UINT8 RTC_DAY_OF_MONTH = 0x07;
constexpr UINT8 RTC_MONTH = 0x08;

// "[" + 36 characters + "]"
constexpr UINTN GUID_TEXT_LENGTH = 36;
constexpr UINTN GUID_BYTES = 16;

// Scanning stops here so that a path without a NUL cannot run on forever.
constexpr UINTN PATH_SCAN_LIMIT = 252;
constexpr UINTN PATH_BACKTRACK_LIMIT = 255;

constexpr const CHAR8 *mGenericPackages[] = {"MdePkg", "MdeModulePkg", "IntelFrameworkPkg", "IntelFrameworkModulePkg"};

UINT8 CmosRead(UINT8 Offset) {
  IoWrite8(CMOS_TRAIL_INDEX_PORT, Offset);
  return IoRead8(CMOS_TRAIL_DATA_PORT);
}

VOID CmosWrite(UINT8 Offset, UINT8 Value) {
  IoWrite8(CMOS_TRAIL_INDEX_PORT, Offset);
  IoWrite8(CMOS_TRAIL_DATA_PORT, Value);
}

UINT8 RtcReadBcd(UINT8 Register) {
  IoWrite8(RTC_INDEX_PORT, Register);
  UINT8 Bcd = IoRead8(RTC_DATA_PORT);
  return (UINT8)((Bcd >> 4) * 10 + (Bcd & 0x0F));
}

CHAR8 ToUpper(CHAR8 Char) { return (Char >= 'a' && Char <= 'z') ? (CHAR8)(Char - 'a' + 'A') : Char; }

// Case-insensitive match of Pattern at Text; stops at the first mismatch, so
// never reads past a NUL in Text. The pattern's punctuation matches exactly.
BOOLEAN MatchesNoCase(CONST CHAR8 *Text, CONST CHAR8 *Pattern) {
  for (; *Pattern != '\0'; Text++, Pattern++) {
    if (ToUpper(*Text) != ToUpper(*Pattern)) {
      return FALSE;
    }
  }
  return TRUE;
}

UINTN AsciiLength(CONST CHAR8 *Text) {
  UINTN Length = 0;
  while (Text[Length] != '\0') {
    Length++;
  }
  return Length;
}

// Whether Pattern occurs at Position of a Length-character text, entirely
// inside it.
BOOLEAN MatchesAt(CONST CHAR8 *Text, UINTN Length, UINTN Position, CONST CHAR8 *Pattern) {
  UINTN PatternLength = AsciiLength(Pattern);
  return Position + PatternLength <= Length && MatchesNoCase(Text + Position, Pattern);
}

VOID CopySlot(UINTN From, UINTN To) {
  for (UINTN Index = 0; Index < CMOS_TRAIL_SLOT_BYTES; Index++) {
    UINT8 Value = CmosRead(mSlotLayout.Offset[From][Index]);
    CmosWrite(mSlotLayout.Offset[To][Index], Value);
  }
}

}  // namespace

// Out of range gives 0, which no slot uses, rather than another slot's byte.
UINT8 EFIAPI CmosTrailSlotOffset(UINTN Slot, UINTN Index) {
  if (Slot >= CMOS_TRAIL_SLOT_COUNT || Index >= CMOS_TRAIL_SLOT_BYTES) {
    return 0;
  }
  return mSlotLayout.Offset[Slot][Index];
}

VOID EFIAPI CmosTrailHexDigit(CHAR8 Char, UINT8 *Value) {
  if (Char >= '0' && Char <= '9') {
    *Value = (UINT8)(Char - '0');
  } else if (Char >= 'a' && Char <= 'f') {
    *Value = (UINT8)(Char - 'a' + 10);
  } else if (Char >= 'A' && Char <= 'F') {
    *Value = (UINT8)(Char - 'A' + 10);
  }
}

// Only matches that lie wholly inside the Length characters count: the
// caller's text need not be terminated right after them.
BOOLEAN EFIAPI CmosTrailIsPeiCoreEntry(CONST CHAR8 *Text, UINTN Length) {
  for (UINTN Position = 0; Position < Length; Position++) {
    if (MatchesAt(Text, Length, Position, "PEICORE.ENTRY(")) {
      return TRUE;
    }
  }
  return FALSE;
}

VOID EFIAPI CmosTrailClear(VOID) {
  CmosWrite(CMOS_TRAIL_ARMED, 0);
  CmosWrite(CMOS_TRAIL_HISTORY_COUNT, 0);
  // GuidPrefix, GuidSum and Stamp together are 0xA0..0xA7 in address order;
  // the spare byte sits between them in the slot order.
  for (UINTN Index = GUID_PREFIX_INDEX; Index < FILE_NAME_INDEX; Index++) {
    if (Index != SPARE_INDEX) {
      CmosWrite(mSlotLayout.Offset[0][Index], 0);
    }
  }
  CmosWrite(mSlotLayout.Offset[0][SPARE_INDEX], 0);
  for (UINTN Index = FILE_NAME_INDEX; Index < CMOS_TRAIL_SLOT_BYTES; Index++) {
    CmosWrite(mSlotLayout.Offset[0][Index], 0);
  }
}

VOID EFIAPI CmosTrailArchive(VOID) {
  if (CmosRead(CMOS_TRAIL_ARMED) == 0) {
    CmosTrailClear();
    CmosWrite(CMOS_TRAIL_ARMED, 1);
    return;
  }

  UINT8 Count = CmosRead(CMOS_TRAIL_HISTORY_COUNT);
  UINTN Target;
  if (Count < CMOS_TRAIL_SLOT_COUNT - 1) {
    Count++;
    CmosWrite(CMOS_TRAIL_HISTORY_COUNT, Count);
    Target = Count;
  } else {
    // Full (or a count beyond the archive, taken as full): drop the oldest.
    CopySlot(2, 1);
    CopySlot(3, 2);
    Target = CMOS_TRAIL_SLOT_COUNT - 1;
  }
  CopySlot(0, Target);
}

BOOLEAN EFIAPI CmosTrailGetLocation(CONST CHAR8 *FilePath, UINTN Line, CMOS_TRAIL_LOCATION *Location) {
  if (CmosRead(CMOS_TRAIL_ARMED) == 0) {
    return FALSE;
  }
  if (FilePath == NULL || Location == NULL) {
    return FALSE;
  }

  // Position 0 is never a package directory, but an empty path still ends there.
  UINTN End = 0;
  BOOLEAN FoundEnd = FilePath[0] == '\0';
  for (UINTN Position = 1; !FoundEnd && Position <= PATH_SCAN_LIMIT; Position++) {
    if (FilePath[Position] == '\0') {
      End = Position;
      FoundEnd = TRUE;
      break;
    }
    for (CONST CHAR8 *Package : mGenericPackages) {
      if (MatchesNoCase(FilePath + Position, Package)) {
        return FALSE;
      }
    }
  }

  UINTN NameStart;
  if (FoundEnd) {
    NameStart = 0;
    UINTN Stop = End > PATH_BACKTRACK_LIMIT ? End - PATH_BACKTRACK_LIMIT : 0;
    for (UINTN Position = End; Position > Stop; Position--) {
      if (FilePath[Position - 1] == '/' || FilePath[Position - 1] == '\\') {
        NameStart = Position;
        break;
      }
    }
  } else {
    NameStart = PATH_SCAN_LIMIT + 1;
  }

  for (UINTN Index = 0; Index < CMOS_TRAIL_FILE_NAME_LENGTH; Index++) {
    Location->FileName[Index] = 0;
  }
  Location->Line = 0;
  for (UINTN Index = 0; Index < CMOS_TRAIL_FILE_NAME_LENGTH; Index++) {
    CHAR8 Char = FilePath[NameStart + Index];
    if (Char == '\0' || Char == '.') {
      break;
    }
    Location->FileName[Index] = Char;
  }
  Location->Line = (UINT16)Line;
  return TRUE;
}

VOID EFIAPI CmosTrailRecordLocation(CONST CHAR8 *FilePath, UINTN Line) {
  CMOS_TRAIL_LOCATION Location;
  if (!CmosTrailGetLocation(FilePath, Line, &Location)) {
    return;
  }
  for (UINTN Index = 0; Index < CMOS_TRAIL_FILE_NAME_LENGTH; Index++) {
    CmosWrite(mSlotLayout.Offset[0][FILE_NAME_INDEX + Index], (UINT8)Location.FileName[Index]);
  }
  CmosWrite(mSlotLayout.Offset[0][LINE_INDEX], (UINT8)(Location.Line >> 8));
  CmosWrite(mSlotLayout.Offset[0][LINE_INDEX + 1], (UINT8)Location.Line);
}

BOOLEAN EFIAPI CmosTrailCheckpoint(UINTN ErrorLevel, CONST CHAR8 *Format, ...) {
  (VOID) ErrorLevel;
  if (Format == NULL) {
    return TRUE;
  }

  CHAR8 Text[CMOS_TRAIL_MESSAGE_BUFFER];
  VA_LIST Marker;
  VA_START(Marker, Format);
  UINTN Length = AsciiVSPrint(Text, sizeof(Text), Format, Marker);
  VA_END(Marker);
  if (Length > sizeof(Text) - 1) {
    Length = sizeof(Text) - 1;
  }
  Text[Length] = '\0';

  BOOLEAN IsEntry = FALSE;
  for (UINTN Position = 0; Position < Length && !IsEntry; Position++) {
    IsEntry = MatchesAt(Text, Length, Position, ".ENTRY(");
  }
  if (!IsEntry) {
    return FALSE;
  }

  if (CmosTrailIsPeiCoreEntry(Text, Length)) {
    CmosTrailArchive();
  }

  // Only a GUID whose closing bracket lies inside the text counts. Without
  // one there is nothing to record: the message is still a module entry, so
  // it is consumed, but slot 0 is left as it was.
  UINTN GuidStart = 0;
  BOOLEAN FoundGuid = FALSE;
  for (UINTN Position = 0; Position + GUID_TEXT_LENGTH + 1 < Length; Position++) {
    if (Text[Position] == '[' && Text[Position + GUID_TEXT_LENGTH + 1] == ']') {
      GuidStart = Position + 1;
      FoundGuid = TRUE;
      break;
    }
  }
  if (!FoundGuid) {
    return TRUE;
  }

  // Odd bracketed text may use up to three characters a byte; whatever lies
  // past the formatted text reads as a NUL. A character that is not a hex
  // digit keeps the value of the digit parsed before it.
  UINT8 Prefix[4] = {0, 0, 0, 0};
  UINT8 Sum = 0;
  UINT8 Digit = 0;
  UINTN Cursor = GuidStart;
  auto Next = [&]() -> CHAR8 { return Cursor < Length ? Text[Cursor] : '\0'; };
  for (UINTN Byte = 0; Byte < GUID_BYTES; Byte++) {
    CmosTrailHexDigit(Next(), &Digit);
    Cursor++;
    UINT8 High = Digit;
    CmosTrailHexDigit(Next(), &Digit);
    Cursor++;
    UINT8 Value = (UINT8)((High << 4) | Digit);
    if (Next() == '-') {
      Cursor++;
    }
    Sum = (UINT8)(Sum + Value);
    if (Byte < 4) {
      Prefix[Byte] = Value;
    }
  }

  for (UINTN Index = 0; Index < 4; Index++) {
    CmosWrite(mSlotLayout.Offset[0][GUID_PREFIX_INDEX + Index], Prefix[Index]);
  }
  CmosWrite(mSlotLayout.Offset[0][GUID_SUM_INDEX], Sum);

  UINT8 Month = RtcReadBcd(RTC_MONTH);
  UINT8 Day = RtcReadBcd(RTC_DAY_OF_MONTH);
  UINT8 Hour = RtcReadBcd(RTC_HOURS);
  UINT8 Minute = RtcReadBcd(RTC_MINUTES);
  CmosWrite(mSlotLayout.Offset[0][STAMP_INDEX], Month);
  CmosWrite(mSlotLayout.Offset[0][STAMP_INDEX + 1], (UINT8)((Day << 3) | ((Hour >> 2) & 7)));
  CmosWrite(mSlotLayout.Offset[0][STAMP_INDEX + 2], (UINT8)(((Hour & 3) << 6) + Minute));

  for (UINTN Index = FILE_NAME_INDEX; Index < CMOS_TRAIL_SLOT_BYTES; Index++) {
    CmosWrite(mSlotLayout.Offset[0][Index], 0);
  }
  return TRUE;
}
