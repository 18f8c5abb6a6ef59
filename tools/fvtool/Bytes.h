// Byte buffers, little-endian access and the error kinds of fvtool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace fv {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

// Something wrong with what the user gave us (exit 2). Everything else that
// is thrown is a fault of fvtool itself (exit 1).
struct InputError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Reads past the end are bugs: callers check lengths against their container
// first, with a message that says which structure is short.
inline void NeedBytes(ByteView B, size_t Offset, size_t Count) {
  if (Offset > B.size() || Count > B.size() - Offset) {
    throw std::out_of_range("internal: read of " + std::to_string(Count) + " bytes at " + std::to_string(Offset) +
                            " past a buffer of " + std::to_string(B.size()));
  }
}

inline uint8_t Read8(ByteView B, size_t Offset) {
  NeedBytes(B, Offset, 1);
  return B[Offset];
}
inline uint16_t Read16(ByteView B, size_t Offset) {
  NeedBytes(B, Offset, 2);
  return static_cast<uint16_t>(B[Offset] | B[Offset + 1] << 8);
}
inline uint32_t Read24(ByteView B, size_t Offset) {
  NeedBytes(B, Offset, 3);
  return B[Offset] | B[Offset + 1] << 8 | static_cast<uint32_t>(B[Offset + 2]) << 16;
}
inline uint32_t Read32(ByteView B, size_t Offset) {
  NeedBytes(B, Offset, 4);
  return Read16(B, Offset) | static_cast<uint32_t>(Read16(B, Offset + 2)) << 16;
}
inline uint64_t Read64(ByteView B, size_t Offset) {
  NeedBytes(B, Offset, 8);
  return Read32(B, Offset) | static_cast<uint64_t>(Read32(B, Offset + 4)) << 32;
}

inline void Write8(Bytes &B, size_t Offset, uint8_t V) {
  NeedBytes(B, Offset, 1);
  B[Offset] = V;
}
inline void Write16(Bytes &B, size_t Offset, uint16_t V) {
  NeedBytes(B, Offset, 2);
  B[Offset] = static_cast<uint8_t>(V);
  B[Offset + 1] = static_cast<uint8_t>(V >> 8);
}
inline void Write24(Bytes &B, size_t Offset, uint32_t V) {
  NeedBytes(B, Offset, 3);
  for (int I = 0; I < 3; ++I) B[Offset + I] = static_cast<uint8_t>(V >> (8 * I));
}
inline void Write32(Bytes &B, size_t Offset, uint32_t V) {
  NeedBytes(B, Offset, 4);
  for (int I = 0; I < 4; ++I) B[Offset + I] = static_cast<uint8_t>(V >> (8 * I));
}
inline void Write64(Bytes &B, size_t Offset, uint64_t V) {
  NeedBytes(B, Offset, 8);
  for (int I = 0; I < 8; ++I) B[Offset + I] = static_cast<uint8_t>(V >> (8 * I));
}

inline void Append(Bytes &To, ByteView From) { To.insert(To.end(), From.begin(), From.end()); }

constexpr uint64_t AlignUp(uint64_t Value, uint64_t Alignment) { return (Value + Alignment - 1) & ~(Alignment - 1); }

std::string Hex(uint64_t Value);  // "0x1F"

}  // namespace fv
