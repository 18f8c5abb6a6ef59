// The LZMA "alone" streams of LZMA GUID-defined sections: 13-byte header
// (properties, dictionary size, uncompressed size) and the LZMA1 data.
#pragma once

#include <string>

#include "Bytes.h"

namespace fv {

constexpr size_t LzmaHeaderSize = 13;
constexpr uint64_t LzmaMaxOutput = uint64_t{512} << 20;

struct LzmaParameters {
  uint8_t Properties = 0x5D;  // (pb * 5 + lp) * 9 + lc
  uint32_t DictionarySize = 1u << 24;
};

// Decodes a whole stream whose header gives its real uncompressed size;
// InputError (prefixed with Where) when it does not decode to exactly that
// many bytes or the size is over Limit.
Bytes LzmaDecompress(ByteView Stream, const std::string &Where, uint64_t Limit = LzmaMaxOutput);
LzmaParameters LzmaParametersOf(ByteView Stream);

// A stream the firmware's decoder reads: the header carries the real size.
Bytes LzmaCompress(ByteView Data, const LzmaParameters &Parameters);

}  // namespace fv
