// ASCII formatting with the EDK II conversion set. Output goes through a
// bounded sink, so no combination of width, precision or argument can write
// past BufferSize; the format is never read beyond its terminating NUL.
#include <Library/PrintLib.h>
#include <Uefi.h>

namespace {

enum : UINT32 {
  FLAG_LEFT_JUSTIFY = BIT0,
  FLAG_PREFIX_SIGN = BIT1,
  FLAG_PREFIX_BLANK = BIT2,
  FLAG_PREFIX_ZERO = BIT3,
  FLAG_COMMA = BIT4,
  FLAG_LONG = BIT5,
  FLAG_PAD_TO_WIDTH = BIT6,
  FLAG_PRECISION = BIT7,
  FLAG_UNSIGNED = BIT8,
  FLAG_HEX = 0x200u,
};

constexpr CHAR8 mHexDigits[] = "0123456789ABCDEF";

// Warnings by value, errors by their code without the error bit.
constexpr const CHAR8 *mWarningText[] = {
    "Success",          "Warning Unknown Glyph", "Warning Delete Failure", "Warning Write Failure",
    "Warning Buffer Too Small", "Warning Stale Data", "Warning File System", "Warning Reset Required",
};

constexpr const CHAR8 *mErrorText[] = {
    "Load Error",          "Invalid Parameter",    "Unsupported",        "Bad Buffer Size",
    "Buffer Too Small",    "Not Ready",            "Device Error",       "Write Protected",
    "Out of Resources",    "Volume Corrupt",       "Volume Full",        "No Media",
    "Media changed",       "Not Found",            "Access Denied",      "No Response",
    "No mapping",          "Time out",             "Not started",        "Already started",
    "Aborted",             "ICMP Error",           "TFTP Error",         "Protocol Error",
    "Incompatible Version", "Security Violation",  "CRC Error",          "End of Media",
    "Reserved (29)",       "Reserved (30)",        "End of File",        "Invalid Language",
    "Compromised Data",    "IP Address Conflict",  "HTTP Error",
};
static_assert(ARRAY_SIZE(mErrorText) == 35, "error texts 1..35");

struct PRINT_SINK {
  CHAR8 *Buffer;
  UINTN Capacity;  // characters, NUL excluded
  UINTN Length;

