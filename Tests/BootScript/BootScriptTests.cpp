#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "BootScript/FakeBootServices.h"
#include "CmosTrail/CmosAccess.h"

#include <Library/BootScriptLib.h>
#include <Library/UefiBootServicesTableLib.h>

using namespace cmostest;

namespace {

constexpr const char *kRecordedName = "VexCspSmmBootSc";

// One checkpointed statement of the library on an armed trail.
void ExpectStatement(Accesses &A, uint16_t Line) {
  CmosRead(A, 0x98, 1);
  for (uint8_t I = 0; I < 15; ++I) CmosWrite(A, 0xC0 + I, (uint8_t)kRecordedName[I]);
  CmosWrite(A, 0x90, (uint8_t)(Line >> 8));
  CmosWrite(A, 0x91, (uint8_t)Line);
}

bool AllBytes(const void *Buffer, size_t Size, uint8_t Value) {
  const uint8_t *Bytes = static_cast<const uint8_t *>(Buffer);
  for (size_t I = 0; I < Size; ++I)
    if (Bytes[I] != Value) return false;
  return true;
}

class BootScriptLib : public ::testing::Test {
 protected:
  void SetUp() override {
    fakebs::Reset();
    gBS = fakebs::Table();
    gBootScriptBlock = nullptr;
    gBooScriptBuffer = nullptr;
    gRegBuffer = nullptr;
  }
  void TearDown() override { fakebs::Reset(); }

  fakebs::State &Pool() { return fakebs::Fake(); }

