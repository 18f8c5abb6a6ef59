#include "Lzma.h"

#include <lzma.h>

#include <algorithm>

namespace fv {

namespace {

struct Stream {
  lzma_stream S = LZMA_STREAM_INIT;
  ~Stream() { lzma_end(&S); }
};

}  // namespace

LzmaParameters LzmaParametersOf(ByteView Stream) {
  LzmaParameters P;
  P.Properties = Read8(Stream, 0);
  P.DictionarySize = Read32(Stream, 1);
  return P;
}

Bytes LzmaDecompress(ByteView Input, const std::string &Where, uint64_t Limit) {
  auto Bad = [&](const std::string &Why) { throw InputError(Where + ": LZMA data " + Why); };
  if (Input.size() < LzmaHeaderSize) Bad("shorter than its 13-byte header");
  if (Input[0] >= 9 * 5 * 5) Bad("has an invalid properties byte " + Hex(Input[0]));
  uint64_t Size = Read64(Input, 5);
  if (Size == UINT64_MAX) Bad("gives no uncompressed size");
  if (Size > Limit) Bad("claims " + Hex(Size) + " uncompressed bytes, more than the " + Hex(Limit) + " allowed");

  Stream D;
  if (lzma_alone_decoder(&D.S, uint64_t{1} << 30) != LZMA_OK) throw std::runtime_error("lzma_alone_decoder failed");
  // Grown as output arrives: a header may claim far more than the stream holds.
  Bytes Out(std::min<uint64_t>(Size, uint64_t{1} << 20));
  D.S.next_in = Input.data();
  D.S.avail_in = Input.size();
  lzma_ret Ret;
  for (;;) {
    D.S.next_out = Out.data() + D.S.total_out;
    D.S.avail_out = Out.size() - D.S.total_out;
    Ret = lzma_code(&D.S, LZMA_FINISH);
    if (Ret != LZMA_OK) break;
    if (D.S.avail_out == 0) {
      if (Out.size() < Size) {
        Out.resize(std::min<uint64_t>(Size, Out.size() * 2));
        continue;
      }
      // Full: a stream that still produces a byte is longer than its header says.
      uint8_t Extra;
      D.S.next_out = &Extra;
      D.S.avail_out = 1;
      Ret = lzma_code(&D.S, LZMA_FINISH);
      if (D.S.avail_out == 0) Bad("holds more than the " + Hex(Size) + " bytes its header gives");
      break;
    }
  }
  if (Ret == LZMA_MEMLIMIT_ERROR || Ret == LZMA_MEM_ERROR) Bad("needs too much memory to decode");
  uint64_t Got = D.S.total_out;
  if (Ret == LZMA_DATA_ERROR && Got == Size) {
    Bad("holds more than the " + Hex(Size) + " bytes its header gives");
  }
  if (Ret != LZMA_STREAM_END) {
    if (Ret == LZMA_DATA_ERROR) {
      Bad("is corrupt or shorter than the " + Hex(Size) + " bytes its header gives (decoding stopped after " +
          Hex(Got) + ")");
    }
    if (Got < Size) Bad("ends after " + Hex(Got) + " of the " + Hex(Size) + " bytes its header gives");
    Bad("does not decode (liblzma error " + std::to_string(static_cast<int>(Ret)) + ")");
  }
  if (Got != Size) Bad("decodes to " + Hex(Got) + " bytes, its header gives " + Hex(Size));
  if (D.S.avail_in != 0) Bad("has " + std::to_string(D.S.avail_in) + " bytes after the " + Hex(Size) + " its header gives");
  return Out;
}

Bytes LzmaCompress(ByteView Data, const LzmaParameters &Parameters) {
  lzma_options_lzma Options;
  if (lzma_lzma_preset(&Options, 9)) throw std::runtime_error("lzma_lzma_preset failed");
  // Keep the producer's lc/lp/pb and dictionary: the firmware's decoder
  // sized its probability tables for them.
  unsigned Props = Parameters.Properties;
  Options.lc = Props % 9;
  Options.lp = Props / 9 % 5;
  Options.pb = Props / 45;
  Options.dict_size = std::max<uint32_t>(Parameters.DictionarySize, LZMA_DICT_SIZE_MIN);
  Stream E;
  if (lzma_alone_encoder(&E.S, &Options) != LZMA_OK) throw std::runtime_error("lzma_alone_encoder refused the options");
  Bytes Out(Data.size() + Data.size() / 16 + 4096);
  E.S.next_in = Data.data();
  E.S.avail_in = Data.size();
  for (;;) {
    E.S.next_out = Out.data() + E.S.total_out;
    E.S.avail_out = Out.size() - E.S.total_out;
    lzma_ret Ret = lzma_code(&E.S, LZMA_FINISH);
    if (Ret == LZMA_STREAM_END) break;
    if (Ret != LZMA_OK) throw std::runtime_error("LZMA encoder failed (" + std::to_string(static_cast<int>(Ret)) + ")");
    if (E.S.avail_out == 0) Out.resize(Out.size() * 2);
  }
  Out.resize(E.S.total_out);
  // The alone encoder writes "size unknown"; the firmware's decoder sizes
  // its output from this field.
  Write64(Out, 5, Data.size());
  return Out;
}

}  // namespace fv
