// Invariant: for any HOBs between a handoff HOB and an end-of-list HOB
// (lengths that lie, payload sizes that lie, lists that end early), the relay
// reads nothing outside the list (a heap block of exactly its size) and makes
// exactly the nodes an independent walk of the list expects, none for a HOB
// whose length or payload size lies.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "Common/SimEnvironment.h"

#include <Guid/HobList.h>
#include <Library/HeapBufferRelayLib.h>
#include <Library/HobLib.h>
#include <Library/SmmMemoryAllocationLib.h>
#include <Library/SmmServicesTableLib.h>
#include <Pi/PiHob.h>

void test::ForgetLibraryCaches() {}

namespace {

constexpr uint8_t kHeapGuid[16] = {0x1A, 0x16, 0x7D, 0xD9, 0xCD, 0x16, 0xDA, 0x4A,
                                   0xB9, 0xF6, 0xAE, 0xC3, 0xF9, 0xFC, 0xCC, 0x2C};

uint16_t U16(const uint8_t *P) { return static_cast<uint16_t>(P[0] | (P[1] << 8)); }
uint32_t U32(const uint8_t *P) { return U16(P) | static_cast<uint32_t>(U16(P + 2)) << 16; }

// The nodes a walk of Hobs (the bytes between the handoff HOB and the
// end-of-list HOB, End bytes long with it) should give: a node holds the
// 16-byte header and PayloadSize bytes.
std::vector<std::vector<uint8_t>> ExpectedNodes(const uint8_t *List, size_t End) {
  std::vector<std::vector<uint8_t>> Nodes;
  for (size_t At = 56; End - At >= 8;) {
    const uint16_t Type = U16(List + At), Length = U16(List + At + 2);
    if (Type == 0xFFFF || Length < 8 || Length > End - At) break;
    if (Type == 4) {
      if (Length < 24) break;
      const uint8_t *Data = List + At + 24;
      const size_t DataSize = Length - 24u;
      if (std::memcmp(List + At + 8, kHeapGuid, 16) == 0 && DataSize >= 16 && U32(Data) == 0x50414548 &&
          Data[13] == 1 && U32(Data + 8) <= DataSize - 16) {
        Nodes.emplace_back(Data, Data + 16 + U32(Data + 8));
      }
    }
    At += Length;
  }
  return Nodes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  if (Size > 4096) return -1;
  // Handoff HOB, the input, end-of-list HOB: a block of exactly that size.
  const size_t End = 56 + Size + 8;
  std::unique_ptr<uint8_t[]> List(new uint8_t[End]);
  EFI_HOB_HANDOFF_INFO_TABLE Handoff{};
  Handoff.Header = {EFI_HOB_TYPE_HANDOFF, sizeof Handoff, 0};
  Handoff.Version = 9;
  Handoff.EfiEndOfHobList = reinterpret_cast<uintptr_t>(List.get() + 56 + Size);
  std::memcpy(List.get(), &Handoff, sizeof Handoff);
  if (Size != 0) std::memcpy(List.get() + 56, Data, Size);
  const EFI_HOB_GENERIC_HEADER EndHob{EFI_HOB_TYPE_END_OF_HOB_LIST, 8, 0};
  std::memcpy(List.get() + 56 + Size, &EndHob, sizeof EndHob);

  test::SimEnvironment Env;
  Env.Start();
  EFI_SYSTEM_TABLE *St = Env.Firmware->SystemTable();
  EFI_CONFIGURATION_TABLE Table{gEfiHobListGuid, List.get()};
  EFI_SYSTEM_TABLE WithList = *St;
  WithList.NumberOfTableEntries = 1;
  WithList.ConfigurationTable = &Table;
  Env.Firmware->EnterSmm();
  SmmServicesTableLibConstructor(nullptr, St);
  SmmMemoryAllocationLibConstructor(nullptr, St);
  HobLibConstructor(nullptr, &WithList);
  HeapBufferRelayConstructor(nullptr, St);
  Env.Firmware->LeaveSmm();

  std::vector<std::vector<uint8_t>> Got;
  for (HEAP_BUFFER_LINK *L = mHeapBufferList->ForwardLink; L != mHeapBufferList; L = L->ForwardLink) {
    auto *Node = reinterpret_cast<HEAP_BUFFER_NODE *>(L);
    auto *Header = reinterpret_cast<const uint8_t *>(&Node->Header);
    Got.emplace_back(Header, Header + 16 + Node->Header.PayloadSize);
  }
  if (Got != ExpectedNodes(List.get(), End)) __builtin_trap();
  return 0;
}
