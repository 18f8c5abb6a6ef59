#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CmosTrail/CmosAccess.h"

#include <CmosTrail.h>

using namespace cmostest;

namespace {

constexpr const char *kGuid = "00112233-4455-6677-8899-AABBCCDDEEFF";
constexpr const char *kBootScriptPath = "VexChipsetModulePkg\\Library\\VexCspSmmBootScriptLib\\VexCspSmmBootScriptLib";

// The path in a heap block of exactly its size, so reading past the NUL is an
// ASan error.
struct ExactPath {
  explicit ExactPath(const std::string &Text) : Bytes(Text.begin(), Text.end()) { Bytes.push_back('\0'); }
  const char *c_str() const { return Bytes.data(); }
  std::vector<char> Bytes;
};

// The CMOS map of the four slots, byte by byte in copy order.
const uint8_t kSlotMap[4][26] = {
    {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xCF, 0xA5, 0xA6, 0xA7, 0xC0, 0xC1, 0xC2, 0xC3,
     0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE, 0x90, 0x91},
    {0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xDF, 0xAD, 0xAE, 0xAF, 0xD0, 0xD1, 0xD2, 0xD3,
     0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xDB, 0xDC, 0xDD, 0xDE, 0x92, 0x93},
    {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xEF, 0xB5, 0xB6, 0xB7, 0xE0, 0xE1, 0xE2, 0xE3,
     0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xEB, 0xEC, 0xED, 0xEE, 0x94, 0x95},
    {0xB8, 0xB9, 0xBA, 0xBB, 0xBC, 0xFF, 0xBD, 0xBE, 0xBF, 0xF0, 0xF1, 0xF2, 0xF3,
     0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0x96, 0x97},
};

// Slot s, byte i holds a value unique to both.
void FillSlots(sim::Board &B) {
  for (unsigned Slot = 0; Slot < 4; ++Slot) {
    for (unsigned Index = 0; Index < 26; ++Index) {
      B.SetCmosByte(kSlotMap[Slot][Index], (uint8_t)(0x40 * Slot + Index + 1));
    }
  }
}

std::vector<uint8_t> SlotBytes(sim::Board &B, unsigned Slot) {
  std::vector<uint8_t> Out;
  for (unsigned Index = 0; Index < 26; ++Index) {
    Out.push_back(B.CmosByte(kSlotMap[Slot][Index]));
  }
  return Out;
}

void ExpectCopy(Accesses &A, unsigned From, unsigned To) {
  for (unsigned Index = 0; Index < 26; ++Index) {
    CmosRead(A, kSlotMap[From][Index], (uint8_t)(0x40 * From + Index + 1));
    CmosWrite(A, kSlotMap[To][Index], (uint8_t)(0x40 * From + Index + 1));
  }
}

// Slot 0's record after a module entry for kGuid at 25 December 23:59.
void ExpectEntryRecord(Accesses &A, const uint8_t Prefix[4], uint8_t Sum) {
  for (uint8_t I = 0; I < 4; ++I) CmosWrite(A, 0xA0 + I, Prefix[I]);
  CmosWrite(A, 0xA4, Sum);
  RtcRead(A, 0x08, 0x12);
  RtcRead(A, 0x07, 0x25);
  RtcRead(A, 0x04, 0x23);
  RtcRead(A, 0x02, 0x59);
  CmosWrite(A, 0xA5, 0x0C);
  CmosWrite(A, 0xA6, 0xCD);
  CmosWrite(A, 0xA7, 0xFB);
  for (uint8_t Offset = 0xC0; Offset <= 0xCE; ++Offset) CmosWrite(A, Offset, 0);
  CmosWrite(A, 0x90, 0);
  CmosWrite(A, 0x91, 0);
}

void ExpectClear(Accesses &A) {
  CmosWrite(A, 0x98, 0);
  CmosWrite(A, 0x99, 0);
  for (uint8_t Offset = 0xA0; Offset <= 0xA7; ++Offset) CmosWrite(A, Offset, 0);
  CmosWrite(A, 0xCF, 0);
  for (uint8_t Offset = 0xC0; Offset <= 0xCE; ++Offset) CmosWrite(A, Offset, 0);
  CmosWrite(A, 0x90, 0);
  CmosWrite(A, 0x91, 0);
}

const uint8_t kPrefix[4] = {0x00, 0x11, 0x22, 0x33};

}  // namespace

