// Adding files to a DXE volume: the free-space boundary, data alignment
// through pad files, GUIDs already present, and the rebuild through an LZMA
// section, checked by reading the result with liblzma and by hand.
#include <gtest/gtest.h>

#include "Edit.h"
#include "Firmware.h"
#include "FvTestSupport.h"

namespace {

using fvtest::Bytes;
using fvtest::Get;
using fvtest::Sum;

std::vector<fv::NewFile> Named(std::initializer_list<Bytes> Files) {
  std::vector<fv::NewFile> Out;
  for (const Bytes &F : Files) Out.push_back({"new" + std::to_string(Out.size()), F});
  return Out;
}

Bytes Add(const Bytes &Flash, std::initializer_list<Bytes> Files) {
  fv::Image I = fv::ParseImage(std::make_shared<const Bytes>(Flash));
  return fv::AddFiles(I, Named(Files));
}

std::string AddError(const Bytes &Flash, std::initializer_list<Bytes> Files) {
  try {
    Add(Flash, Files);
  } catch (const fv::InputError &E) {
    return E.what();
  }
  return "(accepted)";
}

bool ValidHeader(const Bytes &V, size_t At) {
  return static_cast<uint8_t>(Sum(V, At, At + 24) - V[At + 17] - V[At + 23]) == 0;
}

TEST(FvToolAdd, FilesThatExactlyFillTheFreeSpaceFitOneByteMoreDoesNot) {
  // DXE core at 0x48..0x78; the second file starts 8-byte aligned at 0x878.
  Bytes Flash = fvtest::Volume(0x1000, {fvtest::DxeCore()});
  Bytes First = fvtest::FileOfSize(fvtest::TestGuid(1), 0x7FC);
  Bytes Second = fvtest::FileOfSize(fvtest::TestGuid(2), 0x788);
  Bytes Out = Add(Flash, {First, Second});
  ASSERT_EQ(Out.size(), Flash.size());
  EXPECT_TRUE(std::equal(Flash.begin(), Flash.begin() + 0x78, Out.begin()));
  EXPECT_TRUE(std::equal(First.begin(), First.end(), Out.begin() + 0x78));
  EXPECT_EQ(Out[0x78 + 0x7FC], 0xFF);  // alignment gap stays erased
  EXPECT_TRUE(std::equal(Second.begin(), Second.end(), Out.begin() + 0x878));

  Bytes TooLong = fvtest::FileOfSize(fvtest::TestGuid(2), 0x789);
  std::string Error = AddError(Flash, {First, TooLong});
  EXPECT_EQ(Error.rfind("no room", 0), 0u) << Error;
}

TEST(FvToolAdd, AlignedDataGetsAPadFileBeforeIt) {
  // 4 KiB alignment: data at 0x1000, so the file at 0xFE8 and a pad file
  // filling 0x78..0xFE8.
  Bytes Flash = fvtest::Volume(0x3000, {fvtest::DxeCore()});
  Bytes Aligned = fvtest::FileOfSize(fvtest::TestGuid(1), 0x40, 0x07, 0x28);
  Bytes Out = Add(Flash, {Aligned});
  EXPECT_EQ(Out[0x78 + 18], 0xF0);
  EXPECT_EQ(Get(Out, 0x78 + 20, 3), 0xF70u);
  EXPECT_TRUE(ValidHeader(Out, 0x78));
  EXPECT_TRUE(std::equal(Aligned.begin(), Aligned.end(), Out.begin() + 0xFE8));

  // 16-byte alignment from 0x80: 0x88 would leave 8 bytes, too few for a
  // pad file, so the file goes to 0x98 behind a header-only pad file.
  Flash = fvtest::Volume(0x1000, {fvtest::DxeCore(0x38)});
  Aligned = fvtest::FileOfSize(fvtest::TestGuid(1), 0x40, 0x07, 0x08);
  Out = Add(Flash, {Aligned});
  EXPECT_EQ(Out[0x80 + 18], 0xF0);
  EXPECT_EQ(Get(Out, 0x80 + 20, 3), 24u);
  EXPECT_TRUE(ValidHeader(Out, 0x80));
  EXPECT_TRUE(std::equal(Aligned.begin(), Aligned.end(), Out.begin() + 0x98));
}

TEST(FvToolAdd, AGuidAlreadyPresentIsRefused) {
  Bytes Flash = fvtest::Volume(0x1000, {fvtest::DxeCore()});
  std::string Error = AddError(Flash, {fvtest::FileOfSize(fvtest::TestGuid(0xD), 0x40)});
  EXPECT_NE(Error.find("already"), std::string::npos) << Error;
  Bytes Twice = fvtest::FileOfSize(fvtest::TestGuid(1), 0x40);
  Error = AddError(Flash, {Twice, Twice});
  EXPECT_NE(Error.find("already"), std::string::npos) << Error;
}

TEST(FvToolAdd, CompressedVolumeIsRecompressedAndItsFileMayGrowIntoFreeSpace) {
  Bytes Dxe = fvtest::Volume(0x2000, {fvtest::DxeCore()});
  Bytes Flash = fvtest::CompressedImage(Dxe, 0x2000);
  // Incompressible content, so the compressed file must grow.
  Bytes Noise = fvtest::FileOfSize(fvtest::TestGuid(1), 0x800);
  uint32_t X = 12345;
  for (size_t I = 28; I < Noise.size(); ++I) Noise[I] = static_cast<uint8_t>((X = X * 1103515245 + 12345) >> 16);
  Bytes Out = Add(Flash, {Noise});
  ASSERT_EQ(Out.size(), Flash.size());

  // The outer file at 0x48, its LZMA section right after the header.
  size_t FileSize = Get(Out, 0x48 + 20, 3);
  EXPECT_GT(FileSize, Get(Flash, 0x48 + 20, 3));
  EXPECT_TRUE(ValidHeader(Out, 0x48));
  EXPECT_EQ(Out[0x48 + 17], 0xAA);
  size_t Section = 0x48 + 24, SectionSize = Get(Out, Section, 3);
  EXPECT_EQ(SectionSize, FileSize - 24);
  EXPECT_EQ(Out[Section + 3], 0x02);
  EXPECT_EQ(Get(Out, Section + 20, 2), 24u);
  Bytes Stream(Out.begin() + Section + 24, Out.begin() + Section + SectionSize);
  EXPECT_EQ(Get(Stream, 5, 8), 4u + 0x2000);  // the real size, not "unknown"
  Bytes Inner = fvtest::AloneDecompress(Stream);
  ASSERT_EQ(Inner.size(), 4u + 0x2000);
  EXPECT_EQ(Get(Inner, 0, 3), 4u + 0x2000);
  EXPECT_EQ(Inner[3], 0x17);
  EXPECT_TRUE(std::equal(Noise.begin(), Noise.end(), Inner.begin() + 4 + 0x78));
  // Behind the grown file, the outer volume is erased to its end.
  size_t End = (0x48 + FileSize + 7) & ~size_t{7};
  EXPECT_TRUE(std::all_of(Out.begin() + 0x48 + FileSize, Out.end(), [](uint8_t B) { return B == 0xFF; }));
  EXPECT_LE(End, Out.size());

  // Without free space behind the compressed file there is no room to grow.
  std::string Error = AddError(fvtest::CompressedImage(Dxe, 0), {Noise});
  EXPECT_EQ(Error.rfind("no room", 0), 0u) << Error;
}

}  // namespace
