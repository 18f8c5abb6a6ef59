// EFI_GUID in its stored byte order, and the registry text form
// XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Bytes.h"

namespace fv {

struct Guid {
  std::array<uint8_t, 16> Raw{};  // Data1, Data2, Data3 little-endian, then Data4

  static std::optional<Guid> Parse(std::string_view Text);
  static Guid At(ByteView B, size_t Offset);
  std::string ToString() const;  // upper case
  void Store(Bytes &B, size_t Offset) const;
  auto operator<=>(const Guid &) const = default;
};

namespace guids {
extern const Guid Ffs2FileSystem;  // 8C8CE578-8A3D-4F1C-9935-896185C32DD3
extern const Guid Ffs3FileSystem;  // 5473C07A-3DCB-4DCA-BD6F-1E9689E7349A
extern const Guid LzmaSection;     // EE4E5898-3914-4259-9D6E-DC7BD79403CF
}  // namespace guids

}  // namespace fv