TEST(TrailLayout, SlotOffsetsFollowTheCmosMap) {
  for (unsigned S = 0; S < 4; ++S)
    for (unsigned I = 0; I < 26; ++I) EXPECT_EQ(CmosTrailSlotOffset(S, I), kSlotMap[S][I]) << S << " " << I;

  // The four slots and the two control bytes never overlap.
  std::vector<int> Seen(256, 0);
  for (unsigned S = 0; S < 4; ++S)
    for (unsigned I = 0; I < 26; ++I) Seen[CmosTrailSlotOffset(S, I)]++;
  Seen[0x98]++;
  Seen[0x99]++;
  for (int Offset = 0; Offset < 256; ++Offset) EXPECT_LE(Seen[Offset], 1) << Offset;
}

TEST(TrailHelpers, HexDigitAndPeiCoreDetection) {
  const struct {
    char C;
    uint8_t V;
  } Digits[] = {{'0', 0}, {'9', 9}, {'a', 10}, {'f', 15}, {'A', 10}, {'F', 15}, {'c', 12}, {'D', 13}};
  for (const auto &D : Digits) {
    UINT8 Value = 0x77;
    CmosTrailHexDigit(D.C, &Value);
    EXPECT_EQ(Value, D.V) << D.C;
  }
  for (char C : std::string("gG/:@`- ]\0", 10)) {
    UINT8 Value = 0x5A;
    CmosTrailHexDigit(C, &Value);
    EXPECT_EQ(Value, 0x5A) << int(C);
  }

  auto Pei = [](const std::string &Text) { return CmosTrailIsPeiCoreEntry(Text.c_str(), Text.size()); };
  EXPECT_TRUE(Pei("PEICORE.ENTRY("));
  EXPECT_TRUE(Pei("x PeiCore.Entry([guid])"));
  EXPECT_TRUE(Pei("peicore.entry("));
  EXPECT_FALSE(Pei("PEICORE-ENTRY("));
  EXPECT_FALSE(Pei("PEICORE.ENTRY["));
  EXPECT_FALSE(Pei("DXECORE.ENTRY("));
  EXPECT_FALSE(Pei(""));
  // A match must lie inside the given length.
  const std::string Text = "ab PEICORE.ENTRY(";
  EXPECT_FALSE(CmosTrailIsPeiCoreEntry(Text.c_str(), Text.size() - 1));
  EXPECT_TRUE(CmosTrailIsPeiCoreEntry(Text.c_str(), Text.size()));
}

TEST(TrailCheckpoint, MessagesThatAreNotModuleEntriesTouchNothing) {
  BoardFixture F(TrailScenario(1));
  EXPECT_TRUE(CmosTrailCheckpoint(0x40, nullptr));
  EXPECT_FALSE(CmosTrailCheckpoint(0x40, "gBooScriptBuffer %x\n", 0x1234));
  EXPECT_FALSE(CmosTrailCheckpoint(0x40, "ENTRY( without the dot [%a]\n", kGuid));
  EXPECT_FALSE(CmosTrailCheckpoint(0x40, ".ENTRY without the bracket [%a]\n", kGuid));
  EXPECT_FALSE(CmosTrailCheckpoint(0x40, "Image_ENTRY([%a])\n", kGuid));
  // ".ENTRY(" beyond what fits in the message buffer is never seen.
  const std::string Long = std::string(260, 'x') + ".ENTRY([" + kGuid + "])";
  EXPECT_FALSE(CmosTrailCheckpoint(0x40, "%a", Long.c_str()));
  EXPECT_TRUE(F.PortAccesses().empty());
}

TEST(TrailCheckpoint, ModuleEntryRecordsGuidStampAndClearsLocation) {
  sim::Scenario S = TrailScenario(0);
  for (uint8_t Offset = 0xC0; Offset <= 0xCE; ++Offset) S.Cmos[Offset] = 'X';
  S.Cmos[0x90] = 0x12;
  S.Cmos[0x91] = 0x34;
  S.Cmos[0xCF] = 0x77;
  BoardFixture F(S);

  // Lower-case ".entry(", GUID brought in through a conversion.
  EXPECT_TRUE(CmosTrailCheckpoint(0x40, "Loading DxeMain.entry([%a]) at %p\n", kGuid, (void *)0x1000));

  Accesses Expected;
  ExpectEntryRecord(Expected, kPrefix, 0xF8);
  EXPECT_EQ(F.PortAccesses(), Expected);
  EXPECT_EQ(F.CmosRange(0xA0, 0xA7), (std::vector<uint8_t>{0x00, 0x11, 0x22, 0x33, 0xF8, 0x0C, 0xCD, 0xFB}));
  EXPECT_EQ(F.CmosRange(0xC0, 0xCE), std::vector<uint8_t>(15, 0));
  EXPECT_EQ(F.Board().CmosByte(0x90), 0);
  EXPECT_EQ(F.Board().CmosByte(0x91), 0);
  EXPECT_EQ(F.Board().CmosByte(0xCF), 0x77);  // spare byte is carried, never written
  EXPECT_EQ(F.Board().CmosByte(0x98), 0);     // a plain module entry does not arm the trail
}

