// Dependency expressions: the text form
//   [SOR] expr | BEFORE GUID | AFTER GUID
//   expr := term { (AND | OR) term }      AND and OR bind equally, left to right
//   term := NOT term | TRUE | FALSE | GUID | ( expr )
// and the PI opcodes it compiles to (postfix, ending with END).
#pragma once

#include <string>
#include <string_view>

#include "Bytes.h"

namespace fv {

namespace depex {
constexpr uint8_t Before = 0x00, After = 0x01, Push = 0x02, And = 0x03, Or = 0x04, Not = 0x05, True = 0x06,
                  False = 0x07, End = 0x08, Sor = 0x09;
constexpr int MaxNesting = 128;      // parentheses and NOTs in the text
constexpr int MaxTreeDepth = 2048;   // operators stacked in compiled bytes
}  // namespace depex

// Throws InputError("dependency expression: ...") on a syntax error.
Bytes CompileDepex(std::string_view Text);

// The text form of compiled bytes; compiling it gives the same bytes back.
// Throws InputError on bytes that are not a well-formed expression.
std::string DecodeDepex(ByteView Code);

}  // namespace fv
