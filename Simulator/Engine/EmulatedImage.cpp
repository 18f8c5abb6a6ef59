#include "Engine/EmulatedImage.h"

#include <sys/mman.h>

#include <cstring>

namespace sim {
namespace {
constexpr size_t kPage = 4096;
}

std::unique_ptr<EmulatedImage> EmulatedImage::Load(std::string Name, std::span<const uint8_t> File, Emulator &Cpu,
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
      new EmulatedImage(std::move(Name), std::move(Header), static_cast<uint8_t *>(Base), Size, Cpu));
}

EmulatedImage::EmulatedImage(std::string Name, PeImage Header, uint8_t *Base, size_t Size, Emulator &Cpu)
    : DriverImage(std::move(Name)), Header_(std::move(Header)), Base_(Base), Size_(Size), Cpu_(Cpu) {
  Cpu_.MapHost(Base_, Size_, true);
  Entry = Base_ + Header_.EntryPoint;
}

EmulatedImage::~EmulatedImage() {
  if (!Unloaded) {
    Cpu_.Unmap(Base(), Size_);
  }
  munmap(Base_, Size_);
}

bool EmulatedImage::Holds(const void *Address) const {
  const auto *A = static_cast<const uint8_t *>(Address);
  return A >= Base_ && A < Base_ + Size_;
}

void EmulatedImage::Unload() {
  Cpu_.Unmap(Base(), Size_);
  Unloaded = true;
}

}  // namespace sim