TEST(TrailCheckpoint, GuidParsingOfLowerCaseAndOddCharacters) {
  struct Case {
    std::string Message;
    std::vector<uint8_t> Expected;  // 0xA0..0xA4
  } Cases[] = {
      {"X.ENTRY([aabbccdd-0000-0000-0000-000000000001])", {0xAA, 0xBB, 0xCC, 0xDD, 0x0F}},
      // A non-hex character keeps the digit value before it: "1Z" reads 0x11.
      {"X.ENTRY([1Z223344-5566-7788-99AA-BBCCDDEEFF00])", {0x11, 0x22, 0x33, 0x44, 0xF8}},
      // The first bracket pair 37 apart is the GUID, not an earlier '['.
      {"[x] Y.ENTRY([00112233-4455-6677-8899-AABBCCDDEEFF])", {0x00, 0x11, 0x22, 0x33, 0xF8}},
  };
  for (const auto &C : Cases) {
    BoardFixture F(TrailScenario(1));
    EXPECT_TRUE(CmosTrailCheckpoint(0x40, "%a", C.Message.c_str())) << C.Message;
    EXPECT_EQ(F.CmosRange(0xA0, 0xA4), C.Expected) << C.Message;
  }
}

TEST(TrailCheckpoint, EntryWithoutGuidIsConsumedAndRecordsNothing) {
  BoardFixture F(TrailScenario(1));
  EXPECT_TRUE(CmosTrailCheckpoint(0x40, "Image.ENTRY(no guid here)"));
  // A '[' whose partner would lie past the text.
  EXPECT_TRUE(CmosTrailCheckpoint(0x40, "Image.ENTRY([%a", "0011"));
  // A message filling the whole buffer with a '[' near its end: the closing
  // bracket would lie beyond the buffer.
  std::string Full = "M.ENTRY(" + std::string(240, 'y') + "[00112";
  Full.resize(254, '3');
  EXPECT_TRUE(CmosTrailCheckpoint(0x40, "%a", Full.c_str()));
  EXPECT_TRUE(F.PortAccesses().empty());
}

TEST(TrailCheckpoint, GuidParseStopsAtTheEndOfTheText) {
  // Twelve "11-" groups fill the brackets; the last four bytes would be read
  // from past the end of a full buffer. Beyond the text there are no digits,
  // so the last value carries on: all sixteen bytes are 0x11.
  std::string Message = "PEIM.ENTRY(";
  Message += std::string(254 - Message.size() - 38, 'z');
  Message += "[";
  for (int I = 0; I < 12; ++I) Message += "11-";
  Message += "]";
  ASSERT_EQ(Message.size(), 254u);
  BoardFixture F(TrailScenario(1));
  EXPECT_TRUE(CmosTrailCheckpoint(0x40, "%a", Message.c_str()));
  EXPECT_EQ(F.CmosRange(0xA0, 0xA4), (std::vector<uint8_t>{0x11, 0x11, 0x11, 0x11, 0x10}));
}

TEST(TrailCheckpoint, PeiCoreEntryArmsADisarmedTrail) {
  sim::Scenario S = TrailScenario(0, 2);
  S.Cmos[0xCF] = 0x55;
  S.Cmos[0xA8] = 0x66;  // slot 1 survives
  BoardFixture F(S);
  EXPECT_TRUE(CmosTrailCheckpoint(0x40, "PeiCore.Entry([%a])", kGuid));

  Accesses Expected;
  CmosRead(Expected, 0x98, 0);
  ExpectClear(Expected);
  CmosWrite(Expected, 0x98, 1);
  ExpectEntryRecord(Expected, kPrefix, 0xF8);
  EXPECT_EQ(F.PortAccesses(), Expected);
  EXPECT_EQ(F.Board().CmosByte(0x98), 1);
  EXPECT_EQ(F.Board().CmosByte(0x99), 0);
  EXPECT_EQ(F.Board().CmosByte(0xCF), 0);
  EXPECT_EQ(F.Board().CmosByte(0xA8), 0x66);
}