  bool Full() const { return Length >= Capacity; }
  void Put(CHAR8 Character) {
    if (Length < Capacity) {
      Buffer[Length++] = Character;
    }
  }
  // Count may be "negative" (a width narrower than the field): nothing is written.
  void Fill(INTN Count, CHAR8 Character) {
    for (INTN Index = 0; Index < Count && Length < Capacity; Index++) {
      Buffer[Length++] = Character;
    }
  }
};

// Writes Value in Radix, most significant digit first; returns the digit count.
UINTN ValueToDigits(CHAR8 *Digits, UINT64 Value, UINT32 Radix) {
  CHAR8 Reversed[24];
  UINTN Count = 0;
  do {
    Reversed[Count++] = mHexDigits[Value % Radix];
    Value /= Radix;
  } while (Value != 0);
  for (UINTN Index = 0; Index < Count; Index++) {
    Digits[Index] = Reversed[Count - 1 - Index];
  }
  return Count;
}

void AppendHex(CHAR8 *&Cursor, UINT64 Value, UINTN Width) {
  for (UINTN Index = Width; Index > 0; Index--) {
    *Cursor++ = mHexDigits[(Value >> ((Index - 1) * 4)) & 0xF];
  }
}

void AppendDecimal(CHAR8 *&Cursor, UINT64 Value, UINTN MinimumDigits) {
  CHAR8 Digits[24];
  UINTN Count = ValueToDigits(Digits, Value, 10);
  for (UINTN Index = Count; Index < MinimumDigits; Index++) {
    *Cursor++ = '0';
  }
  for (UINTN Index = 0; Index < Count; Index++) {
    *Cursor++ = Digits[Index];
  }
}

// A string-like field: Count characters fetched by Fetch(Index), padded to
// Width; an explicit precision larger than the text pads with spaces, as the
// EDK II formatter does.
template <typename FETCH>
void EmitText(PRINT_SINK &Sink, UINT32 Flags, UINTN Width, UINTN Precision, UINTN Count, FETCH Fetch) {
  if (Precision < Count) {
    Precision = Count;
  }
  if ((Flags & (FLAG_PAD_TO_WIDTH | FLAG_LEFT_JUSTIFY)) == FLAG_PAD_TO_WIDTH) {
    Sink.Fill((INTN)(Width - Precision), ' ');
  }
  Sink.Fill((INTN)(Precision - Count), ' ');
  for (UINTN Index = 0; Index < Count && !Sink.Full(); Index++) {
    Sink.Put(Fetch(Index));
  }
  if ((Flags & (FLAG_PAD_TO_WIDTH | FLAG_LEFT_JUSTIFY)) == (FLAG_PAD_TO_WIDTH | FLAG_LEFT_JUSTIFY)) {
    Sink.Fill((INTN)(Width - Precision), ' ');
  }
}

// A NUL-terminated text that is not read past Precision characters when a
// precision was given.
template <typename CHAR_TYPE>
void EmitString(PRINT_SINK &Sink, UINT32 Flags, UINTN Width, UINTN Precision, const CHAR_TYPE *Text) {
  UINTN Count = 0;
  while (((Flags & FLAG_PRECISION) == 0 || Count < Precision) && Text[Count] != 0) {
    Count++;
  }
  EmitText(Sink, Flags, Width, Precision, Count, [Text](UINTN Index) { return (CHAR8)Text[Index]; });
}

void EmitNumber(PRINT_SINK &Sink, UINT32 Flags, UINTN Width, UINTN Precision, INT64 Value) {
  CHAR8 Prefix = 0;
  bool Comma = false;
  UINT64 Magnitude;
  UINT32 Radix;

  if ((Flags & FLAG_PREFIX_BLANK) != 0) {
    Prefix = ' ';
  }
  if ((Flags & FLAG_PREFIX_SIGN) != 0) {
    Prefix = '+';
  }
  if ((Flags & FLAG_HEX) == 0) {
    Radix = 10;
    if ((Flags & FLAG_COMMA) != 0) {
      Comma = true;
      Flags &= ~(UINT32)FLAG_PREFIX_ZERO;
      Precision = 1;
    }
    if (Value < 0 && (Flags & FLAG_UNSIGNED) == 0) {
      Prefix = '-';
      Magnitude = 0 - (UINT64)Value;
    } else if ((Flags & (FLAG_UNSIGNED | FLAG_LONG)) == FLAG_UNSIGNED) {
      Magnitude = (UINT32)Value;
    } else {
      Magnitude = (UINT64)Value;
    }
  } else {
    Radix = 16;
    // Without 'l' the argument was an int: its bit pattern, not its sign.
    Magnitude = ((Flags & FLAG_LONG) == 0) ? (UINT64)(UINT32)Value : (UINT64)Value;
  }

  CHAR8 Digits[24];
  UINTN DigitCount = ValueToDigits(Digits, Magnitude, Radix);
  if (Magnitude == 0 && Precision == 0) {
    DigitCount = 0;
  }
  UINTN Count = DigitCount;
  if (Comma && Count != 0) {
    Count += (Count - 1) / 3;
  }
  if (Prefix != 0) {
    Count++;
    Precision++;
  }
  if ((Flags & (FLAG_PREFIX_ZERO | FLAG_LEFT_JUSTIFY | FLAG_PAD_TO_WIDTH | FLAG_PRECISION)) ==
      (FLAG_PREFIX_ZERO | FLAG_PAD_TO_WIDTH)) {
    Precision = Width;
  }
  if (Precision < Count) {
    Precision = Count;
  }

  if ((Flags & (FLAG_PAD_TO_WIDTH | FLAG_LEFT_JUSTIFY)) == FLAG_PAD_TO_WIDTH) {
    Sink.Fill((INTN)(Width - Precision), ' ');
  }
  if (Prefix != 0) {
    Sink.Put(Prefix);
  }
  Sink.Fill((INTN)(Precision - Count), '0');
  for (UINTN Index = 0; Index < DigitCount && !Sink.Full(); Index++) {
    if (Comma && Index != 0 && (DigitCount - Index) % 3 == 0) {
      Sink.Put(',');
    }
    Sink.Put(Digits[Index]);
  }
  if ((Flags & (FLAG_PAD_TO_WIDTH | FLAG_LEFT_JUSTIFY)) == (FLAG_PAD_TO_WIDTH | FLAG_LEFT_JUSTIFY)) {
    Sink.Fill((INTN)(Width - Precision), ' ');
  }
}

// Text of a %r status, or NULL when it has none (then it prints as %08X).
const CHAR8 *StatusText(RETURN_STATUS Status) {
  if (RETURN_ERROR(Status)) {
    UINT64 Code = Status & ~MAX_BIT;
    if (Code >= 1 && Code <= ARRAY_SIZE(mErrorText)) {
      return mErrorText[Code - 1];
    }
  } else if (Status < ARRAY_SIZE(mWarningText)) {
    return mWarningText[Status];
  }
  return nullptr;
}

// A line break in the format: "\n", "\n\r" and "\r\n" all print as "\r\n", a
// lone "\r" as itself. Format points at the break; returns how many format
// characters it consumed. The look-ahead stops at the NUL.
UINTN TranslateLineBreak(CONST CHAR8 *Format, const CHAR8 **Text) {
  if (Format[0] == '\n') {
    *Text = "\r\n";
    return Format[1] == '\r' ? 2 : 1;
  }
  if (Format[1] == '\n') {
    *Text = "\r\n";
    return 2;
  }
  *Text = "\r";
  return 1;
}

}  // namespace

