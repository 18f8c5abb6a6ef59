// PrintLib: ASCII formatting with the EDK II conversions.
#pragma once

#include <Uefi/UefiBaseType.h>

// BufferSize counts bytes including the terminating NUL; the return value
// is the number of characters written, NUL excluded.
UINTN EFIAPI AsciiVSPrint(CHAR8 *StartOfBuffer, UINTN BufferSize, CONST CHAR8 *FormatString, VA_LIST Marker);
UINTN EFIAPI AsciiSPrint(CHAR8 *StartOfBuffer, UINTN BufferSize, CONST CHAR8 *FormatString, ...);
