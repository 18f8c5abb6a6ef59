#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "Common/SimEnvironment.h"

#include <AmdCfgPcdBuffer.h>
#include <Library/HeapBufferRelayLib.h>
#include <Library/HobLib.h>
#include <Library/SmmMemoryAllocationLib.h>
#include <Library/SmmServicesTableLib.h>

namespace {

struct Node {
  std::vector<uint8_t> Header;
  std::vector<uint8_t> Payload;
  bool operator==(const Node &) const = default;
};

sim::HobSpec Hob(uint8_t Relay, std::vector<uint8_t> Payload, uint32_t Signature = HEAP_BUFFER_SIGNATURE) {
  sim::HobSpec H;
  H.Signature = Signature;
  H.Relay = Relay;
  H.Payload = std::move(Payload);
  H.PayloadSize = static_cast<uint32_t>(H.Payload.size());
  return H;
}

std::vector<uint8_t> HeaderBytes(const sim::HobSpec &H) {
  std::vector<uint8_t> B(16);
  std::memcpy(&B[0], &H.Signature, 4);
  std::memcpy(&B[4], &H.Word4, 4);
  std::memcpy(&B[8], &H.PayloadSize, 4);
  B[12] = H.Kind;
  B[13] = H.Relay;
  std::memcpy(&B[14], &H.Word14, 2);
  return B;
}

class HeapRelay : public ::testing::Test {
 protected:
  void TearDown() override { gAmdCfgPcdBuffer = {}; }

  // The constructor steps the relay builds on, then the relay, in SMM.
  // Edit, when given, may change the HOB list (handoff HOB first) before the relay walks it.
  void Run(const std::function<void(uint8_t *)> &Edit = {}) {
    Env.Start();
    EFI_SYSTEM_TABLE *St = Env.Firmware->SystemTable();
    Env.Firmware->EnterSmm();
    SmmServicesTableLibConstructor(nullptr, St);
    ASSERT_NE(gSmst, nullptr);
    SmmMemoryAllocationLibConstructor(nullptr, St);
    HobLibConstructor(nullptr, St);
    if (Edit) Edit(static_cast<uint8_t *>(GetHobList()));
    Mark = Env.Mark();
    HeapBufferRelayConstructor(nullptr, St);
    Env.Firmware->LeaveSmm();
  }

  std::vector<Node> Nodes() const {
    std::vector<Node> Out;
    if (mHeapBufferList == nullptr) return Out;
    for (HEAP_BUFFER_LINK *L = mHeapBufferList->ForwardLink; L != mHeapBufferList; L = L->ForwardLink) {
      auto *N = reinterpret_cast<HEAP_BUFFER_NODE *>(L);
      auto *H = reinterpret_cast<const uint8_t *>(&N->Header);
      auto *P = reinterpret_cast<const uint8_t *>(N + 1);
      Out.push_back({std::vector<uint8_t>(H, H + 16), std::vector<uint8_t>(P, P + N->Header.PayloadSize)});
    }
    return Out;
  }

  std::vector<std::string> AllocationSizes() const {
    std::vector<std::string> Out;
    for (const auto &C : Env.Calls(Mark, "SmmAllocatePool")) Out.push_back(C["size"]);
    return Out;
  }

