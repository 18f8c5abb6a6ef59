// Invariant: for any macro table the compile never writes past the table
// (the table is a heap block of exactly its size), the packed length never
// exceeds it, the run never reads past the packed length, the run ends, and
// every register it touches is one the table names (a word of the table as
// an address, port or MSR) or belongs to the SMBus or PCI mechanism a record
// of the table asked for.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Board/Board.h"
#include "Core/Scenario.h"
#include "Core/Trace.h"

#include <BaseHwAccessLibSim/SimHardwarePort.h>
#include <BoardScript.h>
#include <CpuFrequencyRecord.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  const size_t Words = Size / sizeof(UINT64);
  if (Words == 0 || Words > 4096) return -1;
  // A stall of seconds is a million waits: worth running, not in every input.
  for (size_t I = 0; I < Words; ++I) {
    UINT64 Word;
    std::memcpy(&Word, Data + I * sizeof(UINT64), sizeof Word);
    if ((Word & 0xFF) == 0x14 && I + 3 < Words) {
      UINT64 Unit;
      std::memcpy(&Unit, Data + (I + 2) * sizeof(UINT64), sizeof Unit);
      if ((Unit & 0xFF) == 3) return -1;
    }
  }
  std::unique_ptr<UINT64[]> Table(new UINT64[Words]);
  std::memcpy(Table.get(), Data, Words * sizeof(UINT64));
  const UINT32 Length = BoardScriptCompile(Table.get(), Words);
  if (Length > Words * sizeof(UINT64)) __builtin_trap();

  // What the table can name: every word, and its low 32 and 16 bits.
  std::set<uint64_t> Named;
  for (size_t I = 0; I < Words; ++I) {
    UINT64 Word;
    std::memcpy(&Word, Data + I * sizeof(UINT64), sizeof Word);
    Named.insert({Word, Word & 0xFFFFFFFF, Word & 0xFFFF});
  }
  // The mechanisms: the FCH PM register that enables SMBus and gives the
  // hosts' base (0xB00 on this board), the two hosts, the PCI config ports.
  auto Mechanism = [](const std::string &Event, uint64_t At) {
    if (Event == "mmio-read" || Event == "mmio-write") return At == 0xFED80300;
    if (Event == "io-read" || Event == "io-write") {
      return (At >= 0xB00 && At <= 0xB07) || (At >= 0xB20 && At <= 0xB27) || (At >= 0xCF8 && At <= 0xCFF);
    }
    return false;
  };
  bool Stray = false;
  sim::Trace Trace;
  Trace.SetRetain(false);
  Trace.AddSink([&](const sim::Json &E) {
    const std::string Event = E["event"];
    const char *Key = Event.rfind("mmio-", 0) == 0 ? "address"
                      : Event.rfind("io-", 0) == 0  ? "port"
                      : Event.rfind("msr-", 0) == 0 ? "msr"
                                                    : nullptr;
    if (Key == nullptr) return;
    const uint64_t At = std::stoull(E[Key].get<std::string>(), nullptr, 16);
    Stray |= Named.count(At) == 0 && !Mechanism(Event, At);
  });
  sim::Board Board(sim::DefaultScenario(), Trace);
  // A refused access (a width no bus has) is dropped, as on the board.
  Board.SetFaultHandler([](const std::string &) {});
  BoardSimBindHardware(&Board);
  mCpuFrequency = {3750000000ull, 0, 0, CPU_POWER_FEATURES_INVARIANT_TSC};
  BoardScriptRun(reinterpret_cast<UINT8 *>(Table.get()), Length);
  BoardSimBindHardware(nullptr);
  if (Stray) __builtin_trap();
  return 0;
}
