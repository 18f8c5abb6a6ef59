// The parsed tree of a flash image: volumes, their files, the files'
// sections, encapsulated sections (LZMA decoded) and nested volumes. Every
// node keeps a view of its own bytes; decoded buffers are owned by the
// section that decoded them, the input by the Image.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Bytes.h"
#include "Guid.h"

namespace fv {

struct Volume;

struct Section {
  ByteView Raw;           // the whole section
  size_t Offset = 0;      // in the buffer that holds it
  uint8_t Type = 0;
  uint32_t HeaderSize = 0;  // common header: 4, or 8 with the extended size
  uint32_t BodyOffset = 0;  // where the payload starts, from the section's start
  // GUID-defined
  Guid Definition;
  uint16_t GuidAttributes = 0;
  // compression
  uint8_t CompressionType = 0;
  uint32_t UncompressedLength = 0;

  std::shared_ptr<const Bytes> Decoded;  // the LZMA output the children live in
  std::vector<Section> Sections;         // encapsulated sections
  std::vector<Volume> Volumes;           // a volume image's volume
  std::string Note;                      // why an encapsulation was not opened

  ByteView Body() const { return Raw.subspan(BodyOffset); }
  bool IsLzma() const;
};

struct File {
  ByteView Raw;
  size_t Offset = 0;
  uint32_t HeaderSize = 0;  // 24, or 32 for a large file
  Guid Name;
  uint8_t Type = 0, Attributes = 0, State = 0;  // State as stored
  bool ErasePolarity = true;
  bool Valid = false;  // header and data valid, not deleted
  std::vector<Section> Sections;

  uint64_t Size() const { return Raw.size(); }
  ByteView Data() const { return Raw.subspan(HeaderSize); }
  std::string StateName() const;
};

struct Volume {
  ByteView Raw;
  size_t Offset = 0;
  uint16_t HeaderLength = 0;
  uint32_t Attributes = 0;
  Guid FileSystem;
  std::optional<Guid> Name;  // from the extended header
  uint8_t Revision = 0;
  bool ErasePolarity = false;
  bool KnownFileSystem = false;  // FFS2 or FFS3: files were parsed
  size_t FirstFileOffset = 0;    // from the volume's start
  std::vector<File> Files;
  size_t FreeOffset = 0;  // from the volume's start: the erased tail after the last file
  std::string Problem;    // a defect that listing tolerates and adding does not

  uint64_t Length() const { return Raw.size(); }
  bool IsFfs3() const;
};

struct Image {
  std::shared_ptr<const Bytes> Data;
  std::vector<Volume> Volumes;     // top level, in order
  std::optional<File> SingleFile;  // the input was one FFS file
};

constexpr int MaxNesting = 32;

// Throws InputError with where and what is wrong.
Image ParseImage(std::shared_ptr<const Bytes> Data);
// One FFS file that fills Data (up to 7 bytes of alignment padding after it).
File ParseStandaloneFile(ByteView Data, const std::string &Where);

// Volumes below (and including) V, depth first.
void ForEachVolume(const Volume &V, const std::function<void(const Volume &)> &Visit);
void ForEachVolume(const Image &I, const std::function<void(const Volume &)> &Visit);

// The first user-interface name in a file's sections, if any.
std::optional<std::string> UiName(const File &F);
// The file's dependency expression as text; "invalid (...)" when its bytes do
// not decode.
std::optional<std::string> DepexText(const File &F);

}  // namespace fv
