#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include <Uefi.h>
#include <Library/PrintLib.h>

namespace {

// Formats into a buffer of exactly BufferSize bytes (ASan sees any write
// past it) and checks the return value against what was written.
template <typename... ARGS>
std::string PrintSized(UINTN BufferSize, const char *Format, ARGS... Args) {
  std::unique_ptr<char[]> Buffer(new char[BufferSize == 0 ? 1 : BufferSize]);
  std::memset(Buffer.get(), '#', BufferSize == 0 ? 1 : BufferSize);
  UINTN Length = AsciiSPrint(Buffer.get(), BufferSize, Format, Args...);
  if (BufferSize == 0) {
    EXPECT_EQ(Length, 0u);
    EXPECT_EQ(Buffer[0], '#') << "BufferSize 0 must write nothing";
    return std::string();
  }
  EXPECT_LT(Length, BufferSize);
  EXPECT_EQ(Buffer[Length], '\0');
  EXPECT_EQ(std::strlen(Buffer.get()), Length);
  return std::string(Buffer.get(), Length);
}

template <typename... ARGS>
std::string Print(const char *Format, ARGS... Args) {
  return PrintSized(256, Format, Args...);
}

UINTN EFIAPI PrintThroughVaList(CHAR8 *Buffer, UINTN Size, CONST CHAR8 *Format, ...) {
  VA_LIST Marker;
  VA_START(Marker, Format);
  UINTN Length = AsciiVSPrint(Buffer, Size, Format, Marker);
  VA_END(Marker);
  return Length;
}

TEST(PrintLib, PlainTextAndPercent) {
  EXPECT_EQ(Print("hello"), "hello");
  EXPECT_EQ(Print(""), "");
  EXPECT_EQ(Print("100%%"), "100%");
  EXPECT_EQ(Print("%k%Z"), "kZ");  // unknown conversions print their letter
  EXPECT_EQ(Print("[%5%]"), "[    %]");
  EXPECT_EQ(Print("[%-3q]"), "[q  ]");
}

TEST(PrintLib, SignedDecimal) {
  EXPECT_EQ(Print("%d", 0), "0");
  EXPECT_EQ(Print("%d", 42), "42");
  EXPECT_EQ(Print("%d", -42), "-42");
  EXPECT_EQ(Print("%d", INT32_MIN), "-2147483648");
  EXPECT_EQ(Print("%d", INT32_MAX), "2147483647");
  EXPECT_EQ(Print("%+d|%+d", 7, -7), "+7|-7");
  EXPECT_EQ(Print("% d|% d", 7, -7), " 7|-7");
  EXPECT_EQ(Print("%5d|%-5d|", 42, 42), "   42|42   |");
  EXPECT_EQ(Print("%05d|%05d", 42, -42), "00042|-0042");
  EXPECT_EQ(Print("%-05d|", -42), "-42  |");
  EXPECT_EQ(Print("%+05d", 42), "+0042");
  EXPECT_EQ(Print("%2d", 12345), "12345");  // width never truncates
}

TEST(PrintLib, UnsignedAndPrecision) {
  EXPECT_EQ(Print("%u", 42), "42");
  EXPECT_EQ(Print("%u", -1), "4294967295");
  EXPECT_EQ(Print("%+u", 5), "5");  // no sign on unsigned
  EXPECT_EQ(Print("%.3d|%.3d", 5, -5), "005|-005");
  EXPECT_EQ(Print("%8.3d|", 5), "     005|");
  EXPECT_EQ(Print("%-8.3d|", 5), "005     |");
  EXPECT_EQ(Print("[%.0d]", 0), "[]");
  EXPECT_EQ(Print("%.0d", 3), "3");
  EXPECT_EQ(Print("%08.3d", 5), "     005");  // precision wins over the 0 flag
}

TEST(PrintLib, ThousandsSeparators) {
  EXPECT_EQ(Print("%,d", 123), "123");
  EXPECT_EQ(Print("%,d", 1234), "1,234");
  EXPECT_EQ(Print("%,d", 1234567), "1,234,567");
  EXPECT_EQ(Print("%,d", -123456), "-123,456");
  EXPECT_EQ(Print("%,d", 0), "0");
  EXPECT_EQ(Print("%,ld", (INT64)1234567890123LL), "1,234,567,890,123");
  EXPECT_EQ(Print("%,u", -1), "4,294,967,295");
  EXPECT_EQ(Print("%0,10d|", 1234), "     1,234|");  // ',' cancels '0'
  EXPECT_EQ(Print("%-,8d|", 1234), "1,234   |");
  EXPECT_EQ(Print("%,x", 0x12345), "12345");  // no separators in hex
  // Digit counts on a group edge and one past it: no leading separator.
  EXPECT_EQ(Print("%,d|%,d", 999, 1000), "999|1,000");
  EXPECT_EQ(Print("%,d|%,d", 123456, -999999), "123,456|-999,999");
  EXPECT_EQ(Print("%,d|%,d", 100000000, 1000000000), "100,000,000|1,000,000,000");
  EXPECT_EQ(Print("%,d", INT32_MIN), "-2,147,483,648");
  EXPECT_EQ(Print("%,ld", (INT64)-123456789012LL), "-123,456,789,012");
  EXPECT_EQ(Print("%,lu", (UINT64)UINT64_MAX), "18,446,744,073,709,551,615");
  EXPECT_EQ(Print("%,8d|%-,8d|", 123456, 123456), " 123,456|123,456 |");  // separators count in the width
}

TEST(PrintLib, Hexadecimal) {
  EXPECT_EQ(Print("%x", 0xABCDEF), "ABCDEF");
  EXPECT_EQ(Print("%X", 0x1F), "1F");
  EXPECT_EQ(Print("%x", 0), "0");
  EXPECT_EQ(Print("%x", -1), "FFFFFFFF");
  EXPECT_EQ(Print("%8x|", 0x1F), "      1F|");
  EXPECT_EQ(Print("%8X|", 0x1F), "0000001F|");
  EXPECT_EQ(Print("%08x|", 0x1F), "0000001F|");
  EXPECT_EQ(Print("%-8X|", 0x1F), "1F      |");
  EXPECT_EQ(Print("%02x", 0xABC), "ABC");
}

TEST(PrintLib, SixtyFourBitArguments) {
  EXPECT_EQ(Print("%lx", (UINT64)0x123456789ABCDEF0ULL), "123456789ABCDEF0");
  EXPECT_EQ(Print("%LX", (UINT64)0xFEDCBA9876543210ULL), "FEDCBA9876543210");
  EXPECT_EQ(Print("%lx", (INT64)-1), "FFFFFFFFFFFFFFFF");
  EXPECT_EQ(Print("%16lX", (UINT64)0xABC), "0000000000000ABC");
  EXPECT_EQ(Print("%ld", (INT64)INT64_MIN), "-9223372036854775808");
  EXPECT_EQ(Print("%Ld", (INT64)INT64_MAX), "9223372036854775807");
  EXPECT_EQ(Print("%lu", (UINT64)UINT64_MAX), "18446744073709551615");
  EXPECT_EQ(Print("%Lu", (UINT64)0x8000000000000000ULL), "9223372036854775808");
}

TEST(PrintLib, WithoutLongFlagOnlyTheLow32BitsAreUsed) {
  // Each argument still takes its own 8-byte slot.
  EXPECT_EQ(Print("%x %a", (UINT64)0xFFFFFFFF00000010ULL, "next"), "10 next");
  EXPECT_EQ(Print("%x", (UINT64)0x123456789ULL), "23456789");
  EXPECT_EQ(Print("%d", (UINT64)0x00000001FFFFFFFEULL), "-2");
  EXPECT_EQ(Print("%u", (UINT64)0x00000001FFFFFFFEULL), "4294967294");
  EXPECT_EQ(Print("%ld %d %lx", (INT64)-5, 7, (UINT64)0x100000000ULL), "-5 7 100000000");
}

TEST(PrintLib, Pointer) {
  EXPECT_EQ(Print("%p", (void *)(uintptr_t)0x1234), "1234");
  EXPECT_EQ(Print("%p", (void *)(uintptr_t)0xFFFF800012345678ULL), "FFFF800012345678");
  EXPECT_EQ(Print("%16p", (void *)(uintptr_t)0xBEEF), "000000000000BEEF");
  EXPECT_EQ(Print("%+ p", (void *)(uintptr_t)0x10), "10");
  EXPECT_EQ(Print("%p %d", (void *)(uintptr_t)0xA, 3), "A 3");
}

TEST(PrintLib, AsciiStrings) {
  EXPECT_EQ(Print("%a", "text"), "text");
  EXPECT_EQ(Print("%a", (const char *)nullptr), "<null string>");
  EXPECT_EQ(Print("[%6a]", "ab"), "[    ab]");
  EXPECT_EQ(Print("[%-6a]", "ab"), "[ab    ]");
  EXPECT_EQ(Print("[%.3a]", "abcdef"), "[abc]");
  EXPECT_EQ(Print("[%6.2a]", "abcdef"), "[    ab]");
  EXPECT_EQ(Print("[%*a]", (UINTN)4, "x"), "[   x]");
  EXPECT_EQ(Print("[%.*a]", (UINTN)2, "xyz"), "[xy]");
  EXPECT_EQ(Print("[%*.*a]", (UINTN)5, (UINTN)1, "xyz"), "[    x]");
  EXPECT_EQ(Print("%a", ""), "");
}

TEST(PrintLib, PrecisionBoundsTheStringRead) {
  // Not NUL-terminated: exactly three readable bytes.
  std::unique_ptr<char[]> Text(new char[3]{'a', 'b', 'c'});
  EXPECT_EQ(Print("%.3a", Text.get()), "abc");
  std::unique_ptr<char16_t[]> Wide(new char16_t[2]{u'x', u'y'});
  EXPECT_EQ(Print("%.2s", Wide.get()), "xy");
}

TEST(PrintLib, WideStringsAndCharacters) {
  EXPECT_EQ(Print("%s", u"wide"), "wide");
  EXPECT_EQ(Print("%S", u"Wide"), "Wide");
  EXPECT_EQ(Print("%s", (const char16_t *)nullptr), "<null string>");
  EXPECT_EQ(Print("%s", u"\u0141\u0042"), "AB");  // low byte of each character
  EXPECT_EQ(Print("[%5s]", u"ab"), "[   ab]");
  EXPECT_EQ(Print("[%.1S]", u"ab"), "[a]");
  EXPECT_EQ(Print("%c%c", 'O', 'K'), "OK");
  EXPECT_EQ(Print("%c", (UINTN)0xFFFF0042), "B");  // masked to 16 bits, low byte out
  EXPECT_EQ(Print("[%3c]", 'x'), "[  x]");
  EXPECT_EQ(Print("[%-3c]", 'x'), "[x  ]");
}

TEST(PrintLib, Guids) {
  EFI_GUID HobList = {0x7739F24C, 0x93D7, 0x11D4, {0x9A, 0x3A, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}};
  EXPECT_EQ(Print("%g", &HobList), "7739F24C-93D7-11D4-9A3A-0090273FC14D");
  EFI_GUID Small = {0x1, 0x2, 0x3, {0x0, 0x1, 0x2, 0x3, 0x4, 0x5, 0x6, 0xA}};
  EXPECT_EQ(Print("%g", &Small), "00000001-0002-0003-0001-02030405060A");
  EXPECT_EQ(Print("%g", (EFI_GUID *)nullptr), "<null guid>");
  // A GUID inside a byte stream need not be aligned.
  alignas(8) UINT8 Raw[17];
  std::memcpy(Raw + 1, &HobList, sizeof(HobList));
  EXPECT_EQ(Print("%g", (void *)(Raw + 1)), "7739F24C-93D7-11D4-9A3A-0090273FC14D");
}

TEST(PrintLib, Times) {
  EFI_TIME Time = {};
  Time.Year = 2024;
  Time.Month = 7;
  Time.Day = 4;
  Time.Hour = 9;
  Time.Minute = 5;
  Time.Second = 59;
  EXPECT_EQ(Print("%t", &Time), "07/04/2024  09:05");
  Time.Year = 987;
  Time.Month = 12;
  Time.Day = 31;
  Time.Hour = 23;
  Time.Minute = 59;
  EXPECT_EQ(Print("%t", &Time), "12/31/0987  23:59");
  EXPECT_EQ(Print("%t", (EFI_TIME *)nullptr), "<null time>");
}

TEST(PrintLib, StatusTexts) {
  const char *Warnings[] = {"Success",           "Warning Unknown Glyph", "Warning Delete Failure",
                            "Warning Write Failure", "Warning Buffer Too Small", "Warning Stale Data",
                            "Warning File System",   "Warning Reset Required"};
  for (UINTN Code = 0; Code < 8; Code++) {
    EXPECT_EQ(Print("%r", (RETURN_STATUS)Code), Warnings[Code]) << Code;
  }
  const char *Errors[] = {
      "Load Error",       "Invalid Parameter",   "Unsupported",     "Bad Buffer Size",      "Buffer Too Small",
      "Not Ready",        "Device Error",        "Write Protected", "Out of Resources",     "Volume Corrupt",
      "Volume Full",      "No Media",            "Media changed",   "Not Found",            "Access Denied",
      "No Response",      "No mapping",          "Time out",        "Not started",          "Already started",
      "Aborted",          "ICMP Error",          "TFTP Error",      "Protocol Error",       "Incompatible Version",
      "Security Violation", "CRC Error",         "End of Media",    "Reserved (29)",        "Reserved (30)",
      "End of File",      "Invalid Language",    "Compromised Data", "IP Address Conflict", "HTTP Error"};
  for (UINTN Code = 1; Code <= 35; Code++) {
    EXPECT_EQ(Print("%r", ENCODE_ERROR(Code)), Errors[Code - 1]) << Code;
  }
  EXPECT_EQ(Print("%r", EFI_NOT_FOUND), "Not Found");
  EXPECT_EQ(Print("%r", EFI_HTTP_ERROR), "HTTP Error");
}

TEST(PrintLib, StatusWithoutTextPrintsLow32BitsInHex) {
  EXPECT_EQ(Print("%r", ENCODE_ERROR(0)), "00000000");
  EXPECT_EQ(Print("%r", ENCODE_ERROR(36)), "00000024");
  EXPECT_EQ(Print("%r", EFI_INTERRUPT_PENDING), "00000000");
  EXPECT_EQ(Print("%r", EFI_NOT_AVAILABLE_YET), "00000002");
  EXPECT_EQ(Print("%r", EFI_WARN_INTERRUPT_SOURCE_QUIESCED), "00000001");
  EXPECT_EQ(Print("%r", (RETURN_STATUS)8), "00000008");
  EXPECT_EQ(Print("%r", (RETURN_STATUS)0x12345ABCDEULL), "345ABCDE");
  EXPECT_EQ(Print("[%12r]", EFI_NOT_READY), "[   Not Ready]");
}

TEST(PrintLib, LineBreaksBecomeCrLf) {
  EXPECT_EQ(Print("a\nb"), "a\r\nb");
  EXPECT_EQ(Print("a\n\rb"), "a\r\nb");
  EXPECT_EQ(Print("a\r\nb"), "a\r\nb");
  EXPECT_EQ(Print("a\rb"), "a\rb");
  EXPECT_EQ(Print("\n\n"), "\r\n\r\n");
  EXPECT_EQ(Print("x\n"), "x\r\n");
  EXPECT_EQ(Print("x\r"), "x\r");
  EXPECT_EQ(Print("%d\n", 5), "5\r\n");
}

TEST(PrintLib, MixedArgumentsAreReadInOrder) {
  EFI_GUID Guid = {0x11B34006, 0xD85B, 0x4D0A, {0xA2, 0x90, 0xD5, 0xA5, 0x71, 0x31, 0x0E, 0xF7}};
  EXPECT_EQ(Print("%a=%d %s %c %g %r %lx %p|%5u", "n", -3, u"w", 'c', &Guid, EFI_ABORTED, (UINT64)1 << 40,
                  (void *)(uintptr_t)0xFF, 9),
            "n=-3 w c 11B34006-D85B-4D0A-A290-D5A571310EF7 Aborted 10000000000 FF|    9");
}

TEST(PrintLib, VaListEntryPoint) {
  char Buffer[32];
  EXPECT_EQ(PrintThroughVaList(Buffer, sizeof(Buffer), "%a-%d-%lx", "v", 12, (UINT64)0xABCDEF012ULL), 14u);
  EXPECT_STREQ(Buffer, "v-12-ABCDEF012");
}

// Every buffer size from 0 to beyond the full length: the output is the
// longest prefix that fits, always NUL-terminated, never past BufferSize.
TEST(PrintLib, TruncatesAtEveryBufferSize) {
  EFI_GUID Guid = {0x7739F24C, 0x93D7, 0x11D4, {0x9A, 0x3A, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}};
  struct {
    std::string Full;
    std::function<std::string(UINTN)> Run;
  } Cases[] = {
      {"abc\r\ndef", [](UINTN Size) { return PrintSized(Size, "abc\ndef"); }},
      {"[  -1,234,567]", [](UINTN Size) { return PrintSized(Size, "[%12,d]", -1234567); }},
      {"-000042|0000ABCD|", [](UINTN Size) { return PrintSized(Size, "%07d|%8X|", -42, 0xABCD); }},
      {"Not Found 7739F24C-93D7-11D4-9A3A-0090273FC14D",
       [&Guid](UINTN Size) { return PrintSized(Size, "%r %g", EFI_NOT_FOUND, &Guid); }},
      {"<null string>   |", [](UINTN Size) { return PrintSized(Size, "%-16a|", (const char *)nullptr); }},
      {"wide!", [](UINTN Size) { return PrintSized(Size, "%s!", u"wide"); }},
  };
  for (auto &Case : Cases) {
    ASSERT_EQ(Case.Run(Case.Full.size() + 1), Case.Full);
    for (UINTN Size = 0; Size <= Case.Full.size() + 3; Size++) {
      std::string Expected = Size == 0 ? std::string() : Case.Full.substr(0, std::min<UINTN>(Size - 1, Case.Full.size()));
      EXPECT_EQ(Case.Run(Size), Expected) << Case.Full << " size " << Size;
    }
  }
}

TEST(PrintLib, HugeWidthStopsAtTheBufferEnd) {
  EXPECT_EQ(PrintSized(8, "%*d", (UINTN)1000000, 5), "       ");
  EXPECT_EQ(PrintSized(8, "%-*a", (UINTN)-2, "ab"), "ab");
  EXPECT_EQ(PrintSized(6, "%.*d", (UINTN)500, 1), "00000");
}

TEST(PrintLib, NullBufferOrFormat) {
  EXPECT_EQ(AsciiSPrint(nullptr, 10, "abc"), 0u);
  char Buffer[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(AsciiSPrint(Buffer, sizeof(Buffer), nullptr), 0u);
  EXPECT_EQ(Buffer[0], '\0');
}

// Formats ending inside a conversion: nothing is printed for the unfinished
// conversion and the format is not read beyond its NUL (each lives in an
// allocation of exactly its size).
TEST(PrintLib, FormatEndingInsideAConversion) {
  const char *Formats[] = {"abc%", "abc%5", "abc%-0", "abc%.", "abc%.7", "abc%l", "abc%,+ "};
  for (const char *Format : Formats) {
    size_t Size = std::strlen(Format) + 1;
    std::unique_ptr<char[]> Exact(new char[Size]);
    std::memcpy(Exact.get(), Format, Size);
    EXPECT_EQ(Print(Exact.get()), "abc") << Format;
  }
  std::unique_ptr<char[]> Newline(new char[3]{'a', '\n', '\0'});
  EXPECT_EQ(Print(Newline.get()), "a\r\n");
  std::unique_ptr<char[]> Return(new char[3]{'a', '\r', '\0'});
  EXPECT_EQ(Print(Return.get()), "a\r");
}

}  // namespace
