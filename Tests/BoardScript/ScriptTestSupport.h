// Shared pieces of the board script tests: packing entries, running packed
// scripts in-process against the simulated board, and reading back the raw
// access sequence.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Common/SimEnvironment.h"

#include <BoardScript.h>
#include <CpuFrequencyRecord.h>

namespace scripttest {

using Words = std::vector<UINT64>;
using Bytes = std::vector<uint8_t>;

// "81 A0 00 64" -> {0x81, 0xA0, 0x00, 0x64}.
inline Bytes HexBytes(const char *Text) {
  Bytes Out;
  const char *P = Text;
  while (*P != '\0') {
    if (*P == ' ') {
      ++P;
      continue;
    }
    char Pair[3] = {P[0], P[1], '\0'};
    Out.push_back(static_cast<uint8_t>(std::strtoul(Pair, nullptr, 16)));
    P += 2;
  }
  return Out;
}

// One macro entry compiled on its own into a buffer of exactly its record's size.
inline Bytes Pack(const Words &Entry) {
  Bytes Scratch(128, 0);
  UINT32 Length = 0;
  const UINT8 Used = BoardScriptCompileEntry(Scratch.data(), Entry.data(), &Length);
  EXPECT_EQ(Used, Entry.size()) << "entry of type 0x" << std::hex << Entry[0];
  Scratch.resize(Length);
  return Scratch;
}

inline Bytes Concat(std::initializer_list<Bytes> Parts) {
  Bytes Out;
  for (const Bytes &Part : Parts) Out.insert(Out.end(), Part.begin(), Part.end());
  return Out;
}

// A raw hardware access as "mmio-read 0xFED81664/32 0x150000"; MSR accesses
// carry no width.
inline std::string Access(const sim::Json &E) {
  std::string Kind = E["event"];
  std::string Text = Kind + " ";
  if (E.contains("address")) Text += E["address"].get<std::string>();
  if (E.contains("port")) Text += E["port"].get<std::string>();
  if (E.contains("msr")) Text += E["msr"].get<std::string>();
  if (E.contains("width")) Text += "/" + std::to_string(E["width"].get<int>());
  return Text + " " + E["value"].get<std::string>();
}

using test::DelayCycles;

// One boot of the simulated board with the CPU timer constructed, as the
// driver's constructors leave it. Adjust Env.Scenario before Boot().
class ScriptBoard {
 public:
  test::SimEnvironment Env;

  void Boot() {
    Env.Start();
    CpuTscTimerLibConstructor(nullptr, Env.Firmware->SystemTable());
    From = Env.Mark();
  }

  // The script in a heap block of exactly Script.size() bytes, so a read
  // past its end is an ASan error.
  BOOLEAN Run(const Bytes &Script) {
    std::vector<uint8_t> Exact(Script);
    Exact.shrink_to_fit();
    return BoardScriptRun(Exact.empty() ? nullptr : Exact.data(), static_cast<UINT32>(Exact.size()));
  }

  // Raw accesses since Boot or the last call.
  std::vector<std::string> TakeAccesses() {
    std::vector<std::string> Out;
    for (const auto &E : Env.Since(From, {"io-read", "io-write", "mmio-read", "mmio-write", "msr-read", "msr-write"})) {
      Out.push_back(Access(E));
    }
    From = Env.Mark();
    return Out;
  }

  // Raw access events (with their times) since Boot or the last TakeAccesses.
  std::vector<sim::Json> RawEvents() const {
    return Env.Since(From, {"io-read", "io-write", "mmio-read", "mmio-write", "msr-read", "msr-write"});
  }

  uint64_t NowUs() const { return Env.Board->NowUs(); }
  uint64_t Cycles() const { return Env.Board->TscCycles(); }

 private:
  size_t From = 0;
};

}  // namespace scripttest
