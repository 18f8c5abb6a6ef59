// Dependency expressions: text to PI opcodes and back.
#include <gtest/gtest.h>

#include "Bytes.h"
#include "Depex.h"

namespace {

using fv::Bytes;

const std::string A = "456D2859-A84B-4E47-A2EE-3276D886997D";
const std::string B = "1B1183FA-1823-46A7-8872-9C578755409D";
const std::string C = "11B34006-D85B-4D0A-A290-D5A571310EF7";
// PUSH and the GUID as stored.
const Bytes PushA = {0x02, 0x59, 0x28, 0x6D, 0x45, 0x4B, 0xA8, 0x47, 0x4E,
                     0xA2, 0xEE, 0x32, 0x76, 0xD8, 0x86, 0x99, 0x7D};
const Bytes PushB = {0x02, 0xFA, 0x83, 0x11, 0x1B, 0x23, 0x18, 0xA7, 0x46,
                     0x88, 0x72, 0x9C, 0x57, 0x87, 0x55, 0x40, 0x9D};
const Bytes PushC = {0x02, 0x06, 0x40, 0xB3, 0x11, 0x5B, 0xD8, 0x0A, 0x4D,
                     0xA2, 0x90, 0xD5, 0xA5, 0x71, 0x31, 0x0E, 0xF7};

Bytes Cat(std::initializer_list<Bytes> Parts) {
  Bytes Out;
  for (const Bytes &P : Parts) Out.insert(Out.end(), P.begin(), P.end());
  return Out;
}

TEST(FvToolDepex, CompilesToPostfixOpcodes) {
  EXPECT_EQ(fv::CompileDepex("TRUE"), (Bytes{0x06, 0x08}));
  EXPECT_EQ(fv::CompileDepex(A + " AND " + B), Cat({PushA, PushB, {0x03, 0x08}}));
  // AND and OR bind equally, left to right.
  EXPECT_EQ(fv::CompileDepex(A + " OR " + B + " AND " + C), Cat({PushA, PushB, {0x04}, PushC, {0x03, 0x08}}));
  EXPECT_EQ(fv::CompileDepex(A + " AND (" + B + " OR NOT " + C + ")"),
            Cat({PushA, PushB, PushC, {0x05, 0x04, 0x03, 0x08}}));
  EXPECT_EQ(fv::CompileDepex("BEFORE " + B), Cat({{0x00}, Bytes(PushB.begin() + 1, PushB.end()), {0x08}}));
  EXPECT_EQ(fv::CompileDepex("after " + B), Cat({{0x01}, Bytes(PushB.begin() + 1, PushB.end()), {0x08}}));
  EXPECT_EQ(fv::CompileDepex("SOR NOT FALSE"), (Bytes{0x09, 0x07, 0x05, 0x08}));
  EXPECT_EQ(fv::CompileDepex("456d2859-a84b-4e47-a2ee-3276d886997d"), Cat({PushA, {0x08}}));
}

TEST(FvToolDepex, DecodesToTextThatCompilesBack) {
  struct Case {
    Bytes Code;
    std::string Text;
  } Cases[] = {
      {{0x06, 0x08}, "TRUE"},
      {Cat({PushA, PushB, {0x03}, PushC, {0x03, 0x08}}), A + " AND " + B + " AND " + C},
      // Right-nested as some producers write it.
      {Cat({PushA, PushB, PushC, {0x03, 0x03, 0x08}}), A + " AND (" + B + " AND " + C + ")"},
      {Cat({PushA, PushB, {0x04}, PushC, {0x03, 0x08}}), "(" + A + " OR " + B + ") AND " + C},
      {Cat({PushA, PushB, {0x03, 0x05, 0x08}}), "NOT (" + A + " AND " + B + ")"},
      {{0x09, 0x06, 0x05, 0x05, 0x08}, "SOR NOT NOT TRUE"},
      {Cat({{0x00}, Bytes(PushC.begin() + 1, PushC.end()), {0x08}}), "BEFORE " + C},
  };
  for (const Case &K : Cases) {
    EXPECT_EQ(fv::DecodeDepex(K.Code), K.Text);
    EXPECT_EQ(fv::CompileDepex(K.Text), K.Code) << K.Text;
  }
}

TEST(FvToolDepex, SyntaxErrorsAreOneLineInputErrors) {
  const std::string Bad[] = {"",         "   ",         A + " AND",        "(" + A,          A + ")",
                             "AND " + A, A + " " + B,   "BEFORE " + A + " AND TRUE", "TRUE AND SOR TRUE",
                             "NOT",      "1234",        A + " AND AFTER " + B,       "()",
                             "456D2859-A84B-4E47-A2EE-3276D886997",  "456D2859+A84B-4E47-A2EE-3276D886997D"};
  for (const std::string &Text : Bad) {
    try {
      fv::CompileDepex(Text);
      ADD_FAILURE() << "accepted: '" << Text << "'";
    } catch (const fv::InputError &E) {
      std::string What = E.what();
      EXPECT_EQ(What.find('\n'), std::string::npos);
      EXPECT_EQ(What.rfind("dependency expression: ", 0), 0u) << What;
    }
  }
}

TEST(FvToolDepex, NestingLimitIsExact) {
  auto Nested = [](int Levels) { return std::string(Levels, '(') + "TRUE" + std::string(Levels, ')'); };
  EXPECT_EQ(fv::CompileDepex(Nested(fv::depex::MaxNesting)), (Bytes{0x06, 0x08}));
  EXPECT_THROW(fv::CompileDepex(Nested(fv::depex::MaxNesting + 1)), fv::InputError);
}

TEST(FvToolDepex, MalformedBytesAreRefused) {
  const Bytes Bad[] = {
      {},                                            // nothing
      {0x06},                                        // no END
      {0x06, 0x06, 0x08},                            // two values left
      {0x03, 0x08},                                  // AND without operands
      {0x06, 0x05, 0x05, 0x03, 0x08},                // AND with one operand
      Bytes(PushA.begin(), PushA.end() - 1),         // GUID cut short
      {0x06, 0x08, 0x00},                            // bytes after END
      {0x06, 0x0A, 0x08},                            // unknown opcode
      {0x06, 0x09, 0x08},                            // SOR not first
      Cat({{0x00}, Bytes(PushA.begin() + 1, PushA.end())}),  // BEFORE without END
      Cat({{0x01}, Bytes(PushA.begin() + 1, PushA.end()), {0x08, 0x08}}),
  };
  for (const Bytes &Code : Bad) EXPECT_THROW(fv::DecodeDepex(Code), fv::InputError) << Code.size();
}

}  // namespace
