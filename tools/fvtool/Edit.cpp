#include "Edit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>

#include "Ffs.h"
#include "Lzma.h"

namespace fv {

namespace {

uint8_t EraseByte(const Volume &V) { return V.ErasePolarity ? 0xFF : 0x00; }

Bytes PadFile(const Volume &V, uint64_t Size) {
  FileFields Fields;
  Fields.Name.Raw.fill(0xFF);
  Fields.Type = filetype::Pad;
  Fields.ErasePolarity = V.ErasePolarity;
  return MakeFile(Fields, Bytes(Size - ffs::HeaderSize, EraseByte(V)));
}

// A sequence of 4-byte aligned sections (file data, an encapsulation's
// payload) with section Index replaced by New; the sections after it move
// with it. Region starts at RegionBase in the buffer the sections' offsets
// count in.
Bytes ReplaceInSequence(ByteView Region, size_t RegionBase, const std::vector<Section> &Seq, size_t Index,
                        ByteView New) {
  size_t Start = Seq[Index].Offset - RegionBase;
  Bytes Out(Region.begin(), Region.begin() + Start);
  Append(Out, New);
  if (Index + 1 < Seq.size()) {
    Out.resize(AlignUp(RegionBase + Out.size(), 4) - RegionBase, 0);
    Append(Out, Region.subspan(Seq[Index + 1].Offset - RegionBase));
  } else {
    Append(Out, Region.subspan(Start + Seq[Index].Raw.size()));
  }
  return Out;
}

// The section S with a new payload: its own header bytes kept, sizes and the
// data offset updated.
Bytes ResizeSection(const Section &S, ByteView Payload) {
  Bytes Extra(S.Raw.begin() + S.HeaderSize, S.Raw.begin() + S.BodyOffset);
  Bytes Out = SectionHeader(S.Type, Extra.size() + Payload.size());
  if (S.Type == sectiontype::GuidDefined) {
    uint64_t DataOffset = Out.size() + Extra.size();
    Write16(Extra, 16, static_cast<uint16_t>(DataOffset));
  } else if (S.Type == sectiontype::Compression) {
    Write32(Extra, 0, static_cast<uint32_t>(Payload.size()));
  }
  Append(Out, Extra);
  Append(Out, Payload);
  return Out;
}

class Rebuilder {
 public:
  Rebuilder(const Volume &Target, std::function<Bytes(const Volume &)> Change, AddReport *Report)
      : Target(Target), Change(std::move(Change)), Report(Report) {}

  std::optional<Bytes> InVolume(const Volume &V) {
    if (&V == &Target) return Change(V);
    for (size_t I = 0; I < V.Files.size(); ++I) {
      if (auto New = InFile(V, V.Files[I])) return ReplaceFile(V, I, *New);
    }
    return std::nullopt;
  }

 private:
  std::optional<Bytes> InFile(const Volume &V, const File &F) {
    for (size_t I = 0; I < F.Sections.size(); ++I) {
      if (auto New = InSection(F.Sections[I])) {
        Bytes Data = ReplaceInSequence(F.Data(), F.Offset + F.HeaderSize, F.Sections, I, *New);
        FileFields Fields{F.Name, F.Type, F.Attributes, V.ErasePolarity, V.IsFfs3()};
        Bytes Out = MakeFile(Fields, Data);
        Note("file " + F.Name.ToString() + ": " + Hex(F.Size()) + " -> " + Hex(Out.size()) + " bytes");
        return Out;
      }
    }
    return std::nullopt;
  }

  std::optional<Bytes> InSection(const Section &S) {
    for (const Volume &V : S.Volumes) {
      if (auto New = InVolume(V)) {
        if (New->size() != V.Length()) throw std::logic_error("internal: a nested volume changed its size");
        Bytes Out(S.Raw.begin(), S.Raw.end());
        std::copy(New->begin(), New->end(), Out.begin() + (V.Offset - S.Offset));
        return Out;
      }
    }
    for (size_t I = 0; I < S.Sections.size(); ++I) {
      auto New = InSection(S.Sections[I]);
      if (!New) continue;
      ByteView Region = S.Decoded ? ByteView(*S.Decoded) : S.Body();
      size_t Base = S.Decoded ? 0 : S.Offset + S.BodyOffset;
      Bytes Payload = ReplaceInSequence(Region, Base, S.Sections, I, *New);
      if (S.IsLzma()) {
        Bytes Packed = LzmaCompress(Payload, LzmaParametersOf(S.Body()));
        Note("LZMA section: " + Hex(S.Body().size()) + " -> " + Hex(Packed.size()) + " compressed bytes (" +
             Hex(Payload.size()) + " decompressed)");
        Payload = std::move(Packed);
      } else if (S.Type == sectiontype::GuidDefined) {
        // Its header may carry a digest of the payload that we cannot redo.
        throw InputError("the DXE volume lies inside a GUID-defined section " + S.Definition.ToString() +
                         " that fvtool cannot rebuild");
      }
      return ResizeSection(S, Payload);
    }
    return std::nullopt;
  }

