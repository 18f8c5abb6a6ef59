#include "Listing.h"

#include <sstream>

#include "Ffs.h"

namespace fv {

namespace {

std::string FileSystemName(const Guid &G) {
  if (G == guids::Ffs2FileSystem) return "FFS2";
  if (G == guids::Ffs3FileSystem) return "FFS3";
  return G.ToString();
}

std::string SectionLabel(const Section &S) {
  std::string Label = SectionTypeName(S.Type);
  if (S.IsLzma()) {
    Label += " LZMA " + S.Definition.ToString();
  } else if (S.Type == sectiontype::GuidDefined || S.Type == sectiontype::FreeformSubtypeGuid) {
    Label += " " + S.Definition.ToString();
  } else if (S.Type == sectiontype::Compression) {
    Label += S.CompressionType == 0 ? " (not compressed)" : " (type " + Hex(S.CompressionType) + ")";
  }
  return Label;
}

bool IsContainer(const Section &S) { return !S.Sections.empty() || !S.Volumes.empty() || !S.Note.empty(); }

class TextWriter {
 public:
  std::string Take() { return Out.str(); }

  void WriteVolume(const Volume &V, int Depth, bool Decoded) {
    Line(Depth) << "volume at " << Hex(V.Offset) << (Decoded ? " of the decoded data" : "") << ", " << Hex(V.Length())
                << " bytes, attributes " << Hex(V.Attributes) << ", file system " << FileSystemName(V.FileSystem)
                << ", erase polarity " << (V.ErasePolarity ? 1 : 0);
    if (V.Name) Out << ", name " << V.Name->ToString();
    Out << "\n";
    if (!V.KnownFileSystem) {
      Line(Depth + 1) << "(files not listed: unknown file system)\n";
      return;
    }
    for (const File &F : V.Files) WriteFile(F, Depth + 1, Decoded);
    Line(Depth + 1) << "free space: " << Hex(V.Length() - V.FreeOffset) << " bytes at " << Hex(V.Offset + V.FreeOffset)
                    << "\n";
    if (!V.Problem.empty()) Line(Depth + 1) << "problem: " << V.Problem << "\n";
  }

  void WriteFile(const File &F, int Depth, bool Decoded) {
    if (F.Type == filetype::Pad) {
      Line(Depth) << "pad file, " << Hex(F.Size()) << " bytes\n";
      return;
    }
    Line(Depth) << F.Name.ToString() << "  " << FileTypeName(F.Type) << ", " << Hex(F.Size()) << " bytes";
    if (auto Name = UiName(F)) Out << ", \"" << *Name << "\"";
    if (!F.Valid) Out << " (" << F.StateName() << ")";
    Out << "\n";
    if (auto Depex = DepexText(F)) Line(Depth + 2) << "depex: " << *Depex << "\n";
    for (const Section &S : F.Sections) WriteSection(S, Depth + 1, Decoded);
  }

  // Only sections that hold something are shown; leaves are summed up in
  // the file line.
  void WriteSection(const Section &S, int Depth, bool Decoded) {
    if (!IsContainer(S)) return;
    Line(Depth) << "section " << SectionLabel(S) << ", " << Hex(S.Raw.size()) << " bytes";
    if (S.Decoded) Out << ", " << Hex(S.Decoded->size()) << " decoded";
    if (!S.Note.empty()) Out << " (" << S.Note << ")";
    Out << "\n";
    bool Inner = Decoded || S.Decoded;
    for (const Section &C : S.Sections) WriteSection(C, Depth + 1, Inner);
    for (const Volume &V : S.Volumes) WriteVolume(V, Depth + 1, Decoded);
  }

 private:
  std::ostream &Line(int Depth) { return Out << std::string(2 * Depth, ' '); }
  std::ostringstream Out;
};

nlohmann::json SectionJson(const Section &S);

nlohmann::json VolumeJson(const Volume &V);

nlohmann::json FileJson(const File &F) {
  nlohmann::json J = {{"guid", F.Name.ToString()},
                      {"type", F.Type},
                      {"type_name", FileTypeName(F.Type)},
                      {"offset", F.Offset},
                      {"size", F.Size()},
                      {"attributes", F.Attributes},
                      {"state", F.StateName()}};
  if (auto Name = UiName(F)) J["name"] = *Name;
  if (auto Depex = DepexText(F)) J["depex"] = *Depex;
  J["sections"] = nlohmann::json::array();
  for (const Section &S : F.Sections) J["sections"].push_back(SectionJson(S));
  return J;
}

nlohmann::json SectionJson(const Section &S) {
  nlohmann::json J = {{"type", S.Type}, {"type_name", SectionTypeName(S.Type)}, {"offset", S.Offset},
                      {"size", S.Raw.size()}};
  if (S.Type == sectiontype::GuidDefined || S.Type == sectiontype::FreeformSubtypeGuid) {
    J["guid"] = S.Definition.ToString();
  }
  if (S.Type == sectiontype::GuidDefined) J["guid_attributes"] = S.GuidAttributes;
  if (S.Type == sectiontype::Compression) J["compression_type"] = S.CompressionType;
  if (S.Decoded) J["decoded_size"] = S.Decoded->size();
  if (!S.Note.empty()) J["note"] = S.Note;
  if (!S.Sections.empty()) {
    J["sections"] = nlohmann::json::array();
    for (const Section &C : S.Sections) J["sections"].push_back(SectionJson(C));
  }
  if (!S.Volumes.empty()) {
    J["volumes"] = nlohmann::json::array();
    for (const Volume &V : S.Volumes) J["volumes"].push_back(VolumeJson(V));
  }
  return J;
}

nlohmann::json VolumeJson(const Volume &V) {
  nlohmann::json J = {{"offset", V.Offset},
                      {"size", V.Length()},
                      {"attributes", V.Attributes},
                      {"file_system", V.FileSystem.ToString()},
                      {"erase_polarity", V.ErasePolarity ? 1 : 0},
                      {"header_length", V.HeaderLength}};
  if (V.Name) J["name"] = V.Name->ToString();
  if (V.KnownFileSystem) {
    J["free_space"] = {{"offset", V.Offset + V.FreeOffset}, {"size", V.Length() - V.FreeOffset}};
    J["files"] = nlohmann::json::array();
    for (const File &F : V.Files) J["files"].push_back(FileJson(F));
  }
  if (!V.Problem.empty()) J["problem"] = V.Problem;
  return J;
}

}  // namespace

std::string ListText(const Image &I) {
  TextWriter W;
  if (I.SingleFile) W.WriteFile(*I.SingleFile, 0, false);
  for (const Volume &V : I.Volumes) W.WriteVolume(V, 0, false);
  return W.Take();
}

nlohmann::json ListJson(const Image &I) {
  nlohmann::json J = nlohmann::json::object();
  if (I.SingleFile) {
    J["files"] = nlohmann::json::array({FileJson(*I.SingleFile)});
  } else {
    J["volumes"] = nlohmann::json::array();
    for (const Volume &V : I.Volumes) J["volumes"].push_back(VolumeJson(V));
  }
  return J;
}

}  // namespace fv
