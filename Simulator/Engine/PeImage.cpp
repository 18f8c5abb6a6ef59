#include "Engine/PeImage.h"

#include "Core/Trace.h"

#include <algorithm>
#include <cstring>

namespace sim {
namespace {

constexpr uint16_t kMachineX64 = 0x8664;
constexpr uint16_t kPe32Plus = 0x20B;
constexpr uint16_t kRelocsStripped = 0x0001;
constexpr uint32_t kImportDirectory = 1, kRelocationDirectory = 5;
constexpr size_t kDirectoriesAt = 112;  // in the PE32+ optional header
constexpr size_t kSectionHeaderSize = 40;
constexpr uint16_t kRelocationPad = 0, kRelocationDir64 = 10;

template <class T>
T Read(std::span<const uint8_t> Bytes, size_t At) {
  T Value;
  std::memcpy(&Value, Bytes.data() + At, sizeof Value);
  return Value;
}

// Fits(Offset, Size, Limit): [Offset, Offset + Size) lies within [0, Limit), without wrapping.
bool Fits(uint64_t Offset, uint64_t Size, uint64_t Limit) { return Offset <= Limit && Size <= Limit - Offset; }

// The relocation blocks, read from the laid-out image; an error or the fixups.
std::variant<std::vector<uint32_t>, std::string> ReadFixups(std::span<const uint8_t> Memory, uint32_t Rva,
                                                            uint32_t Size) {
  std::vector<uint32_t> Fixups;
  if (!Fits(Rva, Size, Memory.size())) {
    return "malformed relocations: the directory (" + Hex(Rva) + ", " + Hex(Size) + " bytes) lies outside the image";
  }
  for (uint32_t At = Rva, End = Rva + Size; At != End;) {
    if (End - At < 8) {
      return "malformed relocations: " + std::to_string(End - At) + " stray byte(s) at RVA " + Hex(At);
    }
    const uint32_t Page = Read<uint32_t>(Memory, At), BlockSize = Read<uint32_t>(Memory, At + 4);
    if (BlockSize < 8 || BlockSize % 2 != 0 || BlockSize > End - At) {
      return "malformed relocations: the block at RVA " + Hex(At) + " claims " + Hex(BlockSize) + " bytes";
    }
    for (uint32_t Entry = At + 8; Entry < At + BlockSize; Entry += 2) {
      const uint16_t Word = Read<uint16_t>(Memory, Entry);
      const uint16_t Type = Word >> 12;
      const uint64_t Target = uint64_t{Page} + (Word & 0xFFF);
      if (Type == kRelocationPad) continue;
      if (Type != kRelocationDir64) {
        return "malformed relocations: type " + std::to_string(Type) + " at RVA " + Hex(Target) +
               " (only 64-bit fixups are expected in an x64 image)";
      }
      if (!Fits(Target, 8, Memory.size())) {
        return "malformed relocations: a fixup at RVA " + Hex(Target) + " lies outside the image";
      }
      Fixups.push_back(static_cast<uint32_t>(Target));
    }
    At += BlockSize;
  }
  return Fixups;
}

}  // namespace

std::variant<PeImage, std::string> ParsePeImage(std::span<const uint8_t> File) {
  if (File.size() < 0x40 || File[0] != 'M' || File[1] != 'Z') return std::string("not a PE image: no MZ header");
  const uint32_t Pe = Read<uint32_t>(File, 0x3C);
  if (!Fits(Pe, 24, File.size()) || std::memcmp(File.data() + Pe, "PE\0\0", 4) != 0) {
    return "not a PE image: no PE signature at " + Hex(Pe);
  }
  const uint16_t Machine = Read<uint16_t>(File, Pe + 4);
  if (Machine != kMachineX64) return "not an x64 image: machine " + Hex(Machine);
  const uint16_t SectionCount = Read<uint16_t>(File, Pe + 6);
  const uint16_t OptionalSize = Read<uint16_t>(File, Pe + 20);
  const uint16_t Characteristics = Read<uint16_t>(File, Pe + 22);
  const size_t Optional = Pe + 24;
  if (OptionalSize < 2 || !Fits(Optional, OptionalSize, File.size())) {
    return "truncated: the optional header (" + Hex(OptionalSize) + " bytes at " + Hex(Optional) +
           ") ends past the file's " + Hex(File.size()) + " bytes";
  }
  const uint16_t Magic = Read<uint16_t>(File, Optional);
  if (Magic != kPe32Plus) return "not PE32+: optional-header magic " + Hex(Magic);
  if (OptionalSize < kDirectoriesAt + 8 * (kRelocationDirectory + 1) ||
      Read<uint32_t>(File, Optional + 108) < kRelocationDirectory + 1) {
    return std::string("truncated: the optional header has no base-relocation directory entry");
  }
  PeImage Image;
  Image.EntryPoint = Read<uint32_t>(File, Optional + 16);
  Image.ImageBase = Read<uint64_t>(File, Optional + 24);
  Image.SizeOfImage = Read<uint32_t>(File, Optional + 56);
  Image.SizeOfHeaders = Read<uint32_t>(File, Optional + 60);
  Image.Subsystem = Read<uint16_t>(File, Optional + 68);
  auto Directory = [&](uint32_t Index) {
    const size_t At = Optional + kDirectoriesAt + 8 * Index;
    return std::pair{Read<uint32_t>(File, At), Read<uint32_t>(File, At + 4)};
  };

  const size_t Table = Optional + OptionalSize;
  if (!Fits(Table, size_t{SectionCount} * kSectionHeaderSize, File.size())) {
    return "truncated: the section table (" + std::to_string(SectionCount) + " sections at " + Hex(Table) +
           ") ends past the file's " + Hex(File.size()) + " bytes";
  }
  if (Image.SizeOfHeaders > File.size() || Image.SizeOfHeaders > Image.SizeOfImage ||
      Image.SizeOfHeaders < Table + size_t{SectionCount} * kSectionHeaderSize) {
    return "truncated: headers of " + Hex(Image.SizeOfHeaders) + " bytes do not fit the file (" +
           Hex(File.size()) + " bytes) and the image (" + Hex(Image.SizeOfImage) + ")";
  }
  for (uint16_t I = 0; I < SectionCount; ++I) {
    const size_t At = Table + I * kSectionHeaderSize;
    PeSection S;
    char Name[9] = {};
    std::memcpy(Name, File.data() + At, 8);
    S.Name = Name;
    S.VirtualSize = Read<uint32_t>(File, At + 8);
    S.VirtualAddress = Read<uint32_t>(File, At + 12);
    S.RawSize = Read<uint32_t>(File, At + 16);
    S.RawOffset = Read<uint32_t>(File, At + 20);
    S.Characteristics = Read<uint32_t>(File, At + 36);
    if (!Fits(S.RawOffset, S.RawSize, File.size())) {
      return "section " + S.Name + " lies outside the file: " + Hex(S.RawSize) + " bytes at " + Hex(S.RawOffset) +
             " in a file of " + Hex(File.size());
    }
    if (S.VirtualAddress < Image.SizeOfHeaders ||
        !Fits(S.VirtualAddress, std::max(S.VirtualSize, S.RawSize), Image.SizeOfImage)) {
      return "section " + S.Name + " lies outside the image: RVA " + Hex(S.VirtualAddress) + ", image of " +
             Hex(Image.SizeOfImage) + " bytes with headers of " + Hex(Image.SizeOfHeaders);
    }
    Image.Sections.push_back(S);
  }

  if (Directory(kImportDirectory).second != 0) {
    return std::string("imports present: the image expects a loader that links it to other images");
  }
  const auto [RelocRva, RelocSize] = Directory(kRelocationDirectory);
  // An empty directory is an image without absolute addresses; stripped
  // relocations are an image that can only run where it was linked.
  if ((Characteristics & kRelocsStripped) != 0) {
    return std::string("relocations missing: the image can only run at its link address");
  }
  const std::vector<uint8_t> Memory = LayOutPeImage(Image, File, Image.ImageBase);
  auto Fixups = ReadFixups(Memory, RelocRva, RelocSize);
  if (auto *Error = std::get_if<std::string>(&Fixups)) return *Error;
  Image.Fixups = std::move(std::get<std::vector<uint32_t>>(Fixups));

  const bool EntryInCode = std::any_of(Image.Sections.begin(), Image.Sections.end(), [&](const PeSection &S) {
    return S.Executable() && Image.EntryPoint >= S.VirtualAddress &&
           Image.EntryPoint - S.VirtualAddress < std::max(S.VirtualSize, S.RawSize);
  });
  if (!EntryInCode) return "entry point " + Hex(Image.EntryPoint) + " lies outside the image's code";
  return Image;
}

std::vector<uint8_t> LayOutPeImage(const PeImage &Image, std::span<const uint8_t> File, uint64_t LoadAddress) {
  std::vector<uint8_t> Memory(Image.SizeOfImage, 0);
  std::memcpy(Memory.data(), File.data(), Image.SizeOfHeaders);
  for (const PeSection &S : Image.Sections) {
    // A section's raw data may be padded past its size in memory.
    const uint32_t Copy = S.VirtualSize == 0 ? S.RawSize : std::min(S.RawSize, S.VirtualSize);
    std::memcpy(Memory.data() + S.VirtualAddress, File.data() + S.RawOffset, Copy);
  }
  const uint64_t Delta = LoadAddress - Image.ImageBase;
  for (uint32_t Rva : Image.Fixups) {
    uint64_t Word;
    std::memcpy(&Word, Memory.data() + Rva, sizeof Word);
    Word += Delta;
    std::memcpy(Memory.data() + Rva, &Word, sizeof Word);
  }
  return Memory;
}

}  // namespace sim
