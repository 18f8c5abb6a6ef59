// Adding FFS files to the DXE volume of a flash image, and rebuilding every
// container around it.
#pragma once

#include <string>
#include <vector>

#include "Bytes.h"
#include "Firmware.h"

namespace fv {

struct NewFile {
  std::string Path;  // for messages
  Bytes Data;
};

struct AddReport {
  std::string Volume;                 // where the DXE volume is
  std::vector<std::string> Placed;    // "<guid> at <offset>" per file
  uint64_t FreeBefore = 0, FreeAfter = 0;
  std::vector<std::string> Rebuilt;   // containers rebuilt around it
};

// The volume that holds the DXE core; InputError when none or several do.
const Volume &FindDxeVolume(const Image &I);

// The image with Files placed in the DXE volume's free space. Throws
// InputError for bad files, a GUID already present, or no room.
Bytes AddFiles(const Image &I, const std::vector<NewFile> &Files, AddReport *Report = nullptr);

// Writes Data to Path through a temporary file beside it and a rename, so
// Path never holds a half-written file.
void WriteFileAtomically(const std::string &Path, ByteView Data);
// Reads a whole input file; InputError when it cannot.
Bytes ReadInputFile(const std::string &Path, uint64_t Limit = uint64_t{1} << 30);

}  // namespace fv
