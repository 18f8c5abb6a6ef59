// The executor on the simulated board: every register class, width, mode and
// run operation with its exact raw access sequence, stalls, the run loop and
// the rule that a script is never read past its end.
#include "BoardScript/ScriptTestSupport.h"

namespace scripttest {
namespace {

using Accesses = std::vector<std::string>;

constexpr UINT64 kMem = 0x20000000;
constexpr UINT64 kMemValue = 0x1122334455667788;

Words Single(UINT64 Type, UINT64 Op, UINT64 Address, UINT64 And, UINT64 Or, UINT64 Compare) {
  return {Type, Op, Address, And, Or, Compare, 0xFFFFFFFF, 0xFFFFFFFF, 0xFF};
}

Words Indexed(UINT64 Type, UINT64 Op, UINT64 Index, UINT64 Data, UINT64 IndexValue, UINT64 And, UINT64 Or,
              UINT64 Compare) {
  return {Type, Op, Index, Data, IndexValue, And, Or, Compare, 0, 0, 0};
}

Words Msr(UINT64 Type, UINT64 Op, UINT64 Index, UINT64 And, UINT64 Or, UINT64 Compare) {
  return {Type, Op, Index, And, Or, Compare, 0, 0, 0};
}

Words Pci(UINT64 Type, UINT64 Op, UINT64 Bus, UINT64 Device, UINT64 Function, UINT64 Register, UINT64 And,
          UINT64 Or, UINT64 Compare) {
  return {Type, Op, Bus, Device, Function, Register, And, Or, Compare, 0, 0, 0};
}

Words Stall(UINT64 Type, UINT64 Op, UINT64 Unit, UINT64 Count) { return {Type, Op, Unit, Count, 0, 0, 0}; }

// One record on a fresh board: its result and raw accesses.
struct RecordCase {
  const char *Name;
  Words Entry;
  Accesses Expected;
  bool Result;
};

void RunCases(const std::vector<RecordCase> &Cases, void (*Prepare)(sim::Scenario &)) {
  for (const RecordCase &C : Cases) {
    SCOPED_TRACE(C.Name);
    ScriptBoard Board;
    Prepare(Board.Env.Scenario);
    Board.Boot();
    EXPECT_EQ(Board.Run(Pack(C.Entry)), C.Result);
    EXPECT_EQ(Board.TakeAccesses(), C.Expected);
  }
}

void SeedMemory(sim::Scenario &S) {
  S.Mmio[kMem] = sim::MmioInit{64, kMemValue};
  S.Mmio[kMem + 8] = sim::MmioInit{64, 0x00000000CAFE0042};
}

TEST(BoardScriptMemory, SingleRecordsEveryWidthAndOperation) {
  RunCases(
      {
          {"8-bit OR", Single(0x01, 0x0050, kMem, 0, 0x0F, 0),
           {"mmio-read 0x20000000/8 0x88", "mmio-write 0x20000000/8 0x8F"}, true},
          {"16-bit AND", Single(0x41, 0x0060, kMem, 0xFF00, 0xFF, 0),
           {"mmio-read 0x20000000/16 0x7788", "mmio-write 0x20000000/16 0x7700"}, true},
          {"32-bit AND-OR, op bits 3:0 ignored", Single(0x81, 0x0077, kMem, 0xFFFF0000, 0x5, 0),
           {"mmio-read 0x20000000/32 0x55667788", "mmio-write 0x20000000/32 0x55660005"}, true},
          {"64-bit AND-OR", Single(0xC1, 0x0070, kMem, 0x00000000FFFFFFFF, 0xAB00000000000000, 0),
           {"mmio-read 0x20000000/64 0x1122334455667788", "mmio-write 0x20000000/64 0xAB00000055667788"}, true},
          {"64-bit read, match", Single(0xC1, 0x0080, kMem, 0, 0, kMemValue),
           {"mmio-read 0x20000000/64 0x1122334455667788"}, true},
          {"read alias 0x180, mismatch", Single(0xC1, 0x0180, kMem, 0, 0, 0),
           {"mmio-read 0x20000000/64 0x1122334455667788"}, false},
          {"bits 15:9 of the op are not read", Single(0x41, 0xFE80, kMem, 0, 0, 0x7788),
           {"mmio-read 0x20000000/16 0x7788"}, true},
          {"32-bit read-OR computes in 64 bits", Single(0x81, 0x0090, kMem, 0, 0x100000000, 0x155667788),
           {"mmio-read 0x20000000/32 0x55667788"}, true},
          {"32-bit read-AND against a compare with high bits", Single(0x81, 0x00A0, kMem, ~0ull, 0, 0x155667788),
           {"mmio-read 0x20000000/32 0x55667788"}, false},
          {"read-AND alias 0x1A0", Single(0x81, 0x01A0, kMem, 0xFFFF0000, 0, 0x55660000),
           {"mmio-read 0x20000000/32 0x55667788"}, true},
          {"8-bit read-AND-OR", Single(0x01, 0x00B0, kMem, 0xF0, 0x03, 0x83), {"mmio-read 0x20000000/8 0x88"}, true},
          {"run operation 0", Single(0x81, 0x0007, kMem, 0, 0x150000, 0x150000), {}, true},
          {"run operation 4", Single(0x81, 0x0040, kMem, 0, 0, 1), {}, true},
          {"run operation 12", Single(0x81, 0x00C0, kMem, 0, 0, 1), {}, true},
          {"run operation 25", Single(0x81, 0x0190, kMem, 0, 0, 1), {}, true},
      },
      SeedMemory);
}

TEST(BoardScriptMemory, IndexDataStoresTheIndexFirstEvenForReads) {
  RunCases(
      {
          {"32-bit read", Indexed(0x82, 0x0080, kMem, kMem + 8, 0x7, 0, 0, 0xCAFE0042),
           {"mmio-write 0x20000000/32 0x7", "mmio-read 0x20000008/32 0xCAFE0042"}, true},
          {"16-bit AND-OR", Indexed(0x42, 0x0070, kMem, kMem + 8, 0x1234, 0xFF00, 0x11, 0),
           {"mmio-write 0x20000000/16 0x1234", "mmio-read 0x20000008/16 0x42",
            "mmio-write 0x20000008/16 0x11"},
           true},
          {"64-bit read-AND mismatch", Indexed(0xC2, 0x00A0, kMem, kMem + 8, 0x99, 0xFFFF, 0, 0x43),
           {"mmio-write 0x20000000/64 0x99", "mmio-read 0x20000008/64 0xCAFE0042"}, false},
          {"outside the table: no index store", Indexed(0x82, 0x0007, kMem, kMem + 8, 0x7, 0, 0, 0), {}, true},
      },
      SeedMemory);
}

void SeedPorts(sim::Scenario &S) {
  for (uint16_t Port = 0x600; Port < 0x608; ++Port) S.Io[Port] = static_cast<uint8_t>(0x10 + (Port - 0x600));
}

TEST(BoardScriptIo, SingleAndIndexedPortRecords) {
  RunCases(
      {
          {"8-bit OR", Single(0x05, 0x0050, 0x600, 0, 0x0F, 0), {"io-read 0x600/8 0x10", "io-write 0x600/8 0x1F"},
           true},
          {"16-bit AND", Single(0x45, 0x0060, 0x600, 0x00FF, 0, 0),
           {"io-read 0x600/16 0x1110", "io-write 0x600/16 0x10"}, true},
          {"32-bit read-AND-OR on the port in the low 16 bits", Single(0x85, 0x00B0, 0xABCD0604, 0xFF00FF00, 0x1, 0x17001501),
           {"io-read 0x604/32 0x17161514"}, true},
          {"32-bit read compares in 64 bits", Single(0x85, 0x0080, 0x604, 0, 0, 0x1000000017161514),
           {"io-read 0x604/32 0x17161514"}, false},
          {"width 64 read yields 0", Single(0xC5, 0x0090, 0x600, 0, 0x5, 0x5), {}, true},
          {"width 64 write makes no access", Single(0xC5, 0x0070, 0x600, 0, 0x5, 0), {}, true},
          {"8-bit index/data read", Indexed(0x06, 0x0080, 0x600, 0x601, 0x07, 0, 0, 0x11),
           {"io-write 0x600/8 0x7", "io-read 0x601/8 0x11"}, true},
          {"16-bit index/data AND-OR", Indexed(0x46, 0x0070, 0x600, 0x602, 0xA5A5, 0x00FF, 0x0100, 0),
           {"io-write 0x600/16 0xA5A5", "io-read 0x602/16 0x1312", "io-write 0x602/16 0x112"}, true},
          {"width 64 index/data: neither port is touched", Indexed(0xC6, 0x0080, 0x600, 0x601, 0x07, 0, 0, 0), {},
           true},
          {"index/data outside the table", Indexed(0x06, 0x0000, 0x600, 0x601, 0x07, 0, 0, 0), {}, true},
      },
      SeedPorts);
}

TEST(BoardScriptMsr, AlwaysSixtyFourBitsWhateverTheWidthBits) {
  ScriptBoard Board;
  Board.Boot();
  Bytes Script = Concat({
      Pack(Msr(0x08, 0x0070, 0xC0011020, 0, 0x8000000000000001, 0)),
      Pack(Msr(0x48, 0x0060, 0xC0011020, 0xFFFFFFFF00000001, 0, 0)),
      Pack(Msr(0x88, 0x0080, 0xC0011020, 0, 0, 0x8000000000000001)),
      Pack(Msr(0xC8, 0x00B0, 0xC0011020, 0xF, 0x10, 0x11)),
  });
  EXPECT_TRUE(Board.Run(Script));
  EXPECT_EQ(Board.TakeAccesses(), (Accesses{
                                      "msr-read 0xC0011020 0x0",
                                      "msr-write 0xC0011020 0x8000000000000001",
                                      "msr-read 0xC0011020 0x8000000000000001",
                                      "msr-write 0xC0011020 0x8000000000000001",
                                      "msr-read 0xC0011020 0x8000000000000001",
                                      "msr-read 0xC0011020 0x8000000000000001",
                                  }));
  EXPECT_FALSE(Board.Run(Pack(Msr(0xC8, 0x0080, 0xC0011020, 0, 0, 0x0000000000000001))));
}

void SeedPci(sim::Scenario &S) {
  S.Pci[sim::PciAddress{0, 0x14, 3}] = {{0x04, 0x12345678}};
  S.Pci[sim::PciAddress{1, 1, 0}] = {{0x00, 0xAAAA5555}};
  S.Pci[sim::PciAddress{0xFF, 0x1F, 7}] = {{0xFC, 0x87654321}};
}

// 0x180 and 0x1A0 are further names of read (0x080) and read-AND (0x0A0) in
// every computing class and mode: each pair must make the same accesses and
// give the same result. The masks make every other operation, or none,
// give another answer.
TEST(BoardScriptRun, ReadAliasesActAsTheirOperationInEveryClass) {
  struct Case {
    const char *Name;
    Words Before;  // sets up the register where the scenario cannot
    Words Read;    // op word filled in below
    Words ReadAnd;
    Accesses Expected;
  } Cases[] = {
      {"memory single", {}, Single(0x81, 0, kMem, 0xFFFF0000, 0x1, 0x55667788),
       Single(0x81, 0, kMem, 0xFFFF0000, 0x1, 0x55660000), {"mmio-read 0x20000000/32 0x55667788"}},
      {"memory index/data", {}, Indexed(0x42, 0, kMem, kMem + 8, 0x1234, 0xFFF0, 0x1, 0x42),
       Indexed(0x42, 0, kMem, kMem + 8, 0x1234, 0xFFF0, 0x1, 0x40),
       {"mmio-write 0x20000000/16 0x1234", "mmio-read 0x20000008/16 0x42"}},
      {"I/O single", {}, Single(0x05, 0, 0x603, 0xF0, 0x1, 0x13), Single(0x05, 0, 0x603, 0xF0, 0x1, 0x10),
       {"io-read 0x603/8 0x13"}},
      {"I/O index/data", {}, Indexed(0x46, 0, 0x600, 0x602, 0xA5, 0xFF00, 0x1, 0x1312),
       Indexed(0x46, 0, 0x600, 0x602, 0xA5, 0xFF00, 0x1, 0x1300), {"io-write 0x600/16 0xA5", "io-read 0x602/16 0x1312"}},
      {"MSR", Msr(0x08, 0x0050, 0xC0011020, 0, 0x8000000000000042, 0),
       Msr(0x08, 0, 0xC0011020, 0xFFFFFFFFFFFFFFF0, 0x1, 0x8000000000000042),
       Msr(0x08, 0, 0xC0011020, 0xFFFFFFFFFFFFFFF0, 0x1, 0x8000000000000040),
       {"msr-read 0xC0011020 0x0", "msr-write 0xC0011020 0x8000000000000042",
        "msr-read 0xC0011020 0x8000000000000042"}},
      {"PCI", {}, Pci(0x91, 0, 0, 0x14, 3, 0x04, 0xFFFF0000, 0x1, 0x12345678),
       Pci(0x91, 0, 0, 0x14, 3, 0x04, 0xFFFF0000, 0x1, 0x12340000),
       {"io-write 0xCF8/32 0x8000A304", "io-read 0xCFC/32 0x12345678"}},
  };
  for (const Case &C : Cases) {
    const std::pair<UINT16, const Words *> Ops[] = {
        {0x080, &C.Read}, {0x180, &C.Read}, {0x0A0, &C.ReadAnd}, {0x1A0, &C.ReadAnd}};
    for (const auto &[Op, Model] : Ops) {
      char Name[64];
      std::snprintf(Name, sizeof Name, "%s, op 0x%X", C.Name, unsigned(Op));
      SCOPED_TRACE(Name);
      ScriptBoard Board;
      SeedMemory(Board.Env.Scenario);
      SeedPorts(Board.Env.Scenario);
      SeedPci(Board.Env.Scenario);
      Board.Boot();
      Words Entry = *Model;
      Entry[1] = Op;
      EXPECT_TRUE(Board.Run(C.Before.empty() ? Pack(Entry) : Concat({Pack(C.Before), Pack(Entry)})));
      EXPECT_EQ(Board.TakeAccesses(), C.Expected);
    }
  }
}

TEST(BoardScriptPci, ConfigurationAddressAndDataPortPerWidth) {
  RunCases(
      {
          {"32-bit read of register 0x104 reaches 0x04", Pci(0x91, 0x0080, 0, 0x14, 3, 0x104, 0, 0, 0x12345678),
           {"io-write 0xCF8/32 0x8000A304", "io-read 0xCFC/32 0x12345678"}, true},
          {"8-bit read uses the byte's data port", Pci(0x11, 0x00A0, 0, 0x14, 3, 0x06, 0xFF, 0, 0x34),
           {"io-write 0xCF8/32 0x8000A304", "io-read 0xCFE/8 0x34"}, true},
          {"16-bit read-modify-write selects the register twice", Pci(0x51, 0x0070, 0, 0x14, 3, 0x07, 0xFF00, 0x56, 0),
           {"io-write 0xCF8/32 0x8000A304", "io-read 0xCFE/16 0x1234", "io-write 0xCF8/32 0x8000A304",
            "io-write 0xCFE/16 0x1256"},
           true},
          {"32-bit OR", Pci(0x91, 0x0050, 0, 0x14, 3, 0x04, 0, 0x80000000, 0),
           {"io-write 0xCF8/32 0x8000A304", "io-read 0xCFC/32 0x12345678", "io-write 0xCF8/32 0x8000A304",
            "io-write 0xCFC/32 0x92345678"},
           true},
          {"32-bit compare", Pci(0x91, 0x0090, 0, 0x14, 3, 0x04, 0, 0x1, 0x12345678),
           {"io-write 0xCF8/32 0x8000A304", "io-read 0xCFC/32 0x12345678"}, false},
          {"top bits of bus, device, function, register and value",
           Pci(0x91, 0x0080, 0xFF, 0x1F, 7, 0xFC, 0, 0, 0x87654321),
           {"io-write 0xCF8/32 0x80FFFFFC", "io-read 0xCFC/32 0x87654321"}, true},
          {"device past 31 carries into the bus", Pci(0x91, 0x0080, 0, 0x21, 0, 0x00, 0, 0, 0xAAAA5555),
           {"io-write 0xCF8/32 0x80010800", "io-read 0xCFC/32 0xAAAA5555"}, true},
          {"width 64 read: address only, value 0", Pci(0xD1, 0x0080, 0, 0x14, 3, 0x04, 0, 0, 0),
           {"io-write 0xCF8/32 0x8000A304"}, true},
          {"width 64 read-modify-write: address twice, no data", Pci(0xD1, 0x0070, 0, 0x14, 3, 0x04, 0, 1, 0),
           {"io-write 0xCF8/32 0x8000A304", "io-write 0xCF8/32 0x8000A304"}, true},
          {"outside the table: not even the address", Pci(0x91, 0x0000, 0, 0x14, 3, 0x04, 0, 0, 1), {}, true},
      },
      SeedPci);
}

// Stalls touch no hardware, so the TSC moves by the waits alone: one wait
// more or less, of any length, shows.
TEST(BoardScriptStall, DelaysInSimulatedTime) {
  struct Case {
    const char *Name;
    Words Entry;
    uint64_t Cycles;
  } Cases[] = {
      {"5 milliseconds: 1000 waits of 5 us", Stall(0x14, 0x0010, 2, 5), 1000 * DelayCycles(5)},
      {"250 microseconds in one wait, width bits ignored", Stall(0x94, 0x0FF0, 1, 250), DelayCycles(250)},
      {"count above one byte", Stall(0x14, 0x0010, 1, 0x0101), DelayCycles(0x101)},
      {"257 milliseconds", Stall(0x14, 0x0010, 2, 0x0101), 1000 * DelayCycles(0x101)},
      {"2 seconds: a million waits of 2 us", Stall(0x14, 0x0010, 3, 2), 1000000 * DelayCycles(2)},
      {"op field 0: no delay", Stall(0x14, 0x000F, 2, 5), 0},
      {"count 0: one wait that ends on its first poll", Stall(0x14, 0x0010, 1, 0), 80},
      {"unknown unit 0: no delay", Stall(0x14, 0x0010, 0, 5), 0},
      {"unknown unit 4: no delay", Stall(0x14, 0x0010, 4, 5), 0},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Name);
    ScriptBoard Board;
    Board.Boot();
    const uint64_t Before = Board.Cycles();
    EXPECT_TRUE(Board.Run(Pack(C.Entry)));
    EXPECT_EQ(Board.Cycles() - Before, C.Cycles);
    EXPECT_TRUE(Board.TakeAccesses().empty());
  }
  // The count's top bit: one wait of 32768 us, which the simulator runs ahead
  // in steps of at most a thousandth.
  ScriptBoard Board;
  Board.Boot();
  const uint64_t Before = Board.Cycles();
  EXPECT_TRUE(Board.Run(Pack(Stall(0x14, 0x0010, 1, 0x8000))));
  EXPECT_GT(Board.Cycles() - Before, 32768ull * 3750);
  EXPECT_LE(Board.Cycles() - Before, 32768ull * 3750 + 32768ull * 3750 / 1000 + 400);
}

TEST(BoardScriptRun, EveryRecordRunsToTheEndAndAFailedCompareStopsTheRest) {
  ScriptBoard Board;
  SeedMemory(Board.Env.Scenario);
  SeedPorts(Board.Env.Scenario);
  Board.Boot();
  const Bytes Write = Pack(Single(0x01, 0x0050, kMem, 0, 0x01, 0));
  const Bytes Match = Pack(Single(0x41, 0x0080, kMem + 8, 0, 0, 0x0042));
  const Bytes Mismatch = Pack(Single(0x41, 0x0080, kMem + 8, 0, 0, 0x0043));
  const Bytes Port = Pack(Single(0x05, 0x0050, 0x607, 0, 0x80, 0));
  const Bytes Pause = Pack(Stall(0x14, 0x0010, 1, 3));

  EXPECT_TRUE(Board.Run(Concat({Write, Pause, Match, Port})));
  EXPECT_EQ(Board.TakeAccesses(), (Accesses{"mmio-read 0x20000000/8 0x88", "mmio-write 0x20000000/8 0x89",
                                            "mmio-read 0x20000008/16 0x42", "io-read 0x607/8 0x17",
                                            "io-write 0x607/8 0x97"}));

  EXPECT_FALSE(Board.Run(Concat({Write, Mismatch, Port, Write})));
  EXPECT_EQ(Board.TakeAccesses(), (Accesses{"mmio-read 0x20000000/8 0x89", "mmio-write 0x20000000/8 0x89",
                                            "mmio-read 0x20000008/16 0x42"}));

  // Nothing to run: an empty list of conditions holds.
  EXPECT_TRUE(Board.Run({}));
  EXPECT_TRUE(Board.TakeAccesses().empty());
}

TEST(BoardScriptRun, TheProbeScriptFollowsPinEightyNine) {
  for (uint32_t Control : {0x00150000u, 0x0015FFFFu, 0x00140000u, 0x01150000u}) {
    ScriptBoard Board;
    Board.Env.Scenario.Mmio[0xFED81664] = sim::MmioInit{32, Control};
    Board.Boot();
    std::vector<UINT64> Table = {0x01, 0x0077, 0xFED80D59, 0x0, 0x2, 0x2, 0xFFFFFFFF, 0xFFFFFFFF, 0xFF,
                                 0x81, 0x00A0, 0xFED81664, 0xFFFF0000, 0x0, 0x150000, 0xFFFFFFFF, 0xFFFFFFFF, 0xFF,
                                 0x81, 0x0007, 0xFED81664, 0x0, 0x150000, 0x150000, 0xFFFFFFFF, 0xFFFFFFFF, 0xFF,
                                 BOARD_SCRIPT_TERMINATOR};
    const UINT32 Length = BoardScriptCompile(Table.data(), Table.size());
    ASSERT_EQ(Length, 132u);
    const bool Expected = (Control >> 16) == 0x0015;
    EXPECT_EQ(BoardScriptRun(reinterpret_cast<UINT8 *>(Table.data()), Length), Expected) << std::hex << Control;
    char Gpio[64];
    std::snprintf(Gpio, sizeof Gpio, "mmio-read 0xFED81664/32 0x%X", Control);
    EXPECT_EQ(Board.TakeAccesses(),
              (Accesses{"mmio-read 0xFED80D59/8 0x0", "mmio-write 0xFED80D59/8 0x2", Gpio}));
  }
}

TEST(BoardScriptExecuteRecord, AdvancesByTheRecordLengthOrRefusesWithoutAccess) {
  ScriptBoard Board;
  SeedMemory(Board.Env.Scenario);
  Board.Boot();
  // Run operation 0 everywhere but the stall, which never touches hardware.
  const std::pair<Words, UINT32> Known[] = {
      {Single(0x01, 0x0000, kMem, 0, 0, 0), 44},
      {Single(0x05, 0x0000, 0x600, 0, 0, 0), 44},
      {Indexed(0x02, 0x0000, kMem, kMem, 0, 0, 0, 0), 60},
      {Indexed(0x06, 0x0000, 0x600, 0x601, 0, 0, 0, 0), 60},
      {Msr(0x08, 0x0000, 0x10, 0, 0, 0), 40},
      {{0x0D, 0x0000, 0xA0, 0, 0, 0, 0, 0, 0, 0}, 21},
      {Pci(0x11, 0x0000, 0, 0, 0, 0, 0, 0, 0), 29},
      {Stall(0x14, 0x0000, 1, 1), 15},
  };
  for (const auto &[Entry, Length] : Known) {
    Bytes Record = Pack(Entry);
    UINT32 Offset = 1000;
    EXPECT_TRUE(BoardScriptExecuteRecord(Record.data(), &Offset, static_cast<UINT32>(Record.size())));
    EXPECT_EQ(Offset, 1000 + Length) << std::hex << Entry[0];
  }
  Board.TakeAccesses();  // the SMBus record still sets up its controller

  // Classes past stall, and memory or I/O modes other than single and indexed.
  std::vector<UINT8> Refused = {0x00, 0x03, 0x04, 0x07, 0xC3};
  for (UINT8 Class = 0x18; Class <= 0x3C; Class += 4) Refused.push_back(Class | 0x01);
  for (UINT8 Type : Refused) {
    Bytes Record = Pack(Single(0x01, 0x0080, kMem, 0, 0, 0));
    Record.resize(64, 0);
    Record[0] = Type;
    UINT32 Offset = 7;
    EXPECT_FALSE(BoardScriptExecuteRecord(Record.data(), &Offset, static_cast<UINT32>(Record.size())))
        << std::hex << unsigned(Type);
    EXPECT_EQ(Offset, 7u);
    EXPECT_FALSE(Board.Run(Record)) << std::hex << unsigned(Type);
  }
  EXPECT_TRUE(Board.TakeAccesses().empty());
}

TEST(BoardScriptRun, ARecordRunningPastTheEndIsNeverRead) {
  ScriptBoard Board;
  SeedMemory(Board.Env.Scenario);
  Board.Boot();
  const Bytes Write = Pack(Single(0x01, 0x0050, kMem, 0, 0x01, 0));
  const Bytes Read = Pack(Single(0x41, 0x0080, kMem + 8, 0, 0, 0x0042));
  const Bytes Index = Pack(Indexed(0x02, 0x0080, kMem, kMem + 8, 0, 0, 0, 0));

  struct Case {
    const char *Name;
    Bytes Script;
    Accesses Expected;
  } Cases[] = {
      {"second record cut short", Concat({Write, Bytes(Read.begin(), Read.begin() + 20)}),
       {"mmio-read 0x20000000/8 0x88", "mmio-write 0x20000000/8 0x89"}},
      {"only the type byte", Bytes(Read.begin(), Read.begin() + 1), {}},
      {"one byte short", Bytes(Read.begin(), Read.end() - 1), {}},
      {"an indexed type over a single record's bytes", Concat({Bytes(Index.begin(), Index.begin() + 3),
                                                               Bytes(Read.begin() + 3, Read.end())}),
       {}},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Name);
    EXPECT_FALSE(Board.Run(C.Script));
    EXPECT_EQ(Board.TakeAccesses(), C.Expected);
  }

  UINT32 Offset = 3;
  EXPECT_FALSE(BoardScriptExecuteRecord(const_cast<UINT8 *>(Read.data()), &Offset, 43));
  EXPECT_EQ(Offset, 3u);
  EXPECT_FALSE(BoardScriptExecuteRecord(nullptr, &Offset, 0)) << "nothing left: not even the type byte is read";
}

}  // namespace
}  // namespace scripttest
