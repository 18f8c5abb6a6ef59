// The board-strap probe: pin 89 to IOMUX function 2, then its GPIO control
// register's upper half must read 0x0015 (input high, drive strength 2,
// pull-up on, pull-down and output off).
#pragma once

#include <BoardScript.h>

#define BOARD_PROBE_SCRIPT_WORDS 28
#define BOARD_PROBE_PACKED_LENGTH 132

#define FCH_IOMUX_PIN89 0xFED80D59ull         // FCH block + IOMUX 0xD00 + pin
#define FCH_GPIO_CONTROL_PIN89 0xFED81664ull  // FCH block + GPIO 0x1500 + pin * 4
#define BOARD_PROBE_STRAP_PATTERN 0x00150000ull

// Source of the table built on the stack at every probe. Op bits 3:0 are
// carried but never read.
constexpr UINT64 kBoardProbeScript[BOARD_PROBE_SCRIPT_WORDS] = {
    // Pin 89 IOMUX byte := (old AND 0) OR 2.
    0x01, 0x0077, FCH_IOMUX_PIN89, 0x0, 0x2, 0x2, 0xFFFFFFFF, 0xFFFFFFFF, 0xFF,
    // Pin 89 GPIO control AND 0xFFFF0000 must equal the strap pattern.
    0x81, 0x00A0, FCH_GPIO_CONTROL_PIN89, 0xFFFF0000, 0x0, BOARD_PROBE_STRAP_PATTERN, 0xFFFFFFFF, 0xFFFFFFFF, 0xFF,
    // Run operation 0: no access.
    0x81, 0x0007, FCH_GPIO_CONTROL_PIN89, 0x0, BOARD_PROBE_STRAP_PATTERN, BOARD_PROBE_STRAP_PATTERN, 0xFFFFFFFF,
    0xFFFFFFFF, 0xFF,
    BOARD_SCRIPT_TERMINATOR,
};

namespace BoardProbeScriptCheck {
constexpr auto kPacked = BoardScriptCompileConstant(kBoardProbeScript);
// An empty compile would run as a passing probe, so pin the length.
static_assert(kPacked.Length == BOARD_PROBE_PACKED_LENGTH, "the probe compiles to three 44-byte records");

// Entry 1, the strap condition, as packed bytes.
constexpr UINT8 kStrapRecord[44] = {0x81, 0xA0, 0x00, 0x64, 0x16, 0xD8, 0xFE, 0x00, 0x00, 0x00, 0x00,
                                    0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x15, 0x00, 0x00, 0x00,
                                    0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr bool StrapRecordMatches() {
  for (UINTN Index = 0; Index < sizeof(kStrapRecord); ++Index) {
    if (kPacked.Bytes[44 + Index] != kStrapRecord[Index]) {
      return false;
    }
  }
  return kPacked.Bytes[0] == 0x01 && kPacked.Bytes[88] == 0x81 && kPacked.Bytes[89] == 0x07;
}
static_assert(StrapRecordMatches(), "the strap condition packs as the worked example");
}  // namespace BoardProbeScriptCheck
