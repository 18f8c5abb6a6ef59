// Failure trail in the upper CMOS bank: the last module entry announced by a
// debug message and the last checkpointed debug statement, with up to three
// archived records from earlier boots. Every DXE image carries it, so it is
// written for size: slot offsets are computed rather than tabled, and runs
// of consecutive CMOS bytes are written by one loop.
#include <CmosTrail.h>
#include <Library/IoLib.h>
#include <Library/PrintLib.h>

namespace {

// Byte index of each field inside a slot's copy order.
constexpr UINTN GUID_SUM_INDEX = 4;
constexpr UINTN SPARE_INDEX = 5;
constexpr UINTN STAMP_INDEX = 6;
constexpr UINTN FILE_NAME_INDEX = 9;
constexpr UINTN LINE_INDEX = 24;

// Slot 0 keeps GuidPrefix, GuidSum and Stamp at 0xA0..0xA7 (8 bytes a slot),
// the spare byte at 0xCF and the file name at 0xC0 (16 bytes a slot), the
// line at 0x90 (2 bytes a slot), high byte first.
constexpr UINT8 GUID_PREFIX_OFFSET = 0xA0;
constexpr UINT8 STAMP_OFFSET = 0xA5;
constexpr UINT8 SPARE_OFFSET = 0xCF;
constexpr UINT8 FILE_NAME_OFFSET = 0xC0;
constexpr UINT8 LINE_OFFSET = 0x90;

constexpr UINT8 SlotOffset(UINTN Slot, UINTN Index) {
  if (Index == SPARE_INDEX) {
    return (UINT8)(SPARE_OFFSET + Slot * 16);
  }
  if (Index < FILE_NAME_INDEX) {
    // Stamp follows GuidSum directly: the spare byte lies elsewhere.
    return (UINT8)(GUID_PREFIX_OFFSET + Slot * 8 + Index - (Index > SPARE_INDEX));
  }
  if (Index < LINE_INDEX) {
    return (UINT8)(FILE_NAME_OFFSET + Slot * 16 + Index - FILE_NAME_INDEX);
  }
  return (UINT8)(LINE_OFFSET + Slot * 2 + Index - LINE_INDEX);
}

static_assert(SlotOffset(0, GUID_SUM_INDEX) == 0xA4);
static_assert(SlotOffset(0, STAMP_INDEX) == STAMP_OFFSET);
static_assert(SlotOffset(3, SPARE_INDEX) == 0xFF);
static_assert(SlotOffset(2, STAMP_INDEX + 2) == 0xB7);
static_assert(SlotOffset(1, FILE_NAME_INDEX + 14) == 0xDE);
static_assert(SlotOffset(3, LINE_INDEX + 1) == 0x97);

constexpr UINT8 RTC_MINUTES = 0x02;
constexpr UINT8 RTC_HOURS = 0x04;
constexpr UINT8 RTC_DAY_OF_MONTH = 0x07;
constexpr UINT8 RTC_MONTH = 0x08;

// "[" + 36 characters + "]"
constexpr UINTN GUID_TEXT_LENGTH = 36;
constexpr UINTN GUID_BYTES = 16;

// Scanning stops here so that a path without a NUL cannot run on forever.
// (A name is looked for at most 252 characters back from the NUL, which is
// never further than the path's start.)
constexpr UINTN PATH_SCAN_LIMIT = 252;

// Patterns in upper case: text is compared after upper-casing its letters.
// ".ENTRY(" is the tail of the PEI core's entry.
constexpr CHAR8 mPeiCoreEntry[] = "PEICORE.ENTRY(";
constexpr const CHAR8 *mModuleEntry = mPeiCoreEntry + 7;
// The generic packages, one after another, each ended by its NUL.
constexpr CHAR8 mGenericPackages[] = "MDEPKG\0MDEMODULEPKG\0INTELFRAMEWORKPKG\0INTELFRAMEWORKMODULEPKG\0";

UINT8 CmosRead(UINT8 Offset) {
  IoWrite8(CMOS_TRAIL_INDEX_PORT, Offset);
  return IoRead8(CMOS_TRAIL_DATA_PORT);
}

VOID CmosWrite(UINT8 Offset, UINT8 Value) {
  IoWrite8(CMOS_TRAIL_INDEX_PORT, Offset);
  IoWrite8(CMOS_TRAIL_DATA_PORT, Value);
}

// Count consecutive bytes from Offset up: Values, or zeros when NULL.
VOID CmosWriteRun(UINT8 Offset, const UINT8 *Values, UINTN Count) {
  for (UINTN Index = 0; Index < Count; Index++) {
    CmosWrite((UINT8)(Offset + Index), Values != NULL ? Values[Index] : 0);
  }
}

// Slot 0's file name and line.
VOID ClearLocation() {
  CmosWriteRun(FILE_NAME_OFFSET, NULL, CMOS_TRAIL_FILE_NAME_LENGTH);
  CmosWriteRun(LINE_OFFSET, NULL, 2);
}

UINT8 RtcReadBcd(UINT8 Register) {
  IoWrite8(RTC_INDEX_PORT, Register);
  UINT8 Bcd = IoRead8(RTC_DATA_PORT);
  return (UINT8)((Bcd >> 4) * 10 + (Bcd & 0x0F));
}

// Whether Pattern (upper case) is at Text, letters in any case; stops at the
// first mismatch, so never reads past a NUL in Text.
BOOLEAN MatchesNoCase(CONST CHAR8 *Text, CONST CHAR8 *Pattern) {
  for (; *Pattern != '\0'; Text++, Pattern++) {
    CHAR8 Char = *Text;
    if (Char >= 'a' && Char <= 'z') {
      Char = (CHAR8)(Char - 'a' + 'A');
    }
    if (Char != *Pattern) {
      return FALSE;
    }
  }
  return TRUE;
}

// Whether Pattern occurs anywhere wholly inside the Length characters.
BOOLEAN Contains(CONST CHAR8 *Text, UINTN Length, CONST CHAR8 *Pattern) {
  UINTN PatternLength = 0;
  while (Pattern[PatternLength] != '\0') {
    PatternLength++;
  }
  for (UINTN Position = 0; Position + PatternLength <= Length; Position++) {
    if (MatchesNoCase(Text + Position, Pattern)) {
      return TRUE;
    }
  }
  return FALSE;
}

VOID CopySlot(UINTN From, UINTN To) {
  for (UINTN Index = 0; Index < CMOS_TRAIL_SLOT_BYTES; Index++) {
    CmosWrite(SlotOffset(To, Index), CmosRead(SlotOffset(From, Index)));
  }
}

}  // namespace

