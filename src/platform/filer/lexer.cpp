// The tokens of component text: identifiers, numbers, strings and symbols.
#include "internal.h"

#include <evokit/platform/convert.h>

namespace evokit::detail {

void SyntaxError(int Line, const std::string& What) {
  throw EReadError("Syntax error at line " + std::to_string(Line) + ": " + What);
}

template <class P>
std::string TLexer::TakeWhile(P Pred) {
  const std::size_t start = FPos;
  while (FPos < FText.size() && Pred(FText[FPos])) ++FPos;
  return std::string(FText.substr(start, FPos - start));
}

TToken TLexer::Next() {
  SkipBlanks();
  TToken t;
  t.Line = FLine;
  if (FPos >= FText.size()) {
    t.EndOffset = FPos;
    return t;
  }
  const char c = FText[FPos];
  if (IsIdentStart(c)) {
    t.Kind = tkIdent;
    t.Text = TakeWhile(IsIdentChar);
  } else if (IsDigit(c) || ((c == '-' || c == '+') && FPos + 1 < FText.size() &&
                            (IsDigit(FText[FPos + 1]) || IsIdentStart(FText[FPos + 1])))) {
    LexNumber(t);
  } else if (c == '\'' || c == '#') {
    t.Kind = tkString;
    t.Text = LexString();
  } else if (std::string_view("=:[](),<>").find(c) != std::string_view::npos) {
    t.Kind = tkSymbol;
    t.Text = std::string(1, c);
    ++FPos;
  } else {
    SyntaxError(FLine, "invalid character '" + std::string(1, c) + "'");
  }
  t.EndOffset = FPos;
  return t;
}

void TLexer::SkipBlanks() {
  while (FPos < FText.size()) {
    const char c = FText[FPos];
    if (c == '\n') ++FLine;
    else if (c != ' ' && c != '\t' && c != '\r') break;
    ++FPos;
  }
}


// Integers ("-12"), decimals ("1.5E-7") and signed identifiers ("-INF").
void TLexer::LexNumber(TToken& t) {
  std::string text;
  if (FText[FPos] == '-' || FText[FPos] == '+') text += FText[FPos++];
  if (IsIdentStart(FText[FPos])) {
    t.Kind = tkIdent;
    t.Text = text + TakeWhile(IsIdentChar);
    return;
  }
  t.Kind = tkInteger;
  text += TakeWhile(IsDigit);
  if (FPos < FText.size() && FText[FPos] == '.') {
    t.Kind = tkFloat;
    ++FPos;
    text += '.' + TakeWhile(IsDigit);
  }
  if (FPos < FText.size() && (FText[FPos] == 'e' || FText[FPos] == 'E')) {
    t.Kind = tkFloat;
    text += FText[FPos++];
    if (FPos < FText.size() && (FText[FPos] == '-' || FText[FPos] == '+')) text += FText[FPos++];
    const std::string exponent = TakeWhile(IsDigit);
    if (exponent.empty()) SyntaxError(FLine, "invalid number '" + text + "'");
    text += exponent;
  }
  if (FPos < FText.size() && IsIdentChar(FText[FPos]))
    SyntaxError(FLine, "invalid number '" + text + TakeWhile(IsIdentChar) + "'");
  t.Text = text;
}

// Adjacent quoted parts ('' stands for a quote) and #n character codes.
std::string TLexer::LexString() {
  std::string out;
  while (FPos < FText.size()) {
    if (FText[FPos] == '\'') {
      ++FPos;
      for (;;) {
        if (FPos >= FText.size() || FText[FPos] == '\n' || FText[FPos] == '\r')
          SyntaxError(FLine, "unterminated string");
        const char c = FText[FPos++];
        if (c != '\'') {
          out += c;
        } else if (FPos < FText.size() && FText[FPos] == '\'') {
          out += '\'';
          ++FPos;
        } else {
          break;
        }
      }
    } else if (FText[FPos] == '#') {
      ++FPos;
      const std::string digits = TakeWhile(IsDigit);
      if (digits.empty() || digits.size() > 3 || std::stoi(digits) > 255)
        SyntaxError(FLine, "invalid character code '#" + digits + "'");
      out += static_cast<char>(std::stoi(digits));
    } else {
      break;
    }
  }
  // Quoted bytes and #n codes together must make well-formed UTF-8 text.
  if (FindInvalidUtf8(out) != std::string_view::npos) SyntaxError(FLine, "string is not valid UTF-8");
  return out;
}

std::string_view FText;

}  // namespace evokit::detail
