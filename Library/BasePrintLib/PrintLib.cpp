// ASCII formatting with the EDK II conversion set. Output goes through a
// bounded sink, so no combination of width, precision or argument can write
// past BufferSize; the format is never read beyond its terminating NUL.
//
// Written for size, since every driver image carries it: each conversion
// renders its text into a small buffer (or points at a string) and one
// routine pads and copies every field.
#include <Library/PrintLib.h>
#include <Uefi.h>

namespace {

// Flags. The first six are set by the characters of mFlagCharacters, in
// that order ('l' and 'L' each have a bit; either means long).
enum : UINT32 {
  FLAG_LEFT_JUSTIFY = BIT0,
  FLAG_PREFIX_SIGN = BIT1,
  FLAG_PREFIX_BLANK = BIT2,
  FLAG_COMMA = BIT3,
  FLAG_LONG = BIT4 | BIT5,
  FLAG_PREFIX_ZERO = BIT6,
  FLAG_PAD_TO_WIDTH = BIT7,
  FLAG_PRECISION = BIT8,
  FLAG_UNSIGNED = 0x200u,
  FLAG_HEX = 0x400u,
  FLAG_WIDE = 0x800u,  // the text is CHAR16; its low bytes are printed
};
constexpr CHAR8 mFlagCharacters[] = "-+ ,lL";

constexpr CHAR8 mHexDigits[] = "0123456789ABCDEF";

// The %r texts back to back, each ended by its NUL: warnings 0-7 by value,
// then errors 1-35 by code. Found by counting NULs, which is cheaper than a
// table of pointers (8 bytes and a base relocation each).
constexpr CHAR8 mStatusText[] =
    "Success\0Warning Unknown Glyph\0Warning Delete Failure\0Warning Write Failure\0"
    "Warning Buffer Too Small\0Warning Stale Data\0Warning File System\0Warning Reset Required\0"
    "Load Error\0Invalid Parameter\0Unsupported\0Bad Buffer Size\0Buffer Too Small\0Not Ready\0"
    "Device Error\0Write Protected\0Out of Resources\0Volume Corrupt\0Volume Full\0No Media\0"
    "Media changed\0Not Found\0Access Denied\0No Response\0No mapping\0Time out\0Not started\0"
    "Already started\0Aborted\0ICMP Error\0TFTP Error\0Protocol Error\0Incompatible Version\0"
    "Security Violation\0CRC Error\0End of Media\0Reserved (29)\0Reserved (30)\0End of File\0"
    "Invalid Language\0Compromised Data\0IP Address Conflict\0HTTP Error";
constexpr UINTN WARNING_TEXTS = 8;
constexpr UINTN ERROR_TEXTS = 35;

consteval UINTN CountTexts(const CHAR8 *Texts, UINTN Size) {
  UINTN Count = 0;
  for (UINTN Index = 0; Index < Size; Index++) {
    Count += Texts[Index] == '\0';
  }
  return Count;
}
static_assert(CountTexts(mStatusText, sizeof(mStatusText)) == WARNING_TEXTS + ERROR_TEXTS, "one text per code");

// %g and %t print their argument by a template: each byte is a character to
// print, or (bit 7 set) a field of the argument: bits 3:0 its offset, bit 4 a
// 16-bit field (at least four digits, else two), bit 5 decimal (else hex).
// Byte by byte, so the GUID may sit at any alignment.
constexpr CHAR8 mGuidTemplate[] = "\x83\x82\x81\x80-\x85\x84-\x87\x86-\x88\x89-\x8A\x8B\x8C\x8D\x8E\x8F";
constexpr CHAR8 mTimeTemplate[] = "\xA2/\xA3/\xB0  \xA4:\xA5";  // MM/DD/YYYY  HH:MM
static_assert(OFFSET_OF(EFI_TIME, Year) == 0 && OFFSET_OF(EFI_TIME, Month) == 2 && OFFSET_OF(EFI_TIME, Day) == 3 &&
              OFFSET_OF(EFI_TIME, Hour) == 4 && OFFSET_OF(EFI_TIME, Minute) == 5, "time template offsets");

// Writes Value in Radix backwards, ending just before End: at least
// MinimumDigits digits (none for a zero with MinimumDigits 0), grouped by
// three with commas when asked. Returns where the digits start.
CHAR8 *PutDigits(CHAR8 *End, UINT64 Value, UINT32 Radix, UINTN MinimumDigits, bool Comma = false) {
  for (UINTN Count = 0; Value != 0 || Count < MinimumDigits; Count++) {
    if (Comma && Count != 0 && Count % 3 == 0) {
      *--End = ',';
    }
    *--End = mHexDigits[Value % Radix];
    Value /= Radix;
  }
  return End;
}

struct PRINT_SINK {
  CHAR8 *Buffer;
  UINTN Capacity;  // characters, NUL excluded
  UINTN Length;

