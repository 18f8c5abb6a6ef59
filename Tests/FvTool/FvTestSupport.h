// Test images built here, byte by byte, without fvtool's builders: FFS files,
// volumes, LZMA-compressed volumes, minimal PE32+ images, and running the
// fvtool binary.
#pragma once

#include <lzma.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fvtest {

using Bytes = std::vector<uint8_t>;
using GuidBytes = std::array<uint8_t, 16>;

// 8C8CE578-8A3D-4F1C-9935-896185C32DD3, stored
constexpr GuidBytes Ffs2 = {0x78, 0xE5, 0x8C, 0x8C, 0x3D, 0x8A, 0x1C, 0x4F,
                            0x99, 0x35, 0x89, 0x61, 0x85, 0xC3, 0x2D, 0xD3};
// EE4E5898-3914-4259-9D6E-DC7BD79403CF, stored
constexpr GuidBytes LzmaGuid = {0x98, 0x58, 0x4E, 0xEE, 0x14, 0x39, 0x59, 0x42,
                                0x9D, 0x6E, 0xDC, 0x7B, 0xD7, 0x94, 0x03, 0xCF};

inline GuidBytes TestGuid(uint8_t N) {
  GuidBytes G{};
  for (int I = 0; I < 16; ++I) G[I] = static_cast<uint8_t>(0x10 * N + I);
  return G;
}
// The text form of TestGuid(N): Data1..3 are little-endian.
inline std::string TestGuidText(uint8_t N) {
  GuidBytes G = TestGuid(N);
  char T[40];
  std::snprintf(T, sizeof T, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", G[3], G[2], G[1],
                G[0], G[5], G[4], G[7], G[6], G[8], G[9], G[10], G[11], G[12], G[13], G[14], G[15]);
  return T;
}

inline void Put(Bytes &B, size_t At, uint64_t V, int Width) {
  for (int I = 0; I < Width; ++I) B.at(At + I) = static_cast<uint8_t>(V >> (8 * I));
}
inline uint64_t Get(const Bytes &B, size_t At, int Width) {
  uint64_t V = 0;
  for (int I = 0; I < Width; ++I) V |= uint64_t{B.at(At + I)} << (8 * I);
  return V;
}
inline uint8_t Sum(const Bytes &B, size_t From, size_t To) {
  uint8_t S = 0;
  for (size_t I = From; I < To; ++I) S = static_cast<uint8_t>(S + B.at(I));
  return S;
}

// A section with a 4-byte header.
inline Bytes Section(uint8_t Type, const Bytes &Body) {
  Bytes S(4);
  Put(S, 0, Body.size() + 4, 3);
  S[3] = Type;
  S.insert(S.end(), Body.begin(), Body.end());
  return S;
}

// An FFS file with the sections laid 4-byte aligned; header checksum over the
// header without State and file checksum; 0xAA as the file checksum; the
// State of an erase-polarity-1 volume.
inline Bytes File(const GuidBytes &Name, uint8_t Type, const std::vector<Bytes> &Sections, uint8_t Attributes = 0) {
  Bytes F(24, 0);
  std::copy(Name.begin(), Name.end(), F.begin());
  F[18] = Type;
  F[19] = Attributes;
  for (const Bytes &S : Sections) {
    F.resize((F.size() + 3) & ~size_t{3}, 0);
    F.insert(F.end(), S.begin(), S.end());
  }
  Put(F, 20, F.size(), 3);
  F[16] = static_cast<uint8_t>(0x100 - Sum(F, 0, 24));
  F[17] = 0xAA;
  F[23] = 0xF8;
  return F;
}

// A file of exactly Size bytes (a multiple of 4, at least 28): one raw section.
inline Bytes FileOfSize(const GuidBytes &Name, size_t Size, uint8_t Type = 0x07, uint8_t Attributes = 0) {
  return File(Name, Type, {Section(0x19, Bytes(Size - 28, 0x5A))}, Attributes);
}

inline void FixVolumeChecksum(Bytes &V) {
  size_t HeaderLength = Get(V, 48, 2);
  Put(V, 50, 0, 2);
  uint16_t S = 0;
  for (size_t I = 0; I < HeaderLength; I += 2) S = static_cast<uint16_t>(S + Get(V, I, 2));
  Put(V, 50, static_cast<uint16_t>(0x10000 - S), 2);
}

// An FFS2 volume of Length bytes, erase polarity 1, 72-byte header, files
// from offset 0x48 on, each 8-byte aligned.
inline Bytes Volume(size_t Length, const std::vector<Bytes> &Files) {
  Bytes V(Length, 0xFF);
  std::fill(V.begin(), V.begin() + 72, 0);
  std::copy(Ffs2.begin(), Ffs2.end(), V.begin() + 16);
  Put(V, 32, Length, 8);
  Put(V, 40, 0x4856465F, 4);  // "_FVH"
  Put(V, 44, 0x0004FEFF, 4);
  Put(V, 48, 72, 2);
  V[55] = 2;
  Put(V, 56, 1, 4);
  Put(V, 60, Length, 4);
  size_t At = 72;
  for (const Bytes &F : Files) {
    std::copy(F.begin(), F.end(), V.begin() + At);
    At = (At + F.size() + 7) & ~size_t{7};
  }
  FixVolumeChecksum(V);
  return V;
}

