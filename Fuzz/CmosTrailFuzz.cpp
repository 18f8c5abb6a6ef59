// Invariant: whatever an earlier boot left in CMOS (slot counters and
// pointers included) and whatever a checkpoint says, the trail writes only
// its own bytes (0x90..0x99 and 0xA0..0xFF of the upper bank) and ends.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Board/Board.h"
#include "Core/Scenario.h"
#include "Core/Trace.h"

#include <BaseHwAccessLibSim/SimHardwarePort.h>
#include <CmosTrail.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  // 128 bytes of upper CMOS, two bytes of line, then "message\0path".
  if (Size < 130 || Size > 130 + 600) return -1;
  sim::Scenario S = sim::DefaultScenario();
  for (unsigned I = 0; I < 128; ++I) S.Cmos[static_cast<uint8_t>(0x80 + I)] = Data[I];
  const UINTN Line = Data[128] | (Data[129] << 8);
  const std::string Rest(reinterpret_cast<const char *>(Data + 130), Size - 130);
  const size_t Split = Rest.find('\0');
  const std::string Message = Rest.substr(0, Split);
  const std::string Path = Split == std::string::npos ? std::string() : Rest.substr(Split + 1);

  bool Stray = false;
  sim::Trace Trace;
  Trace.SetRetain(false);
  Trace.AddSink([&](const sim::Json &E) {
    if (E["event"] != "cmos-write") return;
    const unsigned Offset = std::stoul(E["offset"].get<std::string>(), nullptr, 16);
    Stray |= !((Offset >= 0x90 && Offset <= 0x99) || Offset >= 0xA0);
  });
  sim::Board Board(S, Trace);
  BoardSimBindHardware(&Board);
  if (!CmosTrailCheckpoint(0x40, "%a", Message.c_str())) {
    CmosTrailRecordLocation(Path.c_str(), Line);
  }
  BoardSimBindHardware(nullptr);
  if (Stray) __builtin_trap();
  return 0;
}
