// Firmware only: the C memory functions clang emits calls to (struct copies,
// zero-initialisation, the builtins of BaseMemoryLib). Written with string
// instructions so the optimiser cannot turn them back into calls to
// themselves. UEFI enters code with the direction flag clear.
#include <Uefi/UefiBaseType.h>

extern "C" {

void *memcpy(void *Destination, const void *Source, size_t Count) {
  void *Result = Destination;
  __asm__ __volatile__("rep movsb" : "+D"(Destination), "+S"(Source), "+c"(Count) : : "memory");
  return Result;
}

void *memmove(void *Destination, const void *Source, size_t Count) {
  void *Result = Destination;
  UINTN To = (UINTN)Destination;
  UINTN From = (UINTN)Source;
  if (To <= From || To - From >= Count) {
    __asm__ __volatile__("rep movsb" : "+D"(Destination), "+S"(Source), "+c"(Count) : : "memory");
  } else if (Count != 0) {
    // Destination overlaps the tail of Source: copy from the last byte down.
    UINT8 *LastTo = (UINT8 *)Destination + Count - 1;
    const UINT8 *LastFrom = (const UINT8 *)Source + Count - 1;
    __asm__ __volatile__("std\n\trep movsb\n\tcld" : "+D"(LastTo), "+S"(LastFrom), "+c"(Count) : : "memory", "cc");
  }
  return Result;
}

void *memset(void *Destination, int Value, size_t Count) {
  void *Result = Destination;
  __asm__ __volatile__("rep stosb" : "+D"(Destination), "+c"(Count) : "a"(Value) : "memory");
  return Result;
}

__attribute__((no_builtin)) int memcmp(const void *Left, const void *Right, size_t Count) {
  const UINT8 *L = (const UINT8 *)Left;
  const UINT8 *R = (const UINT8 *)Right;
  for (size_t Index = 0; Index < Count; Index++) {
    if (L[Index] != R[Index]) {
      return (int)L[Index] - (int)R[Index];
    }
  }
  return 0;
}

}  // extern "C"
