#include "Firmware/PoolArena.h"

#include <sys/mman.h>

#include <cstring>
#include <new>

#include <sanitizer/asan_interface.h>

#include "Firmware/FirmwareImpl.h"

namespace sim {

namespace {
size_t RoundUp(size_t Value, size_t Alignment) { return (Value + Alignment - 1) / Alignment * Alignment; }
}  // namespace

PoolArena::PoolArena(size_t Size) : Size_(Size) {
  // Reserved, not committed: only the pages blocks touch cost memory.
  void *Mapping = mmap(nullptr, Size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (Mapping == MAP_FAILED) {
    throw std::bad_alloc();
  }
  Base_ = static_cast<uint8_t *>(Mapping);
  ASAN_POISON_MEMORY_REGION(Base_, Size_);
}

PoolArena::~PoolArena() {
  ASAN_UNPOISON_MEMORY_REGION(Base_, Size_);
  munmap(Base_, Size_);
}

bool PoolArena::Contains(const void *Address) const {
  const auto *P = static_cast<const uint8_t *>(Address);
  return P >= Base_ && P < Base_ + Size_;
}

void *PoolArena::Allocate(size_t Size, uint64_t Number, uint32_t Type, const char *Label) {
  if (Size > Size_) {
    return nullptr;
  }
  const size_t Need = RoundUp(Size == 0 ? 1 : Size, kAlignment) + kGap;
  // First fit: the lowest hole that takes the block and its gap.
  size_t Cursor = 0;
  for (const auto &[Offset, B] : Live_) {
    if (Offset - Cursor >= Need) {
      break;
    }
    Cursor = Offset + B.Span;
  }
  if (Cursor + Need > Size_) {
    return nullptr;
  }
  uint8_t *Block = Base_ + Cursor;
  ASAN_UNPOISON_MEMORY_REGION(Block, Size);
  std::memset(Block, kPoolFill, Size);
  Live_[Cursor] = PoolArena::Block{Cursor, Size, Need, Number, Type, Label};
  return Block;
}

const PoolArena::Block *PoolArena::Find(const void *Address) const {
  if (!Contains(Address)) {
    return nullptr;
  }
  auto It = Live_.find(static_cast<size_t>(static_cast<const uint8_t *>(Address) - Base_));
  return It != Live_.end() ? &It->second : nullptr;
}

const PoolArena::Block *PoolArena::Enclosing(const void *Address) const {
  if (!Contains(Address)) {
    return nullptr;
  }
  const auto Offset = static_cast<size_t>(static_cast<const uint8_t *>(Address) - Base_);
  auto It = Live_.upper_bound(Offset);
  if (It == Live_.begin()) {
    return nullptr;
  }
  --It;
  return Offset < It->first + It->second.Size ? &It->second : nullptr;
}

void PoolArena::Release(const void *Address) {
  const Block *B = Find(Address);
  if (B == nullptr) {
    return;
  }
  ASAN_POISON_MEMORY_REGION(Base_ + B->Offset, B->Span);
  Live_.erase(B->Offset);
}

void PoolArena::Lock(bool Locked) {
  if (Locked == Locked_) {
    return;
  }
  if (mprotect(Base_, Size_, Locked ? PROT_NONE : PROT_READ | PROT_WRITE) == 0) {
    Locked_ = Locked;
  }
}

}  // namespace sim
