// Buffer helpers. Copies and fills go through the compiler builtins: on the
// host they become libc calls, in the firmware the intrinsics of
// MemoryIntrinsics.cpp (or inline code for small constant sizes).
#include <Library/BaseMemoryLib.h>

VOID *EFIAPI CopyMem(VOID *DestinationBuffer, CONST VOID *SourceBuffer, UINTN Length) {
  if (Length != 0 && DestinationBuffer != SourceBuffer) {
    __builtin_memmove(DestinationBuffer, SourceBuffer, Length);
  }
  return DestinationBuffer;
}

VOID *EFIAPI SetMem(VOID *Buffer, UINTN Length, UINT8 Value) {
  if (Length != 0) {
    __builtin_memset(Buffer, Value, Length);
  }
  return Buffer;
}

VOID *EFIAPI ZeroMem(VOID *Buffer, UINTN Length) { return SetMem(Buffer, Length, 0); }

// The difference of the first pair of bytes that differ, 0 when all match.
INTN EFIAPI CompareMem(CONST VOID *DestinationBuffer, CONST VOID *SourceBuffer, UINTN Length) {
  const UINT8 *Destination = (const UINT8 *)DestinationBuffer;
  const UINT8 *Source = (const UINT8 *)SourceBuffer;
  if (Destination == Source) {
    return 0;
  }
  for (UINTN Index = 0; Index < Length; Index++) {
    if (Destination[Index] != Source[Index]) {
      return (INTN)Destination[Index] - (INTN)Source[Index];
    }
  }
  return 0;
}

BOOLEAN EFIAPI CompareGuid(CONST EFI_GUID *Guid1, CONST EFI_GUID *Guid2) {
  UINT64 Left[2];
  UINT64 Right[2];
  __builtin_memcpy(Left, Guid1, sizeof(Left));
  __builtin_memcpy(Right, Guid2, sizeof(Right));
  return (Left[0] == Right[0] && Left[1] == Right[1]) ? TRUE : FALSE;
}

EFI_GUID *EFIAPI CopyGuid(EFI_GUID *DestinationGuid, CONST EFI_GUID *SourceGuid) {
  UINT64 Value[2];
  __builtin_memcpy(Value, SourceGuid, sizeof(Value));
  __builtin_memcpy(DestinationGuid, Value, sizeof(Value));
  return DestinationGuid;
}
