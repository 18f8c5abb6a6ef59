#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BootScript/FakeBootServices.h"

#include <Library/DebugLib.h>
#include <Library/PrintLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/DebugPrintService.h>

namespace {

struct PrintCall {
  UINTN Level;
  const CHAR8 *Format;
  std::string Text;  // formatted from the VA_LIST
  const CHAR8 *Name;
  int Number;
  UINT64 Wide;
};
std::vector<PrintCall> mPrints;
constexpr EFI_STATUS kPrintStatus = 0x1234;

// Reads the arguments twice: through the print library and one by one, so a
// list that is not the caller's shows up either way.
EFI_STATUS EFIAPI FakePrint(UINTN Level, const CHAR8 *Format, VA_LIST Marker) {
  PrintCall Call{Level, Format, {}, nullptr, 0, 0};
  VA_LIST Copy;
  VA_COPY(Copy, Marker);
  char Text[128];
  AsciiVSPrint(Text, sizeof Text, Format, Copy);
  VA_END(Copy);
  Call.Text = Text;
  Call.Name = VA_ARG(Marker, const CHAR8 *);
  Call.Number = VA_ARG(Marker, int);
  Call.Wide = VA_ARG(Marker, UINT64);
  mPrints.push_back(Call);
  return kPrintStatus;
}

DEBUG_PRINT_SERVICE_PROTOCOL mService = {FakePrint};

const EFI_GUID kServiceGuid = {0x669ED5B1, 0x49A3, 0x4C59, {0x9D, 0x2D, 0x04, 0x32, 0xAD, 0x6C, 0xDB, 0x61}};

bool SameGuid(const EFI_GUID &A, const EFI_GUID &B) { return std::memcmp(&A, &B, sizeof A) == 0; }

}  // namespace

extern DEBUG_PRINT_SERVICE_PROTOCOL *mDebugPrintService;

namespace {

class DxeDebugPrintLib : public ::testing::Test {
 protected:
  void SetUp() override {
    fakebs::Reset();
    gBS = fakebs::Table();
    fakebs::Fake().LocateGuid = kServiceGuid;
    mDebugPrintService = nullptr;  // a new image
    mPrints.clear();
  }
  void TearDown() override { fakebs::Reset(); }
  fakebs::State &Bs() { return fakebs::Fake(); }
  const char *Format = "%a=%d %lx";
};

TEST_F(DxeDebugPrintLib, AbsentServiceDropsTheMessageAndIsLookedUpAgainEachTime) {
  for (int Call = 1; Call <= 3; ++Call) {
    EXPECT_EQ(DebugPrint(DEBUG_ERROR, Format, "pcd", -5, 0x123456789ABCull), EFI_NOT_FOUND);
    ASSERT_EQ(Bs().LocateCalls.size(), (size_t)Call);
    EXPECT_TRUE(SameGuid(Bs().LocateCalls.back(), kServiceGuid));
  }
  EXPECT_EQ(Bs().LocateWithRegistration, 0u);
  EXPECT_TRUE(mPrints.empty());

  // Installed later: the next message finds it.
  Bs().Protocol = &mService;
  EXPECT_EQ(DebugPrint(DEBUG_ERROR, Format, "pcd", 1, 2ull), kPrintStatus);
  EXPECT_EQ(Bs().LocateCalls.size(), 4u);
  EXPECT_EQ(mPrints.size(), 1u);
}

TEST_F(DxeDebugPrintLib, ServiceIsFoundOnceAndGetsLevelFormatAndArguments) {
  Bs().Protocol = &mService;
  EXPECT_EQ(DebugPrint(DEBUG_ERROR, Format, "pcd", -5, 0x123456789ABCull), kPrintStatus);
  EXPECT_EQ(DebugPrint(DEBUG_INFO, Format, "tok", 631, 0xFFFFFFFF00000001ull), kPrintStatus);
  // Even with the service withdrawn, the interface found first is used.
  Bs().Protocol = nullptr;
  EXPECT_EQ(DebugPrint(0, Format, "x", 0, 0ull), kPrintStatus);
  EXPECT_EQ(Bs().LocateCalls.size(), 1u);

  ASSERT_EQ(mPrints.size(), 3u);
  EXPECT_EQ(mPrints[0].Level, DEBUG_ERROR);
  EXPECT_EQ(mPrints[0].Format, Format);
  EXPECT_EQ(mPrints[0].Text, "pcd=-5 123456789ABC");
  EXPECT_STREQ(mPrints[0].Name, "pcd");
  EXPECT_EQ(mPrints[0].Number, -5);
  EXPECT_EQ(mPrints[0].Wide, 0x123456789ABCull);
  EXPECT_EQ(mPrints[1].Level, DEBUG_INFO);
  EXPECT_EQ(mPrints[1].Text, "tok=631 FFFFFFFF00000001");
  EXPECT_EQ(mPrints[1].Wide, 0xFFFFFFFF00000001ull);
  EXPECT_EQ(mPrints[2].Level, 0u);
}

}  // namespace
