// Firmware file system constants and the builders for files and sections.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Bytes.h"
#include "Guid.h"

namespace fv {

namespace filetype {
constexpr uint8_t Raw = 0x01, Freeform = 0x02, SecurityCore = 0x03, PeiCore = 0x04, DxeCore = 0x05, Peim = 0x06,
                  Driver = 0x07, CombinedPeimDriver = 0x08, Application = 0x09, Smm = 0x0A, VolumeImage = 0x0B,
                  CombinedSmmDxe = 0x0C, SmmCore = 0x0D, MmStandalone = 0x0E, MmCoreStandalone = 0x0F, Pad = 0xF0;
}

namespace ffs {
constexpr uint8_t AttrLargeFile = 0x01, AttrDataAlignment2 = 0x02, AttrFixed = 0x04, AttrDataAlignment = 0x38,
                  AttrChecksum = 0x40;
constexpr uint8_t StateHeaderConstruction = 0x01, StateHeaderValid = 0x02, StateDataValid = 0x04,
                  StateMarkedForUpdate = 0x08, StateDeleted = 0x10, StateHeaderInvalid = 0x20;
constexpr uint8_t FixedChecksum = 0xAA;
constexpr size_t HeaderSize = 24, Header2Size = 32;
constexpr uint64_t MaxSmallFileSize = 0xFFFFFF;
}  // namespace ffs

namespace sectiontype {
constexpr uint8_t Compression = 0x01, GuidDefined = 0x02, Disposable = 0x03, Pe32 = 0x10, Pic = 0x11, Te = 0x12,
                  DxeDepex = 0x13, Version = 0x14, UserInterface = 0x15, Compatibility16 = 0x16, VolumeImage = 0x17,
                  FreeformSubtypeGuid = 0x18, Raw = 0x19, PeiDepex = 0x1B, SmmDepex = 0x1C;
}

namespace guidsection {
constexpr uint16_t ProcessingRequired = 0x01, AuthStatusValid = 0x02;
}

std::string FileTypeName(uint8_t Type);
std::string SectionTypeName(uint8_t Type);

uint8_t Sum8(ByteView B);
// Data alignment a file's attributes ask for, in bytes (1 when none).
uint64_t FileDataAlignment(uint8_t Attributes);
// The State byte of a file whose header and data are valid, as stored in a
// volume of the given erase polarity.
uint8_t ValidFileState(bool ErasePolarity);

// Section header (EFI_COMMON_SECTION_HEADER, or ...HEADER2 from 0xFFFFFF
// bytes on) for a section of HeaderExtra + PayloadSize bytes after it.
Bytes SectionHeader(uint8_t Type, uint64_t BodySize);
// Appends one section, 4-byte aligned relative to Sections' start.
void AppendSection(Bytes &Sections, uint8_t Type, ByteView Body);

struct FileFields {
  Guid Name;
  uint8_t Type = 0;
  uint8_t Attributes = 0;  // FFS_ATTRIB_LARGE_FILE is set here as needed
  bool ErasePolarity = true;
  bool AllowLarge = false;  // only FFS3 volumes hold files of 16 MiB and more
};
// A whole file: header, checksums, State. Data checksummed when Attributes
// has FFS_ATTRIB_CHECKSUM, else 0xAA as the PI rules require.
Bytes MakeFile(const FileFields &Fields, ByteView Data);

// UCS-2 (little-endian, NUL-terminated) from UTF-8; InputError on
// characters outside the BMP, NULs or malformed UTF-8.
Bytes Ucs2(std::string_view Utf8, const std::string &What);
std::string FromUcs2(ByteView B);

struct PackOptions {
  Bytes Pe;
  Guid Name;
  uint8_t Type = filetype::Driver;
  std::optional<std::string> Depex;
  std::string UiName;
  std::optional<std::string> Version;
};
// What `fvtool ffs` writes.
Bytes PackDriver(const PackOptions &Options);

// Checks a PE image is PE32+ for x64; InputError saying why not.
void CheckPe32PlusX64(ByteView Image);

}  // namespace fv
