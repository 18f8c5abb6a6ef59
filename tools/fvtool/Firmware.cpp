#include "Firmware.h"

#include <algorithm>
#include <cstring>

#include "Depex.h"
#include "Ffs.h"
#include "Lzma.h"

namespace fv {

namespace {

constexpr uint32_t FvSignature = 0x4856465F;  // "_FVH"
constexpr uint32_t FvbErasePolarity = 0x00000800;
constexpr size_t FvHeaderFixed = 56;  // up to the block map

bool AllErased(ByteView B, bool ErasePolarity) {
  uint8_t E = ErasePolarity ? 0xFF : 0x00;
  return std::all_of(B.begin(), B.end(), [E](uint8_t V) { return V == E; });
}

struct Parser {
  uint64_t DecodedBudget = uint64_t{1} << 30;

  [[noreturn]] static void Fail(const std::string &Where, const std::string &What) {
    throw InputError(Where + ": " + What);
  }

  static void CheckDepth(int Depth, const std::string &Where) {
    if (Depth > MaxNesting) Fail(Where, "nested more than " + std::to_string(MaxNesting) + " levels deep");
  }

  // A volume whose header is at Offset; it must end by Limit.
  Volume ParseVolume(ByteView Buf, size_t Offset, size_t Limit, const std::string &Where, int Depth) {
    CheckDepth(Depth, Where);
    if (Limit - Offset < FvHeaderFixed + 8) Fail(Where, "volume header cut short");
    ByteView H = Buf.subspan(Offset, Limit - Offset);
    if (Read32(H, 40) != FvSignature) Fail(Where, "no \"_FVH\" signature");
    Volume V;
    V.Offset = Offset;
    uint64_t Length = Read64(H, 32);
    V.HeaderLength = Read16(H, 48);
    V.Attributes = Read32(H, 44);
    V.FileSystem = Guid::At(H, 16);
    V.Revision = Read8(H, 55);
    V.ErasePolarity = V.Attributes & FvbErasePolarity;
    if (Length > H.size()) {
      Fail(Where, "FvLength " + Hex(Length) + " runs past the end of its container (" + Hex(H.size()) + " bytes left)");
    }
    // The block map ends with a zero entry; the header ends right after it.
    size_t MapEnd = FvHeaderFixed;
    uint64_t Covered = 0;
    for (;; MapEnd += 8) {
      if (MapEnd + 8 > std::min<uint64_t>(Length, 0x10000)) Fail(Where, "block map has no end entry");
      uint32_t Blocks = Read32(H, MapEnd), BlockLength = Read32(H, MapEnd + 4);
      if (Blocks == 0 && BlockLength == 0) break;
      Covered += uint64_t{Blocks} * BlockLength;
    }
    MapEnd += 8;
    if (V.HeaderLength != MapEnd) {
      Fail(Where, "header length " + Hex(V.HeaderLength) + " disagrees with its block map, which ends at " + Hex(MapEnd));
    }
    if (Length < V.HeaderLength) Fail(Where, "FvLength " + Hex(Length) + " is shorter than its header");
    if (Covered != Length) Fail(Where, "block map covers " + Hex(Covered) + " bytes, FvLength is " + Hex(Length));
    uint16_t Sum = 0;
    for (size_t I = 0; I < V.HeaderLength; I += 2) Sum = static_cast<uint16_t>(Sum + Read16(H, I));
    if (Sum != 0) Fail(Where, "bad header checksum (the header sums to " + Hex(Sum) + ", not 0)");
    V.Raw = H.first(Length);

    V.FirstFileOffset = V.HeaderLength;
    uint16_t Ext = Read16(H, 52);
    if (Ext != 0) {
      if (Ext < V.HeaderLength || Ext > Length || Length - Ext < 20) {
        Fail(Where, "extended header offset " + Hex(Ext) + " lies outside the volume");
      }
      uint32_t ExtSize = Read32(V.Raw, Ext + 16);
      if (ExtSize < 20 || ExtSize > Length - Ext) Fail(Where, "extended header size " + Hex(ExtSize) + " is wrong");
      V.Name = Guid::At(V.Raw, Ext);
      V.FirstFileOffset = Ext + ExtSize;
    }
    V.FirstFileOffset = std::min<uint64_t>(AlignUp(V.FirstFileOffset, 8), Length);
    V.KnownFileSystem = V.FileSystem == guids::Ffs2FileSystem || V.FileSystem == guids::Ffs3FileSystem;
    V.FreeOffset = V.FirstFileOffset;
    if (!V.KnownFileSystem) return V;

    size_t Pos = V.FirstFileOffset;
    while (Pos < Length && Length - Pos >= ffs::HeaderSize) {
      if (AllErased(V.Raw.subspan(Pos, ffs::HeaderSize), V.ErasePolarity)) break;
      File F = ParseFile(Buf, Offset + Pos, Offset + Length, V.ErasePolarity, V.IsFfs3(),
                         Where + " > file at " + Hex(Offset + Pos), Depth + 1);
      Pos = AlignUp(Pos + F.Size(), 8);
      V.Files.push_back(std::move(F));
    }
    V.FreeOffset = std::min<uint64_t>(Pos, Length);
    ByteView Tail = V.Raw.subspan(V.FreeOffset);
    auto Used = std::find_if(Tail.begin(), Tail.end(), [&](uint8_t B) { return B != (V.ErasePolarity ? 0xFF : 0); });
    if (Used != Tail.end()) {
      V.Problem = "bytes that are not erased at " + Hex(Offset + V.FreeOffset + (Used - Tail.begin())) +
                  " in the free space after the last file";
    }
    return V;
  }

