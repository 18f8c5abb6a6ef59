// What the firmware loads: every built image must be a PE32+ x64 EFI
// boot-service driver the DXE or SMM core can relocate, with no imports,
// laid out so the loader can protect its sections, without debug
// information, and within its size budget.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint16_t kSubsystemBootServiceDriver = 11;
constexpr uint32_t kScnExecute = 0x20000000;
constexpr uint32_t kScnWrite = 0x80000000;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint16_t kRelocationDir64 = 10;

struct Section {
  std::string Name;
  uint32_t VirtualAddress, VirtualSize, Characteristics, RawOffset, RawSize;
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
  uint16_t Characteristics() const { return At<uint16_t>(Pe + 22); }
  uint16_t Magic() const { return At<uint16_t>(Optional()); }
  uint32_t EntryPoint() const { return At<uint32_t>(Optional() + 16); }
  uint64_t ImageBase() const { return At<uint64_t>(Optional() + 24); }
  uint32_t SectionAlignment() const { return At<uint32_t>(Optional() + 32); }
  uint32_t SizeOfImage() const { return At<uint32_t>(Optional() + 56); }
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
      Out.push_back({Name, At<uint32_t>(S + 12), At<uint32_t>(S + 8), At<uint32_t>(S + 36), At<uint32_t>(S + 20),
                     At<uint32_t>(S + 16)});
    }
    return Out;
  }
  // File offset of an RVA inside a section's raw data; 0 when there is none.
  size_t FileOffset(uint32_t Rva) const {
    for (const Section &S : Sections()) {
      if (Rva >= S.VirtualAddress && Rva - S.VirtualAddress < S.RawSize) return S.RawOffset + (Rva - S.VirtualAddress);
    }
    return 0;
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

// The loader may place an image anywhere: it must not be marked as fixed,
// and every absolute address of the image it holds needs a base relocation.
// Position-independent code may leave none at all, which is fine.
TEST(FirmwareImages, EveryAbsoluteAddressHasABaseRelocation) {
  for (const auto &Path : Images()) {
    SCOPED_TRACE(Path.filename().string());
    PeImage Image = Load(Path);
    EXPECT_EQ(Image.Characteristics() & kFileRelocsStripped, 0) << "relocations stripped";

    std::set<uint32_t> Fixed;  // RVAs of the DIR64 fixups
    auto [RelocRva, RelocSize] = Image.Directory(5);
    size_t Block = RelocSize != 0 ? Image.FileOffset(RelocRva) : 0;
    size_t End = Block + RelocSize;
    while (RelocSize != 0 && Block + 8 <= End) {
      uint32_t Page = Image.At<uint32_t>(Block);
      uint32_t Size = Image.At<uint32_t>(Block + 4);
      ASSERT_GE(Size, 8u);
      for (size_t Entry = Block + 8; Entry + 2 <= Block + Size; Entry += 2) {
        uint16_t Value = Image.At<uint16_t>(Entry);
        if ((Value >> 12) == kRelocationDir64) Fixed.insert(Page + (Value & 0xFFF));
        else EXPECT_EQ(Value >> 12, 0) << "only DIR64 fixups and padding";
      }
      Block += Size;
    }

    const uint64_t Low = Image.ImageBase(), High = Image.ImageBase() + Image.SizeOfImage();
    for (const Section &S : Image.Sections()) {
      for (uint32_t Offset = 0; Offset + 8 <= std::min(S.RawSize, S.VirtualSize); Offset++) {
        uint64_t Value = Image.At<uint64_t>(S.RawOffset + Offset);
        if (Value >= Low && Value < High) {
          EXPECT_TRUE(Fixed.count(S.VirtualAddress + Offset)) << S.Name << "+0x" << std::hex << Offset
                                                              << " holds address 0x" << Value << " without a fixup";
        }
      }
    }
  }
}

// Sections start on 4 KiB in memory, the least alignment at which the DXE
// and SMM cores protect an image's code and data pages; the file packs them.
TEST(FirmwareImages, SectionsArePageAlignedForTheLoadersProtection) {
  for (const auto &Path : Images()) {
    SCOPED_TRACE(Path.filename().string());
    PeImage Image = Load(Path);
    EXPECT_EQ(Image.SectionAlignment(), 0x1000u);
    for (const Section &S : Image.Sections()) {
      EXPECT_EQ(S.VirtualAddress % 0x1000, 0u) << S.Name;
    }
  }
}

// Symbols live in the linker map beside the image; the image itself carries
// no debug directory.
TEST(FirmwareImages, CarryNoDebugDirectory) {
  for (const auto &Path : Images()) {
    SCOPED_TRACE(Path.filename().string());
    EXPECT_EQ(Load(Path).Directory(6).second, 0u);
  }
}

// File-size budgets (bytes). The build is deterministic, so a change that
// grows an image past its budget fails here; raise a budget only with the
// reason in the commit.
TEST(FirmwareImages, StayWithinTheirSizeBudgets) {
  const std::map<std::string, uintmax_t> Budgets = {
      {"SignalTuneDxe", 7136}, {"SubsysIdDxe", 6688}, {"BoardInitDxe", 10880}, {"SioPowerSmm", 7040}};
  for (const auto &[Name, Budget] : Budgets) {
    std::filesystem::path Path = std::filesystem::path(BOARD_FIRMWARE_DIR) / (Name + ".efi");
    ASSERT_TRUE(std::filesystem::exists(Path)) << Name;
    EXPECT_LE(std::filesystem::file_size(Path), Budget) << Name;
  }
}

}  // namespace
