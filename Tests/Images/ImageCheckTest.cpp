// What the firmware loads: every built image must be a PE32+ x64 EFI
// boot-service driver the DXE or SMM core can relocate, with no imports.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint16_t kSubsystemBootServiceDriver = 11;
constexpr uint32_t kScnExecute = 0x20000000;
constexpr uint32_t kScnWrite = 0x80000000;

struct Section {
  std::string Name;
  uint32_t VirtualAddress, VirtualSize, Characteristics;
};

struct PeImage {
  std::vector<uint8_t> Bytes;
  uint32_t Pe = 0;

  template <class T>
  T At(size_t Offset) const {
    T Value{};
    if (Offset + sizeof(T) <= Bytes.size()) std::memcpy(&Value, Bytes.data() + Offset, sizeof(T));
    return Value;
  }
  uint16_t Machine() const { return At<uint16_t>(Pe + 4); }
  uint16_t SectionCount() const { return At<uint16_t>(Pe + 6); }
  uint16_t OptionalSize() const { return At<uint16_t>(Pe + 20); }
  size_t Optional() const { return Pe + 24; }
  uint16_t Magic() const { return At<uint16_t>(Optional()); }
  uint32_t EntryPoint() const { return At<uint32_t>(Optional() + 16); }
  uint16_t Subsystem() const { return At<uint16_t>(Optional() + 68); }
  uint32_t DirectoryCount() const { return At<uint32_t>(Optional() + 108); }
  // Data directory Index: {RVA, size}.
  std::pair<uint32_t, uint32_t> Directory(unsigned Index) const {
    size_t D = Optional() + 112 + 8 * Index;
    return {At<uint32_t>(D), At<uint32_t>(D + 4)};
  }
  std::vector<Section> Sections() const {
    std::vector<Section> Out;
    size_t S = Optional() + OptionalSize();
    for (unsigned I = 0; I < SectionCount(); ++I, S += 40) {
      char Name[9] = {};
      std::memcpy(Name, Bytes.data() + S, 8);
      Out.push_back({Name, At<uint32_t>(S + 12), At<uint32_t>(S + 8), At<uint32_t>(S + 36)});
    }
    return Out;
  }
};

PeImage Load(const std::filesystem::path &Path) {
  std::ifstream In(Path, std::ios::binary);
  PeImage Image;
  Image.Bytes.assign(std::istreambuf_iterator<char>(In), {});
  Image.Pe = Image.At<uint32_t>(0x3C);
  return Image;
}

std::vector<std::filesystem::path> Images() {
  std::vector<std::filesystem::path> Out;
  for (const auto &Entry : std::filesystem::directory_iterator(BOARD_FIRMWARE_DIR)) {
    if (Entry.path().extension() == ".efi") Out.push_back(Entry.path());
  }
  return Out;
}

TEST(FirmwareImages, EveryExpectedDriverWasBuilt) {
  for (const char *Name : {"BoardInitDxe", "SignalTuneDxe", "SubsysIdDxe", "SioPowerSmm"}) {
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(BOARD_FIRMWARE_DIR) / (std::string(Name) + ".efi")))
        << Name;
  }
}

TEST(FirmwareImages, ArePe32PlusBootServiceDriversWithoutImports) {
  auto Paths = Images();
  ASSERT_FALSE(Paths.empty());
  for (const auto &Path : Paths) {
    SCOPED_TRACE(Path.filename().string());
    PeImage Image = Load(Path);
    ASSERT_GT(Image.Bytes.size(), 0x200u);
    EXPECT_EQ(Image.At<uint16_t>(0), 0x5A4D) << "MZ";
    ASSERT_EQ(Image.At<uint32_t>(Image.Pe), 0x00004550u) << "PE signature";
    EXPECT_EQ(Image.Machine(), kMachineAmd64);
    EXPECT_EQ(Image.Magic(), kPe32PlusMagic);
    EXPECT_EQ(Image.Subsystem(), kSubsystemBootServiceDriver);
    ASSERT_GE(Image.DirectoryCount(), 6u);
    EXPECT_EQ(Image.Directory(1).second, 0u) << "import table";
    EXPECT_EQ(Image.Directory(12).second, 0u) << "import address table";
    EXPECT_GT(Image.Directory(5).second, 0u) << "base relocations";

    bool EntryInCode = false;
    for (const Section &S : Image.Sections()) {
      EXPECT_FALSE((S.Characteristics & kScnExecute) && (S.Characteristics & kScnWrite)) << S.Name << " is W+X";
      if (Image.EntryPoint() >= S.VirtualAddress && Image.EntryPoint() < S.VirtualAddress + S.VirtualSize &&
          (S.Characteristics & kScnExecute)) {
        EntryInCode = true;
      }
    }
    EXPECT_TRUE(EntryInCode) << "entry point inside an executable section";
  }
}

}  // namespace
