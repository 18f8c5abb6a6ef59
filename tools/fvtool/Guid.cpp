#include "Guid.h"

#include <cstdio>

namespace fv {

namespace {

int HexDigit(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

Guid Must(std::string_view Text) { return *Guid::Parse(Text); }

}  // namespace

std::string Hex(uint64_t Value) {
  char Text[24];
  std::snprintf(Text, sizeof Text, "0x%llX", static_cast<unsigned long long>(Value));
  return Text;
}

std::optional<Guid> Guid::Parse(std::string_view Text) {
  if (Text.size() != 36) return std::nullopt;
  // Text positions of the 16 stored bytes: the first three fields are
  // little-endian numbers, so their bytes come reversed.
  static constexpr int Position[16] = {6, 4, 2, 0, 11, 9, 16, 14, 19, 21, 24, 26, 28, 30, 32, 34};
  for (int Dash : {8, 13, 18, 23}) {
    if (Text[Dash] != '-') return std::nullopt;
  }
  Guid G;
  for (int I = 0; I < 16; ++I) {
    int High = HexDigit(Text[Position[I]]), Low = HexDigit(Text[Position[I] + 1]);
    if (High < 0 || Low < 0) return std::nullopt;
    G.Raw[I] = static_cast<uint8_t>(High << 4 | Low);
  }
  return G;
}

Guid Guid::At(ByteView B, size_t Offset) {
  NeedBytes(B, Offset, 16);
  Guid G;
  for (int I = 0; I < 16; ++I) G.Raw[I] = B[Offset + I];
  return G;
}

std::string Guid::ToString() const {
  char Text[40];
  const auto &R = Raw;
  std::snprintf(Text, sizeof Text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", R[3], R[2],
                R[1], R[0], R[5], R[4], R[7], R[6], R[8], R[9], R[10], R[11], R[12], R[13], R[14], R[15]);
  return Text;
}

void Guid::Store(Bytes &B, size_t Offset) const {
  NeedBytes(B, Offset, 16);
  for (int I = 0; I < 16; ++I) B[Offset + I] = Raw[I];
}

namespace guids {
const Guid Ffs2FileSystem = Must("8C8CE578-8A3D-4F1C-9935-896185C32DD3");
const Guid Ffs3FileSystem = Must("5473C07A-3DCB-4DCA-BD6F-1E9689E7349A");
const Guid LzmaSection = Must("EE4E5898-3914-4259-9D6E-DC7BD79403CF");
}  // namespace guids

}  // namespace fv
