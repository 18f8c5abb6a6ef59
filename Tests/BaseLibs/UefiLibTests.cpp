#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include <Uefi.h>
#include <Guid/HobList.h>
#include <Library/HobLib.h>
#include <Library/PcdLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
#include <Protocol/Pcd.h>

namespace {

const EFI_GUID kGuidA = {0xA1A1A1A1, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};
const EFI_GUID kGuidB = {0xB2B2B2B2, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};
const EFI_GUID kGuidUnused = {0xC3C3C3C3, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};

struct TestFirmware {
  EFI_BOOT_SERVICES BootServices = {};
  EFI_RUNTIME_SERVICES RuntimeServices = {};
  std::vector<EFI_CONFIGURATION_TABLE> Tables;
  EFI_SYSTEM_TABLE SystemTable = {};

  void Publish() {
    SystemTable.BootServices = &BootServices;
    SystemTable.RuntimeServices = &RuntimeServices;
    SystemTable.NumberOfTableEntries = Tables.size();
    SystemTable.ConfigurationTable = Tables.empty() ? nullptr : Tables.data();
  }
};

TEST(UefiTableLibs, ConstructorsPublishTheServiceTables) {
  TestFirmware Firmware;
  Firmware.Publish();
  EFI_HANDLE Image = (EFI_HANDLE)&Firmware;
  EXPECT_EQ(UefiBootServicesTableLibConstructor(Image, &Firmware.SystemTable), EFI_SUCCESS);
  EXPECT_EQ(UefiRuntimeServicesTableLibConstructor(Image, &Firmware.SystemTable), EFI_SUCCESS);
  EXPECT_EQ(gImageHandle, Image);
  EXPECT_EQ(gST, &Firmware.SystemTable);
  EXPECT_EQ(gBS, &Firmware.BootServices);
  EXPECT_EQ(gRT, &Firmware.RuntimeServices);
  UefiBootServicesTableLibConstructor(nullptr, nullptr);
  UefiRuntimeServicesTableLibConstructor(nullptr, nullptr);
  EXPECT_EQ(gST, nullptr);
  EXPECT_EQ(gBS, nullptr);
  EXPECT_EQ(gRT, nullptr);
}

TEST(UefiLib, ConfigurationTableLookup) {
  int TableA = 0, TableB = 0;
  TestFirmware Firmware;
  Firmware.Tables = {{kGuidA, &TableA}, {kGuidB, &TableB}};
  Firmware.Publish();
  UefiBootServicesTableLibConstructor(nullptr, &Firmware.SystemTable);

  VOID *Table = nullptr;
  EXPECT_EQ(EfiGetSystemConfigurationTable((EFI_GUID *)&kGuidB, &Table), EFI_SUCCESS);
  EXPECT_EQ(Table, &TableB);
  EXPECT_EQ(EfiGetSystemConfigurationTable((EFI_GUID *)&kGuidA, &Table), EFI_SUCCESS);
  EXPECT_EQ(Table, &TableA);

  Table = &TableA;
  EXPECT_EQ(EfiGetSystemConfigurationTable((EFI_GUID *)&kGuidUnused, &Table), EFI_NOT_FOUND);
  EXPECT_EQ(Table, nullptr);
  EXPECT_EQ(EfiGetSystemConfigurationTable((EFI_GUID *)&kGuidA, nullptr), EFI_INVALID_PARAMETER);

  // The entry count bounds the scan.
  Firmware.SystemTable.NumberOfTableEntries = 1;
  Table = &TableA;
  EXPECT_EQ(EfiGetSystemConfigurationTable((EFI_GUID *)&kGuidB, &Table), EFI_NOT_FOUND);
  EXPECT_EQ(Table, nullptr);

  UefiBootServicesTableLibConstructor(nullptr, nullptr);
  EXPECT_EQ(EfiGetSystemConfigurationTable((EFI_GUID *)&kGuidA, &Table), EFI_NOT_FOUND);
}

// Builds a HOB list the way a PEI phase leaves it.
class HobListBuilder {
 public:
  template <typename T>
  T *Add(UINT16 Type, UINT16 Length) {
    size_t Offset = Bytes.size();
    Bytes.resize(Offset + Length, 0);
    auto *Header = (EFI_HOB_GENERIC_HEADER *)(void *)(Bytes.data() + Offset);
    Header->HobType = Type;
    Header->HobLength = Length;
    Offsets.push_back(Offset);
    return (T *)(void *)Header;
  }
  EFI_HOB_GUID_TYPE *AddGuid(const EFI_GUID &Name, UINT64 Payload) {
    auto *Hob = Add<EFI_HOB_GUID_TYPE>(EFI_HOB_TYPE_GUID_EXTENSION, sizeof(EFI_HOB_GUID_TYPE) + 8);
    Hob->Name = Name;
    std::memcpy(Hob + 1, &Payload, sizeof(Payload));
    return Hob;
  }
  // Pointers are valid once the list is complete (no more resizing).
  UINT8 *At(size_t Index) { return Bytes.data() + Offsets[Index]; }

