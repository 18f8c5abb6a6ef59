// NUL-terminated string helpers. Comparisons return the difference of the
// first characters that differ, compared as unsigned values.
#include <Library/BaseLib.h>

UINTN EFIAPI AsciiStrLen(CONST CHAR8 *String) {
  UINTN Length = 0;
  if (String != nullptr) {
    while (String[Length] != '\0') {
      Length++;
    }
  }
  return Length;
}

UINTN EFIAPI AsciiStrnLenS(CONST CHAR8 *String, UINTN MaxSize) {
  UINTN Length = 0;
  if (String != nullptr) {
    while (Length < MaxSize && String[Length] != '\0') {
      Length++;
    }
  }
  return Length;
}

INTN EFIAPI AsciiStrCmp(CONST CHAR8 *FirstString, CONST CHAR8 *SecondString) {
  while (*FirstString != '\0' && *FirstString == *SecondString) {
    FirstString++;
    SecondString++;
  }
  return (INTN)(UINT8)*FirstString - (INTN)(UINT8)*SecondString;
}

UINTN EFIAPI StrLen(CONST CHAR16 *String) {
  UINTN Length = 0;
  if (String != nullptr) {
    while (String[Length] != 0) {
      Length++;
    }
  }
  return Length;
}

UINTN EFIAPI StrSize(CONST CHAR16 *String) { return (StrLen(String) + 1) * sizeof(CHAR16); }

INTN EFIAPI StrCmp(CONST CHAR16 *FirstString, CONST CHAR16 *SecondString) {
  while (*FirstString != 0 && *FirstString == *SecondString) {
    FirstString++;
    SecondString++;
  }
  return (INTN)*FirstString - (INTN)*SecondString;
}