  File ParseFile(ByteView Buf, size_t Offset, size_t Limit, bool ErasePolarity, bool AllowLarge,
                 const std::string &Where, int Depth) {
    if (Limit - Offset < ffs::HeaderSize) Fail(Where, "file header cut short");
    ByteView H = Buf.subspan(Offset, Limit - Offset);
    File F;
    F.Offset = Offset;
    F.Name = Guid::At(H, 0);
    F.Type = Read8(H, 18);
    F.Attributes = Read8(H, 19);
    F.State = Read8(H, 23);
    F.ErasePolarity = ErasePolarity;
    std::string Name = Where + " (" + F.Name.ToString() + ")";
    uint64_t Size;
    if (F.Attributes & ffs::AttrLargeFile) {
      if (!AllowLarge) Fail(Name, "large file outside an FFS3 volume");
      if (H.size() < ffs::Header2Size) Fail(Name, "file header cut short");
      F.HeaderSize = ffs::Header2Size;
      Size = Read64(H, 24);
    } else {
      F.HeaderSize = ffs::HeaderSize;
      Size = Read24(H, 20);
    }
    if (Size < F.HeaderSize) Fail(Name, "size " + Hex(Size) + " is smaller than the file header");
    if (Size > H.size()) Fail(Name, "size " + Hex(Size) + " runs past the end of its volume (" + Hex(H.size()) + " bytes left)");
    F.Raw = H.first(Size);
    uint8_t HeaderSum = static_cast<uint8_t>(Sum8(F.Raw.first(F.HeaderSize)) - F.State - F.Raw[17]);
    if (HeaderSum != 0) Fail(Name, "bad header checksum");

    uint8_t State = ErasePolarity ? static_cast<uint8_t>(~F.State) : F.State;
    int Highest = -1;
    for (int Bit = 5; Bit >= 0 && Highest < 0; --Bit) {
      if (State & (1 << Bit)) Highest = Bit;
    }
    F.Valid = Highest == 2 || Highest == 3;  // DATA_VALID, or MARKED_FOR_UPDATE over it
    if (!F.Valid) return F;

    if (F.Attributes & ffs::AttrChecksum) {
      if (static_cast<uint8_t>(Sum8(F.Data()) + F.Raw[17]) != 0) {
        Fail(Name, "data checksum wrong");
      }
    } else if (F.Raw[17] != ffs::FixedChecksum) {
      Fail(Name, "file checksum " + Hex(F.Raw[17]) + " must be 0xAA when the data is not checksummed");
    }
    bool HasSections = F.Type >= filetype::Freeform && F.Type <= filetype::MmCoreStandalone;
    if (HasSections) {
      F.Sections = ParseSections(Buf, Offset + F.HeaderSize, Offset + Size, Name, Depth + 1);
    }
    return F;
  }

  std::vector<Section> ParseSections(ByteView Buf, size_t Start, size_t End, const std::string &Where, int Depth) {
    CheckDepth(Depth, Where);
    std::vector<Section> Out;
    size_t Pos = Start;
    for (;;) {
      Pos = AlignUp(Pos, 4);
      if (Pos >= End) break;
      std::string Here = Where + " > section at " + Hex(Pos);
      if (End - Pos < 4) Fail(Here, "section header cut short");
      Section S;
      S.Offset = Pos;
      uint64_t Size = Read24(Buf, Pos);
      S.Type = Read8(Buf, Pos + 3);
      S.HeaderSize = 4;
      if (Size == 0xFFFFFF) {
        if (End - Pos < 8) Fail(Here, "extended section header cut short");
        Size = Read32(Buf, Pos + 4);
        S.HeaderSize = 8;
      }
      if (Size < S.HeaderSize) Fail(Here, "size " + Hex(Size) + " is smaller than the section header");
      if (Size > End - Pos) {
        Fail(Here, "size " + Hex(Size) + " runs past the end of its container (" + Hex(End - Pos) + " bytes left)");
      }
      S.Raw = Buf.subspan(Pos, Size);
      S.BodyOffset = S.HeaderSize;
      ParseSectionBody(S, Buf, Here + " (" + SectionTypeName(S.Type) + ")", Depth);
      Out.push_back(std::move(S));
      Pos += Size;
    }
    return Out;
  }