TEST(TrailCheckpoint, PeiCoreEntryOnAnArmedTrailArchivesFirst) {
  BoardFixture F(TrailScenario(1, 0));
  FillSlots(F.Board());
  F.Board().SetCmosByte(0x98, 1);
  F.Board().SetCmosByte(0x99, 0);
  EXPECT_TRUE(CmosTrailCheckpoint(0x40, "PEICORE.ENTRY([%a])", kGuid));

  Accesses Expected;
  CmosRead(Expected, 0x98, 1);
  CmosRead(Expected, 0x99, 0);
  CmosWrite(Expected, 0x99, 1);
  ExpectCopy(Expected, 0, 1);
  ExpectEntryRecord(Expected, kPrefix, 0xF8);
  EXPECT_EQ(F.PortAccesses(), Expected);
}

TEST(TrailArchive, NotFullArchiveAppendsSlotZero) {
  for (uint8_t Count = 0; Count < 3; ++Count) {
    BoardFixture F(TrailScenario(1, Count));
    FillSlots(F.Board());
    std::vector<std::vector<uint8_t>> Before;
    for (unsigned S = 0; S < 4; ++S) Before.push_back(SlotBytes(F.Board(), S));

    CmosTrailArchive();

    Accesses Expected;
    CmosRead(Expected, 0x98, 1);
    CmosRead(Expected, 0x99, Count);
    CmosWrite(Expected, 0x99, Count + 1);
    ExpectCopy(Expected, 0, Count + 1);
    EXPECT_EQ(F.PortAccesses(), Expected) << int(Count);
    EXPECT_EQ(F.Board().CmosByte(0x99), Count + 1);
    for (unsigned S = 0; S < 4; ++S) {
      EXPECT_EQ(SlotBytes(F.Board(), S), S == Count + 1u ? Before[0] : Before[S]) << int(Count) << " slot " << S;
    }
  }
}

TEST(TrailArchive, FullArchiveShiftsOutTheOldest) {
  for (uint8_t Count : {3, 4, 0xFF}) {
    BoardFixture F(TrailScenario(1, Count));
    FillSlots(F.Board());
    std::vector<std::vector<uint8_t>> Before;
    for (unsigned S = 0; S < 4; ++S) Before.push_back(SlotBytes(F.Board(), S));

    CmosTrailArchive();

    Accesses Expected;
    CmosRead(Expected, 0x98, 1);
    CmosRead(Expected, 0x99, Count);
    ExpectCopy(Expected, 2, 1);
    ExpectCopy(Expected, 3, 2);
    ExpectCopy(Expected, 0, 3);
    EXPECT_EQ(F.PortAccesses(), Expected) << int(Count);
    EXPECT_EQ(F.Board().CmosByte(0x99), Count);
    EXPECT_EQ(SlotBytes(F.Board(), 0), Before[0]);
    EXPECT_EQ(SlotBytes(F.Board(), 1), Before[2]);
    EXPECT_EQ(SlotBytes(F.Board(), 2), Before[3]);
    EXPECT_EQ(SlotBytes(F.Board(), 3), Before[0]);
  }
}

TEST(TrailArchive, DisarmedTrailIsClearedAndArmed) {
  BoardFixture F(TrailScenario(0, 2));
  FillSlots(F.Board());
  F.Board().SetCmosByte(0x98, 0);
  F.Board().SetCmosByte(0x99, 2);
  std::vector<uint8_t> Slot1 = SlotBytes(F.Board(), 1);

  CmosTrailArchive();

  Accesses Expected;
  CmosRead(Expected, 0x98, 0);
  ExpectClear(Expected);
  CmosWrite(Expected, 0x98, 1);
  EXPECT_EQ(F.PortAccesses(), Expected);
  EXPECT_EQ(SlotBytes(F.Board(), 0), std::vector<uint8_t>(26, 0));
  EXPECT_EQ(SlotBytes(F.Board(), 1), Slot1);
  EXPECT_EQ(F.Board().CmosByte(0x98), 1);
  EXPECT_EQ(F.Board().CmosByte(0x99), 0);
}

TEST(TrailLocation, BootScriptPathRecordsNameAndLine) {
  BoardFixture F(TrailScenario(1));
  ExactPath Path(kBootScriptPath);
  CmosTrailRecordLocation(Path.c_str(), 0x2DF);

  Accesses Expected;
  CmosRead(Expected, 0x98, 1);
  const char *Name = "VexCspSmmBootSc";
  for (uint8_t I = 0; I < 15; ++I) CmosWrite(Expected, 0xC0 + I, (uint8_t)Name[I]);
  CmosWrite(Expected, 0x90, 0x02);
  CmosWrite(Expected, 0x91, 0xDF);
  EXPECT_EQ(F.PortAccesses(), Expected);
  EXPECT_EQ(F.Board().CmosByte(0xCF), 0);
}