// Out of range gives 0, which no slot uses, rather than another slot's byte.
UINT8 EFIAPI CmosTrailSlotOffset(UINTN Slot, UINTN Index) {
  if (Slot >= CMOS_TRAIL_SLOT_COUNT || Index >= CMOS_TRAIL_SLOT_BYTES) {
    return 0;
  }
  return SlotOffset(Slot, Index);
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
  return Contains(Text, Length, mPeiCoreEntry);
}

// Control bytes, then slot 0 in address order: GuidPrefix, GuidSum and Stamp
// (0xA0..0xA7), the spare byte, the file name and the line.
VOID EFIAPI CmosTrailClear(VOID) {
  CmosWriteRun(CMOS_TRAIL_ARMED, NULL, 2);
  static_assert(CMOS_TRAIL_HISTORY_COUNT == CMOS_TRAIL_ARMED + 1);
  CmosWriteRun(GUID_PREFIX_OFFSET, NULL, FILE_NAME_INDEX - 1);
  CmosWriteRun(SPARE_OFFSET, NULL, 1);
  ClearLocation();
}

VOID EFIAPI CmosTrailArchive(VOID) {
  if (CmosRead(CMOS_TRAIL_ARMED) == 0) {
    CmosTrailClear();
    CmosWrite(CMOS_TRAIL_ARMED, 1);
    return;
  }

  UINT8 Count = CmosRead(CMOS_TRAIL_HISTORY_COUNT);
  UINTN Target = CMOS_TRAIL_SLOT_COUNT - 1;
  if (Count < CMOS_TRAIL_SLOT_COUNT - 1) {
    Count++;
    CmosWrite(CMOS_TRAIL_HISTORY_COUNT, Count);
    Target = Count;
  } else {
    // Full (or a count beyond the archive, taken as full): drop the oldest.
    CopySlot(2, 1);
    CopySlot(3, 2);
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

  // Position 0 is never a package directory, but an empty path still ends
  // there. Without a NUL in the scanned part the name starts right after it.
  UINTN NameStart = PATH_SCAN_LIMIT + 1;
  UINTN End = 0;
  if (FilePath[0] != '\0') {
    for (End = 1; End <= PATH_SCAN_LIMIT && FilePath[End] != '\0'; End++) {
      for (CONST CHAR8 *Package = mGenericPackages; *Package != '\0';) {
        if (MatchesNoCase(FilePath + End, Package)) {
          return FALSE;
        }
        while (*Package++ != '\0') {
        }
      }
    }
  }
  if (End <= PATH_SCAN_LIMIT) {
    for (NameStart = End; NameStart > 0; NameStart--) {
      if (FilePath[NameStart - 1] == '/' || FilePath[NameStart - 1] == '\\') {
        break;
      }
    }
  }

  // The name runs to its first '.' or NUL; the rest of the field is zero.
  BOOLEAN Ended = FALSE;
  for (UINTN Index = 0; Index < CMOS_TRAIL_FILE_NAME_LENGTH; Index++) {
    CHAR8 Char = Ended ? '\0' : FilePath[NameStart + Index];
    if (Char == '.') {
      Char = '\0';
    }
    Ended = Char == '\0';
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
  CmosWriteRun(FILE_NAME_OFFSET, (const UINT8 *)Location.FileName, CMOS_TRAIL_FILE_NAME_LENGTH);
  const UINT8 LineBytes[2] = {(UINT8)(Location.Line >> 8), (UINT8)Location.Line};
  CmosWriteRun(LINE_OFFSET, LineBytes, 2);
}

BOOLEAN EFIAPI CmosTrailCheckpoint(UINTN ErrorLevel, CONST CHAR8 *Format, ...) {
  (VOID) ErrorLevel;
  if (Format == NULL) {
    return TRUE;
  }

  // AsciiVSPrint ends the text with a NUL and returns at most sizeof(Text) - 1.
  CHAR8 Text[CMOS_TRAIL_MESSAGE_BUFFER];
  VA_LIST Marker;
  VA_START(Marker, Format);
  UINTN Length = AsciiVSPrint(Text, sizeof(Text), Format, Marker);
  VA_END(Marker);

  if (!Contains(Text, Length, mModuleEntry)) {
    return FALSE;
  }
  if (Contains(Text, Length, mPeiCoreEntry)) {
    CmosTrailArchive();
  }

  // Only a GUID whose closing bracket lies inside the text counts. Without
  // one there is nothing to record: the message is still a module entry, so
  // it is consumed, but slot 0 is left as it was.
  UINTN Cursor = 0;
  for (;; Cursor++) {
    if (Cursor + GUID_TEXT_LENGTH + 1 >= Length) {
      return TRUE;
    }
    if (Text[Cursor] == '[' && Text[Cursor + GUID_TEXT_LENGTH + 1] == ']') {
      break;
    }
  }
  Cursor++;

  // Odd bracketed text may use up to three characters a byte; whatever lies
  // past the formatted text reads as a NUL. A character that is not a hex
  // digit keeps the value of the digit parsed before it.
  // Record: GuidPrefix[4], GuidSum.
  UINT8 Record[GUID_SUM_INDEX + 1] = {0, 0, 0, 0, 0};
  UINT8 Digit = 0;
  auto Next = [&]() -> CHAR8 { return Cursor < Length ? Text[Cursor] : '\0'; };
  for (UINTN Byte = 0; Byte < GUID_BYTES; Byte++) {
    UINT8 Value = 0;
    for (UINTN Half = 0; Half < 2; Half++) {
      CmosTrailHexDigit(Next(), &Digit);
      Cursor++;
      Value = (UINT8)((Value << 4) | Digit);
    }
    if (Next() == '-') {
      Cursor++;
    }
    Record[GUID_SUM_INDEX] = (UINT8)(Record[GUID_SUM_INDEX] + Value);
    if (Byte < GUID_SUM_INDEX) {
      Record[Byte] = Value;
    }
  }
  CmosWriteRun(GUID_PREFIX_OFFSET, Record, sizeof(Record));

  UINT8 Month = RtcReadBcd(RTC_MONTH);
  UINT8 Day = RtcReadBcd(RTC_DAY_OF_MONTH);
  UINT8 Hour = RtcReadBcd(RTC_HOURS);
  UINT8 Minute = RtcReadBcd(RTC_MINUTES);
  const UINT8 Stamp[3] = {Month, (UINT8)((Day << 3) | ((Hour >> 2) & 7)), (UINT8)(((Hour & 3) << 6) + Minute)};
  CmosWriteRun(STAMP_OFFSET, Stamp, sizeof(Stamp));

  ClearLocation();
  return TRUE;
}
