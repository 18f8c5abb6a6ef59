// Physical memory, the FCH register block and the SMN index/data pair.
//
// The FCH block (IOMUX bytes, GPIO control words, the PM register that holds
// the SMBus base) and every address no device claims behave as memory. The
// SMN pair of the host bridge is one register pair reached both as MMIO at
// 0xE00000B8/0xE00000BC and as configuration registers 0xB8/0xBC of 00:00.0.
#include "Board/BoardImpl.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace sim {

namespace {
constexpr uint64_t kPageSize = 4096;

// Whether some board of this process holds the mapping at kRamBlockBase.
bool gRamBlockMapped = false;

bool InRam(uint64_t Address) { return Address >= kRamBlockBase && Address < kRamBlockBase + kRamBlockSize; }

// [Address, Address + Bytes) lies inside the 4-byte register at Register.
// Written without Address + Bytes, which wraps at the top of the address space.
bool Within(uint64_t Address, unsigned Bytes, uint64_t Register) {
  return Address >= Register && Address - Register <= 4 && Bytes <= 4 - (Address - Register);
}
}  // namespace

// Driver code reaches the memory log with plain pointers to its physical
// address, on the board and here alike; so the block must live there.
RamBlockStorage::RamBlockStorage() {
  if (gRamBlockMapped) {
    Data_ = static_cast<uint8_t *>(std::calloc(kRamBlockSize, 1));
    if (Data_ == nullptr) {
      throw std::bad_alloc();
    }
    return;
  }
  void *Want = reinterpret_cast<void *>(static_cast<uintptr_t>(kRamBlockBase));
  void *Got = mmap(Want, kRamBlockSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (Got != Want) {
    const int Error = Got == MAP_FAILED ? errno : EEXIST;
    if (Got != MAP_FAILED) {
      munmap(Got, kRamBlockSize);  // a kernel that took the address as a mere hint
    }
    throw std::runtime_error("cannot place the RAM block at its physical address 0x8A00000 in this process: " +
                             std::string(std::strerror(Error)));
  }
  Data_ = static_cast<uint8_t *>(Got);
  Fixed_ = true;
  gRamBlockMapped = true;
}

RamBlockStorage::~RamBlockStorage() {
  if (Fixed_) {
    munmap(Data_, kRamBlockSize);
    gRamBlockMapped = false;
  } else {
    std::free(Data_);
  }
}

uint8_t MemoryModel::ReadByte(uint64_t Address) const {
  if (InRam(Address)) {
    return Ram[Address - kRamBlockBase];
  }
  auto It = Pages.find(Address / kPageSize);
  return It == Pages.end() ? 0 : It->second[Address % kPageSize];
}

void MemoryModel::WriteByte(uint64_t Address, uint8_t Value) {
  if (InRam(Address)) {
    Ram[Address - kRamBlockBase] = Value;
    return;
  }
  auto [It, Inserted] = Pages.try_emplace(Address / kPageSize);
  if (Inserted) {
    It->second.fill(0);
  }
  It->second[Address % kPageSize] = Value;
}

uint64_t MemoryModel::Read(uint64_t Address, unsigned Bytes) const {
  uint64_t Value = 0;
  for (unsigned I = 0; I < Bytes; ++I) {
    Value |= static_cast<uint64_t>(ReadByte(Address + I)) << (8 * I);
  }
  return Value;
}

void MemoryModel::Write(uint64_t Address, unsigned Bytes, uint64_t Value) {
  for (unsigned I = 0; I < Bytes; ++I) {
    WriteByte(Address + I, static_cast<uint8_t>(Value >> (8 * I)));
  }
}

uint64_t Board::Impl::MmioReadAccess(uint64_t Address, uint8_t Width) {
  const unsigned Bytes = Width / 8;
  if (Within(Address, Bytes, kSmnIndexMmio)) {
    return SmnIndexRead(static_cast<unsigned>(Address - kSmnIndexMmio), Bytes);
  }
  if (Within(Address, Bytes, kSmnDataMmio)) {
    return SmnDataRead(static_cast<unsigned>(Address - kSmnDataMmio), Bytes);
  }
  return Memory.Read(Address, Bytes);
}

void Board::Impl::MmioWriteAccess(uint64_t Address, uint8_t Width, uint64_t Value) {
  const unsigned Bytes = Width / 8;
  if (Within(Address, Bytes, kSmnIndexMmio)) {
    SmnIndexWrite(static_cast<unsigned>(Address - kSmnIndexMmio), Bytes, static_cast<uint32_t>(Value));
    return;
  }
  if (Within(Address, Bytes, kSmnDataMmio)) {
    SmnDataWrite(static_cast<unsigned>(Address - kSmnDataMmio), Bytes, static_cast<uint32_t>(Value));
    return;
  }
  Memory.Write(Address, Bytes, Value);
}

// --- SMN -----------------------------------------------------------------
// Offset/Bytes select the bytes of the 32-bit register that an access covers.

namespace {
uint32_t Extract(uint32_t Register, unsigned Offset, unsigned Bytes) {
  return static_cast<uint32_t>((Register >> (8 * Offset)) & AllOnes(8 * Bytes));
}
uint32_t Merge(uint32_t Register, unsigned Offset, unsigned Bytes, uint32_t Value) {
  const uint32_t Mask = static_cast<uint32_t>(AllOnes(8 * Bytes) << (8 * Offset));
  return (Register & ~Mask) | ((Value << (8 * Offset)) & Mask);
}
}  // namespace

uint32_t Board::Impl::SmnRead(uint32_t Address) const {
  auto It = Smn.find(Address);
  return It == Smn.end() ? 0 : It->second;
}

uint32_t Board::Impl::SmnIndexRead(unsigned Offset, unsigned Bytes) const { return Extract(SmnIndex, Offset, Bytes); }

void Board::Impl::SmnIndexWrite(unsigned Offset, unsigned Bytes, uint32_t Value) {
  SmnIndex = Merge(SmnIndex, Offset, Bytes, Value);
}

uint32_t Board::Impl::SmnDataRead(unsigned Offset, unsigned Bytes) {
  const uint32_t Register = SmnRead(SmnIndex);
  Decode("smn-read", Json{{"address", Hex(SmnIndex)}, {"value", Hex(Register)}});
  return Extract(Register, Offset, Bytes);
}

void Board::Impl::SmnDataWrite(unsigned Offset, unsigned Bytes, uint32_t Value) {
  const uint32_t Register = Merge(SmnRead(SmnIndex), Offset, Bytes, Value);
  Smn[SmnIndex] = Register;
  Decode("smn-write", Json{{"address", Hex(SmnIndex)}, {"value", Hex(Register)}});
}

}  // namespace sim