// The DXE core of the test volumes: file 0x05 with a raw section.
inline Bytes DxeCore(size_t Size = 0x30) { return FileOfSize(TestGuid(0xD), Size, 0x05); }

inline Bytes AloneCompress(const Bytes &Data) {
  lzma_options_lzma O;
  lzma_lzma_preset(&O, 6);
  lzma_stream S = LZMA_STREAM_INIT;
  if (lzma_alone_encoder(&S, &O) != LZMA_OK) return {};
  Bytes Out(Data.size() * 2 + 4096);
  S.next_in = Data.data();
  S.avail_in = Data.size();
  S.next_out = Out.data();
  S.avail_out = Out.size();
  lzma_ret R = lzma_code(&S, LZMA_FINISH);
  Out.resize(R == LZMA_STREAM_END ? S.total_out : 0);
  lzma_end(&S);
  if (Out.size() >= 13) Put(Out, 5, Data.size(), 8);
  return Out;
}

// Decodes an alone stream with liblzma; empty on failure.
inline Bytes AloneDecompress(const Bytes &Stream) {
  lzma_stream S = LZMA_STREAM_INIT;
  if (lzma_alone_decoder(&S, UINT64_MAX) != LZMA_OK) return {};
  Bytes Out(Get(Stream, 5, 8));
  S.next_in = Stream.data();
  S.avail_in = Stream.size();
  S.next_out = Out.data();
  S.avail_out = Out.size();
  lzma_ret R = lzma_code(&S, LZMA_FINISH);
  bool Whole = R == LZMA_STREAM_END && S.total_out == Out.size();
  lzma_end(&S);
  return Whole ? Out : Bytes{};
}

// The GUID-defined LZMA section around Inner (uncompressed section bytes).
inline Bytes LzmaSection(const Bytes &Inner) {
  Bytes Body(20, 0);
  std::copy(LzmaGuid.begin(), LzmaGuid.end(), Body.begin());
  Put(Body, 16, 24, 2);  // data offset
  Put(Body, 18, 1, 2);   // processing required
  Bytes Packed = AloneCompress(Inner);
  Body.insert(Body.end(), Packed.begin(), Packed.end());
  return Section(0x02, Body);
}

// A flash image shaped like OVMF's: an outer volume whose one file (type
// 0x0B) holds an LZMA section with the DXE volume in a volume image section.
// The outer volume is OuterSlack bytes longer than its file needs.
inline Bytes CompressedImage(const Bytes &DxeVolume, size_t OuterSlack) {
  Bytes Outer = File(TestGuid(0xC), 0x0B, {LzmaSection(Section(0x17, DxeVolume))});
  size_t Length = 72 + ((Outer.size() + 7) & ~size_t{7}) + OuterSlack;
  return Volume(Length, {Outer});
}

// A PE32+ x64 image of Size bytes (at least 0x150): DOS header, PE header at
// 0x40, 240-byte optional header, no sections.
inline Bytes MinimalPe(size_t Size = 0x150) {
  Bytes P(Size, 0);
  for (size_t I = 0x150; I < Size; ++I) P[I] = static_cast<uint8_t>(I * 7);
  P[0] = 'M';
  P[1] = 'Z';
  Put(P, 0x3C, 0x40, 4);
  Put(P, 0x40, 0x00004550, 4);  // "PE\0\0"
  Put(P, 0x44, 0x8664, 2);
  Put(P, 0x54, 240, 2);
  Put(P, 0x58, 0x20B, 2);
  Put(P, 0x9C, 11, 2);  // subsystem (optional header + 68): boot-service driver
  return P;
}

inline Bytes ReadAll(const std::filesystem::path &Path) {
  std::ifstream In(Path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(In), {});
}
inline void WriteAll(const std::filesystem::path &Path, const Bytes &Data) {
  std::ofstream(Path, std::ios::binary).write(reinterpret_cast<const char *>(Data.data()), Data.size());
}

struct Run {
  int Exit = -1;
  std::string Out, Err;
};

// Runs a command line (shell syntax) and captures its streams.
inline Run Shell(const std::string &Command, const std::filesystem::path &Scratch) {
  auto OutPath = Scratch / ".stdout", ErrPath = Scratch / ".stderr";
  int Status = std::system((Command + " >" + OutPath.string() + " 2>" + ErrPath.string() + " </dev/null").c_str());
  Run R;
  R.Exit = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  std::stringstream O, E;
  O << std::ifstream(OutPath).rdbuf();
  E << std::ifstream(ErrPath).rdbuf();
  R.Out = O.str();
  R.Err = E.str();
  std::filesystem::remove(OutPath);
  std::filesystem::remove(ErrPath);
  return R;
}

inline Run Fvtool(const std::string &Args, const std::filesystem::path &Scratch) {
  return Shell(std::string(FVTOOL_BINARY) + " " + Args, Scratch);
}

// A fresh directory per test.
struct ScratchDir {
  std::filesystem::path Path;
  explicit ScratchDir(const std::string &Name) {
    Path = std::filesystem::temp_directory_path() / ("fvtool-" + Name + "-" + std::to_string(getpid()));
    std::filesystem::remove_all(Path);
    std::filesystem::create_directories(Path);
  }
  ~ScratchDir() { std::filesystem::remove_all(Path); }
  std::string operator/(const std::string &Name) const { return (Path / Name).string(); }
};

}  // namespace fvtest