  std::vector<UINT64> Storage;  // 8-byte aligned backing store
  std::vector<UINT8> Bytes;
  std::vector<size_t> Offsets;
};

class DxeHobLib : public ::testing::Test {
 protected:
  void SetUp() override {
    Builder.Bytes.reserve(512);
    auto *Handoff = Builder.Add<EFI_HOB_HANDOFF_INFO_TABLE>(EFI_HOB_TYPE_HANDOFF, sizeof(EFI_HOB_HANDOFF_INFO_TABLE));
    Handoff->Version = 9;
    Builder.Add<EFI_HOB_GENERIC_HEADER>(EFI_HOB_TYPE_MEMORY_ALLOCATION, 48);
    Builder.AddGuid(kGuidA, 0xA0);                                                // 2
    // A resource descriptor whose bytes after the header spell GUID A: only
    // GUID extension HOBs may match.
    auto *Resource = Builder.Add<EFI_HOB_GUID_TYPE>(EFI_HOB_TYPE_RESOURCE_DESCRIPTOR, 48);  // 3
    Resource->Name = kGuidB;
    Builder.AddGuid(kGuidB, 0xB0);                                                // 4
    Builder.AddGuid(kGuidA, 0xA1);                                                // 5
    Builder.Add<EFI_HOB_GENERIC_HEADER>(EFI_HOB_TYPE_END_OF_HOB_LIST, sizeof(EFI_HOB_GENERIC_HEADER));  // 6
    ASSERT_EQ((uintptr_t)Builder.Bytes.data() % 8, 0u);

    Firmware.Tables = {{kGuidUnused, nullptr}, {gEfiHobListGuid, Builder.At(0)}};
    Firmware.Publish();
  }

  static UINT64 Payload(const VOID *GuidHob) {
    UINT64 Value;
    std::memcpy(&Value, GET_GUID_HOB_DATA(GuidHob), sizeof(Value));
    return Value;
  }