  bool Full() const { return Length >= Capacity; }
  void Put(CHAR8 Character) {
    if (!Full()) {
      Buffer[Length++] = Character;
    }
  }
  // Count may be "negative" (a width narrower than the field): nothing is
  // written. A huge count stops at the buffer's end.
  void Fill(INTN Count, CHAR8 Character) {
    for (; Count > 0 && !Full(); Count--) {
      Put(Character);
    }
  }
};

// Every field: right-justified padding, the prefix (a sign or a blank), Pad up
// to the precision, Count characters of Text, left-justified padding.
// Precision is raised to the field's own length first.
void EmitField(PRINT_SINK &Sink, UINT32 Flags, UINTN Width, UINTN Precision, CHAR8 Prefix, CHAR8 Pad,
               const CHAR8 *Text, UINTN Count) {
  UINTN Length = Count + (Prefix != 0);
  if (Precision < Length) {
    Precision = Length;
  }
  UINT32 Justify = Flags & (FLAG_PAD_TO_WIDTH | FLAG_LEFT_JUSTIFY);
  if (Justify == FLAG_PAD_TO_WIDTH) {
    Sink.Fill((INTN)(Width - Precision), ' ');
  }
  if (Prefix != 0) {
    Sink.Put(Prefix);
  }
  Sink.Fill((INTN)(Precision - Length), Pad);
  for (UINTN Index = 0; Index < Count && !Sink.Full(); Index++) {
    Sink.Put((Flags & FLAG_WIDE) != 0 ? (CHAR8)((const CHAR16 *)Text)[Index] : Text[Index]);
  }
  if (Justify == (FLAG_PAD_TO_WIDTH | FLAG_LEFT_JUSTIFY)) {
    Sink.Fill((INTN)(Width - Precision), ' ');
  }
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

    if (Type == '%') {
      // Flags, width and precision, in any order as EDK II accepts them.
      for (;;) {
        Type = *++Format;
        UINT32 Flag = 0;
        for (UINTN Index = 0; mFlagCharacters[Index] != '\0'; Index++) {
          if (Type == mFlagCharacters[Index]) {
            Flag = 1u << Index;
          }
        }
        if (Flag != 0) {
          Flags |= Flag;
        } else if (Type == '.') {
          Flags |= FLAG_PRECISION;
          Precision = 0;
        } else if (Type == '*' || (Type >= '0' && Type <= '9')) {
          UINTN Number = 0;
          if (Type == '*') {
            Number = VA_ARG(Marker, UINTN);
          } else {
            if (Type == '0' && (Flags & FLAG_PRECISION) == 0) {
              Flags |= FLAG_PREFIX_ZERO;
            }
            for (; *Format >= '0' && *Format <= '9'; Format++) {
              Number = Number * 10 + (UINTN)(*Format - '0');
            }
            Format--;  // the loop above stopped one past the number
          }
          if ((Flags & FLAG_PRECISION) == 0) {
            Flags |= FLAG_PAD_TO_WIDTH;
            Width = Number;
          } else {
            Precision = Number;
          }
        } else {
          break;
        }
      }
      if (Type == '\0') {
        break;  // the format ended inside a conversion: print nothing for it
      }
    } else if (Type != '\n' && Type != '\r') {
      Sink.Put(Type);
      Format++;
      continue;
    }

    // Every field prints a text: a string argument, or one rendered
    // backwards into Buffer, which ends in a NUL. Numbers pad with zeros
    // after their prefix and know their length; the rest pad with blanks.
    CHAR8 Buffer[40];
    CHAR8 *Cursor = &Buffer[sizeof(Buffer) - 1];
    *Cursor = '\0';
    const CHAR8 *Text = Cursor;
    CHAR16 Character[2];
    CHAR8 Prefix = 0;
    CHAR8 Pad = ' ';
    UINTN Count = 0;

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
        INT64 Value = (Flags & FLAG_LONG) != 0 ? VA_ARG(Marker, INT64) : VA_ARG(Marker, int);
        Prefix = (Flags & FLAG_PREFIX_SIGN) != 0 ? '+' : (Flags & FLAG_PREFIX_BLANK) != 0 ? ' ' : 0;
        // Without 'l' the argument was an int: its bit pattern, unless it is
        // a negative signed decimal.
        UINT64 Magnitude = (Flags & FLAG_LONG) != 0 ? (UINT64)Value : (UINT64)(UINT32)Value;
        UINT32 Radix = 16;
        bool Comma = false;
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
          }
        }
        Text = PutDigits(Cursor, Magnitude, Radix, Precision != 0, Comma);
        Count = (UINTN)(Cursor - Text);
        if (Prefix != 0) {
          Precision++;
        }
        if ((Flags & (FLAG_PREFIX_ZERO | FLAG_LEFT_JUSTIFY | FLAG_PAD_TO_WIDTH | FLAG_PRECISION)) ==
            (FLAG_PREFIX_ZERO | FLAG_PAD_TO_WIDTH)) {
          Precision = Width;
        }
        Pad = '0';
        break;
      }

      case 's':
      case 'S':
      case 'a':
        if ((Flags & FLAG_PRECISION) == 0) {
          Precision = 0;
        }
        // Each argument is fetched as the type it was passed as.
        Text = Type == 'a' ? VA_ARG(Marker, CONST CHAR8 *) : (CONST CHAR8 *)VA_ARG(Marker, CONST CHAR16 *);
        if (Text == nullptr) {
          Text = "<null string>";
        } else if (Type != 'a') {
          Flags |= FLAG_WIDE;
        }
        break;

      case 'c':
        // A NUL character leaves its one-character field blank, as in EDK II.
        Character[0] = (CHAR16)(VA_ARG(Marker, UINTN) & 0xFFFF);
        Character[1] = 0;
        Text = (const CHAR8 *)Character;
        Flags |= FLAG_WIDE;
        break;

      case 'g':
      case 't': {
        const UINT8 *Argument = Type == 'g' ? (const UINT8 *)VA_ARG(Marker, CONST EFI_GUID *)
                                            : (const UINT8 *)VA_ARG(Marker, CONST EFI_TIME *);
        const CHAR8 *Template = mGuidTemplate;
        UINTN Index = sizeof(mGuidTemplate) - 1;
        Text = "<null guid>";
        if (Type == 't') {
          Template = mTimeTemplate;
          Index = sizeof(mTimeTemplate) - 1;
          Text = "<null time>";
        }
        if (Argument == nullptr) {
          break;
        }
        while (Index-- != 0) {
          UINT8 Item = (UINT8)Template[Index];
          if (Item < 0x80) {
            *--Cursor = (CHAR8)Item;
          } else {
            const UINT8 *Field = Argument + (Item & 0xF);
            bool Wide = (Item & 0x10) != 0;
            Cursor = PutDigits(Cursor, Wide ? (UINT64)(Field[0] | (Field[1] << 8)) : Field[0],
                               (Item & 0x20) != 0 ? 10 : 16, Wide ? 4 : 2);
          }
        }
        Text = Cursor;
        break;
      }

      case 'r': {
        RETURN_STATUS Status = VA_ARG(Marker, RETURN_STATUS);
        // Index into mStatusText, valid below Limit.
        UINT64 Index = Status;
        UINT64 Limit = WARNING_TEXTS;
        if (RETURN_ERROR(Status)) {
          Index = (Status & ~MAX_BIT) + WARNING_TEXTS - 1;
          Limit = WARNING_TEXTS + ERROR_TEXTS;
          if (Index < WARNING_TEXTS) {
            Index = Limit;  // error 0 has no text
          }
        }
        if (Index < Limit) {
          for (Text = mStatusText; Index != 0; Index--) {
            while (*Text++ != '\0') {
            }
          }
        } else {
          // No text: the low 32 bits in hex.
          Text = PutDigits(Cursor, (UINT32)Status, 16, 8);
        }
        break;
      }

      case '\n':
      case '\r':
        // "\n", "\n\r" and "\r\n" all print as "\r\n", a lone "\r" as itself;
        // the look-ahead stops at the NUL.
        Text = "\r\n";
        if (Format[0] == '\n') {
          Format += Format[1] == '\r';
        } else if (Format[1] == '\n') {
          Format++;
        } else {
          Text = "\r";
        }
        break;

      default:
        // '%' and unknown letters print themselves, in their field.
        Text = --Cursor;
        *Cursor = Type;
        break;
    }

    if (Pad == ' ') {
      // A precision bounds how much of the text is read.
      while (((Flags & FLAG_PRECISION) == 0 || Count < Precision) &&
             ((Flags & FLAG_WIDE) != 0 ? ((const CHAR16 *)Text)[Count] : (CHAR16)Text[Count]) != 0) {
        Count++;
      }
    }

    EmitField(Sink, Flags, Width, Precision, Prefix, Pad, Text, Count);
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
