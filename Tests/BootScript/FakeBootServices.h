// Boot services for library tests: pool allocations from the host heap with
// injectable failures, and one protocol that can be present or absent.
#pragma once

#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include <Uefi.h>

namespace fakebs {

struct PoolCall {
  EFI_MEMORY_TYPE Type;
  UINTN Size;
  void *Buffer;  // NULL when the call failed
};

struct State {
  std::vector<PoolCall> Allocations;
  std::set<unsigned> FailingCalls;  // 1-based AllocatePool call numbers
  std::set<void *> Live;
  std::vector<void *> Freed;
  unsigned BadFrees = 0;

  EFI_GUID LocateGuid{};
  void *Protocol = nullptr;  // nullptr: not installed
  std::vector<EFI_GUID> LocateCalls;
  unsigned LocateWithRegistration = 0;
};

inline State &Fake() {
  static State S;
  return S;
}

inline EFI_STATUS EFIAPI AllocatePool(EFI_MEMORY_TYPE Type, UINTN Size, VOID **Buffer) {
  State &S = Fake();
  unsigned Number = (unsigned)S.Allocations.size() + 1;
  if (S.FailingCalls.count(Number) != 0) {
    S.Allocations.push_back({Type, Size, nullptr});
    *Buffer = (VOID *)(uintptr_t)0xBAD0BAD0;  // what a failed call leaves is undefined
    return EFI_OUT_OF_RESOURCES;
  }
  void *Block = std::malloc(Size);
  std::memset(Block, 0xAA, Size);  // pool contents are not zeroed
  S.Live.insert(Block);
  S.Allocations.push_back({Type, Size, Block});
  *Buffer = Block;
  return EFI_SUCCESS;
}

inline EFI_STATUS EFIAPI FreePool(VOID *Buffer) {
  State &S = Fake();
  S.Freed.push_back(Buffer);
  if (S.Live.erase(Buffer) == 0) {
    S.BadFrees++;
    return EFI_INVALID_PARAMETER;
  }
  std::free(Buffer);
  return EFI_SUCCESS;
}

inline EFI_STATUS EFIAPI LocateProtocol(EFI_GUID *Protocol, VOID *Registration, VOID **Interface) {
  State &S = Fake();
  S.LocateCalls.push_back(*Protocol);
  if (Registration != nullptr) S.LocateWithRegistration++;
  if (S.Protocol == nullptr || std::memcmp(Protocol, &S.LocateGuid, sizeof(EFI_GUID)) != 0) {
    *Interface = nullptr;
    return EFI_NOT_FOUND;
  }
  *Interface = S.Protocol;
  return EFI_SUCCESS;
}

inline EFI_BOOT_SERVICES *Table() {
  static EFI_BOOT_SERVICES Bs;
  std::memset(&Bs, 0, sizeof Bs);
  Bs.AllocatePool = AllocatePool;
  Bs.FreePool = FreePool;
  Bs.LocateProtocol = LocateProtocol;
  return &Bs;
}

// Fresh state; frees whatever a previous test left allocated.
inline void Reset() {
  State &S = Fake();
  for (void *Block : S.Live) std::free(Block);
  S = State{};
}

}  // namespace fakebs
