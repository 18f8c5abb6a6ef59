// Invariant: for any macro table the compile never writes past the table
// (the table is a heap block of exactly its size), the packed length never
// exceeds it, the run never reads past the packed length, and the run ends.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
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

  sim::Trace Trace;
  Trace.SetRetain(false);
  sim::Board Board(sim::DefaultScenario(), Trace);
  // A refused access (a width no bus has) is dropped, as on the board.
  Board.SetFaultHandler([](const std::string &) {});
  BoardSimBindHardware(&Board);
  mCpuFrequency = {3750000000ull, 0, 0, CPU_POWER_FEATURES_INVARIANT_TSC};
  BoardScriptRun(reinterpret_cast<UINT8 *>(Table.get()), Length);
  BoardSimBindHardware(nullptr);
  return 0;
}
