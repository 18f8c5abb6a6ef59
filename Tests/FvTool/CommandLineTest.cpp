// The fvtool binary: bad input gives exit 2, one line on stderr and no
// output file; and on Debian's OVMF, files added by fvtool are found by an
// independent parser (UEFIExtract) and by `fvtool list`.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "FvTestSupport.h"

namespace {

using fvtest::Bytes;
using fvtest::Put;
using fvtest::ScratchDir;

size_t Lines(const std::string &Text) { return std::count(Text.begin(), Text.end(), '\n'); }

std::set<std::string> Entries(const std::filesystem::path &Dir) {
  std::set<std::string> Out;
  for (const auto &E : std::filesystem::directory_iterator(Dir)) Out.insert(E.path().filename().string());
  return Out;
}

void FixFileHeaderChecksum(Bytes &B, size_t At) {
  B[At + 16] = 0;
  B[At + 16] = static_cast<uint8_t>(B[At + 17] + B[At + 23] - fvtest::Sum(B, At, At + 24));
}

TEST(FvToolCommandLine, BadInputIsExit2OneLineAndNoOutputFile) {
  ScratchDir Dir("errors");
  const Bytes Good = fvtest::Volume(0x1000, {fvtest::DxeCore()});
  const size_t Core = 0x48;  // the DXE core file in Good
  Bytes Compressed = fvtest::CompressedImage(fvtest::Volume(0x2000, {fvtest::DxeCore()}), 0x1000);
  const size_t Stream = 0x48 + 24 + 24;  // the LZMA stream in Compressed

  struct Case {
    std::string Name;
    std::function<Bytes()> Flash;
    Bytes Added;
    std::string Message;
  };
  Bytes Small = fvtest::FileOfSize(fvtest::TestGuid(1), 0x40);
  std::vector<Case> Cases = {
      {"not a flash image", [] { return Bytes(0x2000, 0x00); }, Small, "no firmware volume found"},
      {"FvLength beyond the file", [&] { return Bytes(Good.begin(), Good.end() - 1); }, Small, "FvLength 0x1000 runs past"},
      {"header length wrong",
       [&] {
         Bytes B = Good;
         Put(B, 48, 80, 2);
         fvtest::FixVolumeChecksum(B);
         return B;
       },
       Small, "header length 0x50"},
      {"bad volume header checksum",
       [&] {
         Bytes B = Good;
         B[44] ^= 0x01;
         return B;
       },
       Small, "bad header checksum"},
      {"file past its volume",
       [&] {
         Bytes B = Good;
         Put(B, Core + 20, 0x1000 - Core + 1, 3);
         FixFileHeaderChecksum(B, Core);
         return B;
       },
       Small, "runs past the end of its volume"},
      {"bad file header checksum",
       [&] {
         Bytes B = Good;
         B[Core + 16] ^= 0x01;
         return B;
       },
       Small, "bad header checksum"},
      {"section past its file",
       [&] {
         Bytes B = Good;
         Put(B, Core + 24, 0x30 - 24 + 1, 3);
         return B;
       },
       Small, "runs past the end of its container"},
      {"LZMA data that does not decode",
       [&] {
         Bytes B = Compressed;
         B[Stream + 13] = 0x80;  // a range coder's first byte is always 0
         return B;
       },
       Small, "LZMA data"},
      {"LZMA size field too large",
       [&] {
         Bytes B = Compressed;
         Put(B, Stream + 5, fvtest::Get(B, Stream + 5, 8) + 1, 8);
         return B;
       },
       Small, "shorter than the"},
      {"LZMA size field too small",
       [&] {
         Bytes B = Compressed;
         Put(B, Stream + 5, fvtest::Get(B, Stream + 5, 8) - 1, 8);
         return B;
       },
       Small, "LZMA data"},
      {"no room", [&] { return Good; }, fvtest::FileOfSize(fvtest::TestGuid(1), 0x1000 - 0x78 + 1), "no room"},
      {"GUID already present", [&] { return Good; }, fvtest::FileOfSize(fvtest::TestGuid(0xD), 0x40), "already"},
      {"added file with a bad checksum", [&] { return Good; },
       [&] {
         Bytes F = Small;
         F[16] ^= 1;
         return F;
       }(),
       "not an FFS file"},
  };
  for (const Case &K : Cases) {
    SCOPED_TRACE(K.Name);
    fvtest::WriteAll(Dir / "in.fd", K.Flash());
    fvtest::WriteAll(Dir / "new.ffs", K.Added);
    auto Before = Entries(Dir.Path);
    fvtest::Run R = fvtest::Fvtool("add --flash " + Dir / "in.fd" + " -o " + Dir / "out.fd " + Dir / "new.ffs", Dir.Path);
    EXPECT_EQ(R.Exit, 2) << R.Err;
    EXPECT_EQ(Lines(R.Err), 1u) << R.Err;
    EXPECT_NE(R.Err.find(K.Message), std::string::npos) << R.Err;
    EXPECT_EQ(Entries(Dir.Path), Before);  // no output, no temporary left
  }

  // The same one-line, exit-2 rule for ffs and list.
  fvtest::Bytes Pe32 = fvtest::MinimalPe();
  Put(Pe32, 0x58, 0x10B, 2);
  fvtest::WriteAll(Dir / "pe32.efi", Pe32);
  fvtest::WriteAll(Dir / "pe.efi", fvtest::MinimalPe());
  fvtest::WriteAll(Dir / "cut.fd", Bytes(Good.begin(), Good.begin() + 0x800));
  const std::string Ffs = "ffs --guid " + fvtest::TestGuidText(1) + " --type driver --name X -o " + Dir / "out.ffs";
  struct Call {
    std::string Args, Message;
  } Calls[] = {
      {Ffs + " --pe " + Dir / "pe32.efi", "is not PE32+"},
      {Ffs + " --pe " + Dir / "missing.efi", "cannot read"},
      {Ffs + " --pe " + Dir / "pe.efi --depex 'TRUE AND'", "dependency expression"},
      {Ffs + " --pe " + Dir / "pe.efi --type bogus", "--type"},
      {"ffs --pe " + Dir / "pe.efi --guid 1234 --type driver --name X -o " + Dir / "out.ffs", "--guid"},
      {"list " + Dir / "cut.fd", "runs past"},
      {"list", "image"},
  };
  for (const Call &C : Calls) {
    SCOPED_TRACE(C.Args);
    auto Before = Entries(Dir.Path);
    fvtest::Run R = fvtest::Fvtool(C.Args, Dir.Path);
    EXPECT_EQ(R.Exit, 2) << R.Err;
    EXPECT_EQ(Lines(R.Err), 1u) << R.Err;
    EXPECT_NE(R.Err.find(C.Message), std::string::npos) << R.Err;
    EXPECT_EQ(Entries(Dir.Path), Before);
  }
}

// The line of a UEFIExtract report that names Guid, and its index.
std::pair<size_t, std::string> ReportLine(const std::vector<std::string> &Report, const std::string &Guid) {
  for (size_t I = 0; I < Report.size(); ++I) {
    if (Report[I].find(Guid) != std::string::npos) return {I, Report[I]};
  }
  return {Report.size(), ""};
}

TEST(FvToolCommandLine, FilesAddedToOvmfAreFoundByUefiExtractAndListed) {
  if (!std::filesystem::exists(OVMF_CODE)) GTEST_SKIP() << OVMF_CODE << " not installed (package ovmf)";
  ASSERT_TRUE(std::string(UEFIEXTRACT).find("NOTFOUND") == std::string::npos && *UEFIEXTRACT)
      << "UEFIExtract not found; tools/bootstrap installs uefitool-cli";
  ScratchDir Dir("ovmf");
  fvtest::WriteAll(Dir / "image.efi", fvtest::MinimalPe(0x1800));
  const std::string A = "456D2859-A84B-4E47-A2EE-3276D886997D", B = "1B1183FA-1823-46A7-8872-9C578755409D";
  const std::string SmmGuid = "EE0B24EE-A9DC-4FDE-B7CD-E2385F1F8499", DxeGuid = "9F89147A-69DF-45CF-8F31-ED4475398415";
  auto Pack = [&](const std::string &Args) {
    fvtest::Run R = fvtest::Fvtool("ffs --pe " + Dir / "image.efi " + Args, Dir.Path);
    ASSERT_EQ(R.Exit, 0) << R.Err;
  };
  Pack("--guid " + SmmGuid + " --type smm --depex '" + A + " AND " + B + "' --name TestSmmFile --version 2.5 -o " +
       Dir / "smm.ffs");
  Pack("--guid " + DxeGuid + " --type driver --depex 'NOT (" + A + " OR " + B + ")' --name TestDxeFile -o " +
       Dir / "dxe.ffs");
  std::filesystem::copy_file(OVMF_CODE, Dir / "ovmf.fd");
  fvtest::Run Added =
      fvtest::Fvtool("add --flash " + Dir / "ovmf.fd" + " -o " + Dir / "out.fd " + Dir / "smm.ffs " + Dir / "dxe.ffs",
                     Dir.Path);
  ASSERT_EQ(Added.Exit, 0) << Added.Err;
  Bytes Original = fvtest::ReadAll(OVMF_CODE), Out = fvtest::ReadAll(Dir / "out.fd");
  ASSERT_EQ(Out.size(), Original.size());

  // UEFIExtract's report: one line per item, "-" repeated by depth before
  // the GUID, the type in the second column, the UI name at the end.
  fvtest::Run Report = fvtest::Shell(std::string(UEFIEXTRACT) + " " + Dir / "out.fd" + " report", Dir.Path);
  ASSERT_EQ(Report.Exit, 0) << Report.Err;
  std::vector<std::string> Lines;
  std::ifstream In(Dir / "out.fd.report.txt");
  for (std::string L; std::getline(In, L);) Lines.push_back(L);
  auto [CoreAt, Core] = ReportLine(Lines, "| DxeCore");
  auto [SmmAt, Smm] = ReportLine(Lines, SmmGuid);
  auto [DxeAt, Dxe] = ReportLine(Lines, DxeGuid);
  ASSERT_FALSE(Core.empty());
  ASSERT_FALSE(Smm.empty()) << "UEFIExtract does not see " << SmmGuid;
  ASSERT_FALSE(Dxe.empty()) << "UEFIExtract does not see " << DxeGuid;
  EXPECT_NE(Smm.find("| SMM module"), std::string::npos) << Smm;
  EXPECT_NE(Smm.find("| TestSmmFile"), std::string::npos) << Smm;
  EXPECT_NE(Dxe.find("| DXE driver"), std::string::npos) << Dxe;
  EXPECT_NE(Dxe.find("| TestDxeFile"), std::string::npos) << Dxe;
  // Same depth as the DXE core, after it: in the DXE volume.
  auto Depth = [](const std::string &L) {
    size_t Column = 0;
    for (int I = 0; I < 5; ++I) Column = L.find('|', Column) + 1;
    size_t Dashes = L.find_first_not_of(' ', Column);
    return L.find_first_not_of('-', Dashes) - Dashes;
  };
  EXPECT_EQ(Depth(Smm), Depth(Core));
  EXPECT_EQ(Depth(Dxe), Depth(Core));
  EXPECT_GT(SmmAt, CoreAt);
  EXPECT_EQ(DxeAt, SmmAt + 5);  // the SMM file's four sections between them
  EXPECT_NE(Lines[SmmAt + 1].find("MM dependency"), std::string::npos);
  EXPECT_NE(Lines[DxeAt + 1].find("DXE dependency"), std::string::npos);

  // fvtool list: names and decoded dependency expressions.
  fvtest::Run Text = fvtest::Fvtool("list " + Dir / "out.fd", Dir.Path);
  ASSERT_EQ(Text.Exit, 0) << Text.Err;
  size_t SmmLine = Text.Out.find(SmmGuid + "  SMM driver");
  ASSERT_NE(SmmLine, std::string::npos);
  EXPECT_NE(Text.Out.find("\"TestSmmFile\"", SmmLine), std::string::npos);
  EXPECT_NE(Text.Out.find("depex: " + A + " AND " + B + "\n", SmmLine), std::string::npos);
  EXPECT_NE(Text.Out.find(DxeGuid + "  DXE driver"), std::string::npos);
  EXPECT_NE(Text.Out.find("depex: NOT (" + A + " OR " + B + ")\n"), std::string::npos);

  fvtest::Run Json = fvtest::Fvtool("list --json " + Dir / "out.fd", Dir.Path);
  ASSERT_EQ(Json.Exit, 0) << Json.Err;
  auto J = nlohmann::json::parse(Json.Out);
  const auto &Compressed = J["volumes"][0]["files"][0]["sections"][0];
  ASSERT_EQ(Compressed["guid"], "EE4E5898-3914-4259-9D6E-DC7BD79403CF");
  const nlohmann::json *DxeVolume = nullptr;
  for (const auto &Image : Compressed["sections"]) {
    if (!Image.contains("volumes")) continue;
    for (const auto &V : Image["volumes"]) {
      for (const auto &F : V["files"]) {
        if (F["type"] == 5) DxeVolume = &V;
      }
    }
  }
  ASSERT_NE(DxeVolume, nullptr);
  EXPECT_EQ((*DxeVolume)["size"], 0xC00000);  // the DXE volume keeps its size
  int Seen = 0;
  for (const auto &F : (*DxeVolume)["files"]) {
    if (F["guid"] == SmmGuid) {
      ++Seen;
      EXPECT_EQ(F["type"], 0x0A);
      EXPECT_EQ(F["name"], "TestSmmFile");
      EXPECT_EQ(F["depex"], A + " AND " + B);
    } else if (F["guid"] == DxeGuid) {
      ++Seen;
      EXPECT_EQ(F["type"], 0x07);
      EXPECT_EQ(F["name"], "TestDxeFile");
    }
  }
  EXPECT_EQ(Seen, 2);

  // The recompressed stream gives its real size, which liblzma confirms,
  // and decodes to as many bytes as the original did.
  size_t Section = Compressed["offset"].get<size_t>();
  Bytes Stream(Out.begin() + Section + 24, Out.begin() + Section + Compressed["size"].get<size_t>());
  Bytes OriginalStream(Original.begin() + Section + 24,
                       Original.begin() + Section + fvtest::Get(Original, Section, 3));
  uint64_t Size = fvtest::Get(Stream, 5, 8);
  EXPECT_EQ(Size, fvtest::Get(OriginalStream, 5, 8));
  EXPECT_EQ(fvtest::AloneDecompress(Stream).size(), Size);
}

}  // namespace