  HobListBuilder Builder;
  TestFirmware Firmware;
};

TEST_F(DxeHobLib, ConstructorCachesTheHobListTable) {
  EXPECT_EQ(HobLibConstructor(nullptr, &Firmware.SystemTable), EFI_SUCCESS);
  EXPECT_EQ(GetHobList(), Builder.At(0));
  // Kept for the life of the image: later table changes are not seen.
  Firmware.Tables[1].VendorTable = Builder.At(2);
  EXPECT_EQ(GetHobList(), Builder.At(0));
}

TEST_F(DxeHobLib, GetNextHobFindsTypesAndStopsAtTheEnd) {
  EXPECT_EQ(GetNextHob(EFI_HOB_TYPE_HANDOFF, Builder.At(0)), Builder.At(0));
  EXPECT_EQ(GetNextHob(EFI_HOB_TYPE_RESOURCE_DESCRIPTOR, Builder.At(0)), Builder.At(3));
  EXPECT_EQ(GetNextHob(EFI_HOB_TYPE_GUID_EXTENSION, Builder.At(3)), Builder.At(4));
  EXPECT_EQ(GetNextHob(EFI_HOB_TYPE_CPU, Builder.At(0)), nullptr);
  EXPECT_EQ(GetNextHob(EFI_HOB_TYPE_HANDOFF, Builder.At(6)), nullptr);
  EXPECT_EQ(GetNextHob(EFI_HOB_TYPE_HANDOFF, nullptr), nullptr);
}

TEST_F(DxeHobLib, GuidHobWalk) {
  ASSERT_EQ(HobLibConstructor(nullptr, &Firmware.SystemTable), EFI_SUCCESS);

  VOID *First = GetFirstGuidHob(&kGuidA);
  ASSERT_EQ(First, Builder.At(2));
  EXPECT_EQ(Payload(First), 0xA0u);
  EXPECT_EQ(GET_GUID_HOB_DATA_SIZE(First), 8u);
  VOID *Second = GetNextGuidHob(&kGuidA, GET_NEXT_HOB(First));
  ASSERT_EQ(Second, Builder.At(5));
  EXPECT_EQ(Payload(Second), 0xA1u);
  EXPECT_EQ(GetNextGuidHob(&kGuidA, GET_NEXT_HOB(Second)), nullptr);

  // The resource descriptor carrying GUID B's bytes is skipped.
  EXPECT_EQ(GetFirstGuidHob(&kGuidB), Builder.At(4));
  EXPECT_EQ(GetFirstGuidHob(&kGuidUnused), nullptr);
}

TEST_F(DxeHobLib, NoHobListMeansNoGuidHobs) {
  Firmware.Tables.erase(Firmware.Tables.begin() + 1);
  Firmware.Publish();
  EXPECT_EQ(HobLibConstructor(nullptr, &Firmware.SystemTable), EFI_NOT_FOUND);
  EXPECT_EQ(GetHobList(), nullptr);
  EXPECT_EQ(GetFirstGuidHob(&kGuidA), nullptr);

  TestFirmware Empty;
  Empty.Publish();
  EXPECT_EQ(HobLibConstructor(nullptr, &Empty.SystemTable), EFI_NOT_FOUND);
  EXPECT_EQ(GetFirstGuidHob(&kGuidA), nullptr);
  EXPECT_EQ(HobLibConstructor(nullptr, nullptr), EFI_NOT_FOUND);
  EXPECT_EQ(GetHobList(), nullptr);
}

TEST_F(DxeHobLib, ZeroLengthHobEndsTheWalk) {
  ((EFI_HOB_GENERIC_HEADER *)(void *)Builder.At(1))->HobLength = 0;
  EXPECT_EQ(GetNextHob(EFI_HOB_TYPE_GUID_EXTENSION, Builder.At(0)), nullptr);
  EXPECT_EQ(GetNextGuidHob(&kGuidA, Builder.At(0)), nullptr);
}

// PCD_PROTOCOL and LocateProtocol fakes for DxePcdLib.
struct PcdFake {
  int LocateCalls = 0;
  EFI_STATUS LocateStatus = EFI_NOT_FOUND;
  VOID *Interface = nullptr;
  EFI_GUID LastProtocol = {};
  VOID *LastRegistration = (VOID *)1;
  UINTN LastToken = 0;
  UINT32 LastValue = 0;
};
PcdFake *mFake = nullptr;

EFI_STATUS EFIAPI FakeLocateProtocol(EFI_GUID *Protocol, VOID *Registration, VOID **Interface) {
  mFake->LocateCalls++;
  mFake->LastProtocol = *Protocol;
  mFake->LastRegistration = Registration;
  *Interface = mFake->Interface;
  return mFake->LocateStatus;
}
UINT8 EFIAPI FakeGet8(UINTN Token) {
  mFake->LastToken = Token;
  return 0xA8;
}
UINT32 EFIAPI FakeGet32(UINTN Token) {
  mFake->LastToken = Token;
  return 0xC0FFEE32;
}
BOOLEAN EFIAPI FakeGetBool(UINTN Token) {
  mFake->LastToken = Token;
  return TRUE;
}
EFI_STATUS EFIAPI FakeSet32(UINTN Token, UINT32 Value) {
  mFake->LastToken = Token;
  mFake->LastValue = Value;
  return EFI_WRITE_PROTECTED;
}

// One test: the located protocol is cached for the life of the image, so the
// absent and present phases must run in this order in one process.
TEST(DxePcdLib, LocatesOnFirstUseRetriesWhileAbsentThenCaches) {
  PcdFake Fake;
  mFake = &Fake;
  TestFirmware Firmware;
  Firmware.BootServices.LocateProtocol = FakeLocateProtocol;
  Firmware.Publish();

  // No boot services yet: nothing to call.
  UefiBootServicesTableLibConstructor(nullptr, nullptr);
  EXPECT_EQ(LibPcdGet32(631), 0u);
  EXPECT_TRUE(EFI_ERROR(LibPcdSet32S(623, 1)));

  UefiBootServicesTableLibConstructor(nullptr, &Firmware.SystemTable);

  // Absent: zero results, the lookup error, and a new lookup on every call.
  EXPECT_EQ(LibPcdGet8(571), 0u);
  EXPECT_EQ(LibPcdGet32(631), 0u);
  EXPECT_EQ(LibPcdGetBool(632), FALSE);
  EXPECT_EQ(LibPcdSet32S(623, 5), EFI_NOT_FOUND);
  EXPECT_EQ(Fake.LocateCalls, 4);
  EXPECT_EQ(Fake.LastToken, 0u) << "nothing reached a protocol";
  const EFI_GUID PcdGuid = PCD_PROTOCOL_GUID;
  EXPECT_EQ(std::memcmp(&Fake.LastProtocol, &PcdGuid, sizeof(PcdGuid)), 0);
  EXPECT_EQ(Fake.LastRegistration, nullptr);

  // Success with no interface is still absent.
  Fake.LocateStatus = EFI_SUCCESS;
  EXPECT_EQ(LibPcdGet32(631), 0u);
  EXPECT_EQ(Fake.LocateCalls, 5);

  // Present: located once, then every accessor goes straight to it.
  PCD_PROTOCOL Pcd = {};
  Pcd.Get8 = FakeGet8;
  Pcd.Get32 = FakeGet32;
  Pcd.GetBool = FakeGetBool;
  Pcd.Set32 = FakeSet32;
  Fake.Interface = &Pcd;
  EXPECT_EQ(LibPcdGet32(631), 0xC0FFEE32u);
  EXPECT_EQ(Fake.LastToken, 631u);
  EXPECT_EQ(LibPcdGet8(571), 0xA8u);
  EXPECT_EQ(Fake.LastToken, 571u);
  EXPECT_EQ(LibPcdGetBool(632), TRUE);
  EXPECT_EQ(LibPcdSet32S(576, 0x1234), EFI_WRITE_PROTECTED);
  EXPECT_EQ(Fake.LastToken, 576u);
  EXPECT_EQ(Fake.LastValue, 0x1234u);
  EXPECT_EQ(Fake.LocateCalls, 6);

  // The cached pointer outlives a later failing lookup service.
  Fake.LocateStatus = EFI_NOT_FOUND;
  Fake.Interface = nullptr;
  EXPECT_EQ(LibPcdGet32(580), 0xC0FFEE32u);
  EXPECT_EQ(Fake.LocateCalls, 6);

  UefiBootServicesTableLibConstructor(nullptr, nullptr);
  mFake = nullptr;
}

}  // namespace
