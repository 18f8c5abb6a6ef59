// A firmware image loaded as the board's loader would load it (checked, laid
// out at an address of the simulator's choosing, relocated) and run under
// the CPU emulator against the board and the simulated firmware.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "Board/Board.h"
#include "Engine/Emulator.h"
#include "Engine/PeImage.h"
#include "Firmware/Firmware.h"

namespace sim {

class EmulatedImage {
 public:
  // nullptr, and Error saying why, for a file that is no loadable image.
  static std::unique_ptr<EmulatedImage> Load(std::span<const uint8_t> File, Board &Hardware,
                                             std::string &Error);
  ~EmulatedImage();
  EmulatedImage(const EmulatedImage &) = delete;
  EmulatedImage &operator=(const EmulatedImage &) = delete;

  // Lets the image reach what Boot hands out and call its services.
  void Attach(const Firmware &Boot);
  // Calls the entry point; a fault or a spent budget is a faulted result.
  Emulator::Result Enter(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, uint64_t InstructionBudget);

  uint64_t Base() const { return reinterpret_cast<uint64_t>(Base_); }
  const PeImage &Header() const { return Header_; }

 private:
  EmulatedImage(PeImage Header, uint8_t *Base, size_t Size, Board &Hardware);

  PeImage Header_;
  uint8_t *Base_;
  size_t Size_;
  Emulator Cpu_;
};

}  // namespace sim
