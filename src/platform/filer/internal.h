// Private to the component text reader and writer (filer/*.cpp): the parsed form of
// component text, the lexer and parser that build it, and the helpers the writer, the
// reader and the declarations share. Nothing here is installed.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <evokit/platform/filer.h>
#include <evokit/platform/guards.h>

namespace evokit::detail {

// --- Parsed component text ---------------------------------------------------------------

enum TValueKind { vkInteger, vkFloat, vkString, vkIdent, vkSet, vkList, vkCollection };

struct TItemNode;

struct TValueNode {
  TValueKind Kind = vkIdent;
  int Line = 0;
  std::string Text;                  // integer, float, ident; the decoded string
  std::vector<std::string> Names;    // set elements
  std::vector<TValueNode> Elements;  // list elements
  std::vector<TItemNode> Items;      // collection items
};

struct TPropNode {
  std::string Name;
  int Line = 0;
  TValueNode Value;
};

struct TItemNode {
  int Line = 0;
  std::vector<TPropNode> Props;
};

struct TObjectNode {
  std::string Name;
  std::string ClassName;
  int Line = 0;
  std::vector<TPropNode> Props;
  std::vector<TObjectNode> Children;
};

// Lists, collections and objects nest at most this deep, so that hostile text cannot
// exhaust the stack of the recursive parser.
inline constexpr int kMaxDepth = 200;

// Thrown by TReader::Finish while checking: the property's value has been checked and
// its reader must not go on to apply it. Deliberately not a std::exception.
struct TStopCheck {};

// EReadError "Syntax error at line <Line>: <What>".
[[noreturn]] void SyntaxError(int Line, const std::string& What);

inline bool IsIdentStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }
inline bool IsIdentChar(char c) { return IsIdentStart(c) || IsDigit(c); }

inline bool IsIdentifier(std::string_view s) {
  return !s.empty() && IsIdentStart(s[0]) && std::all_of(s.begin(), s.end(), IsIdentChar);
}

// The dotted path of a nested property, for error messages.
inline std::string JoinPath(const std::string& Path, const std::string& Name) {
  return Path.empty() ? Name : Path + "." + Name;
}

// --- Lexer (lexer.cpp) -------------------------------------------------------------------

enum TTokenKind { tkEnd, tkIdent, tkInteger, tkFloat, tkString, tkSymbol };

struct TToken {
  TTokenKind Kind = tkEnd;
  std::string Text;  // identifier, number, decoded string, or the symbol
  int Line = 1;
  std::size_t EndOffset = 0;
};

// Splits component text into tokens; Text must outlive the lexer.
class TLexer {
 public:
  explicit TLexer(std::string_view Text) : FText(Text) {}
  // The next token (tkEnd at the end of the text); EReadError on text that forms none.
  TToken Next();

 private:
  void SkipBlanks();
  template <class P>
  std::string TakeWhile(P Pred);
  // Integers ("-12"), decimals ("1.5E-7") and signed identifiers ("-INF").
  void LexNumber(TToken& t);
  // Adjacent quoted parts ('' stands for a quote) and #n character codes.
  std::string LexString();

  std::string_view FText;
  std::size_t FPos = 0;
  int FLine = 1;
};

// --- Parser (parser.cpp) -----------------------------------------------------------------

// The root object of Text; Consumed receives the bytes it used, including the line break
// after its "end". EReadError on a syntax error.
TObjectNode ParseComponentText(std::string_view Text, std::size_t& Consumed);
// One property value making up the whole of Text.
TValueNode ParseValueText(std::string_view Text);

// --- Shared helpers (declarations.cpp) ---------------------------------------------------

// A string in the text form: quoted runs and #n codes for control characters.
std::string QuoteString(std::string_view s);
// FloatToStr's 15 digits when they read back to Value exactly, otherwise 17 significant
// digits: the text reads back to the same double ("-0" for negative zero). Unlike
// FloatToStrNoOverflow, which keeps the 15 digits whenever they load at all.
std::string FloatToExactStr(double Value);
// A parsed value as a short text for error messages.
std::string DescribeValue(const TValueNode& Node);
// The object's published properties and its defined properties, for components and
// for IPublishedProperties items alike.
void DeclareOf(TObject* Object, TPropertyRegistry& Reg);
void DefineOf(TObject* Object, TFiler& Filer);

// Runs Object's DefineProperties with Filer collecting the definitions into a fresh list
// (Slot is the filer's collecting pointer, restored afterwards, also on error).
template <class TDefinedList>
TDefinedList CollectDefined(TObject* Object, TFiler& Filer, TDefinedList*& Slot) {
  TDefinedList defined;
  {
    TDefinedList* outer = std::exchange(Slot, &defined);
    const TScopeExit restore([&] { Slot = outer; });
    DefineOf(Object, Filer);
  }
  return defined;
}

}  // namespace evokit::detail