  // Children of inline encapsulations live in Buf, as S does.
  void ParseSectionBody(Section &S, ByteView Buf, const std::string &Where, int Depth) {
    auto Need = [&](size_t Extra) {
      if (S.Raw.size() - S.HeaderSize < Extra) Fail(Where, "section header cut short");
    };
    size_t H = S.HeaderSize;
    switch (S.Type) {
      case sectiontype::GuidDefined: {
        Need(20);
        S.Definition = Guid::At(S.Raw, H);
        uint16_t DataOffset = Read16(S.Raw, H + 16);
        S.GuidAttributes = Read16(S.Raw, H + 18);
        if (DataOffset < H + 20 || DataOffset > S.Raw.size()) {
          Fail(Where, "data offset " + Hex(DataOffset) + " lies outside the section");
        }
        S.BodyOffset = DataOffset;
        if (S.IsLzma()) {
          if (S.Body().size() >= LzmaHeaderSize && Read64(S.Body(), 5) > DecodedBudget) {
            Fail(Where, "LZMA data claims more than the " + Hex(DecodedBudget) + " bytes left for decoding");
          }
          auto Decoded = std::make_shared<const Bytes>(LzmaDecompress(S.Body(), Where));
          DecodedBudget -= Decoded->size();
          S.Decoded = Decoded;
          S.Sections = ParseSections(*Decoded, 0, Decoded->size(), Where + " > LZMA data", Depth + 1);
        } else if (!(S.GuidAttributes & guidsection::ProcessingRequired)) {
          S.Sections = ParseSections(Buf, S.Offset + S.BodyOffset, S.Offset + S.Raw.size(), Where, Depth + 1);
        } else {
          S.Note = "GUID " + S.Definition.ToString() + " not opened";
        }
        break;
      }
      case sectiontype::Compression:
        Need(5);
        S.UncompressedLength = Read32(S.Raw, H);
        S.CompressionType = Read8(S.Raw, H + 4);
        S.BodyOffset = H + 5;
        if (S.CompressionType == 0) {
          S.Sections = ParseSections(Buf, S.Offset + S.BodyOffset, S.Offset + S.Raw.size(), Where, Depth + 1);
        } else {
          S.Note = "compression type " + Hex(S.CompressionType) + " not opened";
        }
        break;
      case sectiontype::Disposable:
        S.Sections = ParseSections(Buf, S.Offset + S.BodyOffset, S.Offset + S.Raw.size(), Where, Depth + 1);
        break;
      case sectiontype::VolumeImage:
        if (S.Raw.size() - H < FvHeaderFixed + 8 || Read32(S.Raw, H + 40) != FvSignature) {
          Fail(Where, "no firmware volume in the volume image section");
        }
        S.Volumes.push_back(ParseVolume(Buf, S.Offset + H, S.Offset + S.Raw.size(), Where + " > volume", Depth + 1));
        break;
      case sectiontype::FreeformSubtypeGuid:
        Need(16);
        S.Definition = Guid::At(S.Raw, H);
        S.BodyOffset = H + 16;
        break;
      case sectiontype::Version:
        Need(2);
        break;
      default:
        break;
    }
  }
};

bool LooksLikeFile(ByteView B) {
  if (B.size() < ffs::HeaderSize) return false;
  bool Large = B[19] & ffs::AttrLargeFile;
  size_t HeaderSize = Large ? ffs::Header2Size : ffs::HeaderSize;
  if (B.size() < HeaderSize) return false;
  uint64_t Size = Large ? Read64(B, 24) : Read24(B, 20);
  if (Size < HeaderSize || Size > B.size() || B.size() - Size >= 8) return false;
  return static_cast<uint8_t>(Sum8(B.first(HeaderSize)) - B[23] - B[17]) == 0;
}

}  // namespace

bool Section::IsLzma() const {
  return Type == sectiontype::GuidDefined && Definition == guids::LzmaSection &&
         (GuidAttributes & guidsection::ProcessingRequired);
}

bool Volume::IsFfs3() const { return FileSystem == guids::Ffs3FileSystem; }

std::string File::StateName() const {
  uint8_t S = ErasePolarity ? static_cast<uint8_t>(~State) : State;
  static const char *Names[] = {"header under construction", "header valid", "data valid", "marked for update",
                                "deleted", "header invalid"};
  for (int Bit = 5; Bit >= 0; --Bit) {
    if (S & (1 << Bit)) return Names[Bit];
  }
  return "no state";
}

File ParseStandaloneFile(ByteView Data, const std::string &Where) {
  if (!LooksLikeFile(Data)) {
    if (Data.size() < ffs::HeaderSize) throw InputError(Where + ": not an FFS file (too short)");
    bool Large = Data[19] & ffs::AttrLargeFile;
    uint64_t Size = Large ? (Data.size() >= 32 ? Read64(Data, 24) : 0) : Read24(Data, 20);
    if (Size != Data.size() && !(Size < Data.size() && Data.size() - Size < 8)) {
      throw InputError(Where + ": not an FFS file (its size field says " + Hex(Size) + " bytes, the file has " +
                       Hex(Data.size()) + ")");
    }
    throw InputError(Where + ": not an FFS file (bad header checksum)");
  }
  // Standalone files carry the State of an erase-polarity-1 volume.
  Parser P;
  File F = P.ParseFile(Data, 0, Data.size(), true, true, Where, 0);
  if (!F.Valid) throw InputError(Where + ": file state is \"" + F.StateName() + "\", not data valid");
  return F;
}

Image ParseImage(std::shared_ptr<const Bytes> Data) {
  Image I;
  I.Data = Data;
  ByteView B = *Data;
  Parser P;
  if (LooksLikeFile(B)) {
    I.SingleFile = P.ParseFile(B, 0, B.size(), true, true, "file", 0);
    return I;
  }
  size_t Pos = 0;
  static const uint8_t Signature[4] = {'_', 'F', 'V', 'H'};
  while (B.size() >= Pos + 40 + 4) {
    auto Found = std::search(B.begin() + Pos + 40, B.end(), Signature, Signature + 4);
    if (Found == B.end()) break;
    size_t Start = static_cast<size_t>(Found - B.begin()) - 40;
    // A signature in stray bytes, not a header: skip it.
    uint16_t HeaderLength = B.size() - Start >= FvHeaderFixed ? Read16(B, Start + 48) : 0;
    if (HeaderLength < FvHeaderFixed + 8 || HeaderLength % 8 != 0) {
      Pos = Start + 1;
      continue;
    }
    I.Volumes.push_back(P.ParseVolume(B, Start, B.size(), "volume at " + Hex(Start), 0));
    Pos = Start + I.Volumes.back().Length();
  }
  if (I.Volumes.empty()) throw InputError("not a flash image: no firmware volume found");
  return I;
}

void ForEachVolume(const Volume &V, const std::function<void(const Volume &)> &Visit) {
  Visit(V);
  std::function<void(const Section &)> Walk = [&](const Section &S) {
    for (const Section &C : S.Sections) Walk(C);
    for (const Volume &Inner : S.Volumes) ForEachVolume(Inner, Visit);
  };
  for (const File &F : V.Files) {
    for (const Section &S : F.Sections) Walk(S);
  }
}

void ForEachVolume(const Image &I, const std::function<void(const Volume &)> &Visit) {
  for (const Volume &V : I.Volumes) ForEachVolume(V, Visit);
  if (I.SingleFile) {
    std::function<void(const Section &)> Walk = [&](const Section &S) {
      for (const Section &C : S.Sections) Walk(C);
      for (const Volume &Inner : S.Volumes) ForEachVolume(Inner, Visit);
    };
    for (const Section &S : I.SingleFile->Sections) Walk(S);
  }
}

namespace {

const Section *FindSection(const std::vector<Section> &Sections, const std::function<bool(const Section &)> &Match) {
  for (const Section &S : Sections) {
    if (Match(S)) return &S;
    if (const Section *Inner = FindSection(S.Sections, Match)) return Inner;
  }
  return nullptr;
}

}  // namespace

std::optional<std::string> UiName(const File &F) {
  const Section *S = FindSection(F.Sections, [](const Section &S) { return S.Type == sectiontype::UserInterface; });
  if (!S) return std::nullopt;
  return FromUcs2(S->Body());
}

std::optional<std::string> DepexText(const File &F) {
  const Section *S = FindSection(F.Sections, [](const Section &S) {
    return S.Type == sectiontype::DxeDepex || S.Type == sectiontype::SmmDepex || S.Type == sectiontype::PeiDepex;
  });
  if (!S) return std::nullopt;
  try {
    return DecodeDepex(S->Body());
  } catch (const InputError &E) {
    return std::string("invalid (") + E.what() + ")";
  }
}

}  // namespace fv
