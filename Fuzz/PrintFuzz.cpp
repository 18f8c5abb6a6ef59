// Invariants. Any format, with arguments that are all valid (each both an
// integer and a pointer to a readable, NUL-terminated block), into a buffer
// of any size from 0 to 64 bytes: nothing is written past the buffer, and
// the text's terminating NUL stands where the returned length says (a %c of
// 0 may put another NUL inside the text). The drivers' own formats with any
// arguments, into a buffer of any size up to the CMOS trail's: the text
// printf gives (statuses by their names), cut to the buffer.
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <algorithm>

#include <Library/PrintLib.h>

namespace {

struct NamedStatus {
  UINT64 Status;
  const char *Name;
};
constexpr NamedStatus kNamed[] = {{0, "Success"},
                                  {0x8000000000000002ull, "Invalid Parameter"},
                                  {0x8000000000000009ull, "Out of Resources"},
                                  {0x800000000000000Eull, "Not Found"},
                                  {0x8000000000000023ull, "HTTP Error"},
                                  {7, "Warning Reset Required"}};

// Data: the format (bit 0 of byte 0), buffer size, status choice, a 64-bit
// argument, then the %a string.
int DriverFormat(const uint8_t *Data, size_t Size) {
  if (Size < 11 || Size > 11 + 300) return -1;
  const size_t BufferSize = Data[1];
  UINT64 Value;
  std::memcpy(&Value, Data + 3, sizeof Value);
  const std::string Name(reinterpret_cast<const char *>(Data + 11), strnlen(reinterpret_cast<const char *>(Data + 11), Size - 11));
  char Expected[512];
  std::unique_ptr<char[]> Buffer(new char[BufferSize == 0 ? 1 : BufferSize]);
  char *Out = BufferSize == 0 ? nullptr : Buffer.get();
  UINTN Length;
  if (Data[0] & 1) {
    Length = AsciiSPrint(Out, BufferSize, "gBooScriptBuffer %x\n", static_cast<UINT32>(Value));
    std::snprintf(Expected, sizeof Expected, "gBooScriptBuffer %" PRIX32 "\r\n", static_cast<UINT32>(Value));
  } else {
    // A status without a name prints as the hex digits of its low half.
    UINT64 Status = Value;
    std::string Text;
    if (Data[2] < sizeof kNamed / sizeof kNamed[0]) {
      Status = kNamed[Data[2]].Status;
      Text = kNamed[Data[2]].Name;
    } else {
      if (Status >> 63 ? (Status & ~(1ull << 63)) - 1 < 35 : Status < 8) Status += 36;
      char Hex[9];
      std::snprintf(Hex, sizeof Hex, "%08" PRIX32, static_cast<UINT32>(Status));
      Text = Hex;
    }
    Length = AsciiSPrint(Out, BufferSize, "[%a] LocateProtocol: gPcdProtocolGuid, Status: %r\n", Name.c_str(),
                         static_cast<RETURN_STATUS>(Status));
    std::snprintf(Expected, sizeof Expected, "[%s] LocateProtocol: gPcdProtocolGuid, Status: %s\r\n", Name.c_str(),
                  Text.c_str());
  }
  const size_t Want = BufferSize == 0 ? 0 : std::min(std::strlen(Expected), BufferSize - 1);
  if (Length != Want) __builtin_trap();
  if (BufferSize != 0 && (std::memcmp(Buffer.get(), Expected, Want) != 0 || Buffer[Want] != '\0')) __builtin_trap();
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  if (Size >= 1 && (Data[0] & 0x80)) return DriverFormat(Data, Size);
  // Byte 0: buffer size; the rest: the format. A conversion takes at most
  // three arguments (width, precision, value): 40 bytes need no more than 60.
  if (Size < 1 || Size > 41) return -1;
  const size_t BufferSize = Data[0] % 65;
  char Format[41];
  std::memcpy(Format, Data + 1, Size - 1);
  Format[Size - 1] = '\0';
  // Any argument may be read as a string, a GUID (16 bytes) or a time (16).
  static char Block[64] = "block: a string, a GUID and a time fit here";
  char *P = Block;
  std::unique_ptr<char[]> Buffer(new char[BufferSize == 0 ? 1 : BufferSize]);
  const UINTN Length = AsciiSPrint(BufferSize == 0 ? nullptr : Buffer.get(), BufferSize, Format, P, P, P, P, P, P, P,
                                   P, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P,
                                   P, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P);
  if (BufferSize == 0) {
    if (Length != 0) __builtin_trap();
    return 0;
  }
  if (Length >= BufferSize || Buffer[Length] != '\0') __builtin_trap();
  return 0;
}
