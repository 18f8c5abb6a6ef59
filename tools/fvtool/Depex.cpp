#include "Depex.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <vector>

#include "Guid.h"

namespace fv {

namespace {

struct Token {
  std::string Text;
  size_t Column;  // 1-based, for the error message
};

std::vector<Token> Tokenize(std::string_view Text) {
  std::vector<Token> Out;
  size_t I = 0;
  while (I < Text.size()) {
    char C = Text[I];
    if (std::isspace(static_cast<unsigned char>(C))) {
      ++I;
    } else if (C == '(' || C == ')') {
      Out.push_back({std::string(1, C), I + 1});
      ++I;
    } else {
      size_t Start = I;
      while (I < Text.size() && !std::isspace(static_cast<unsigned char>(Text[I])) && Text[I] != '(' &&
             Text[I] != ')') {
        ++I;
      }
      Out.push_back({std::string(Text.substr(Start, I - Start)), Start + 1});
    }
  }
  return Out;
}

std::string Upper(std::string S) {
  std::transform(S.begin(), S.end(), S.begin(), [](unsigned char C) { return std::toupper(C); });
  return S;
}

class Compiler {
 public:
  explicit Compiler(std::string_view Text) : Tokens(Tokenize(Text)) {}

  Bytes Run() {
    if (Tokens.empty()) Fail("is empty");
    std::string First = Upper(Tokens[0].Text);
    if (First == "BEFORE" || First == "AFTER") {
      ++Pos;
      Code.push_back(First == "BEFORE" ? depex::Before : depex::After);
      EmitGuid(Expect("a GUID after " + First), false);
      if (Pos < Tokens.size()) Fail(First + " takes one GUID and must be the whole expression", Tokens[Pos]);
    } else {
      if (First == "SOR") {
        ++Pos;
        Code.push_back(depex::Sor);
      }
      Expression(0);
      if (Pos < Tokens.size()) Fail("unexpected '" + Tokens[Pos].Text + "'", Tokens[Pos]);
    }
    Code.push_back(depex::End);
    return Code;
  }

 private:
  [[noreturn]] void Fail(const std::string &What, const Token &At) const {
    throw InputError("dependency expression: " + What + " at column " + std::to_string(At.Column));
  }
  [[noreturn]] void Fail(const std::string &What) const {
    throw InputError("dependency expression: " + What);
  }

  const Token &Expect(const std::string &What) {
    if (Pos >= Tokens.size()) Fail("expected " + What + " at the end");
    return Tokens[Pos++];
  }

  // BEFORE and AFTER take their GUID inline; everywhere else it is pushed.
  void EmitGuid(const Token &T, bool Push = true) {
    auto G = Guid::Parse(T.Text);
    if (!G) Fail("'" + T.Text + "' is not a GUID (XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX)", T);
    if (Push) Code.push_back(depex::Push);
    Code.insert(Code.end(), G->Raw.begin(), G->Raw.end());
  }

  void Expression(int Depth) {
    Term(Depth);
    while (Pos < Tokens.size()) {
      std::string Op = Upper(Tokens[Pos].Text);
      if (Op != "AND" && Op != "OR") break;
      ++Pos;
      Term(Depth);
      Code.push_back(Op == "AND" ? depex::And : depex::Or);
    }
  }

  void Term(int Depth) {
    if (Depth > depex::MaxNesting) Fail("nested deeper than " + std::to_string(depex::MaxNesting) + " levels");
    const Token &T = Expect("a GUID, TRUE, FALSE, NOT or '('");
    std::string Word = Upper(T.Text);
    if (Word == "NOT") {
      Term(Depth + 1);
      Code.push_back(depex::Not);
    } else if (Word == "TRUE") {
      Code.push_back(depex::True);
    } else if (Word == "FALSE") {
      Code.push_back(depex::False);
    } else if (Word == "(") {
      Expression(Depth + 1);
      if (Pos >= Tokens.size() || Tokens[Pos].Text != ")") {
        if (Pos < Tokens.size()) Fail("expected ')' instead of '" + Tokens[Pos].Text + "'", Tokens[Pos]);
        Fail("missing ')' at the end");
      }
      ++Pos;
    } else if (Word == "BEFORE" || Word == "AFTER" || Word == "SOR") {
      Fail(Word + " is allowed only at the start of the whole expression", T);
    } else if (Word == ")" || Word == "AND" || Word == "OR") {
      Fail("expected a GUID, TRUE, FALSE, NOT or '(' instead of '" + T.Text + "'", T);
    } else {
      EmitGuid(T);
    }
  }

