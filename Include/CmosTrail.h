// A failure trail in the upper CMOS bank that survives resets.
#pragma once

#include <Uefi.h>

#define CMOS_TRAIL_INDEX_PORT 0x72
#define CMOS_TRAIL_DATA_PORT 0x73
#define RTC_INDEX_PORT 0x70
#define RTC_DATA_PORT 0x71

#define CMOS_TRAIL_ARMED 0x98
#define CMOS_TRAIL_HISTORY_COUNT 0x99
#define CMOS_TRAIL_SLOT_COUNT 4
#define CMOS_TRAIL_SLOT_BYTES 26
#define CMOS_TRAIL_FILE_NAME_LENGTH 15
#define CMOS_TRAIL_MESSAGE_BUFFER 255

#pragma pack(push, 1)
typedef struct {
  CHAR8 FileName[CMOS_TRAIL_FILE_NAME_LENGTH];
  UINT16 Line;
} CMOS_TRAIL_LOCATION;
#pragma pack(pop)
static_assert(sizeof(CMOS_TRAIL_LOCATION) == 17, "CMOS_TRAIL_LOCATION size");
static_assert(OFFSET_OF(CMOS_TRAIL_LOCATION, Line) == 15, "CMOS_TRAIL_LOCATION.Line");

// CMOS offset of byte Index (0..25) of a slot, in the order slots are copied:
// GuidPrefix[4], GuidSum, Spare, Stamp[3], FileName[15], Line[2].
UINT8 EFIAPI CmosTrailSlotOffset(UINTN Slot, UINTN Index);

BOOLEAN EFIAPI CmosTrailCheckpoint(UINTN ErrorLevel, CONST CHAR8 *Format, ...);
VOID EFIAPI CmosTrailRecordLocation(CONST CHAR8 *FilePath, UINTN Line);
BOOLEAN EFIAPI CmosTrailGetLocation(CONST CHAR8 *FilePath, UINTN Line, CMOS_TRAIL_LOCATION *Location);
BOOLEAN EFIAPI CmosTrailIsPeiCoreEntry(CONST CHAR8 *Text, UINTN Length);
VOID EFIAPI CmosTrailArchive(VOID);
VOID EFIAPI CmosTrailClear(VOID);
VOID EFIAPI CmosTrailHexDigit(CHAR8 Char, UINT8 *Value);

// A debug statement on the checkpoint route: no text is printed anywhere.
#define CMOS_TRAIL_DEBUG(FilePath, Level, ...)          \
  do {                                                  \
    if (!CmosTrailCheckpoint((Level), __VA_ARGS__)) {   \
      CmosTrailRecordLocation((FilePath), __LINE__);    \
    }                                                   \
  } while (0)
