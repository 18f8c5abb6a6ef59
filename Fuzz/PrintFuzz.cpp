// Invariant: any format, with arguments that are all valid (each both an
// integer and a pointer to a readable, NUL-terminated block), into a buffer
// of any size from 0 to 64 bytes: nothing is written past the buffer, and
// the text's terminating NUL stands where the returned length says (a %c of
// 0 may put another NUL inside the text).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include <Library/PrintLib.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
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
