// The loader's checks and layout, on the images the build ships and on
// copies of them damaged one field at a time.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "Engine/PeImage.h"

namespace {

std::vector<uint8_t> Shipped(const std::string &Driver) {
  std::ifstream In(std::filesystem::path(BOARD_FIRMWARE_DIR) / (Driver + ".efi"), std::ios::binary);
  return {std::istreambuf_iterator<char>(In), {}};
}

template <class T>
T Get(const std::vector<uint8_t> &B, size_t At) {
  T V;
  std::memcpy(&V, B.data() + At, sizeof V);
  return V;
}
template <class T>
void Put(std::vector<uint8_t> &B, size_t At, T V) {
  std::memcpy(B.data() + At, &V, sizeof V);
}

// Offsets in the file, read by hand rather than by the parser under test.
struct Layout {
  size_t Pe, Optional, Sections;
  explicit Layout(const std::vector<uint8_t> &B)
      : Pe(Get<uint32_t>(B, 0x3C)), Optional(Pe + 24), Sections(Optional + Get<uint16_t>(B, Pe + 20)) {}
};

TEST(PeImage, ShippedImagesLoadAndMoveByTheirFixups) {
  for (const char *Driver : {"BoardInitDxe", "SignalTuneDxe", "SubsysIdDxe", "SioPowerSmm"}) {
    const auto File = Shipped(Driver);
    ASSERT_FALSE(File.empty()) << Driver;
    auto Parsed = sim::ParsePeImage(File);
    ASSERT_TRUE(std::holds_alternative<sim::PeImage>(Parsed)) << Driver << ": " << std::get<std::string>(Parsed);
    const auto &Image = std::get<sim::PeImage>(Parsed);
    const Layout L(File);
    EXPECT_EQ(Image.SizeOfImage, Get<uint32_t>(File, L.Optional + 56)) << Driver;
    EXPECT_EQ(Image.Subsystem, 11) << Driver;
    // Only the SMM driver holds absolute addresses (its handler tables).
    EXPECT_EQ(Image.Fixups.empty(), Get<uint32_t>(File, L.Optional + 112 + 44) == 0) << Driver;
    EXPECT_EQ(Image.Fixups.empty(), std::string(Driver) != "SioPowerSmm") << Driver;

    // At the link address nothing moves; elsewhere every fixup moves by the
    // distance and every other byte stays.
    const auto Home = sim::LayOutPeImage(Image, File, Image.ImageBase);
    constexpr uint64_t kElsewhere = 0x7F3210000;
    const auto Moved = sim::LayOutPeImage(Image, File, kElsewhere);
    ASSERT_EQ(Home.size(), Moved.size());
    std::vector<bool> Fixed(Home.size(), false);
    for (uint32_t Rva : Image.Fixups) {
      EXPECT_EQ(Get<uint64_t>(Moved, Rva) - Get<uint64_t>(Home, Rva), kElsewhere - Image.ImageBase) << Driver;
      for (int I = 0; I < 8; ++I) Fixed[Rva + I] = true;
    }
    size_t Same = 0;
    for (size_t I = 0; I < Home.size(); ++I) Same += Fixed[I] || Home[I] == Moved[I];
    EXPECT_EQ(Same, Home.size()) << Driver;
    // Headers and each section's first bytes sit where the file has them.
    EXPECT_EQ(std::memcmp(Home.data(), File.data(), 0x40), 0);
    for (const auto &S : Image.Sections) {
      const size_t N = std::min<size_t>(std::min(S.RawSize, S.VirtualSize), 16);
      bool Touched = false;
      for (size_t I = 0; I < N; ++I) Touched |= Fixed[S.VirtualAddress + I];
      if (!Touched) EXPECT_EQ(std::memcmp(Home.data() + S.VirtualAddress, File.data() + S.RawOffset, N), 0) << S.Name;
    }
  }
}

TEST(PeImage, ForeignOrDamagedImagesAreRefusedWithTheReason) {
  const auto Good = Shipped("SioPowerSmm");
  ASSERT_FALSE(Good.empty());
  const Layout L(Good);
  struct Damage {
    const char *What;
    std::function<void(std::vector<uint8_t> &)> Apply;
    const char *Expected;
  };
  const std::vector<Damage> Cases = {
      {"empty", [](auto &B) { B.clear(); }, "no MZ header"},
      {"cut in the PE header", [&](auto &B) { B.resize(L.Pe + 20); }, "no PE signature"},
      {"cut in the optional header", [&](auto &B) { B.resize(L.Optional + 100); }, "truncated"},
      {"cut in the section table", [&](auto &B) { B.resize(L.Sections + 40); }, "truncated"},
      {"cut in the last section", [&](auto &B) { B.resize(B.size() - 1); }, "lies outside the file"},
      {"32-bit machine", [&](auto &B) { Put<uint16_t>(B, L.Pe + 4, 0x14C); }, "not an x64 image: machine 0x14C"},
      {"PE32 magic", [&](auto &B) { Put<uint16_t>(B, L.Optional, 0x10B); }, "not PE32+"},
      {"section past the file", [&](auto &B) { Put<uint32_t>(B, L.Sections + 20, B.size()); }, "outside the file"},
      {"section past the image",
       [&](auto &B) { Put<uint32_t>(B, L.Sections + 12, Get<uint32_t>(B, L.Optional + 56)); },
       "outside the image"},
      {"imports", [&](auto &B) { Put<uint32_t>(B, L.Optional + 112 + 12, 20); }, "imports present"},
      {"relocations stripped", [&](auto &B) { Put<uint16_t>(B, L.Pe + 22, Get<uint16_t>(B, L.Pe + 22) | 1); },
       "relocations missing"},
      {"no directory entries", [&](auto &B) { Put<uint32_t>(B, L.Optional + 108, 5); }, "no base-relocation"},
      {"relocation directory past the image",
       [&](auto &B) { Put<uint32_t>(B, L.Optional + 112 + 40, Get<uint32_t>(B, L.Optional + 56) - 4); },
       "malformed relocations"},
      {"entry point past the image",
       [&](auto &B) { Put<uint32_t>(B, L.Optional + 16, Get<uint32_t>(B, L.Optional + 56)); },
       "entry point"},
  };
  for (const auto &C : Cases) {
    auto Bad = Good;
    C.Apply(Bad);
    auto Parsed = sim::ParsePeImage(Bad);
    ASSERT_TRUE(std::holds_alternative<std::string>(Parsed)) << C.What << " was accepted";
    EXPECT_NE(std::get<std::string>(Parsed).find(C.Expected), std::string::npos)
        << C.What << ": " << std::get<std::string>(Parsed);
    EXPECT_EQ(std::get<std::string>(Parsed).find('\n'), std::string::npos) << C.What;
  }
}

// Relocation blocks edited in the laid-out directory: a block claiming less
// than its header, one running past the directory, a fixup type an x64
// image never has.
TEST(PeImage, MalformedRelocationBlocksAreRefused) {
  const auto Good = Shipped("SioPowerSmm");
  auto Parsed = sim::ParsePeImage(Good);
  ASSERT_TRUE(std::holds_alternative<sim::PeImage>(Parsed));
  const auto &Image = std::get<sim::PeImage>(Parsed);
  const Layout L(Good);
  const uint32_t RelocRva = Get<uint32_t>(Good, L.Optional + 112 + 40);
  size_t At = 0;  // file offset of the directory
  for (const auto &S : Image.Sections) {
    if (RelocRva >= S.VirtualAddress && RelocRva - S.VirtualAddress < S.RawSize) {
      At = S.RawOffset + (RelocRva - S.VirtualAddress);
    }
  }
  ASSERT_NE(At, 0u);
  const uint32_t DirSize = Get<uint32_t>(Good, L.Optional + 112 + 44);
  struct Case {
    uint32_t Offset;
    uint32_t Value;
    bool Word;
    const char *Expected;
  };
  for (const Case &C : {Case{4, 4, false, "claims 0x4 bytes"}, Case{4, DirSize + 2, false, "claims"},
                        Case{8, 0x3000, true, "type 3"}}) {
    auto Bad = Good;
    if (C.Word) {
      Put<uint16_t>(Bad, At + C.Offset, static_cast<uint16_t>(C.Value));
    } else {
      Put<uint32_t>(Bad, At + C.Offset, C.Value);
    }
    auto Result = sim::ParsePeImage(Bad);
    ASSERT_TRUE(std::holds_alternative<std::string>(Result)) << C.Expected;
    EXPECT_NE(std::get<std::string>(Result).find(C.Expected), std::string::npos) << std::get<std::string>(Result);
  }
}

}  // namespace