  // The volume with file Index replaced by New, which may be larger or
  // smaller: it may take the free space behind it or a pad file right after
  // it; what it leaves becomes free space or a pad file.
  Bytes ReplaceFile(const Volume &V, size_t Index, ByteView New) {
    if (!V.Problem.empty()) throw InputError("volume at " + Hex(V.Offset) + ": " + V.Problem);
    const File &F = V.Files[Index];
    size_t At = F.Offset - V.Offset;
    bool Tail = Index + 1 == V.Files.size();
    size_t RegionEnd = V.Length();
    if (!Tail) {
      const File &Next = V.Files[Index + 1];
      RegionEnd = Next.Offset - V.Offset;
      if (Next.Type == filetype::Pad) {
        Tail = Index + 2 == V.Files.size();
        RegionEnd = Tail ? V.Length() : V.Files[Index + 2].Offset - V.Offset;
      }
    }
    if (New.size() > RegionEnd - At) {
      throw InputError("no room: the rebuilt file " + F.Name.ToString() + " needs " + Hex(New.size()) +
                       " bytes, its volume at " + Hex(V.Offset) + " has " + Hex(RegionEnd - At) + " for it");
    }
    Bytes Out(V.Raw.begin(), V.Raw.end());
    std::fill(Out.begin() + At, Out.begin() + RegionEnd, EraseByte(V));
    std::copy(New.begin(), New.end(), Out.begin() + At);
    size_t End = AlignUp(At + New.size(), 8);
    if (!Tail && End < RegionEnd) {
      size_t Gap = RegionEnd - End;
      if (Gap < ffs::HeaderSize) {
        throw InputError("the rebuilt file " + F.Name.ToString() + " leaves " + std::to_string(Gap) +
                         " bytes before the next file, too few for a pad file");
      }
      Bytes Pad = PadFile(V, Gap);
      std::copy(Pad.begin(), Pad.end(), Out.begin() + End);
    }
    return Out;
  }

  void Note(const std::string &Line) {
    if (Report) Report->Rebuilt.push_back(Line);
  }

