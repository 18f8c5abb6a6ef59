// A firmware image loaded as the board's loader would load it (checked, laid
// out at an address of the simulator's choosing, relocated) into the CPU
// emulator's memory.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "Engine/Emulator.h"
#include "Engine/PeImage.h"
#include "Runner/Engine.h"

namespace sim {

class EmulatedImage : public DriverImage {
 public:
  // nullptr, and Error saying why, for a file that is no loadable image.
  static std::unique_ptr<EmulatedImage> Load(std::string Name, std::span<const uint8_t> File, Emulator &Cpu,
                                             std::string &Error);
  ~EmulatedImage() override;

  bool Holds(const void *Address) const override;
  void Unload() override;

  uint64_t Base() const { return reinterpret_cast<uint64_t>(Base_); }
  uint64_t End() const { return Base() + Size_; }
  const PeImage &Header() const { return Header_; }

 private:
  EmulatedImage(std::string Name, PeImage Header, uint8_t *Base, size_t Size, Emulator &Cpu);

  PeImage Header_;
  uint8_t *Base_;
  size_t Size_;
  Emulator &Cpu_;
};

}  // namespace sim