  void ExpectAllocations(const std::vector<UINTN> &Sizes) {
    ASSERT_EQ(Pool().Allocations.size(), Sizes.size());
    for (size_t I = 0; I < Sizes.size(); ++I) {
      EXPECT_EQ(Pool().Allocations[I].Type, EfiRuntimeServicesData) << I;
      EXPECT_EQ(Pool().Allocations[I].Size, Sizes[I]) << I;
    }
  }
};

TEST_F(BootScriptLib, ConstructorOnArmedTrailLeavesTheSecondStatementInCmos) {
  BoardFixture F(TrailScenario(1));
  F.Board().SetCmosByte(0xCF, 0x3C);
  EXPECT_EQ(BootScriptLibConstructor(nullptr, nullptr), EFI_SUCCESS);

  ExpectAllocations({32, 100, 8});
  EXPECT_EQ(gBootScriptBlock, Pool().Allocations[0].Buffer);
  EXPECT_EQ(gBooScriptBuffer, Pool().Allocations[1].Buffer);
  EXPECT_EQ(gRegBuffer, Pool().Allocations[2].Buffer);
  EXPECT_TRUE(AllBytes(gBooScriptBuffer, 100, 0));
  EXPECT_TRUE(AllBytes(gRegBuffer, 8, 0));
  EXPECT_TRUE(AllBytes(gBootScriptBlock, 32, 0xAA));  // the block's contents are never touched

  Accesses Expected;
  ExpectStatement(Expected, 734);
  ExpectStatement(Expected, 735);
  EXPECT_EQ(F.PortAccesses(), Expected);
  std::vector<uint8_t> Name(kRecordedName, kRecordedName + 15);
  EXPECT_EQ(F.CmosRange(0xC0, 0xCE), Name);
  EXPECT_EQ(F.Board().CmosByte(0x90), 0x02);
  EXPECT_EQ(F.Board().CmosByte(0x91), 0xDF);
  EXPECT_EQ(F.Board().CmosByte(0xCF), 0x3C);
  EXPECT_EQ(F.CmosRange(0xA0, 0xA7), std::vector<uint8_t>(8, 0));
}

TEST_F(BootScriptLib, ConstructorOnDisarmedTrailWritesNoCmos) {
  BoardFixture F(TrailScenario(0));
  EXPECT_EQ(BootScriptLibConstructor(nullptr, nullptr), EFI_SUCCESS);
  ExpectAllocations({32, 100, 8});
  Accesses Expected;
  CmosRead(Expected, 0x98, 0);
  CmosRead(Expected, 0x98, 0);
  EXPECT_EQ(F.PortAccesses(), Expected);
  EXPECT_TRUE(F.CmosWrites().empty());
}

TEST_F(BootScriptLib, MissingBlockMeansNoBuffersAndNoCheckpoints) {
  BoardFixture F(TrailScenario(1));
  Pool().FailingCalls = {1};
  EXPECT_EQ(BootScriptLibConstructor(nullptr, nullptr), EFI_SUCCESS);
  ExpectAllocations({32});
  EXPECT_EQ(gBootScriptBlock, nullptr);
  EXPECT_EQ(gBooScriptBuffer, nullptr);
  EXPECT_EQ(gRegBuffer, nullptr);
  EXPECT_TRUE(F.PortAccesses().empty());
}

TEST_F(BootScriptLib, MissingBufferStaysNullAndCheckpointsStillRun) {
  for (unsigned Failing : {2u, 3u}) {
    fakebs::Reset();
    gBootScriptBlock = gBooScriptBuffer = gRegBuffer = nullptr;
    BoardFixture F(TrailScenario(1));
    Pool().FailingCalls = {Failing};
    EXPECT_EQ(BootScriptLibConstructor(nullptr, nullptr), EFI_SUCCESS);
    ExpectAllocations({32, 100, 8});
    EXPECT_NE(gBootScriptBlock, nullptr);
    if (Failing == 2) {
      EXPECT_EQ(gBooScriptBuffer, nullptr);
      ASSERT_NE(gRegBuffer, nullptr);
      EXPECT_TRUE(AllBytes(gRegBuffer, 8, 0));
    } else {
      ASSERT_NE(gBooScriptBuffer, nullptr);
      EXPECT_TRUE(AllBytes(gBooScriptBuffer, 100, 0));
      EXPECT_EQ(gRegBuffer, nullptr);
    }
    Accesses Expected;
    ExpectStatement(Expected, 734);
    ExpectStatement(Expected, 735);
    EXPECT_EQ(F.PortAccesses(), Expected) << Failing;
  }
}

TEST_F(BootScriptLib, ExistingBufferIsKept) {
  BoardFixture F(TrailScenario(1));
  uint8_t Existing[100];
  std::memset(Existing, 0x5A, sizeof Existing);
  gBooScriptBuffer = Existing;
  EXPECT_EQ(BootScriptLibConstructor(nullptr, nullptr), EFI_SUCCESS);
  ExpectAllocations({32});
  EXPECT_EQ(gBooScriptBuffer, Existing);
  EXPECT_EQ(gRegBuffer, nullptr);
  EXPECT_TRUE(AllBytes(Existing, sizeof Existing, 0x5A));
  EXPECT_EQ(F.Board().CmosByte(0x91), 0xDF);
}

TEST_F(BootScriptLib, DestructorFreesExactlyWhatExists) {
  struct Case {
    std::set<unsigned> Failing;
    std::vector<unsigned> FreedAllocations;  // indices into the allocation list
  } Cases[] = {
      {{}, {0, 1, 2}},
      {{2}, {0, 2}},
      {{3}, {0, 1}},
      {{2, 3}, {0}},
      {{1}, {}},
  };
  for (const auto &C : Cases) {
    fakebs::Reset();
    gBootScriptBlock = gBooScriptBuffer = gRegBuffer = nullptr;
    BoardFixture F(TrailScenario(0));
    Pool().FailingCalls = C.Failing;
    BootScriptLibConstructor(nullptr, nullptr);
    void *Block = gBootScriptBlock, *Buffer = gBooScriptBuffer, *Reg = gRegBuffer;

    EXPECT_EQ(BootScriptLibDestructor(nullptr, nullptr), EFI_SUCCESS);
    std::vector<void *> Expected;
    for (unsigned Index : C.FreedAllocations) Expected.push_back(Pool().Allocations[Index].Buffer);
    EXPECT_EQ(Pool().Freed, Expected);
    EXPECT_EQ(Pool().BadFrees, 0u);
    EXPECT_TRUE(Pool().Live.empty());
    // Pointers are left as they were.
    EXPECT_EQ(gBootScriptBlock, Block);
    EXPECT_EQ(gBooScriptBuffer, Buffer);
    EXPECT_EQ(gRegBuffer, Reg);
  }
}

}  // namespace
