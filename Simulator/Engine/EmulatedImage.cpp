#include "Engine/EmulatedImage.h"

#include <sys/mman.h>

#include <cstring>

#include "Board/Board.h"

namespace sim {
namespace {
constexpr size_t kPage = 4096;
}

std::unique_ptr<EmulatedImage> EmulatedImage::Load(std::span<const uint8_t> File, Board &Hardware,
                                                   std::string &Error) {
  auto Parsed = ParsePeImage(File);
  if (auto *Why = std::get_if<std::string>(&Parsed)) {
    Error = *Why;
    return nullptr;
  }
  PeImage Header = std::move(std::get<PeImage>(Parsed));
  const size_t Size = (size_t{Header.SizeOfImage} + kPage - 1) & ~(kPage - 1);
  void *Base = mmap(nullptr, Size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (Base == MAP_FAILED) {
    Error = "no memory for an image of " + std::to_string(Size) + " bytes";
    return nullptr;
  }
  const auto Memory = LayOutPeImage(Header, File, reinterpret_cast<uint64_t>(Base));
  std::memcpy(Base, Memory.data(), Memory.size());
  return std::unique_ptr<EmulatedImage>(
      new EmulatedImage(std::move(Header), static_cast<uint8_t *>(Base), Size, Hardware));
}

EmulatedImage::EmulatedImage(PeImage Header, uint8_t *Base, size_t Size, Board &Hardware)
    : Header_(std::move(Header)), Base_(Base), Size_(Size), Cpu_(Hardware) {
  Cpu_.MapHost(Base_, Size_, true);
  // The memory-log block, at its physical address whatever host memory backs it.
  Cpu_.MapHostAt(kRamBlockBase, Hardware.RamBlock(), kRamBlockSize, false);
  Cpu_.MapDevice(0xFED80000, 0x2000);      // FCH registers
  Cpu_.MapDevice(0xE0000000, 0x10000000);  // PCI configuration space, the SMN index/data pair in it
}

EmulatedImage::~EmulatedImage() { munmap(Base_, Size_); }

void EmulatedImage::Attach(const Firmware &Boot) {
  for (auto [Start, Length] : Boot.ImageVisibleMemory()) {
    Cpu_.MapHost(Start, Length, false);
    Cpu_.AllowCallOutsStoredIn(Start, Length);
  }
}

Emulator::Result EmulatedImage::Enter(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable,
                                      uint64_t InstructionBudget) {
  return Cpu_.Call(Base() + Header_.EntryPoint,
                   {reinterpret_cast<uint64_t>(ImageHandle), reinterpret_cast<uint64_t>(SystemTable)},
                   InstructionBudget);
}

}  // namespace sim
