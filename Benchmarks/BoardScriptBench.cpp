// Board script engine throughput on the host: how fast tables compile, how
// fast packed scripts run against the simulated board in-process (simulator
// cost included), and how much simulated time the board probe takes.
// Meant for the optimised build: cmake --preset bench && cmake --build build/bench
//   --target board_script_bench && build/bench/Benchmarks/board_script_bench
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "Board/Board.h"
#include "Core/Scenario.h"
#include "Core/Trace.h"
#include "Firmware/Firmware.h"

#include <BaseHwAccessLibSim/SimHardwarePort.h>
#include <BoardScript.h>
#include <CpuFrequencyRecord.h>
#include <Library/UefiBootServicesTableLib.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kMinSeconds = 0.5;
bool gFailed = false;  // a measured compile or run gave an unexpected result

// The board probe: pin 89 to IOMUX function 2, its GPIO control register's
// upper half compared with 0x0015, then a record without effect.
constexpr UINT64 kProbeTable[28] = {
    0x01, 0x0077, 0xFED80D59, 0x0,        0x2,      0x2,      0xFFFFFFFF, 0xFFFFFFFF, 0xFF,
    0x81, 0x00A0, 0xFED81664, 0xFFFF0000, 0x0,      0x150000, 0xFFFFFFFF, 0xFFFFFFFF, 0xFF,
    0x81, 0x0007, 0xFED81664, 0x0,        0x150000, 0x150000, 0xFFFFFFFF, 0xFFFFFFFF, 0xFF,
    BOARD_SCRIPT_TERMINATOR};
static_assert(BoardScriptCompileConstant(kProbeTable).Length == 132, "probe table");

// Register records that all succeed on the default board and make accesses
// of every register class but SMBus (whose millisecond waits would measure
// the delay loop, not the engine).
std::vector<UINT64> RegisterMixEntries() {
  return {
      0x81, 0x0070, 0x20000000, 0xFFFF0000, 0x1234, 0, 0, 0, 0,                           // memory AND-OR
      0x81, 0x00A0, 0x20000000, 0x0000FFFF, 0, 0x1234, 0, 0, 0,                           // memory read-AND
      0x42, 0x0080, 0x20000010, 0x20000018, 0x5, 0, 0, 0, 0, 0, 0,                        // memory index/data read
      0x05, 0x0050, 0x0600, 0, 0x80, 0, 0, 0, 0,                                          // I/O OR
      0x46, 0x0080, 0x0600, 0x0602, 0x7, 0, 0, 0, 0, 0, 0,                                // I/O index/data read
      0x08, 0x0070, 0xC0011020, 0xFFFFFFFF00000000, 0x1, 0, 0, 0, 0,                      // MSR AND-OR
      0x08, 0x0080, 0xC0011020, 0, 0, 1, 0, 0, 0,                                         // MSR read
      0x91, 0x0070, 0, 0x14, 3, 0x04, 0xFFFF0000, 0x0042, 0, 0, 0, 0,                     // PCI AND-OR
      0x91, 0x00A0, 0, 0x14, 3, 0x04, 0x0000FFFF, 0, 0x0042, 0, 0, 0,                     // PCI read-AND
      0x14, 0x0000, 1, 1, 0, 0, 0,                                                        // stall without effect
  };
}
constexpr unsigned kRegisterMixRecords = 10;

// Every compiler kind, for the compile throughput.
std::vector<UINT64> CompileMixEntries() {
  std::vector<UINT64> Mix = RegisterMixEntries();
  const UINT64 Smbus[] = {0x0D, 0x0080, 0xA0, 0x02, 0xFF, 0, 0x34, 0, 0, 0};
  Mix.insert(Mix.end(), std::begin(Smbus), std::end(Smbus));
  return Mix;
}
constexpr unsigned kCompileMixRecords = 11;

std::vector<UINT64> Repeat(const std::vector<UINT64> &Entries, unsigned Times) {
  std::vector<UINT64> Table;
  for (unsigned I = 0; I < Times; ++I) Table.insert(Table.end(), Entries.begin(), Entries.end());
  Table.push_back(BOARD_SCRIPT_TERMINATOR);
  return Table;
}

// One boot of the simulated board and firmware, with the engine's libraries
// bound to it and the CPU timer constructed.
struct SimBoot {
  sim::Scenario Scenario = sim::DefaultScenario();
  sim::Trace Trace;
  sim::PersistentState Persistent;
  std::unique_ptr<sim::Board> Board;
  std::unique_ptr<sim::Firmware> Firmware;

  SimBoot() {
    Scenario.Pci[sim::PciAddress{0, 0x14, 3}] = {{0x04, 0x00000042}};
    Scenario.Mmio[0x20000000] = sim::MmioInit{32, 0x00001234};
    for (uint16_t Port = 0x600; Port < 0x604; ++Port) Scenario.Io[Port] = 0;
    Board = std::make_unique<sim::Board>(Scenario, Trace);
    BoardSimBindHardware(Board.get());
    Firmware = std::make_unique<sim::Firmware>(Scenario, *Board, Trace, Persistent);
    UefiBootServicesTableLibConstructor(nullptr, Firmware->SystemTable());
    mCpuFrequency = CPU_FREQUENCY_RECORD{};
    CpuTscTimerLibConstructor(nullptr, Firmware->SystemTable());
  }
  ~SimBoot() {
    Firmware.reset();
    BoardSimBindHardware(nullptr);
  }
};