  const Volume &Target;
  std::function<Bytes(const Volume &)> Change;
  AddReport *Report;
};

void CollectNames(const Volume &Top, std::set<Guid> &Names) {
  ForEachVolume(Top, [&](const Volume &V) {
    for (const File &F : V.Files) {
      if (F.Valid && F.Type != filetype::Pad) Names.insert(F.Name);
    }
  });
}

}  // namespace

const Volume &FindDxeVolume(const Image &I) {
  std::vector<const Volume *> Found;
  ForEachVolume(I, [&](const Volume &V) {
    for (const File &F : V.Files) {
      if (F.Valid && F.Type == filetype::DxeCore) {
        Found.push_back(&V);
        break;
      }
    }
  });
  if (Found.empty()) throw InputError("no firmware volume holds a DXE core (file type 0x05)");
  if (Found.size() > 1) throw InputError("more than one firmware volume holds a DXE core");
  return *Found.front();
}

Bytes AddFiles(const Image &I, const std::vector<NewFile> &Files, AddReport *Report) {
  if (I.SingleFile) throw InputError("the flash image is a single FFS file, not a volume");
  const Volume &Target = FindDxeVolume(I);
  if (!Target.Problem.empty()) throw InputError("DXE volume at " + Hex(Target.Offset) + ": " + Target.Problem);

  std::set<Guid> Names;
  CollectNames(Target, Names);
  std::vector<File> Parsed;
  for (const NewFile &N : Files) {
    File F = ParseStandaloneFile(N.Data, N.Path);
    if (F.Type == filetype::Pad) throw InputError(N.Path + ": is a pad file");
    if (!Names.insert(F.Name).second) {
      throw InputError(N.Path + ": file GUID " + F.Name.ToString() + " is already in the DXE volume");
    }
    if ((F.Attributes & ffs::AttrLargeFile) && !Target.IsFfs3()) {
      throw InputError(N.Path + ": a large file does not fit an FFS2 volume");
    }
    Parsed.push_back(std::move(F));
  }

  auto Insert = [&](const Volume &V) {
    Bytes Out(V.Raw.begin(), V.Raw.end());
    uint64_t Pos = V.FreeOffset;
    for (size_t K = 0; K < Parsed.size(); ++K) {
      const File &F = Parsed[K];
      uint64_t Place = AlignUp(Pos, 8);
      uint64_t Alignment = FileDataAlignment(F.Attributes);
      if (Alignment > 8) {
        // The data after the header lands on the boundary; a pad file fills
        // what lies before, so the gap is none or one pad file's worth.
        uint64_t Aligned = AlignUp(Place + F.HeaderSize, Alignment) - F.HeaderSize;
        while (Aligned != Place && Aligned - Place < ffs::HeaderSize) Aligned += Alignment;
        if (Aligned != Place && Aligned + F.Size() <= V.Length()) {
          Bytes Pad = PadFile(V, Aligned - Place);
          std::copy(Pad.begin(), Pad.end(), Out.begin() + Place);
        }
        Place = Aligned;
      }
      if (Place > V.Length() || F.Size() > V.Length() - Place) {
        throw InputError("no room: " + Files[K].Path + " needs " + Hex(F.Size()) + " bytes at " + Hex(Place) +
                         " of the DXE volume, which ends at " + Hex(V.Length()) + " (" +
                         Hex(V.Length() - std::min<uint64_t>(V.FreeOffset, V.Length())) + " bytes were free)");
      }
      std::copy(F.Raw.begin(), F.Raw.end(), Out.begin() + Place);
      Out[Place + 23] = ValidFileState(V.ErasePolarity);
      if (Report) Report->Placed.push_back(F.Name.ToString() + " at " + Hex(Place));
      Pos = Place + F.Size();
    }
    if (Report) {
      Report->FreeBefore = V.Length() - V.FreeOffset;
      Report->FreeAfter = V.Length() - std::min<uint64_t>(AlignUp(Pos, 8), V.Length());
    }
    return Out;
  };

  if (Report) Report->Volume = "volume at " + Hex(Target.Offset);
  Rebuilder R(Target, Insert, Report);
  Bytes Out(I.Data->begin(), I.Data->end());
  bool Done = false;
  for (const Volume &V : I.Volumes) {
    if (auto New = R.InVolume(V)) {
      std::copy(New->begin(), New->end(), Out.begin() + V.Offset);
      Done = true;
      break;
    }
  }
  if (!Done) throw std::logic_error("internal: the DXE volume is not below any top-level volume");

  // What we hand back must read back with the files in place.
  Image Check = ParseImage(std::make_shared<const Bytes>(Out));
  const Volume &Dxe = FindDxeVolume(Check);
  for (const File &P : Parsed) {
    auto Same = [&](const File &F) {
      return F.Valid && F.Name == P.Name && F.Type == P.Type && F.Attributes == P.Attributes &&
             std::equal(F.Data().begin(), F.Data().end(), P.Data().begin(), P.Data().end());
    };
    if (std::none_of(Dxe.Files.begin(), Dxe.Files.end(), Same)) {
      throw std::logic_error("internal: the rebuilt image lacks " + P.Name.ToString());
    }
  }
  return Out;
}

void WriteFileAtomically(const std::string &Path, ByteView Data) {
  std::filesystem::path Target(Path);
  std::filesystem::path Dir = Target.has_parent_path() ? Target.parent_path() : std::filesystem::path(".");
  std::string Template = (Dir / ("." + Target.filename().string() + ".XXXXXX")).string();
  int Fd = mkstemp(Template.data());
  if (Fd < 0) throw InputError("cannot write " + Path + ": " + std::strerror(errno));
  auto Fail = [&](const std::string &What) {
    int Saved = errno;
    close(Fd);
    unlink(Template.c_str());
    throw InputError("cannot write " + Path + ": " + What + std::strerror(Saved));
  };
  size_t Done = 0;
  while (Done < Data.size()) {
    ssize_t N = write(Fd, Data.data() + Done, Data.size() - Done);
    if (N < 0) {
      if (errno == EINTR) continue;
      Fail("");
    }
    Done += static_cast<size_t>(N);
  }
  if (fchmod(Fd, 0644) != 0 || fsync(Fd) != 0) Fail("");
  if (close(Fd) != 0) {
    int Saved = errno;
    unlink(Template.c_str());
    throw InputError("cannot write " + Path + ": " + std::strerror(Saved));
  }
  if (std::rename(Template.c_str(), Path.c_str()) != 0) {
    int Saved = errno;
    unlink(Template.c_str());
    throw InputError("cannot write " + Path + ": " + std::strerror(Saved));
  }
}

Bytes ReadInputFile(const std::string &Path, uint64_t Limit) {
  std::error_code Error;
  if (std::filesystem::is_directory(Path, Error)) throw InputError(Path + ": is a directory");
  std::ifstream In(Path, std::ios::binary);
  if (!In) throw InputError("cannot read " + Path + ": " + std::strerror(errno));
  In.seekg(0, std::ios::end);
  std::streamoff Size = In.tellg();
  if (Size < 0) throw InputError("cannot read " + Path);
  if (static_cast<uint64_t>(Size) > Limit) throw InputError(Path + ": larger than " + Hex(Limit) + " bytes");
  In.seekg(0);
  Bytes Data(static_cast<size_t>(Size));
  if (Size > 0 && !In.read(reinterpret_cast<char *>(Data.data()), Size)) throw InputError("cannot read " + Path);
  return Data;
}

}  // namespace fv
