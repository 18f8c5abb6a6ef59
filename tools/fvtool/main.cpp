// fvtool: packs PE32+ images into FFS files, adds FFS files to the DXE volume
// of a flash image (inside its LZMA-compressed volume too), lists images.
// Exit status: 0 done, 2 bad input (one line on stderr), 1 internal failure.
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "Edit.h"
#include "Ffs.h"
#include "Firmware.h"
#include "Listing.h"

namespace {

uint8_t ParseFileType(const std::string &Text) {
  if (Text == "driver") return fv::filetype::Driver;
  if (Text == "smm") return fv::filetype::Smm;
  if (Text == "application") return fv::filetype::Application;
  std::string Digits = Text.rfind("0x", 0) == 0 || Text.rfind("0X", 0) == 0 ? Text.substr(2) : Text;
  if (Digits.empty() || Digits.size() > 2 || Digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    throw fv::InputError("--type " + Text + ": expected driver, smm, application or a hex file type");
  }
  unsigned Value = std::stoul(Digits, nullptr, 16);
  if (Value == 0 || Value == fv::filetype::Pad || Value == 0xFF) {
    throw fv::InputError("--type " + Text + ": not a file type for an image");
  }
  return static_cast<uint8_t>(Value);
}

struct Options {
  // ffs
  std::string Pe, Guid, Type, Name, Output;
  std::optional<std::string> Depex, Version;
  // add
  std::string Flash;
  std::vector<std::string> Files;
  // list
  std::string Input;
  bool Json = false;
};

int Pack(const Options &O) {
  fv::PackOptions P;
  P.Pe = fv::ReadInputFile(O.Pe);
  auto G = fv::Guid::Parse(O.Guid);
  if (!G) throw fv::InputError("--guid " + O.Guid + ": expected XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX");
  P.Name = *G;
  P.Type = ParseFileType(O.Type);
  P.Depex = O.Depex;
  P.UiName = O.Name;
  P.Version = O.Version;
  fv::Bytes File;
  try {
    File = fv::PackDriver(P);
  } catch (const fv::InputError &E) {
    std::string What = E.what();
    throw fv::InputError(What.rfind("PE image", 0) == 0 ? O.Pe + ": " + What : What);
  }
  fv::WriteFileAtomically(O.Output, File);
  return 0;
}

int Add(const Options &O) {
  auto Data = std::make_shared<const fv::Bytes>(fv::ReadInputFile(O.Flash));
  fv::Image Image;
  try {
    Image = fv::ParseImage(Data);
  } catch (const fv::InputError &E) {
    throw fv::InputError(O.Flash + ": " + E.what());
  }
  std::vector<fv::NewFile> Files;
  for (const std::string &Path : O.Files) Files.push_back({Path, fv::ReadInputFile(Path)});
  fv::AddReport Report;
  fv::Bytes Out;
  try {
    Out = fv::AddFiles(Image, Files, &Report);
  } catch (const fv::InputError &E) {
    throw fv::InputError(O.Flash + ": " + E.what());
  }
  fv::WriteFileAtomically(O.Output, Out);
  std::cout << "added " << Files.size() << " file(s) to the DXE " << Report.Volume << "\n";
  for (const std::string &P : Report.Placed) std::cout << "  " << P << "\n";
  for (const std::string &R : Report.Rebuilt) std::cout << "  rebuilt " << R << "\n";
  std::cout << "  free space " << fv::Hex(Report.FreeBefore) << " -> " << fv::Hex(Report.FreeAfter) << " bytes\n";
  return 0;
}

int List(const Options &O) {
  auto Data = std::make_shared<const fv::Bytes>(fv::ReadInputFile(O.Input));
  fv::Image Image;
  try {
    Image = fv::ParseImage(Data);
  } catch (const fv::InputError &E) {
    throw fv::InputError(O.Input + ": " + E.what());
  }
  if (O.Json) {
    std::cout << fv::ListJson(Image).dump(1) << "\n";
  } else {
    std::cout << fv::ListText(Image);
  }
  return 0;
}

}  // namespace

int main(int Argc, char **Argv) {
  CLI::App App{"fvtool: firmware volume and FFS file tool"};
  App.require_subcommand(1);
  Options O;

  auto *Ffs = App.add_subcommand("ffs", "Pack a PE32+ x64 image into an FFS file");
  Ffs->add_option("--pe", O.Pe, "PE32+ x64 image")->required();
  Ffs->add_option("--guid", O.Guid, "file GUID, XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX")->required();
  Ffs->add_option("--type", O.Type, "driver, smm, application, or a file type in hex")->required();
  Ffs->add_option("--depex", O.Depex, "dependency expression, e.g. \"GUID AND GUID\"");
  Ffs->add_option("--name", O.Name, "user-interface name")->required();
  Ffs->add_option("--version", O.Version, "version string");
  Ffs->add_option("-o,--output", O.Output, "FFS file to write")->required();

  auto *AddCommand = App.add_subcommand("add", "Add FFS files to the DXE volume of a flash image");
  AddCommand->add_option("--flash", O.Flash, "flash image to read")->required();
  AddCommand->add_option("-o,--output", O.Output, "flash image to write")->required();
  AddCommand->add_option("files", O.Files, "FFS files to add")->required();

  auto *ListCommand = App.add_subcommand("list", "List the volumes, files and sections of an image, volume or FFS file");
  ListCommand->add_option("image", O.Input, "flash image, volume or FFS file")->required();
  ListCommand->add_flag("--json", O.Json, "JSON output");

  try {
    App.parse(Argc, Argv);
  } catch (const CLI::CallForHelp &E) {
    return App.exit(E);
  } catch (const CLI::CallForAllHelp &E) {
    return App.exit(E);
  } catch (const CLI::ParseError &E) {
    std::string What = E.what();
    std::replace(What.begin(), What.end(), '\n', ' ');
    std::cerr << "fvtool: " << What << " (see fvtool --help)\n";
    return 2;
  }

  try {
    if (Ffs->parsed()) return Pack(O);
    if (AddCommand->parsed()) return Add(O);
    return List(O);
  } catch (const fv::InputError &E) {
    std::cerr << "fvtool: " << E.what() << "\n";
    return 2;
  } catch (const std::bad_alloc &) {
    std::cerr << "fvtool: internal error: out of memory\n";
    return 1;
  } catch (const std::exception &E) {
    std::cerr << "fvtool: internal error: " << E.what() << "\n";
    return 1;
  }
}
