#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "FirmwareTestSupport.h"

using namespace fwtest;

namespace {

constexpr uint32_t kNvBsRt = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;

std::vector<uint8_t> Pattern(size_t Size, uint8_t Seed) {
  std::vector<uint8_t> Out(Size);
  for (size_t I = 0; I < Size; ++I) Out[I] = static_cast<uint8_t>(Seed + I * 7);
  return Out;
}

struct VariableTest : ::testing::Test {
  Boot Sim;
  EFI_GUID Guid = kSetupGuid;
  std::vector<uint8_t> Setup = Pattern(669, 3);

  void SetUp() override {
    Sim.S.Setup = sim::SetupConfigSpec{kNvBsRt, Setup};
    Sim.Start();
  }
  EFI_STATUS Get(const char16_t *Name, EFI_GUID *G, UINT32 *Attributes, UINTN *Size, void *Data) {
    return Sim.Rs()->GetVariable(const_cast<CHAR16 *>(Name), G, Attributes, Size, Data);
  }
  EFI_STATUS Set(const char16_t *Name, EFI_GUID *G, UINT32 Attributes, UINTN Size, const void *Data) {
    return Sim.Rs()->SetVariable(const_cast<CHAR16 *>(Name), G, Attributes, Size, const_cast<void *>(Data));
  }
};

TEST_F(VariableTest, GetReturnsTheSeededSetupAndTracesTheCall) {
  std::vector<uint8_t> Buffer(700, 0);
  UINT32 Attributes = 0;
  UINTN Size = Buffer.size();
  ASSERT_EQ(Get(u"Setup", &Guid, &Attributes, &Size, Buffer.data()), EFI_SUCCESS);
  EXPECT_EQ(Size, 669u);
  EXPECT_EQ(Attributes, kNvBsRt);
  EXPECT_EQ(std::vector<uint8_t>(Buffer.begin(), Buffer.begin() + 669), Setup);

  auto Calls = Sim.Calls("GetVariable");
  ASSERT_EQ(Calls.size(), 1u);
  EXPECT_EQ(Calls[0]["name"], "Setup");
  EXPECT_EQ(Calls[0]["guid"], "EC87D643-EBA4-4BB5-A1E5-3F3E36B20DA9");
  EXPECT_EQ(Calls[0]["attributes"], "0x7");
  EXPECT_EQ(Calls[0]["size"], "0x2BC");
  EXPECT_EQ(Calls[0]["data_size"], "0x29D");
  EXPECT_EQ(Calls[0]["status"], "0x0");
}

TEST_F(VariableTest, GetRejectsSmallBuffersMissingNamesAndBadArguments) {
  std::vector<uint8_t> Buffer(16, 0xCC);
  UINT32 Attributes = 0;
  UINTN Size = Buffer.size();
  EXPECT_EQ(Get(u"Setup", &Guid, &Attributes, &Size, Buffer.data()), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Size, 669u);
  EXPECT_EQ(Buffer, std::vector<uint8_t>(16, 0xCC)) << "nothing is copied into a small buffer";

  Size = Buffer.size();
  EXPECT_EQ(Get(u"Setup", &Guid, nullptr, &Size, Buffer.data()), EFI_BUFFER_TOO_SMALL);

  EFI_GUID Other = kOtherGuid;
  Size = 16;
  EXPECT_EQ(Get(u"Setup", &Other, nullptr, &Size, Buffer.data()), EFI_NOT_FOUND);
  EXPECT_EQ(Get(u"Setu", &Guid, nullptr, &Size, Buffer.data()), EFI_NOT_FOUND);
  EXPECT_EQ(Get(u"", &Guid, nullptr, &Size, Buffer.data()), EFI_NOT_FOUND);
  EXPECT_EQ(Get(nullptr, &Guid, nullptr, &Size, Buffer.data()), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Get(u"Setup", nullptr, nullptr, &Size, Buffer.data()), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Get(u"Setup", &Guid, nullptr, nullptr, Buffer.data()), EFI_INVALID_PARAMETER);

  auto Calls = Sim.Calls("GetVariable");
  ASSERT_GE(Calls.size(), 3u);
  EXPECT_EQ(Calls[0]["status"], "0x8000000000000005");
  EXPECT_EQ(Calls[0]["data_size"], "0x29D");
  // Without an attributes pointer there is nothing to report.
  EXPECT_TRUE(Calls[1]["attributes"].is_null());
}

TEST_F(VariableTest, GetWithNullDataButEnoughSizeIsInvalid) {
  UINTN Size = 669;
  EXPECT_EQ(Get(u"Setup", &Guid, nullptr, &Size, nullptr), EFI_INVALID_PARAMETER);
  Size = 0;
  EXPECT_EQ(Get(u"Setup", &Guid, nullptr, &Size, nullptr), EFI_BUFFER_TOO_SMALL) << "the size query idiom";
  EXPECT_EQ(Size, 669u);
}

TEST_F(VariableTest, SetCreatesAppendsReplacesAndDeletes) {
  EFI_GUID G = kTestGuid;
  const uint8_t First[] = {1, 2, 3};
  const uint8_t More[] = {4, 5};
  const UINT32 Bs = EFI_VARIABLE_BOOTSERVICE_ACCESS;
  ASSERT_EQ(Set(u"Probe", &G, Bs, sizeof First, First), EFI_SUCCESS);
  ASSERT_EQ(Set(u"Probe", &G, Bs | EFI_VARIABLE_APPEND_WRITE, sizeof More, More), EFI_SUCCESS);

  uint8_t Buffer[8] = {};
  UINT32 Attributes = 0;
  UINTN Size = sizeof Buffer;
  ASSERT_EQ(Get(u"Probe", &G, &Attributes, &Size, Buffer), EFI_SUCCESS);
  EXPECT_EQ(Size, 5u);
  EXPECT_EQ(Attributes, Bs) << "the append flag is not stored";
  EXPECT_EQ(std::memcmp(Buffer, "\x01\x02\x03\x04\x05", 5), 0);

  // Attributes of an existing variable cannot change.
  EXPECT_EQ(Set(u"Probe", &G, Bs | EFI_VARIABLE_NON_VOLATILE, sizeof First, First), EFI_INVALID_PARAMETER);

  ASSERT_EQ(Set(u"Probe", &G, Bs, sizeof More, More), EFI_SUCCESS);
  Size = sizeof Buffer;
  ASSERT_EQ(Get(u"Probe", &G, nullptr, &Size, Buffer), EFI_SUCCESS);
  EXPECT_EQ(Size, 2u);

  // Size 0 without append deletes; deleting again finds nothing.
  EXPECT_EQ(Set(u"Probe", &G, Bs, 0, nullptr), EFI_SUCCESS);
  Size = sizeof Buffer;
  EXPECT_EQ(Get(u"Probe", &G, nullptr, &Size, Buffer), EFI_NOT_FOUND);
  EXPECT_EQ(Set(u"Probe", &G, Bs, 0, nullptr), EFI_NOT_FOUND);

  // Attributes 0 deletes whatever the size.
  ASSERT_EQ(Set(u"Probe", &G, Bs, sizeof First, First), EFI_SUCCESS);
  EXPECT_EQ(Set(u"Probe", &G, 0, sizeof First, First), EFI_SUCCESS);
  EXPECT_EQ(Get(u"Probe", &G, nullptr, &Size, Buffer), EFI_NOT_FOUND);

  auto Calls = Sim.Calls("SetVariable");
  ASSERT_GE(Calls.size(), 2u);
  EXPECT_EQ(Calls[0]["name"], "Probe");
  EXPECT_EQ(Calls[0]["attributes"], "0x2");
  EXPECT_EQ(Calls[0]["size"], "0x3");
  EXPECT_EQ(Calls[0]["data"], "010203");
  EXPECT_EQ(Calls[1]["attributes"], "0x42");
}

TEST_F(VariableTest, SetRejectsBadAttributesAndArguments) {
  EFI_GUID G = kTestGuid;
  const uint8_t Byte = 1;
  EXPECT_EQ(Set(u"V", &G, EFI_VARIABLE_RUNTIME_ACCESS, 1, &Byte), EFI_INVALID_PARAMETER)
      << "runtime access needs boot-service access";
  EXPECT_EQ(Set(u"V", &G, EFI_VARIABLE_BOOTSERVICE_ACCESS | 0x100, 1, &Byte), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Set(u"V", &G, EFI_VARIABLE_BOOTSERVICE_ACCESS, 1, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Set(nullptr, &G, EFI_VARIABLE_BOOTSERVICE_ACCESS, 1, &Byte), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Set(u"", &G, EFI_VARIABLE_BOOTSERVICE_ACCESS, 1, &Byte), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Set(u"V", nullptr, EFI_VARIABLE_BOOTSERVICE_ACCESS, 1, &Byte), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Set(u"V", &G, EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_HARDWARE_ERROR_RECORD, 1, &Byte),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Set(u"V", &G, EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS, 1,
                &Byte),
            EFI_UNSUPPORTED);
  UINTN Size = 1;
  uint8_t Out = 0;
  EXPECT_EQ(Get(u"V", &G, nullptr, &Size, &Out), EFI_NOT_FOUND) << "no rejected call stored anything";
}

TEST(VariableStore, ScenarioSetStatusErrorStoresNothing) {
  Boot Sim;
  std::vector<uint8_t> Setup(669, 0x11);
  Sim.S.Setup = sim::SetupConfigSpec{kNvBsRt, Setup};
  Sim.S.SetVariableStatus = EFI_WRITE_PROTECTED;
  Sim.Start();

  EFI_GUID Guid = kSetupGuid;
  std::vector<uint8_t> Changed(669, 0x22);
  EXPECT_EQ(Sim.Rs()->SetVariable(const_cast<CHAR16 *>(u"Setup"), &Guid, kNvBsRt, Changed.size(), Changed.data()),
            EFI_WRITE_PROTECTED);
  EFI_GUID G = kTestGuid;
  uint8_t Byte = 5;
  EXPECT_EQ(Sim.Rs()->SetVariable(const_cast<CHAR16 *>(u"New"), &G, EFI_VARIABLE_BOOTSERVICE_ACCESS, 1, &Byte),
            EFI_WRITE_PROTECTED);

  ASSERT_TRUE(Sim.F->SetupVariable().has_value());
  EXPECT_EQ(Sim.F->SetupVariable()->Data, Setup);
  EXPECT_EQ(Sim.Persistent.Variables.size(), 1u);
  auto Calls = Sim.Calls("SetVariable");
  ASSERT_EQ(Calls.size(), 2u);
  EXPECT_EQ(Calls[0]["status"], "0x8000000000000008");
}

TEST(VariableStore, ScenarioSetStatusWarningStillStores) {
  Boot Sim;
  Sim.S.SetVariableStatus = EFI_WARN_WRITE_FAILURE;
  Sim.Start();
  EFI_GUID G = kTestGuid;
  uint8_t Byte = 5;
  EXPECT_EQ(Sim.Rs()->SetVariable(const_cast<CHAR16 *>(u"New"), &G, EFI_VARIABLE_BOOTSERVICE_ACCESS, 1, &Byte),
            EFI_WARN_WRITE_FAILURE);
  EXPECT_EQ(Sim.Persistent.Variables.size(), 1u);
}

TEST(VariableStore, OnlyNonVolatileVariablesSurviveAReset) {
  Boot Sim;
  Sim.S.Setup = sim::SetupConfigSpec{kNvBsRt, std::vector<uint8_t>(669, 0)};
  Sim.Start();

  EFI_GUID G = kTestGuid;
  uint8_t Byte = 0x5A;
  auto *Rs = Sim.Rs();
  ASSERT_EQ(Rs->SetVariable(const_cast<CHAR16 *>(u"Kept"), &G, kNvBsRt, 1, &Byte), EFI_SUCCESS);
  ASSERT_EQ(Rs->SetVariable(const_cast<CHAR16 *>(u"Lost"), &G, EFI_VARIABLE_BOOTSERVICE_ACCESS, 1, &Byte),
            EFI_SUCCESS);
  // The driver's write-back of Setup must survive, not be replaced by the scenario's image.
  EFI_GUID SetupGuid = kSetupGuid;
  std::vector<uint8_t> Written(669, 0x77);
  ASSERT_EQ(Rs->SetVariable(const_cast<CHAR16 *>(u"Setup"), &SetupGuid, kNvBsRt, Written.size(), Written.data()),
            EFI_SUCCESS);

  Sim.Reboot();
  Rs = Sim.Rs();
  uint8_t Out = 0;
  UINTN Size = 1;
  EXPECT_EQ(Rs->GetVariable(const_cast<CHAR16 *>(u"Kept"), &G, nullptr, &Size, &Out), EFI_SUCCESS);
  EXPECT_EQ(Out, 0x5A);
  Size = 1;
  EXPECT_EQ(Rs->GetVariable(const_cast<CHAR16 *>(u"Lost"), &G, nullptr, &Size, &Out), EFI_NOT_FOUND);
  ASSERT_TRUE(Sim.F->SetupVariable().has_value());
  EXPECT_EQ(Sim.F->SetupVariable()->Data, Written);
}

TEST(VariableStore, AbsentSetupStaysAbsent) {
  Boot Sim;
  Sim.Start();
  EXPECT_FALSE(Sim.F->SetupVariable().has_value());
  EFI_GUID Guid = kSetupGuid;
  UINTN Size = 669;
  std::vector<uint8_t> Buffer(669);
  EXPECT_EQ(Sim.Rs()->GetVariable(const_cast<CHAR16 *>(u"Setup"), &Guid, nullptr, &Size, Buffer.data()),
            EFI_NOT_FOUND);
}

TEST(VariableStore, ConvertPointerLeavesPointersAlone) {
  Boot Sim;
  Sim.Start();
  void *Pointer = reinterpret_cast<void *>(0xFED80000);
  EXPECT_EQ(Sim.Rs()->ConvertPointer(0, &Pointer), EFI_SUCCESS);
  EXPECT_EQ(Pointer, reinterpret_cast<void *>(0xFED80000));
  EXPECT_EQ(Sim.Rs()->ConvertPointer(0, nullptr), EFI_INVALID_PARAMETER);
  auto Calls = Sim.Calls("ConvertPointer");
  ASSERT_EQ(Calls.size(), 2u);
  EXPECT_EQ(Calls[0]["status"], "0x0");
}

}  // namespace
