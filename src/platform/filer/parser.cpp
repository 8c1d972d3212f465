// The recursive-descent parser of component text (objects, properties, values).
#include "internal.h"

#include <evokit/platform/convert.h>

namespace evokit::detail {

namespace {

class TParser {
 public:
  explicit TParser(std::string_view Text) : FLexer(Text) {
    FTok = FLexer.Next();
    FNext = FLexer.Next();
  }

  TObjectNode ParseRoot() {
    if (FTok.Kind == tkEnd) SyntaxError(FTok.Line, "'object' expected, found the end of the text");
    TObjectNode root = ParseObject(0);
    return root;
  }

  TValueNode ParseSingleValue() {
    TValueNode v = ParseValue(0);
    if (FTok.Kind != tkEnd) SyntaxError(FTok.Line, "unexpected '" + FTok.Text + "' after the value");
    return v;
  }

  // Bytes used by the text parsed so far, including the line break after it.
  std::size_t Consumed(std::string_view Text) const {
    std::size_t end = FLastEnd;
    while (end < Text.size() && (Text[end] == ' ' || Text[end] == '\t' || Text[end] == '\r')) ++end;
    if (end < Text.size() && Text[end] == '\n') ++end;
    return end;
  }

 private:
  void Advance() {
    FLastEnd = FTok.EndOffset;
    FTok = FNext;
    FNext = FLexer.Next();
  }
  bool IsKeyword(const char* Word) const {
    return FTok.Kind == tkIdent && SameText(FTok.Text, Word) && !(FNext.Kind == tkSymbol && FNext.Text == "=");
  }
  bool IsSymbol(char c) const { return FTok.Kind == tkSymbol && FTok.Text[0] == c; }
  std::string Describe(const TToken& t) const {
    if (t.Kind == tkEnd) return "the end of the text";
    if (t.Kind == tkString) return "a string";
    return "'" + t.Text + "'";
  }
  void Expect(char c) {
    if (!IsSymbol(c)) SyntaxError(FTok.Line, std::string{'\'', c, '\''} + " expected, found " + Describe(FTok));
    Advance();
  }
  std::string ExpectIdent(const char* What) {
    if (FTok.Kind != tkIdent || !IsIdentifier(FTok.Text))
      SyntaxError(FTok.Line, std::string(What) + " expected, found " + Describe(FTok));
    std::string s = FTok.Text;
    Advance();
    return s;
  }
  void CheckDepth(int Depth) const {
    if (Depth > kMaxDepth) SyntaxError(FTok.Line, "nesting deeper than " + std::to_string(kMaxDepth) + " levels");
  }

  TObjectNode ParseObject(int Depth) {
    CheckDepth(Depth);
    TObjectNode node;
    node.Line = FTok.Line;
    if (!IsKeyword("object")) SyntaxError(FTok.Line, "'object' expected, found " + Describe(FTok));
    Advance();
    const std::string first = ExpectIdent("component name or class name");
    if (IsSymbol(':')) {
      Advance();
      node.Name = first;
      node.ClassName = ExpectIdent("class name");
    } else {
      node.ClassName = first;
    }
    for (;;) {
      if (IsKeyword("end")) {
        Advance();
        return node;
      }
      if (IsKeyword("object") && FNext.Kind == tkIdent) node.Children.push_back(ParseObject(Depth + 1));
      else if (FTok.Kind == tkIdent) node.Props.push_back(ParseProperty(Depth));
      else SyntaxError(FTok.Line, "property name, 'object' or 'end' expected, found " + Describe(FTok));
    }
  }

  TPropNode ParseProperty(int Depth) {
    TPropNode prop;
    prop.Line = FTok.Line;
    prop.Name = ExpectIdent("property name");
    Expect('=');
    prop.Value = ParseValue(Depth + 1);
    return prop;
  }

  TValueNode ParseValue(int Depth) {
    CheckDepth(Depth);
    TValueNode v;
    v.Line = FTok.Line;
    switch (FTok.Kind) {
      case tkInteger: v.Kind = detail::vkInteger; break;
      case tkFloat: v.Kind = detail::vkFloat; break;
      case tkString: v.Kind = detail::vkString; break;
      case tkIdent: v.Kind = detail::vkIdent; break;
      case tkEnd: SyntaxError(FTok.Line, "value expected, found the end of the text");
      case tkSymbol: return ParseStructured(Depth);
    }
    v.Text = FTok.Text;
    Advance();
    return v;
  }

  TValueNode ParseStructured(int Depth) {
    TValueNode v;
    v.Line = FTok.Line;
    if (IsSymbol('[')) {
      v.Kind = detail::vkSet;
      Advance();
      if (!IsSymbol(']')) {
        v.Names.push_back(ExpectIdent("set element"));
        while (IsSymbol(',')) {
          Advance();
          v.Names.push_back(ExpectIdent("set element"));
        }
      }
      Expect(']');
    } else if (IsSymbol('(')) {
      v.Kind = detail::vkList;
      Advance();
      while (!IsSymbol(')')) v.Elements.push_back(ParseValue(Depth + 1));
      Advance();
    } else if (IsSymbol('<')) {
      v.Kind = detail::vkCollection;
      Advance();
      while (IsKeyword("item")) {
        TItemNode item;
        item.Line = FTok.Line;
        Advance();
        while (!IsKeyword("end")) {
          if (FTok.Kind != tkIdent) SyntaxError(FTok.Line, "property name or 'end' expected, found " + Describe(FTok));
          item.Props.push_back(ParseProperty(Depth));
        }
        Advance();
        v.Items.push_back(std::move(item));
      }
      Expect('>');
    } else {
      SyntaxError(FTok.Line, "value expected, found " + Describe(FTok));
    }
    return v;
  }

  TLexer FLexer;
  TToken FTok;
  TToken FNext;
  std::size_t FLastEnd = 0;
};

}  // namespace

TObjectNode ParseComponentText(std::string_view Text, std::size_t& Consumed) {
  TParser parser(Text);
  TObjectNode root = parser.ParseRoot();
  Consumed = parser.Consumed(Text);
  return root;
}

TValueNode ParseValueText(std::string_view Text) { return TParser(Text).ParseSingleValue(); }

}  // namespace evokit::detail
