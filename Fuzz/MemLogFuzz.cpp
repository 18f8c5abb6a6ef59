// Invariant: whatever header and content an earlier phase left in the
// memory-log block, a write stores nothing outside the block (guard pages
// on both sides), never leaves a count past the data area, and puts the
// message, the kept history and the count where an independent model of
// the log says.
#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "Board/Board.h"
#include "Core/Scenario.h"
#include "Core/Trace.h"

#include <BaseHwAccessLibSim/SimHardwarePort.h>
#include <Library/SioDebugOutputLib.h>

namespace {

constexpr uint32_t kData = MEM_LOG_DATA_SIZE;
constexpr uint32_t kCompact = 0x400000;
constexpr size_t kPage = 4096;

uint8_t *Block() { return reinterpret_cast<uint8_t *>(MEM_LOG_BASE); }
uint8_t *Log() { return Block() + 16; }

void Guard(uintptr_t At) {
  void *Got = mmap(reinterpret_cast<void *>(At), kPage, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE,
                   -1, 0);
  if (Got != reinterpret_cast<void *>(At)) __builtin_trap();
}

sim::Board &TheBoard() {
  static sim::Trace Trace;
  static sim::Board *Board = [] {
    Trace.SetRetain(false);
    auto *B = new sim::Board(sim::DefaultScenario(), Trace);
    Guard(MEM_LOG_BASE - kPage);
    Guard(MEM_LOG_BASE + MEM_LOG_SIZE);
    return B;
  }();
  return *Board;
}

uint32_t U32(const uint8_t *P) { return P[0] | P[1] << 8 | P[2] << 16 | static_cast<uint32_t>(P[3]) << 24; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  // 16 header bytes, 2 bytes of message length, a flag byte (bit 7: the
  // length counts down from one past the data area; bits 5:0: how many
  // history bytes follow, ending at UsedBytes), then the message pattern.
  if (Size < 19) return -1;
  BoardSimBindHardware(&TheBoard());
  const uint32_t Used = U32(Data + 8);
  const uint32_t Kept = std::min(Used, kData);  // what a count past the area means
  const uint32_t Raw = Data[16] | Data[17] << 8;
  const uint32_t Length = Data[18] & 0x80 ? kData + 1 - (Raw & 0xFF) : Raw;
  const size_t HistorySize = std::min<size_t>({size_t{Data[18] & 0x3Fu}, Size - 19, Kept});
  const uint8_t *History = Data + 19;
  const uint8_t *Pattern = History + HistorySize;
  const size_t PatternSize = Size - 19 - HistorySize;

  std::memcpy(Block(), Data, 16);
  std::memcpy(Log() + Kept - HistorySize, History, HistorySize);
  std::vector<uint8_t> Message(Length);
  for (size_t I = 0; PatternSize != 0 && I < Length; ++I) Message[I] = Pattern[I % PatternSize];

  const bool Valid = U32(Data) == MEM_LOG_SIGNATURE && U32(Data + 4) == MEM_LOG_MAGIC1 &&
                     U32(Data + 12) == MEM_LOG_MAGIC2 && Used <= MEM_LOG_SIZE;
  MemLogWrite(Message.data(), Message.size());

  const uint32_t After = U32(Block() + 8);
  // Where non-zero bytes can be now: the history, the message, and after a
  // compaction everything below the count.
  uint32_t ZeroFrom = Kept - HistorySize, ZeroTo = Kept;
  if (std::memcmp(Block(), Data, 8) != 0 || std::memcmp(Block() + 12, Data + 12, 4) != 0) __builtin_trap();
  if (!Valid || Length > kData) {
    if (After != Used) __builtin_trap();
  } else {
    // Room for the message, or else the oldest 4 MiB (or all) go first.
    const uint32_t Dropped = uint64_t{Kept} + Length > kData ? std::min(Kept, kCompact) : 0;
    const uint32_t Start = Kept - Dropped;
    const bool Written = uint64_t{Start} + Length <= kData;
    const uint32_t Tail = Written ? Start + Length : Start;
    if (After != Tail) __builtin_trap();
    const size_t Survived = std::min<size_t>(HistorySize, Start);
    if (std::memcmp(Log() + Start - Survived, History + HistorySize - Survived, Survived) != 0) __builtin_trap();
    if (Written && Length != 0 && std::memcmp(Log() + Start, Message.data(), Length) != 0) __builtin_trap();
    if (Dropped != 0 && Tail < kData && (Log()[Tail] != 0 || Log()[kData - 1] != 0)) __builtin_trap();
    ZeroFrom = Dropped != 0 ? 0 : ZeroFrom;
    ZeroTo = std::max(Tail, Dropped != 0 ? 0 : Kept);
  }
  // Leave the data area zero for the next input.
  std::memset(Log() + ZeroFrom, 0, ZeroTo - ZeroFrom);
  BoardSimBindHardware(nullptr);
  return 0;
}
