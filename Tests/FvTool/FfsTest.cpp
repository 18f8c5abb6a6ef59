// FFS files as `fvtool ffs` makes them, section headers at the 3-byte size
// boundary, the PE32+ checks, and files with extended headers read back.
#include <gtest/gtest.h>

#include "Ffs.h"
#include "Firmware.h"
#include "FvTestSupport.h"

namespace {

using fvtest::Get;
using fvtest::MinimalPe;
using fvtest::Put;
using fvtest::Sum;

fv::PackOptions Options(uint8_t Type, std::optional<std::string> Depex) {
  fv::PackOptions O;
  O.Pe = MinimalPe();
  O.Name = *fv::Guid::Parse("EE0B24EE-A9DC-4FDE-B7CD-E2385F1F8499");
  O.Type = Type;
  O.Depex = std::move(Depex);
  O.UiName = "Ab";
  O.Version = "1.0";
  return O;
}

TEST(FvToolFfs, DriverFileLayoutAndChecksums) {
  fvtest::Bytes F = fv::PackDriver(Options(0x07, "TRUE"));
  // 24 header, depex 6 (+2 pad), PE32 4+0x150, UI 10 (+2 pad), version 14.
  ASSERT_EQ(F.size(), 0x18Eu);
  const fvtest::Bytes Name = {0xEE, 0x24, 0x0B, 0xEE, 0xDC, 0xA9, 0xDE, 0x4F,
                              0xB7, 0xCD, 0xE2, 0x38, 0x5F, 0x1F, 0x84, 0x99};
  EXPECT_TRUE(std::equal(Name.begin(), Name.end(), F.begin()));
  EXPECT_EQ(F[18], 0x07);
  EXPECT_EQ(F[19], 0x40);  // data checksummed
  EXPECT_EQ(Get(F, 20, 3), 0x18Eu);
  EXPECT_EQ(F[23], 0xF8);  // header construction, header valid, data valid; inverted for erase polarity 1
  EXPECT_EQ(static_cast<uint8_t>(Sum(F, 0, 24) - F[17] - F[23]), 0);
  EXPECT_EQ(static_cast<uint8_t>(Sum(F, 24, F.size()) + F[17]), 0);

  EXPECT_EQ(fvtest::Bytes(F.begin() + 24, F.begin() + 32), (fvtest::Bytes{0x06, 0, 0, 0x13, 0x06, 0x08, 0, 0}));
  EXPECT_EQ(fvtest::Bytes(F.begin() + 32, F.begin() + 36), (fvtest::Bytes{0x54, 0x01, 0, 0x10}));
  fvtest::Bytes Pe = MinimalPe();
  EXPECT_TRUE(std::equal(Pe.begin(), Pe.end(), F.begin() + 36));
  EXPECT_EQ(fvtest::Bytes(F.begin() + 0x174, F.begin() + 0x180),
            (fvtest::Bytes{0x0A, 0, 0, 0x15, 'A', 0, 'b', 0, 0, 0, 0, 0}));
  EXPECT_EQ(fvtest::Bytes(F.begin() + 0x180, F.end()),
            (fvtest::Bytes{0x0E, 0, 0, 0x14, 0, 0, '1', 0, '.', 0, '0', 0, 0, 0}));
}

TEST(FvToolFfs, DepexSectionFollowsTheFileType) {
  fvtest::Bytes Smm = fv::PackDriver(Options(0x0A, "TRUE"));
  EXPECT_EQ(Smm[18], 0x0A);
  EXPECT_EQ(Smm[27], 0x1C);
  fvtest::Bytes Application = fv::PackDriver(Options(0x09, std::nullopt));
  EXPECT_EQ(Application[18], 0x09);
  EXPECT_EQ(fvtest::Bytes(Application.begin() + 24, Application.begin() + 28), (fvtest::Bytes{0x54, 0x01, 0, 0x10}));
  fvtest::Bytes NoDepex = fv::PackDriver(Options(0x07, std::nullopt));
  EXPECT_EQ(NoDepex[27], 0x10);
  EXPECT_THROW(fv::PackDriver(Options(0x09, "TRUE")), fv::InputError);
}

TEST(FvToolFfs, FileSizeStopsBelow16MiB) {
  auto Sized = [](size_t PeSize) {
    fv::PackOptions O = Options(0x07, std::nullopt);
    O.Pe = MinimalPe(PeSize);
    O.UiName = "A";
    O.Version.reset();
    return O;
  };
  // 24 + (4 + PE) + UI 8: 0xFFFFFC bytes; one PE byte more pads to 0x1000000.
  EXPECT_EQ(fv::PackDriver(Sized(0xFFFFD8)).size(), 0xFFFFFCu);
  EXPECT_THROW(fv::PackDriver(Sized(0xFFFFD9)), fv::InputError);
}

TEST(FvToolFfs, SectionHeaderSwitchesToExtendedSizeAt0xFFFFFF) {
  EXPECT_EQ(fv::SectionHeader(0x19, 0xFFFFFA), (fvtest::Bytes{0xFE, 0xFF, 0xFF, 0x19}));
  EXPECT_EQ(fv::SectionHeader(0x19, 0xFFFFFB), (fvtest::Bytes{0xFF, 0xFF, 0xFF, 0x19, 0x03, 0x00, 0x00, 0x01}));
}

TEST(FvToolFfs, LargeFileAndExtendedSectionHeadersAreRead) {
  // FFS_ATTRIB_LARGE_FILE: 32-byte header, size in ExtendedSize; its
  // sections use EFI_COMMON_SECTION_HEADER2.
  fvtest::Bytes F(32, 0);
  auto G = fvtest::TestGuid(3);
  std::copy(G.begin(), G.end(), F.begin());
  F[18] = 0x07;
  F[19] = 0x01;
  fvtest::Bytes Ui = {0xFF, 0xFF, 0xFF, 0x15, 14, 0, 0, 0, 'Z', 0, 'q', 0, 0, 0};
  fvtest::Bytes Raw = {0xFF, 0xFF, 0xFF, 0x19, 12, 0, 0, 0, 1, 2, 3, 4};
  F.insert(F.end(), Ui.begin(), Ui.end());
  F.resize(48, 0);
  F.insert(F.end(), Raw.begin(), Raw.end());
  Put(F, 24, F.size(), 8);
  F[16] = static_cast<uint8_t>(0x100 - Sum(F, 0, 32));
  F[17] = 0xAA;
  F[23] = 0xF8;
  fv::File Parsed = fv::ParseStandaloneFile(F, "large");
  EXPECT_EQ(Parsed.HeaderSize, 32u);
  EXPECT_EQ(Parsed.Size(), 60u);
  ASSERT_EQ(Parsed.Sections.size(), 2u);
  EXPECT_EQ(Parsed.Sections[0].HeaderSize, 8u);
  EXPECT_EQ(Parsed.Sections[1].Offset, 48u);
  EXPECT_EQ(Parsed.Sections[1].Raw.size(), 12u);
  EXPECT_EQ(fv::UiName(Parsed), "Zq");

  F[19] = 0x00;  // the same bytes without the attribute: 24-byte header, size 0
  F[16] = 0;
  F[16] = static_cast<uint8_t>(F[17] + F[23] - Sum(F, 0, 24));
  EXPECT_THROW(fv::ParseStandaloneFile(F, "small"), fv::InputError);
}

TEST(FvToolFfs, OnlyPe32PlusForX64IsAccepted) {
  struct Case {
    const char *What;
    std::function<void(fvtest::Bytes &)> Change;
    const char *Message;  // empty: accepted
  } Cases[] = {
      {"valid", [](fvtest::Bytes &) {}, ""},
      {"short", [](fvtest::Bytes &P) { P.resize(0x3F); }, "too short"},
      {"no MZ", [](fvtest::Bytes &P) { P[1] = 'Y'; }, "MZ"},
      {"e_lfanew one past", [](fvtest::Bytes &P) { Put(P, 0x3C, P.size() - 23, 4); }, "past the end"},
      {"e_lfanew at the last header", [](fvtest::Bytes &P) { Put(P, 0x3C, P.size() - 24, 4); }, "\"PE\\0\\0\""},
      {"no PE signature", [](fvtest::Bytes &P) { P[0x42] = 1; }, "\"PE\\0\\0\""},
      {"x86", [](fvtest::Bytes &P) { Put(P, 0x44, 0x14C, 2); }, "machine 0x14C"},
      {"AArch64", [](fvtest::Bytes &P) { Put(P, 0x44, 0xAA64, 2); }, "machine 0xAA64"},
      {"PE32", [](fvtest::Bytes &P) { Put(P, 0x58, 0x10B, 2); }, "magic 0x10B"},
      {"optional header fills the image", [](fvtest::Bytes &P) { Put(P, 0x54, P.size() - 0x58, 2); }, ""},
      {"optional header one past", [](fvtest::Bytes &P) { Put(P, 0x54, P.size() - 0x58 + 1, 2); }, "does not fit"},
      {"optional header too short", [](fvtest::Bytes &P) { Put(P, 0x54, 111, 2); }, "too short for PE32+"},
  };
  for (const Case &K : Cases) {
    fvtest::Bytes Pe = MinimalPe();
    K.Change(Pe);
    if (*K.Message == 0) {
      EXPECT_NO_THROW(fv::CheckPe32PlusX64(Pe)) << K.What;
      continue;
    }
    try {
      fv::CheckPe32PlusX64(Pe);
      ADD_FAILURE() << K.What << " accepted";
    } catch (const fv::InputError &E) {
      EXPECT_NE(std::string(E.what()).find(K.Message), std::string::npos) << K.What << ": " << E.what();
    }
  }
}

}  // namespace
