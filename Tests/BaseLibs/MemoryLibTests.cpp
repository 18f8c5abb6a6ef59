#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include <Uefi.h>
#include <Library/BaseMemoryLib.h>

namespace {

std::vector<UINT8> Sequence(size_t Size) {
  std::vector<UINT8> Bytes(Size);
  std::iota(Bytes.begin(), Bytes.end(), (UINT8)1);
  return Bytes;
}

TEST(BaseMemoryLib, CopyMemHandlesOverlapInBothDirections) {
  // Destination after source: a naive forward copy would smear byte 1.
  std::vector<UINT8> Forward = Sequence(16);
  EXPECT_EQ(CopyMem(Forward.data() + 3, Forward.data(), 10), Forward.data() + 3);
  EXPECT_EQ(Forward, (std::vector<UINT8>{1, 2, 3, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 14, 15, 16}));

  std::vector<UINT8> Backward = Sequence(16);
  EXPECT_EQ(CopyMem(Backward.data(), Backward.data() + 3, 10), Backward.data());
  EXPECT_EQ(Backward, (std::vector<UINT8>{4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 11, 12, 13, 14, 15, 16}));

  std::vector<UINT8> Source = Sequence(8);
  std::vector<UINT8> Destination(8, 0);
  CopyMem(Destination.data(), Source.data(), 8);
  EXPECT_EQ(Destination, Source);
}

TEST(BaseMemoryLib, CopyMemOfNothingChangesNothing) {
  std::vector<UINT8> Bytes = Sequence(4);
  EXPECT_EQ(CopyMem(Bytes.data(), Bytes.data() + 2, 0), Bytes.data());
  EXPECT_EQ(CopyMem(Bytes.data(), Bytes.data(), 4), Bytes.data());
  EXPECT_EQ(Bytes, Sequence(4));
}

TEST(BaseMemoryLib, SetAndZero) {
  std::vector<UINT8> Bytes(10, 0x11);
  EXPECT_EQ(SetMem(Bytes.data() + 2, 5, 0xA5), Bytes.data() + 2);
  EXPECT_EQ(Bytes, (std::vector<UINT8>{0x11, 0x11, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0x11, 0x11, 0x11}));
  EXPECT_EQ(ZeroMem(Bytes.data() + 1, 8), Bytes.data() + 1);
  EXPECT_EQ(Bytes, (std::vector<UINT8>{0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0x11}));
  SetMem(Bytes.data(), 0, 0xFF);
  EXPECT_EQ(Bytes[0], 0x11);
}

TEST(BaseMemoryLib, CompareMemReportsTheFirstDifferenceAsUnsignedBytes) {
  UINT8 Left[] = {1, 2, 3, 0x80, 9};
  UINT8 Right[] = {1, 2, 3, 0x01, 0};
  EXPECT_EQ(CompareMem(Left, Right, 3), 0);
  EXPECT_EQ(CompareMem(Left, Right, 5), 0x80 - 0x01);
  EXPECT_EQ(CompareMem(Right, Left, 5), 0x01 - 0x80);
  EXPECT_EQ(CompareMem(Left, Right, 0), 0);
  UINT8 Same[] = {1, 2, 3, 0x80, 9};
  EXPECT_EQ(CompareMem(Left, Same, sizeof(Same)), 0);
}

TEST(BaseMemoryLib, Guids) {
  const EFI_GUID A = {0x7739F24C, 0x93D7, 0x11D4, {0x9A, 0x3A, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}};
  EFI_GUID B = A;
  EXPECT_TRUE(CompareGuid(&A, &B));
  B.Data4[7] ^= 1;
  EXPECT_FALSE(CompareGuid(&A, &B));
  B = A;
  B.Data1 ^= 0x80000000u;
  EXPECT_FALSE(CompareGuid(&A, &B));

  EFI_GUID Copy = {};
  EXPECT_EQ(CopyGuid(&Copy, &A), &Copy);
  EXPECT_EQ(std::memcmp(&Copy, &A, sizeof(A)), 0);

  // GUIDs inside packed data are compared and copied without alignment.
  alignas(16) UINT8 Packed[40] = {};
  std::memcpy(Packed + 1, &A, sizeof(A));
  EXPECT_TRUE(CompareGuid((const EFI_GUID *)(void *)(Packed + 1), &A));
  CopyGuid((EFI_GUID *)(void *)(Packed + 19), (const EFI_GUID *)(void *)(Packed + 1));
  EXPECT_EQ(std::memcmp(Packed + 19, &A, sizeof(A)), 0);
}

}  // namespace