  test::SimEnvironment Env;
  size_t Mark = 0;
};

TEST_F(HeapRelay, MatchingHobsBecomeNodesInHobOrder) {
  sim::HobSpec First = Hob(1, {0x01, 0x02});
  First.Word4 = 0xCAFEF00D;
  First.Kind = 3;
  First.Word14 = 0xBEEF;
  sim::HobSpec Second = Hob(1, {0xAA, 0xBB, 0xCC, 0xDD, 0xEE});
  Env.Scenario.Hobs = {First, Second};
  Run();
  std::vector<Node> Expected = {{HeaderBytes(First), First.Payload}, {HeaderBytes(Second), Second.Payload}};
  EXPECT_EQ(Nodes(), Expected);
  // The protocol instance first, then one node per HOB, all in SMRAM.
  EXPECT_EQ(AllocationSizes(), (std::vector<std::string>{"0x18", "0x22", "0x25"}));
  for (const auto &C : Env.Calls(Mark, "SmmAllocatePool")) EXPECT_EQ(C["type"], "EfiRuntimeServicesData");
  // Published: whoever locates the protocol sees the same list.
  auto Published = Env.Firmware->HeapBufferList();
  ASSERT_TRUE(Published.has_value());
  ASSERT_EQ(Published->size(), 2u);
  EXPECT_EQ((*Published)[1].Payload, Second.Payload);
  auto Installed = Env.Firmware->InstalledProtocols();
  ASSERT_EQ(Installed.size(), 1u);
  auto *Instance = static_cast<HEAP_BUFFER_LIST_PROTOCOL *>(Installed[0].second);
  EXPECT_EQ(&Instance->List, mHeapBufferList);
  EXPECT_EQ(Instance->Revision, 1u);
}

TEST_F(HeapRelay, WithoutRoomForTheInstanceNothingIsRelayedOrPublished) {
  Env.Scenario.Hobs = {Hob(1, {1})};
  Env.Scenario.Cpu.Simulation = true;  // the display shows the code and returns
  gAmdCfgPcdBuffer.Const3 = 0x00010080;
  // The SMRAM range array takes allocation 1, the instance 2.
  Env.Scenario.FailAllocations = {1, 2};
  Run();
  EXPECT_EQ(mHeapBufferList, nullptr);
  EXPECT_EQ(AllocationSizes(), (std::vector<std::string>{"0x18"}));
  EXPECT_TRUE(Env.Calls(Mark, "InstallProtocolInterface").empty());
  std::vector<std::string> Codes;
  for (const auto &E : Env.Since(Mark, {"io-write"})) {
    if (E["port"] == "0x80") Codes.push_back(E["value"]);
  }
  EXPECT_EQ(Codes, (std::vector<std::string>{"0x80225"}));
}

TEST_F(HeapRelay, HobsFailingEitherTestArePassedOver) {
  Env.Scenario.Hobs = {Hob(0, {1}), Hob(2, {2}), Hob(1, {3}, 0x50414549), Hob(1, {4})};
  Run();
  std::vector<Node> Got = Nodes();
  ASSERT_EQ(Got.size(), 1u);
  EXPECT_EQ(Got[0].Payload, (std::vector<uint8_t>{4}));
  EXPECT_EQ(AllocationSizes(), (std::vector<std::string>{"0x18", "0x21"}));
}

TEST_F(HeapRelay, AnEmptyPayloadGivesAHeaderOnlyNode) {
  Env.Scenario.Hobs = {Hob(1, {})};
  Run();
  ASSERT_EQ(Nodes().size(), 1u);
  EXPECT_TRUE(Nodes()[0].Payload.empty());
  EXPECT_EQ(AllocationSizes(), (std::vector<std::string>{"0x18", "0x20"}));
}

TEST_F(HeapRelay, AHeaderOverstatingItsHobYieldsNoNode) {
  sim::HobSpec Liar = Hob(1, {1, 2, 3, 4});
  Liar.PayloadSize = 0x100;
  sim::HobSpec Huge = Hob(1, {5});
  Huge.PayloadSize = 0xFFFFFFFF;  // would also wrap a 32-bit node size
  sim::HobSpec OnePast = Hob(1, {1, 2, 3, 4, 5});
  OnePast.PayloadSize = 9;  // the 48-byte HOB has room for 8 (see below)
  Env.Scenario.Hobs = {Liar, OnePast, Huge, Hob(1, {9, 9})};
  Run();
  std::vector<Node> Got = Nodes();
  ASSERT_EQ(Got.size(), 1u);
  EXPECT_EQ(Got[0].Payload, (std::vector<uint8_t>{9, 9}));
  EXPECT_EQ(AllocationSizes(), (std::vector<std::string>{"0x18", "0x22"}));
}

TEST_F(HeapRelay, PaddingInsideTheHobMayBeClaimed) {
  // Five payload bytes make a 48-byte HOB: 24 data bytes, of which 8 follow the header.
  sim::HobSpec Padded = Hob(1, {1, 2, 3, 4, 5});
  Padded.PayloadSize = 8;
  Env.Scenario.Hobs = {Padded};
  Run();
  ASSERT_EQ(Nodes().size(), 1u);
  EXPECT_EQ(Nodes()[0].Payload, (std::vector<uint8_t>{1, 2, 3, 4, 5, 0, 0, 0}));
}

TEST_F(HeapRelay, AFailedAllocationCopiesNothingAndTheWalkGoesOn) {
  sim::HobSpec Kind8 = Hob(1, {1});
  Kind8.Kind = 8;
  sim::HobSpec Other = Hob(1, {2});
  Other.Kind = 7;
  std::vector<sim::HobSpec> Hobs = {Kind8, Other, Hob(1, {3})};

  // Learn the allocation numbers of the instance and the nodes from a clean run.
  std::vector<uint64_t> Numbers;
  {
    test::SimEnvironment Probe;
    Probe.Scenario.Hobs = Hobs;
    Probe.Start();
    Probe.Firmware->EnterSmm();
    EFI_SYSTEM_TABLE *St = Probe.Firmware->SystemTable();
    SmmServicesTableLibConstructor(nullptr, St);
    SmmMemoryAllocationLibConstructor(nullptr, St);
    HobLibConstructor(nullptr, St);
    size_t From = Probe.Mark();
    HeapBufferRelayConstructor(nullptr, St);
    for (const auto &C : Probe.Calls(From, "SmmAllocatePool")) {
      Numbers.push_back(std::stoull(C["allocation"].get<std::string>(), nullptr, 16));
    }
    Probe.Firmware->LeaveSmm();
  }
  ASSERT_EQ(Numbers.size(), 4u);

  Env.Scenario.Hobs = Hobs;
  Env.Scenario.FailAllocations = {static_cast<uint32_t>(Numbers[1]), static_cast<uint32_t>(Numbers[2])};
  Env.Scenario.Cpu.Simulation = true;  // the display shows the code and returns
  gAmdCfgPcdBuffer.Const3 = 0x00010080;
  Run();
  std::vector<Node> Got = Nodes();
  ASSERT_EQ(Got.size(), 1u);
  EXPECT_EQ(Got[0].Payload, (std::vector<uint8_t>{3}));
  std::vector<std::string> Codes;
  for (const auto &E : Env.Since(Mark, {"io-write"})) {
    if (E["port"] == "0x80") Codes.push_back(E["value"]);
  }
  EXPECT_EQ(Codes, (std::vector<std::string>{"0x80134", "0x80137"}));
}

TEST_F(HeapRelay, AListPublishedEarlierIsAdoptedWithoutWalking) {
  Env.Scenario.Protocols.HeapBufferList = true;
  Env.Scenario.Hobs = {Hob(1, {1, 2, 3})};
  Run();
  EXPECT_TRUE(AllocationSizes().empty());
  EXPECT_TRUE(Env.Calls(Mark, "InstallProtocolInterface").empty());
  ASSERT_NE(mHeapBufferList, nullptr);
  EXPECT_EQ(mHeapBufferList->ForwardLink, mHeapBufferList) << "the earlier driver's empty list";
  auto Located = Env.Calls(Mark, "LocateProtocol");
  ASSERT_EQ(Located.size(), 1u);
  EXPECT_EQ(Located[0]["guid"], "AF62673D-DEDA-43AE-8F03-9C2D89FD78DA");
}

TEST_F(HeapRelay, WithoutHeapHobsAnEmptyListIsStillPublished) {
  Run();
  EXPECT_TRUE(Nodes().empty());
  EXPECT_EQ(Env.Calls(Mark, "InstallProtocolInterface").size(), 1u);
}

// The handoff HOB bounds the walk: a HOB that reaches past the end it names
// ends the walk, and a list without a handoff HOB has no known end.
TEST_F(HeapRelay, TheWalkStopsAtTheEndTheHandoffHobNames) {
  // Handoff HOB 0-55, heap HOBs 56-103 and 104-151, end-of-list HOB 152-159.
  const std::vector<sim::HobSpec> Hobs = {Hob(1, {1}), Hob(1, {2})};
  for (const auto &[ListEnd, Nodes] :
       std::vector<std::pair<uint32_t, size_t>>{{160, 2}, {152, 2}, {151, 1}, {104, 1}, {103, 0}}) {
    Env.Firmware.reset();  // a new boot for each case
    Env.Board.reset();
    Env.Scenario.Hobs = Hobs;
    Run([End = ListEnd](uint8_t *List) {
      const uint64_t EndHob = reinterpret_cast<uintptr_t>(List) + End - 8;
      std::memcpy(List + 48, &EndHob, sizeof EndHob);
    });
    EXPECT_EQ(this->Nodes().size(), Nodes) << "list ending at " << ListEnd;
  }
  Env.Firmware.reset();
  Env.Board.reset();
  Run([](uint8_t *List) { List[0] = 3; });  // no longer a handoff HOB
  EXPECT_TRUE(Nodes().empty());
}

}  // namespace