  std::vector<Token> Tokens;
  size_t Pos = 0;
  Bytes Code;
};

struct Node {
  uint8_t Op;  // Push, True, False, Not, And, Or
  std::string Leaf;
  std::shared_ptr<Node> Left, Right;
  int Depth = 1;
};

bool IsBinary(const Node &N) { return N.Op == depex::And || N.Op == depex::Or; }

std::string Print(const Node &N) {
  switch (N.Op) {
    case depex::Not:
      return "NOT " + (IsBinary(*N.Left) ? "(" + Print(*N.Left) + ")" : Print(*N.Left));
    case depex::And:
    case depex::Or: {
      // Equal precedence, left to right: a left operand of the same operator
      // needs no parentheses; anything else mixed is parenthesised so the
      // text reads the same under any precedence a person assumes.
      std::string L = Print(*N.Left), R = Print(*N.Right);
      if (IsBinary(*N.Left) && N.Left->Op != N.Op) L = "(" + L + ")";
      if (IsBinary(*N.Right)) R = "(" + R + ")";
      return L + (N.Op == depex::And ? " AND " : " OR ") + R;
    }
    default:
      return N.Leaf;
  }
}

[[noreturn]] void Bad(const std::string &What, size_t At) {
  throw InputError("dependency expression bytes: " + What + " at byte " + std::to_string(At));
}

}  // namespace

Bytes CompileDepex(std::string_view Text) { return Compiler(Text).Run(); }

std::string DecodeDepex(ByteView Code) {
  if (Code.empty()) throw InputError("dependency expression bytes: empty");
  auto GuidAt = [&](size_t At) {
    if (Code.size() - At < 16) Bad("GUID cut short", At);
    return Guid::At(Code, At).ToString();
  };
  if (Code[0] == depex::Before || Code[0] == depex::After) {
    std::string Text = (Code[0] == depex::Before ? "BEFORE " : "AFTER ") + GuidAt(1);
    if (Code.size() < 18 || Code[17] != depex::End) Bad("BEFORE/AFTER not followed by END", 17);
    if (Code.size() > 18) Bad("bytes after END", 18);
    return Text;
  }
  std::string Prefix;
  size_t At = 0;
  if (Code[0] == depex::Sor) {
    Prefix = "SOR ";
    At = 1;
  }
  std::vector<std::shared_ptr<Node>> Stack;
  while (At < Code.size()) {
    uint8_t Op = Code[At];
    switch (Op) {
      case depex::Push: {
        auto N = std::make_shared<Node>(Node{Op, GuidAt(At + 1), nullptr, nullptr});
        Stack.push_back(N);
        At += 17;
        continue;
      }
      case depex::True:
      case depex::False:
        Stack.push_back(std::make_shared<Node>(Node{Op, Op == depex::True ? "TRUE" : "FALSE", nullptr, nullptr}));
        break;
      case depex::Not: {
        if (Stack.empty()) Bad("NOT without an operand", At);
        auto N = std::make_shared<Node>(Node{Op, "", Stack.back(), nullptr, Stack.back()->Depth + 1});
        Stack.back() = N;
        break;
      }
      case depex::And:
      case depex::Or: {
        if (Stack.size() < 2) Bad(std::string(Op == depex::And ? "AND" : "OR") + " without two operands", At);
        auto R = Stack.back();
        Stack.pop_back();
        auto L = Stack.back();
        Stack.back() = std::make_shared<Node>(Node{Op, "", L, R, std::max(L->Depth, R->Depth) + 1});
        break;
      }
      case depex::End:
        if (Stack.size() != 1) Bad("END with " + std::to_string(Stack.size()) + " values on the stack", At);
        if (At + 1 != Code.size()) Bad("bytes after END", At + 1);
        return Prefix + Print(*Stack.back());
      case depex::Before:
      case depex::After:
      case depex::Sor:
        Bad("BEFORE, AFTER or SOR not at the start", At);
      default:
        Bad("unknown opcode " + Hex(Op), At);
    }
    if (Stack.back()->Depth > depex::MaxTreeDepth) Bad("nested deeper than " + std::to_string(depex::MaxTreeDepth), At);
    ++At;
  }
  Bad("no END", Code.size());
}

}  // namespace fv