UINTN EFIAPI AsciiVSPrint(CHAR8 *StartOfBuffer, UINTN BufferSize, CONST CHAR8 *FormatString, VA_LIST Marker) {
  if (StartOfBuffer == nullptr || BufferSize == 0) {
    return 0;
  }
  PRINT_SINK Sink = {StartOfBuffer, BufferSize - 1, 0};
  CONST CHAR8 *Format = FormatString;

  while (Format != nullptr && *Format != '\0' && !Sink.Full()) {
    UINT32 Flags = 0;
    UINTN Width = 0;
    UINTN Precision = 1;
    CHAR8 Type = *Format;

    if (Type != '%') {
      if (Type == '\n' || Type == '\r') {
        const CHAR8 *Text;
        Format += TranslateLineBreak(Format, &Text);
        EmitString(Sink, Flags, Width, Precision, Text);
      } else {
        Sink.Put(Type);
        Format++;
      }
      continue;
    }

    // Flags, width and precision, in any order as EDK II accepts them.
    bool Done = false;
    while (!Done) {
      Format++;
      Type = *Format;
      switch (Type) {
        case '.':
          Flags |= FLAG_PRECISION;
          Precision = 0;
          break;
        case '-':
          Flags |= FLAG_LEFT_JUSTIFY;
          break;
        case '+':
          Flags |= FLAG_PREFIX_SIGN;
          break;
        case ' ':
          Flags |= FLAG_PREFIX_BLANK;
          break;
        case ',':
          Flags |= FLAG_COMMA;
          break;
        case 'l':
        case 'L':
          Flags |= FLAG_LONG;
          break;
        case '*':
          if ((Flags & FLAG_PRECISION) == 0) {
            Flags |= FLAG_PAD_TO_WIDTH;
            Width = VA_ARG(Marker, UINTN);
          } else {
            Precision = VA_ARG(Marker, UINTN);
          }
          break;
        case '0':
          if ((Flags & FLAG_PRECISION) == 0) {
            Flags |= FLAG_PREFIX_ZERO;
          }
          [[fallthrough]];
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9': {
          UINTN Number = 0;
          while (Format[0] >= '0' && Format[0] <= '9') {
            Number = Number * 10 + (UINTN)(Format[0] - '0');
            Format++;
          }
          Format--;  // the loop above advances once more
          if ((Flags & FLAG_PRECISION) == 0) {
            Flags |= FLAG_PAD_TO_WIDTH;
            Width = Number;
          } else {
            Precision = Number;
          }
          break;
        }
        default:
          Done = true;
          break;
      }
    }

    if (Type == '\0') {
      break;  // the format ended inside a conversion: print nothing for it
    }

    switch (Type) {
      case 'p':
        Flags &= ~(UINT32)(FLAG_PREFIX_BLANK | FLAG_PREFIX_SIGN | FLAG_PREFIX_ZERO);
        Flags |= FLAG_LONG;
        [[fallthrough]];
      case 'X':
        Flags |= FLAG_PREFIX_ZERO;
        [[fallthrough]];
      case 'x':
        Flags |= FLAG_HEX;
        [[fallthrough]];
      case 'u':
        if ((Flags & FLAG_HEX) == 0) {
          Flags &= ~(UINT32)FLAG_PREFIX_SIGN;
          Flags |= FLAG_UNSIGNED;
        }
        [[fallthrough]];
      case 'd': {
        INT64 Value;
        if ((Flags & FLAG_LONG) == 0) {
          Value = VA_ARG(Marker, int);
        } else {
          Value = VA_ARG(Marker, INT64);
        }
        EmitNumber(Sink, Flags, Width, Precision, Value);
        break;
      }

      case 's':
      case 'S':
      case 'a': {
        if ((Flags & FLAG_PRECISION) == 0) {
          Precision = 0;
        }
        if (Type == 'a') {
          CONST CHAR8 *Text = VA_ARG(Marker, CONST CHAR8 *);
          EmitString(Sink, Flags, Width, Precision, Text != nullptr ? Text : "<null string>");
        } else {
          CONST CHAR16 *Text = VA_ARG(Marker, CONST CHAR16 *);
          if (Text != nullptr) {
            EmitString(Sink, Flags, Width, Precision, Text);
          } else {
            EmitString(Sink, Flags, Width, Precision, "<null string>");
          }
        }
        break;
      }

      case 'c': {
        // A NUL character leaves its one-character field blank, as in EDK II.
        CHAR16 Text[2] = {(CHAR16)(VA_ARG(Marker, UINTN) & 0xFFFF), 0};
        EmitString(Sink, Flags, Width, Precision, Text);
        break;
      }

      case 'g': {
        CONST EFI_GUID *Guid = VA_ARG(Marker, CONST EFI_GUID *);
        if (Guid == nullptr) {
          EmitString(Sink, Flags, Width, Precision, "<null guid>");
          break;
        }
        CHAR8 Text[40];
        CHAR8 *Cursor = Text;
        // Field by field: the GUID may sit at any alignment.
        const UINT8 *Bytes = (const UINT8 *)Guid;
        UINT32 Data1 = (UINT32)Bytes[0] | ((UINT32)Bytes[1] << 8) | ((UINT32)Bytes[2] << 16) | ((UINT32)Bytes[3] << 24);
        UINT16 Data2 = (UINT16)(Bytes[4] | (Bytes[5] << 8));
        UINT16 Data3 = (UINT16)(Bytes[6] | (Bytes[7] << 8));
        AppendHex(Cursor, Data1, 8);
        *Cursor++ = '-';
        AppendHex(Cursor, Data2, 4);
        *Cursor++ = '-';
        AppendHex(Cursor, Data3, 4);
        *Cursor++ = '-';
        for (UINTN Index = 8; Index < 16; Index++) {
          if (Index == 10) {
            *Cursor++ = '-';
          }
          AppendHex(Cursor, Bytes[Index], 2);
        }
        *Cursor = '\0';
        EmitString(Sink, Flags, Width, Precision, Text);
        break;
      }

      case 't': {
        CONST EFI_TIME *Time = VA_ARG(Marker, CONST EFI_TIME *);
        if (Time == nullptr) {
          EmitString(Sink, Flags, Width, Precision, "<null time>");
          break;
        }
        CHAR8 Text[32];
        CHAR8 *Cursor = Text;
        AppendDecimal(Cursor, Time->Month, 2);
        *Cursor++ = '/';
        AppendDecimal(Cursor, Time->Day, 2);
        *Cursor++ = '/';
        AppendDecimal(Cursor, Time->Year, 4);
        *Cursor++ = ' ';
        *Cursor++ = ' ';
        AppendDecimal(Cursor, Time->Hour, 2);
        *Cursor++ = ':';
        AppendDecimal(Cursor, Time->Minute, 2);
        *Cursor = '\0';
        EmitString(Sink, Flags, Width, Precision, Text);
        break;
      }

      case 'r': {
        RETURN_STATUS Status = VA_ARG(Marker, RETURN_STATUS);
        const CHAR8 *Known = StatusText(Status);
        if (Known != nullptr) {
          EmitString(Sink, Flags, Width, Precision, Known);
        } else {
          CHAR8 Text[12];
          CHAR8 *Cursor = Text;
          AppendHex(Cursor, (UINT32)Status, 8);
          *Cursor = '\0';
          EmitString(Sink, Flags, Width, Precision, Text);
        }
        break;
      }

      case '\n':
      case '\r': {
        const CHAR8 *Text;
        Format += TranslateLineBreak(Format, &Text) - 1;
        EmitString(Sink, Flags, Width, Precision, Text);
        break;
      }

      default: {
        // '%' and unknown letters print themselves, in their field.
        CHAR8 Text[2] = {Type, '\0'};
        EmitString(Sink, Flags, Width, Precision, Text);
        break;
      }
    }
    Format++;
  }

  Sink.Buffer[Sink.Length] = '\0';
  return Sink.Length;
}

UINTN EFIAPI AsciiSPrint(CHAR8 *StartOfBuffer, UINTN BufferSize, CONST CHAR8 *FormatString, ...) {
  VA_LIST Marker;
  VA_START(Marker, FormatString);
  UINTN Length = AsciiVSPrint(StartOfBuffer, BufferSize, FormatString, Marker);
  VA_END(Marker);
  return Length;
}
