// Pool memory of the simulated firmware: one page-aligned mapping from which
// blocks are carved first-fit. SMRAM is one; the memory the DXE phase
// allocates (and the tables it hands to drivers) is another, which the SMM
// core makes inaccessible while an SMI runs, so that an SMM handler's access
// to memory the OS owns traps where it happens. Unallocated bytes are
// poisoned under AddressSanitizer, so an overrun of a block is caught too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

namespace sim {

class PoolArena {
 public:
  static constexpr size_t kAlignment = 16;
  static constexpr size_t kGap = 16;  // left unallocated after every block

  struct Block {
    size_t Offset = 0;
    size_t Size = 0;  // as requested
    size_t Span = 0;  // bytes reserved, the gap included
    uint64_t Number = 0;
    uint32_t Type = 0;
    const char *Label = nullptr;  // what the firmware keeps there, for its own blocks
  };

  explicit PoolArena(size_t Size);
  ~PoolArena();
  PoolArena(const PoolArena &) = delete;
  PoolArena &operator=(const PoolArena &) = delete;

  uint8_t *Base() const { return Base_; }
  size_t Size() const { return Size_; }
  bool Contains(const void *Address) const;
  // A new block filled with the pool fill byte, or nullptr when no hole is big enough.
  void *Allocate(size_t Size, uint64_t Number, uint32_t Type, const char *Label = nullptr);
  // The block that starts at Address, or nullptr.
  const Block *Find(const void *Address) const;
  // The block whose requested bytes hold Address, or nullptr.
  const Block *Enclosing(const void *Address) const;
  void Release(const void *Address);
  size_t LiveBlocks() const { return Live_.size(); }
  // Bytes from Base() to the end of the last live block.
  size_t UsedBytes() const { return Live_.empty() ? 0 : Live_.rbegin()->second.Offset + Live_.rbegin()->second.Span; }
  const std::map<size_t, Block> &Blocks() const { return Live_; }

  // No access at all while Locked (for the time an SMI runs).
  void Lock(bool Locked);

 private:
  uint8_t *Base_ = nullptr;
  size_t Size_ = 0;
  bool Locked_ = false;
  std::map<size_t, Block> Live_;  // by offset
};

}  // namespace sim
