// A firmware image as the loader sees it: a PE32+ x64 file checked before
// anything of it runs, then laid out at an address of the simulator's
// choosing with its base relocations applied.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace sim {

struct PeSection {
  std::string Name;
  uint32_t VirtualAddress = 0, VirtualSize = 0, RawOffset = 0, RawSize = 0, Characteristics = 0;
  bool Executable() const { return (Characteristics & 0x20000000) != 0; }
  bool Writable() const { return (Characteristics & 0x80000000) != 0; }
};

struct PeImage {
  uint64_t ImageBase = 0;
  uint32_t SizeOfImage = 0, SizeOfHeaders = 0, EntryPoint = 0;
  uint16_t Subsystem = 0;
  std::vector<PeSection> Sections;
  std::vector<uint32_t> Fixups;  // RVAs of the 64-bit words a relocation adjusts
};

// Checks File is a PE32+ x64 image the simulator can load: every header and
// section inside the file and the image, well-formed base relocations, no
// imports, the entry point in an executable section. On failure, one line
// saying what is wrong.
std::variant<PeImage, std::string> ParsePeImage(std::span<const uint8_t> File);

// The image's memory (SizeOfImage bytes) as the loader leaves it at
// LoadAddress: headers, each section's raw data, zeros past it, and every
// fixup moved by LoadAddress - ImageBase.
std::vector<uint8_t> LayOutPeImage(const PeImage &Image, std::span<const uint8_t> File, uint64_t LoadAddress);

}  // namespace sim
