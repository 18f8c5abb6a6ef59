#include "Ffs.h"

#include "Depex.h"

namespace fv {

std::string FileTypeName(uint8_t Type) {
  switch (Type) {
    case filetype::Raw: return "raw";
    case filetype::Freeform: return "freeform";
    case filetype::SecurityCore: return "SEC core";
    case filetype::PeiCore: return "PEI core";
    case filetype::DxeCore: return "DXE core";
    case filetype::Peim: return "PEIM";
    case filetype::Driver: return "DXE driver";
    case filetype::CombinedPeimDriver: return "PEIM/DXE driver";
    case filetype::Application: return "application";
    case filetype::Smm: return "SMM driver";
    case filetype::VolumeImage: return "volume image";
    case filetype::CombinedSmmDxe: return "SMM/DXE driver";
    case filetype::SmmCore: return "SMM core";
    case filetype::MmStandalone: return "standalone MM";
    case filetype::MmCoreStandalone: return "standalone MM core";
    case filetype::Pad: return "pad";
  }
  if (Type >= 0xC0 && Type <= 0xDF) return "OEM " + Hex(Type);
  if (Type >= 0xE0 && Type <= 0xEF) return "debug " + Hex(Type);
  return "type " + Hex(Type);
}

std::string SectionTypeName(uint8_t Type) {
  switch (Type) {
    case sectiontype::Compression: return "compression";
    case sectiontype::GuidDefined: return "GUID-defined";
    case sectiontype::Disposable: return "disposable";
    case sectiontype::Pe32: return "PE32";
    case sectiontype::Pic: return "PIC";
    case sectiontype::Te: return "TE";
    case sectiontype::DxeDepex: return "DXE depex";
    case sectiontype::Version: return "version";
    case sectiontype::UserInterface: return "user interface";
    case sectiontype::Compatibility16: return "16-bit";
    case sectiontype::VolumeImage: return "volume image";
    case sectiontype::FreeformSubtypeGuid: return "freeform subtype";
    case sectiontype::Raw: return "raw";
    case sectiontype::PeiDepex: return "PEI depex";
    case sectiontype::SmmDepex: return "SMM depex";
  }
  return "type " + Hex(Type);
}

uint8_t Sum8(ByteView B) {
  uint8_t Sum = 0;
  for (uint8_t V : B) Sum = static_cast<uint8_t>(Sum + V);
  return Sum;
}

uint64_t FileDataAlignment(uint8_t Attributes) {
  static constexpr uint64_t Small[8] = {1, 16, 128, 512, 1024, 4096, 32768, 65536};
  unsigned Index = (Attributes & ffs::AttrDataAlignment) >> 3;
  if (Attributes & ffs::AttrDataAlignment2) return uint64_t{128 * 1024} << Index;
  return Small[Index];
}

uint8_t ValidFileState(bool ErasePolarity) {
  uint8_t State = ffs::StateHeaderConstruction | ffs::StateHeaderValid | ffs::StateDataValid;
  return ErasePolarity ? static_cast<uint8_t>(~State) : State;
}

Bytes SectionHeader(uint8_t Type, uint64_t BodySize) {
  Bytes H(4);
  if (BodySize + 4 < 0xFFFFFF) {
    Write24(H, 0, static_cast<uint32_t>(BodySize + 4));
  } else {
    if (BodySize + 8 > 0xFFFFFFFF) throw InputError("section of " + Hex(BodySize) + " bytes is too large");
    H.resize(8);
    Write24(H, 0, 0xFFFFFF);
    Write32(H, 4, static_cast<uint32_t>(BodySize + 8));
  }
  H[3] = Type;
  return H;
}

void AppendSection(Bytes &Sections, uint8_t Type, ByteView Body) {
  Sections.resize(AlignUp(Sections.size(), 4), 0);
  Append(Sections, SectionHeader(Type, Body.size()));
  Append(Sections, Body);
}

Bytes MakeFile(const FileFields &Fields, ByteView Data) {
  uint64_t Size = ffs::HeaderSize + Data.size();
  bool Large = Size > ffs::MaxSmallFileSize;
  if (Large) {
    if (!Fields.AllowLarge) {
      throw InputError("file " + Fields.Name.ToString() + " would be " + Hex(Size) +
                       " bytes, more than the 16 MiB an FFS2 file can hold");
    }
    Size = ffs::Header2Size + Data.size();
  }
  Bytes F(Large ? ffs::Header2Size : ffs::HeaderSize, 0);
  Fields.Name.Store(F, 0);
  F[18] = Fields.Type;
  F[19] = static_cast<uint8_t>(Large ? Fields.Attributes | ffs::AttrLargeFile : Fields.Attributes & ~ffs::AttrLargeFile);
  if (Large) {
    Write64(F, 24, Size);  // Size[] stays 0
  } else {
    Write24(F, 20, static_cast<uint32_t>(Size));
  }
  // Header checksum with State and the file checksum taken as zero.
  F[16] = static_cast<uint8_t>(-Sum8(F));
  F[17] = (F[19] & ffs::AttrChecksum) ? static_cast<uint8_t>(-Sum8(Data)) : ffs::FixedChecksum;
  F[23] = ValidFileState(Fields.ErasePolarity);
  Append(F, Data);
  return F;
}

Bytes Ucs2(std::string_view Utf8, const std::string &What) {
  Bytes Out;
  auto Bad = [&](const std::string &Why) { throw InputError(What + ": " + Why); };
  for (size_t I = 0; I < Utf8.size();) {
    unsigned char C = static_cast<unsigned char>(Utf8[I]);
    uint32_t Code = 0;
    size_t Length = 1;
    if (C < 0x80) {
      Code = C, Length = 1;
    } else if ((C & 0xE0) == 0xC0) {
      Code = C & 0x1F, Length = 2;
    } else if ((C & 0xF0) == 0xE0) {
      Code = C & 0x0F, Length = 3;
    } else if ((C & 0xF8) == 0xF0) {
      Bad("characters outside the Basic Multilingual Plane have no UCS-2 form");
    } else {
      Bad("not valid UTF-8");
    }
    if (Utf8.size() - I < Length) Bad("not valid UTF-8");
    for (size_t K = 1; K < Length; ++K) {
      unsigned char Next = static_cast<unsigned char>(Utf8[I + K]);
      if ((Next & 0xC0) != 0x80) Bad("not valid UTF-8");
      Code = Code << 6 | (Next & 0x3F);
    }
    if (Code == 0) Bad("contains a NUL character");
    if (Code >= 0xD800 && Code <= 0xDFFF) Bad("not valid UTF-8");
    Out.push_back(static_cast<uint8_t>(Code));
    Out.push_back(static_cast<uint8_t>(Code >> 8));
    I += Length;
  }
  Out.push_back(0);
  Out.push_back(0);
  return Out;
}

std::string FromUcs2(ByteView B) {
  std::string Out;
  for (size_t I = 0; I + 1 < B.size(); I += 2) {
    uint32_t C = B[I] | B[I + 1] << 8;
    if (C == 0) break;
    if (C >= 0xD800 && C <= 0xDFFF) C = 0xFFFD;
    if (C < 0x80) {
      Out += static_cast<char>(C);
    } else if (C < 0x800) {
      Out += static_cast<char>(0xC0 | C >> 6);
      Out += static_cast<char>(0x80 | (C & 0x3F));
    } else {
      Out += static_cast<char>(0xE0 | C >> 12);
      Out += static_cast<char>(0x80 | (C >> 6 & 0x3F));
      Out += static_cast<char>(0x80 | (C & 0x3F));
    }
  }
  return Out;
}

void CheckPe32PlusX64(ByteView Image) {
  auto Bad = [](const std::string &Why) { throw InputError("PE image: " + Why); };
  if (Image.size() < 0x40) Bad("only " + std::to_string(Image.size()) + " bytes, too short for a DOS header");
  if (Image[0] != 'M' || Image[1] != 'Z') Bad("no DOS signature \"MZ\"");
  uint32_t PeOffset = Read32(Image, 0x3C);
  if (PeOffset > Image.size() || Image.size() - PeOffset < 24) {
    Bad("e_lfanew " + Hex(PeOffset) + " points past the end of the image");
  }
  if (Read32(Image, PeOffset) != 0x00004550) Bad("no \"PE\\0\\0\" signature at e_lfanew " + Hex(PeOffset));
  uint16_t Machine = Read16(Image, PeOffset + 4);
  if (Machine != 0x8664) Bad("machine " + Hex(Machine) + " is not x64 (0x8664)");
  uint16_t OptionalSize = Read16(Image, PeOffset + 20);
  if (OptionalSize < 2 || Image.size() - PeOffset - 24 < OptionalSize) {
    Bad("optional header of " + std::to_string(OptionalSize) + " bytes does not fit the image");
  }
  uint16_t Magic = Read16(Image, PeOffset + 24);
  if (Magic != 0x20B) Bad("optional header magic " + Hex(Magic) + " is not PE32+ (0x20B)");
  if (OptionalSize < 112) Bad("optional header of " + std::to_string(OptionalSize) + " bytes is too short for PE32+");
}

Bytes PackDriver(const PackOptions &Options) {
  CheckPe32PlusX64(Options.Pe);
  Bytes Data;
  if (Options.Depex) {
    uint8_t DepexType;
    switch (Options.Type) {
      case filetype::Driver: DepexType = sectiontype::DxeDepex; break;
      case filetype::Smm: DepexType = sectiontype::SmmDepex; break;
      case filetype::Peim: DepexType = sectiontype::PeiDepex; break;
      default:
        throw InputError("file type " + Hex(Options.Type) + " (" + FileTypeName(Options.Type) +
                         ") takes no dependency expression");
    }
    AppendSection(Data, DepexType, CompileDepex(*Options.Depex));
  }
  AppendSection(Data, sectiontype::Pe32, Options.Pe);
  if (Options.UiName.empty()) throw InputError("--name is empty");
  AppendSection(Data, sectiontype::UserInterface, Ucs2(Options.UiName, "--name"));
  if (Options.Version) {
    Bytes Body(2, 0);  // build number 0
    Append(Body, Ucs2(*Options.Version, "--version"));
    AppendSection(Data, sectiontype::Version, Body);
  }
  FileFields Fields;
  Fields.Name = Options.Name;
  Fields.Type = Options.Type;
  Fields.Attributes = ffs::AttrChecksum;
  Fields.ErasePolarity = true;
  if (ffs::HeaderSize + Data.size() > ffs::MaxSmallFileSize) {
    throw InputError("the file would be " + Hex(ffs::HeaderSize + Data.size()) + " bytes; fvtool ffs makes files under 16 MiB");
  }
  return MakeFile(Fields, Data);
}

}  // namespace fv
