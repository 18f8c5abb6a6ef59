// The macro-table compiler: record layouts, truncation, where a compile
// stops, compiling over the table's own storage, and the compile-time form.
#include <iterator>
#include <map>

#include "BoardScript/ScriptTestSupport.h"

namespace scripttest {
namespace {

// The documented example entry and its 44 bytes, checked at compile time.
constexpr UINT64 kWorkedExample[] = {0x81, 0xA0, 0xFED81664, 0xFFFF0000, 0, 0x150000, 0xFFFFFFFF, 0xFFFFFFFF, 0xFF};
constexpr UINT8 kWorkedExampleBytes[44] = {
    0x81, 0xA0, 0x00, 0x64, 0x16, 0xD8, 0xFE, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x15,
    0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

template <UINTN N>
constexpr bool PackedEquals(const BOARD_SCRIPT_PACKED<N> &Packed, const UINT8 *Expected, UINT32 Length) {
  if (Packed.Length != Length) return false;
  for (UINT32 I = 0; I < Length; ++I) {
    if (Packed.Bytes[I] != Expected[I]) return false;
  }
  return true;
}
static_assert(PackedEquals(BoardScriptCompileConstant(kWorkedExample), kWorkedExampleBytes, 44),
              "the worked example compiles to its 44 bytes");

// The probe table as the board carries it: three single memory entries.
constexpr UINT64 kProbeTable[28] = {
    0x01, 0x0077, 0xFED80D59, 0x0,        0x2,      0x2,        0xFFFFFFFF, 0xFFFFFFFF, 0xFF,
    0x81, 0x00A0, 0xFED81664, 0xFFFF0000, 0x0,      0x150000,   0xFFFFFFFF, 0xFFFFFFFF, 0xFF,
    0x81, 0x0007, 0xFED81664, 0x0,        0x150000, 0x150000,   0xFFFFFFFF, 0xFFFFFFFF, 0xFF,
    BOARD_SCRIPT_TERMINATOR};
static_assert(BoardScriptCompileConstant(kProbeTable).Length == 132, "the probe compiles to 3 x 44 bytes");
static_assert(BoardScriptCompileConstant(kProbeTable).Bytes[44] == 0x81 &&
                  BoardScriptCompileConstant(kProbeTable).Bytes[45] == 0xA0,
              "entry 1 starts the second record");

// A table that runs out without a terminator stops at its end at compile time.
constexpr UINT64 kTwoStalls[] = {0x14, 0x10, 1, 5, 0, 0, 0, 0x14, 0x10, 1, 5, 0, 0, 0};
static_assert(BoardScriptCompileConstant(kTwoStalls).Length == 30, "bounded by the table");
// An entry cut short by the end of the table is not compiled.
constexpr UINT64 kCutShort[] = {0x14, 0x10, 1, 5, 0, 0, 0, 0x14, 0x10};
static_assert(BoardScriptCompileConstant(kCutShort).Length == 15, "a partial entry is not compiled");

// One entry of every kind, with width bits set where the kind allows, field
// values wider than their fields, and every byte of the record pinned.
struct KindCase {
  const char *Name;
  Words Entry;
  const char *Packed;
};

const KindCase kKinds[] = {
    {"memory single, width 64",
     {0xC1, 0xFF0123, 0x1122334455667788, 0x8877665544332211, 0x0102030405060708, 0xA1A2A3A4A5A6A7A8, 0x1DEADBEEF,
      0xFFFFCAFEF00D, 0x1234},
     "C1 2301 8877665544332211 1122334455667788 0807060504030201 A8A7A6A5A4A3A2A1 EFBEADDE 0DF0FECA 34"},
    {"I/O single, width 16",
     {0x45, 0x10080, 0x1234567800000080, 0xFF, 0xAA, 0xBB, 0x11111111, 0x22222222, 0x33},
     "45 8000 8000000078563412 FF00000000000000 AA00000000000000 BB00000000000000 11111111 22222222 33"},
    {"memory index/data, width 32",
     {0x82, 0x00B0, 0xFED80CD0, 0xFED80CD4, 0x7, 0xFFFFFF00, 0x5A, 0x5A0000005A, 0x01020304, 0x05060708, 0x09},
     "82 B000 D00CD8FE00000000 D40CD8FE00000000 0700000000000000 00FFFFFF00000000 5A00000000000000 "
     "5A0000005A000000 04030201 08070605 09"},
    {"I/O index/data, width 8",
     {0x06, 0x0060, 0x2E, 0x2F, 0x07, 0xF0, 0, 0, 0xAABBCCDD, 0xEEFF0011, 0x22},
     "06 6000 2E00000000000000 2F00000000000000 0700000000000000 F000000000000000 0000000000000000 "
     "0000000000000000 DDCCBBAA 1100FFEE 22"},
    {"MSR, width bits set",
     {0xC8, 0x0090, 0x1C0011020, 0xFFFF0000FFFF0000, 0x1, 0x8000000000000001, 0xFFFFFFFF, 0, 0x1FF},
     "C8 9000 201001C0 0000FFFF0000FFFF 0100000000000000 0100000000000080 FFFFFFFF 00000000 FF"},
    {"SMBus, width 16",
     {0x4D, 0x00A0, 0x1A2, 0x10203, 0x12345, 0x00FF, 0xABCD, 0x1, 0x2, 0x3},
     "4D A000 A2 0302 4523 FF00 CDAB 01000000 02000000 03"},
    {"PCI, width 32",
     {0x91, 0x0070, 0x101, 0x1F, 0x7, 0x10104, 0x1FFFF00FF, 0x100, 0x12345678, 0xA, 0xB, 0xC},
     "91 7000 01 1F 07 0401 FF00FFFF 00010000 78563412 0A000000 0B000000 0C"},
    {"stall",
     {0x14, 0x0010, 0x2, 0x10005, 0xDEADBEEF, 0x1, 0x7F},
     "14 1000 02 0500 EFBEADDE 01000000 7F"},
};

TEST(BoardScriptCompiler, EveryKindPacksEachWordIntoItsField) {
  for (const KindCase &K : kKinds) {
    SCOPED_TRACE(K.Name);
    Bytes Expected = HexBytes(K.Packed);
    std::vector<uint8_t> Record(Expected.size() + 8, 0xEE);
    UINT32 Length = 100;
    EXPECT_EQ(BoardScriptCompileEntry(Record.data(), K.Entry.data(), &Length), K.Entry.size());
    EXPECT_EQ(Length, 100 + Expected.size()) << "the running length grows by the record's size";
    EXPECT_EQ(Bytes(Record.begin(), Record.begin() + Expected.size()), Expected);
    EXPECT_EQ(Bytes(Record.begin() + Expected.size(), Record.end()), Bytes(8, 0xEE)) << "nothing past the record";
  }
}

TEST(BoardScriptCompiler, OnlyEightTypesAreAcceptedAndTheWidthBitsRideAlong) {
  const std::map<UINT8, UINT8> Accepted = {{0x01, 9},  {0x05, 9},  {0x02, 11}, {0x06, 11},
                                           {0x08, 9},  {0x0D, 10}, {0x11, 12}, {0x14, 7}};
  const Words Filler(12, 0);
  for (unsigned Type = 0; Type < 256; ++Type) {
    Words Entry = Filler;
    Entry[0] = 0xABCDEF0000000000ull | Type;  // only the low byte is the type
    std::vector<uint8_t> Record(64, 0xEE);
    UINT32 Length = 7;
    const UINT8 Used = BoardScriptCompileEntry(Record.data(), Entry.data(), &Length);
    auto It = Accepted.find(Type & 0x3F);
    if (It == Accepted.end()) {
      EXPECT_EQ(Used, 0xFF) << std::hex << Type;
      EXPECT_EQ(Length, 7u) << std::hex << Type;
      EXPECT_EQ(Record, std::vector<uint8_t>(64, 0xEE)) << "nothing written for type 0x" << std::hex << Type;
    } else {
      EXPECT_EQ(Used, It->second) << std::hex << Type;
      EXPECT_EQ(Record[0], Type) << "the whole type byte is kept";
    }
  }
}

// Compiles a copy of Table in place, in a heap block of exactly its size.
struct InPlace {
  std::vector<UINT64> Table;
  UINT32 Length;
  explicit InPlace(Words Source) : Table(std::move(Source)) {
    Table.shrink_to_fit();
    Length = BoardScriptCompile(Table.data(), Table.size());
  }
  Bytes Packed() const {
    const auto *First = reinterpret_cast<const uint8_t *>(Table.data());
    return Bytes(First, First + Length);
  }
};

Words Join(std::initializer_list<Words> Parts) {
  Words Out;
  for (const Words &Part : Parts) Out.insert(Out.end(), Part.begin(), Part.end());
  return Out;
}

TEST(BoardScriptCompiler, EveryKindCompiledOverItsOwnWordsInOneTable) {
  Words Table;
  Bytes Expected;
  for (const KindCase &K : kKinds) {
    Table.insert(Table.end(), K.Entry.begin(), K.Entry.end());
    Bytes Record = HexBytes(K.Packed);
    Expected.insert(Expected.end(), Record.begin(), Record.end());
  }
  Table.push_back(BOARD_SCRIPT_TERMINATOR);
  // Each kind also as the first entry, where its record lies over its own words.
  for (const KindCase &K : kKinds) {
    SCOPED_TRACE(K.Name);
    InPlace Alone(Join({K.Entry, {BOARD_SCRIPT_TERMINATOR}}));
    EXPECT_EQ(Alone.Packed(), HexBytes(K.Packed));
  }
  // And the same table backwards, so every kind follows every record length.
  Words Reversed;
  Bytes ReversedExpected;
  for (auto It = std::rbegin(kKinds); It != std::rend(kKinds); ++It) {
    Reversed.insert(Reversed.end(), It->Entry.begin(), It->Entry.end());
    Bytes Record = HexBytes(It->Packed);
    ReversedExpected.insert(ReversedExpected.end(), Record.begin(), Record.end());
  }
  Reversed.push_back(BOARD_SCRIPT_TERMINATOR);

  InPlace Forward(Table);
  EXPECT_EQ(Forward.Length, Expected.size());
  EXPECT_EQ(Forward.Packed(), Expected);
  InPlace Backward(Reversed);
  EXPECT_EQ(Backward.Packed(), ReversedExpected);
}

TEST(BoardScriptCompiler, WhereATableStops) {
  const Words Stall = kKinds[7].Entry;
  const Words Smbus = kKinds[5].Entry;
  const Bytes StallBytes = HexBytes(kKinds[7].Packed);
  const Bytes SmbusBytes = HexBytes(kKinds[5].Packed);
  struct Case {
    const char *Name;
    Words Table;
    Bytes Packed;
  } Cases[] = {
      {"terminator as the first word", {BOARD_SCRIPT_TERMINATOR, 0x01, 0x80}, {}},
      {"unsupported first type", {0x09, 0x80, 0, 0, 0, 0, 0, 0, 0, BOARD_SCRIPT_TERMINATOR}, {}},
      {"MSR type with mode 1 after two records",
       Join({Stall, Smbus, {0x09, 0x80, 0x10, 0, 0, 0, 0, 0, 0}, Stall, {BOARD_SCRIPT_TERMINATOR}}),
       Concat({StallBytes, SmbusBytes})},
      {"type 0x12 after a record", Join({Smbus, {0x12, 0x80}, Stall, {BOARD_SCRIPT_TERMINATOR}}), SmbusBytes},
      {"terminator after the last entry", Join({Stall, Stall, {BOARD_SCRIPT_TERMINATOR}}),
       Concat({StallBytes, StallBytes})},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Name);
    InPlace Compiled(C.Table);
    EXPECT_EQ(Compiled.Length, C.Packed.size());
    EXPECT_EQ(Compiled.Packed(), C.Packed);
  }
}

// The table format counts words with a 16-bit index: the compile stops where
// it would wrap (back into bytes already compiled) and never writes past the
// table. InPlace's table is a heap block of exactly its size, so a write past
// it is an AddressSanitizer report.
TEST(BoardScriptCompiler, ACompileStopsWhereTheWordIndexWouldWrap) {
  const Words Mem = {0x01, 0x80, 0xFED80000, 0, 0, 0, 0, 0, 0};
  const Words Stall = kKinds[7].Entry;
  auto Repeat = [](const Words &Entry, size_t Times) {
    Words Out;
    for (size_t I = 0; I < Times; ++I) Out.insert(Out.end(), Entry.begin(), Entry.end());
    return Out;
  };
  struct Case {
    const char *Name;
    Words Table;
    UINT32 Length;
  } Cases[] = {
      // 7,281 x 9 + 7 = 65,536 words: the last entry ends exactly at the limit.
      {"entries ending on the last indexable word", Join({Repeat(Mem, 7281), Stall}), 7281 * 44 + 15},
      // The 7,282nd entry would run to word 65,538.
      {"an entry crossing the limit", Repeat(Mem, 7282), 7281 * 44},
      {"one more word past the limit", Join({Repeat(Mem, 7281), Stall, Stall}), 7281 * 44 + 15},
      // 5,957 x 11 = 65,527; the next index/data entry would need 65,538.
      {"65,540 index/data words", Words(65540, 0x0202020202020202), 5957 * 60},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Name);
    InPlace Compiled(C.Table);
    EXPECT_EQ(Compiled.Length, C.Length);
    EXPECT_LE(Compiled.Length, C.Table.size() * sizeof(UINT64));
  }
}

TEST(BoardScriptCompiler, RunOperationZeroCompilesLikeAnyOther) {
  Words Entry = {0x81, 0x0007, 0xFED81664, 0x0, 0x150000, 0x150000, 0xFFFFFFFF, 0xFFFFFFFF, 0xFF};
  Bytes Packed = Pack(Entry);
  ASSERT_EQ(Packed.size(), 44u);
  EXPECT_EQ(Packed[1], 0x07);
  EXPECT_EQ(Packed[2], 0x00);
}

TEST(BoardScriptCompiler, ProbeTableInPlaceMatchesTheCompileTimeForm) {
  InPlace Probe(Words(std::begin(kProbeTable), std::end(kProbeTable)));
  ASSERT_EQ(Probe.Length, 132u);
  constexpr auto Constant = BoardScriptCompileConstant(kProbeTable);
  EXPECT_EQ(Probe.Packed(), Bytes(Constant.Bytes, Constant.Bytes + Constant.Length));
  EXPECT_EQ(Bytes(Constant.Bytes + 44, Constant.Bytes + 88), Bytes(std::begin(kWorkedExampleBytes), std::end(kWorkedExampleBytes)));
}

}  // namespace
}  // namespace scripttest