TEST(TrailLocation, DisarmedTrailOnlyReadsTheArmByte) {
  BoardFixture F(TrailScenario(0));
  ExactPath Path(kBootScriptPath);
  CmosTrailRecordLocation(Path.c_str(), 735);
  Accesses Expected;
  CmosRead(Expected, 0x98, 0);
  EXPECT_EQ(F.PortAccesses(), Expected);
}

TEST(TrailLocation, GenericPackagesNeverOverwriteTheLocation) {
  for (const char *P : {"c:\\edk2\\MdeModulePkg\\Core\\Dxe\\DxeMain.c", "/b/mdemodulepkg/Universal/Foo.c",
                        "x/MDEPKG/Library/BaseLib/String.c", "e/IntelFrameworkPkg/a.c", "e/intelframeworkMODULEpkg/b.c",
                        "zMdePkg"}) {
    BoardFixture F(TrailScenario(1));
    ExactPath Path(P);
    CmosTrailRecordLocation(Path.c_str(), 10);
    Accesses Expected;
    CmosRead(Expected, 0x98, 1);
    EXPECT_EQ(F.PortAccesses(), Expected) << P;
  }
}

TEST(TrailLocation, NameExtraction) {
  struct Case {
    std::string Path;
    UINTN Line;
    std::string Name;
    uint16_t ExpectedLine;
  } Cases[] = {
      {"Platform/Drivers/Board.c", 42, "Board", 42},
      {"a\\b/Mixed\\Last.cpp", 0x12345, "Last", 0x2345},
      {"Plain.c", 1, "Plain", 1},
      {"NoExtension", 7, "NoExtension", 7},
      {"dir/ExactlyFifteenChrs.c", 3, "ExactlyFifteenC", 3},
      // Names of 14, 15 and 16 characters; lines with the top bit set and one past 16 bits.
      {"dir/ABCDEFGHIJKLMN.c", 0x10000, "ABCDEFGHIJKLMN", 0},
      {"dir/ABCDEFGHIJKLMNO.c", 0x8000, "ABCDEFGHIJKLMNO", 0x8000},
      {"dir/ABCDEFGHIJKLMNOP.c", 0xFFFF, "ABCDEFGHIJKLMNO", 0xFFFF},
      {"dir/", 3, "", 3},
      {"", 9, "", 9},
      // Position 0 is not a package directory.
      {"MdePkg/Library/Foo.c", 5, "Foo", 5},
      // No NUL within the scanned part: the name starts right after it.
      {std::string(120, 'd') + "/" + std::string(132, 'e') + "TailNameOfPath.c", 8, "TailNameOfPath", 8},
  };
  for (const auto &C : Cases) {
    BoardFixture F(TrailScenario(1));
    ExactPath Path(C.Path);
    CMOS_TRAIL_LOCATION Location;
    std::memset(&Location, 0xEE, sizeof Location);
    ASSERT_TRUE(CmosTrailGetLocation(Path.c_str(), C.Line, &Location)) << C.Path;
    std::string Expected = C.Name;
    Expected.resize(15, '\0');
    EXPECT_EQ(std::string(Location.FileName, 15), Expected) << C.Path;
    const uint16_t Line = Location.Line;  // packed member: copy before binding a reference
    EXPECT_EQ(Line, C.ExpectedLine) << C.Path;

    CmosTrailRecordLocation(Path.c_str(), C.Line);
    std::vector<uint8_t> Bytes(Expected.begin(), Expected.end());
    EXPECT_EQ(F.CmosRange(0xC0, 0xCE), Bytes) << C.Path;
    EXPECT_EQ(F.Board().CmosByte(0x90), C.ExpectedLine >> 8);
    EXPECT_EQ(F.Board().CmosByte(0x91), C.ExpectedLine & 0xFF);
  }
}

TEST(TrailClear, ClearsControlAndSlotZeroOnly) {
  BoardFixture F(TrailScenario(1, 3));
  FillSlots(F.Board());
  std::vector<std::vector<uint8_t>> Before;
  for (unsigned S = 0; S < 4; ++S) Before.push_back(SlotBytes(F.Board(), S));

  CmosTrailClear();

  Accesses Expected;
  ExpectClear(Expected);
  EXPECT_EQ(F.PortAccesses(), Expected);
  EXPECT_EQ(SlotBytes(F.Board(), 0), std::vector<uint8_t>(26, 0));
  for (unsigned S = 1; S < 4; ++S) EXPECT_EQ(SlotBytes(F.Board(), S), Before[S]);
}