struct Rate {
  double Seconds = 0;
  uint64_t Records = 0;
  double PerSecond() const { return Seconds > 0 ? Records / Seconds : 0; }
};

// Calls Batch (which returns how many records it handled) until kMinSeconds
// of measured time; Setup runs before each batch, outside the measurement.
Rate Measure(const std::function<void()> &Setup, const std::function<uint64_t()> &Batch) {
  Rate R;
  while (R.Seconds < kMinSeconds) {
    Setup();
    const auto Start = Clock::now();
    R.Records += Batch();
    R.Seconds += std::chrono::duration<double>(Clock::now() - Start).count();
  }
  return R;
}

Rate CompileRate(const std::vector<UINT64> &Source, unsigned RecordsPerTable, UINT32 ExpectedLength) {
  std::vector<UINT64> Work(Source.size());
  bool Ok = true;
  Rate R = Measure([] {}, [&] {
    uint64_t Records = 0;
    for (int I = 0; I < 2000; ++I) {
      std::memcpy(Work.data(), Source.data(), Source.size() * sizeof(UINT64));
      Ok &= BoardScriptCompile(Work.data(), Work.size()) == ExpectedLength;
      Records += RecordsPerTable;
    }
    return Records;
  });
  if (!Ok) {
    std::fprintf(stderr, "compile produced an unexpected length\n");
    gFailed = true;
  }
  return R;
}

// Runs of Script, a fresh boot per batch so the trace stays small.
Rate RunRate(const std::vector<UINT64> &Table, unsigned Records, int RunsPerBatch) {
  std::vector<UINT64> Packed = Table;
  const UINT32 Length = BoardScriptCompile(Packed.data(), Packed.size());
  std::unique_ptr<SimBoot> Boot;
  bool Ok = true;
  Rate R = Measure([&] { Boot.reset(); Boot = std::make_unique<SimBoot>(); }, [&] {
    for (int I = 0; I < RunsPerBatch; ++I) {
      Ok &= BoardScriptRun(reinterpret_cast<UINT8 *>(Packed.data()), Length) == TRUE;
    }
    return static_cast<uint64_t>(RunsPerBatch) * Records;
  });
  if (!Ok) {
    std::fprintf(stderr, "a run did not succeed\n");
    gFailed = true;
  }
  return R;
}

// Simulated time of one run of Table on a fresh board, in microseconds.
double SimulatedUs(const UINT64 *Table, size_t Words, BOOLEAN *Outcome) {
  SimBoot Boot;
  std::vector<UINT64> Packed(Table, Table + Words);
  const UINT32 Length = BoardScriptCompile(Packed.data(), Packed.size());
  const uint64_t Before = Boot.Board->ReadTsc();  // costs the read itself once
  *Outcome = BoardScriptRun(reinterpret_cast<UINT8 *>(Packed.data()), Length);
  const uint64_t Cycles = Boot.Board->ReadTsc() - Before - 40;
  return Cycles * 1e6 / static_cast<double>(Boot.Board->TscHz());
}

void Row(const char *What, const Rate &R) {
  std::printf("  %-44s %14.0f records/s  (%llu records in %.2f s)\n", What, R.PerSecond(),
              static_cast<unsigned long long>(R.Records), R.Seconds);
}

}  // namespace

int main() {
  std::printf("board script engine, host throughput\n");
  Row("compile: probe table (3 records)", CompileRate(std::vector<UINT64>(std::begin(kProbeTable), std::end(kProbeTable)),
                                                      3, 132));
  const std::vector<UINT64> CompileMix = Repeat(CompileMixEntries(), 50);
  std::vector<UINT64> Probe = CompileMix;
  Row("compile: every kind (550 records)", CompileRate(CompileMix, 50 * kCompileMixRecords,
                                                        BoardScriptCompile(Probe.data(), Probe.size())));
  Row("run on the simulated board: probe script",
      RunRate(std::vector<UINT64>(std::begin(kProbeTable), std::end(kProbeTable)), 3, 5000));
  Row("run on the simulated board: register mix", RunRate(Repeat(RegisterMixEntries(), 1), kRegisterMixRecords, 2000));

  BOOLEAN Outcome = FALSE;
  const double ProbeUs = SimulatedUs(kProbeTable, 28, &Outcome);
  const UINT64 SmbusRead[] = {0x0D, 0x0080, 0xA0, 0x02, 0xFF, 0, 0, 0, 0, 0, BOARD_SCRIPT_TERMINATOR};
  BOOLEAN SmbusOutcome = FALSE;
  const double SmbusUs = SimulatedUs(SmbusRead, 11, &SmbusOutcome);
  std::printf("\nsimulated time of one run\n");
  std::printf("  %-44s %14.3f us  (outcome %s)\n", "probe script (28 words, 3 records)", ProbeUs,
              Outcome ? "TRUE" : "FALSE");
  std::printf("  %-44s %14.3f us  (outcome %s)\n", "SMBus byte read, absent device, both hosts", SmbusUs,
              SmbusOutcome ? "TRUE" : "FALSE");
  return gFailed ? 1 : 0;
}
