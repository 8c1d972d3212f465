#include <evokit/platform/filer.h>

#include <utility>

#include <algorithm>
#include <cmath>
#include <mutex>

#include <evokit/platform/convert.h>
#include <evokit/platform/guards.h>

namespace evokit {

// --- Parsed component text ---------------------------------------------------------

namespace detail {

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

void BadAccessorClass(const std::string& Name) {
  throw EInvalidCast("Property " + Name + ": accessor of a class the object does not belong to");
}

}  // namespace detail

namespace {

using detail::TItemNode;
using detail::TObjectNode;
using detail::TPropNode;
using detail::TValueNode;

// Lists, collections and objects nest at most this deep, so that hostile text cannot
// exhaust the stack of the recursive parser.
constexpr int kMaxDepth = 200;

// Thrown by TReader::Finish while checking: the property's value has been checked and
// its reader must not go on to apply it. Deliberately not a std::exception.
struct TStopCheck {};

[[noreturn]] void SyntaxError(int Line, const std::string& What) {
  throw EReadError("Syntax error at line " + std::to_string(Line) + ": " + What);
}

bool IsIdentStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsIdentChar(char c) { return IsIdentStart(c) || IsDigit(c); }

bool IsIdentifier(std::string_view s) {
  return !s.empty() && IsIdentStart(s[0]) && std::all_of(s.begin(), s.end(), IsIdentChar);
}

std::string JoinPath(const std::string& Path, const std::string& Name) {
  return Path.empty() ? Name : Path + "." + Name;
}

// --- Lexer ---------------------------------------------------------------------------

enum TTokenKind { tkEnd, tkIdent, tkInteger, tkFloat, tkString, tkSymbol };

struct TToken {
  TTokenKind Kind = tkEnd;
  std::string Text;  // identifier, number, decoded string, or the symbol
  int Line = 1;
  std::size_t EndOffset = 0;
};

class TLexer {
 public:
  explicit TLexer(std::string_view Text) : FText(Text) {}

  TToken Next() {
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

 private:
  void SkipBlanks() {
    while (FPos < FText.size()) {
      const char c = FText[FPos];
      if (c == '\n') ++FLine;
      else if (c != ' ' && c != '\t' && c != '\r') break;
      ++FPos;
    }
  }

  template <class P>
  std::string TakeWhile(P Pred) {
    const std::size_t start = FPos;
    while (FPos < FText.size() && Pred(FText[FPos])) ++FPos;
    return std::string(FText.substr(start, FPos - start));
  }

  // Integers ("-12"), decimals ("1.5E-7") and signed identifiers ("-INF").
  void LexNumber(TToken& t) {
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
  std::string LexString() {
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
    return out;
  }

  std::string_view FText;
  std::size_t FPos = 0;
  int FLine = 1;
};

// --- Parser ----------------------------------------------------------------------------

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
    if (!IsSymbol(c)) SyntaxError(FTok.Line, "'" + std::string(1, c) + "' expected, found " + Describe(FTok));
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

// --- Text of values --------------------------------------------------------------------

std::string QuoteString(std::string_view s) {
  if (s.empty()) return "''";
  std::string out;
  bool quoted = false;
  for (const char c : s) {
    const auto code = static_cast<unsigned char>(c);
    if (code < 32 || code == 127) {
      if (quoted) out += '\'';
      quoted = false;
      out += '#' + std::to_string(code);
    } else {
      if (!quoted) out += '\'';
      quoted = true;
      out += c;
      if (c == '\'') out += '\'';
    }
  }
  if (quoted) out += '\'';
  return out;
}

// FloatToStr's 15 digits when they read back to Value, otherwise 17 significant digits.
std::string FloatText(double Value) {
  if (Value == 0 && std::signbit(Value)) return "-0";
  std::string text = FloatToStr(Value);
  if (std::isnan(Value)) return text;
  double back = 0;
  if (TryStrToFloat(text, back) && back == Value) return text;
  return FloatToStrF(Value, ffGeneral, 17, 0);
}

void DeclareOf(TObject* Object, TPropertyRegistry& Reg) {
  if (auto* component = dynamic_cast<TComponent*>(Object)) component->DeclareProperties(Reg);
  else if (auto* published = dynamic_cast<IPublishedProperties*>(Object)) published->DeclareProperties(Reg);
}

void DefineOf(TObject* Object, TFiler& Filer) {
  if (auto* component = dynamic_cast<TComponent*>(Object)) component->DefineProperties(Filer);
  else if (auto* published = dynamic_cast<IPublishedProperties*>(Object)) published->DefineProperties(Filer);
}

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

std::string DescribeValue(const TValueNode& Node) {
  switch (Node.Kind) {
    case detail::vkString: return QuoteString(Node.Text);
    case detail::vkSet: {
      std::string s = "[";
      for (std::size_t i = 0; i < Node.Names.size(); ++i) s += (i ? ", " : "") + Node.Names[i];
      return s + "]";
    }
    case detail::vkList: return "(list)";
    case detail::vkCollection: return "<collection>";
    default: return Node.Text;
  }
}

// Component classes a reader may create.
struct TClassTable {
  std::mutex Lock;
  std::map<std::string, TComponentFactory> Factories;
};

TClassTable& ClassTable() {
  static TClassTable table;
  return table;
}

}  // namespace

// --- Handler table, property declarations ----------------------------------------------

std::string THandlerTable::Key(std::string_view Name) { return LowerCase(Name); }

const std::any* THandlerTable::Lookup(std::string_view Name) const {
  const auto it = FHandlers.find(Key(Name));
  return it == FHandlers.end() ? nullptr : &it->second;
}

TPropertyInfo& TPropertyInfo::Stored(std::function<bool()> Test) {
  StoredTest = std::move(Test);
  return *this;
}

TPropertyInfo& TPropertyInfo::Stored(bool Value) {
  StoredTest = [Value] { return Value; };
  return *this;
}

TPropertyInfo& TPropertyInfo::NoDefault() {
  IsDefault = nullptr;
  return *this;
}

TPropertyInfo& TPropertyRegistry::Add(TPropertyInfo Info) {
  for (TPropertyInfo& existing : FProperties)
    if (SameText(existing.Name, Info.Name)) return existing = std::move(Info);
  FProperties.push_back(std::move(Info));
  return FProperties.back();
}

const TPropertyInfo* TPropertyRegistry::Find(std::string_view Name) const {
  for (const TPropertyInfo& p : FProperties)
    if (SameText(p.Name, Name)) return &p;
  return nullptr;
}

// --- Class table -------------------------------------------------------------------------

void RegisterComponentClass(const std::string& ClassName, TComponentFactory Factory) {
  TClassTable& table = ClassTable();
  std::lock_guard<std::mutex> guard(table.Lock);
  table.Factories[LowerCase(ClassName)] = std::move(Factory);
}

TComponentFactory FindComponentClass(std::string_view ClassName) {
  TClassTable& table = ClassTable();
  std::lock_guard<std::mutex> guard(table.Lock);
  const auto it = table.Factories.find(LowerCase(ClassName));
  return it == table.Factories.end() ? TComponentFactory() : it->second;
}

// --- TWriter -----------------------------------------------------------------------------

void TWriter::WriteRootComponent(TComponent* Root) {
  if (!Root) throw EStreamError("No component to write");
  FOut.clear();
  WriteObject(Root, 0);
  FStream->WriteString(FOut);
  FOut.clear();
}

void TWriter::Indent(int Level) { FOut.append(static_cast<std::size_t>(Level) * 2, ' '); }

void TWriter::WriteObject(TComponent* Component, int Level) {
  Indent(Level);
  FOut += "object ";
  if (!Component->Name().empty()) FOut += Component->Name() + ": ";
  FOut += Component->ClassName();
  FOut += '\n';
  WriteProperties(Component, Level + 1);
  // Unnamed owned components cannot be matched when read back, so they are not written.
  for (int i = 0; i < Component->ComponentCount(); ++i) {
    TComponent* child = Component->Components(i);
    if (!child->Name().empty()) WriteObject(child, Level + 1);
  }
  Indent(Level);
  FOut += "end\n";
}

void TWriter::WriteProperties(TObject* Object, int Level) {
  std::vector<TDefined> defined = CollectDefined(Object, *this, FDefined);

  TPropertyRegistry reg(Object);
  DeclareOf(Object, reg);
  std::vector<bool> done(defined.size(), false);
  auto writeDefined = [&](std::size_t i) {
    done[i] = true;
    if (defined[i].HasData) WriteProperty(defined[i].Name, defined[i].Write, Level);
  };
  for (const TPropertyInfo& p : reg.Properties()) {
    // A defined property with a writer takes over the published one of the same name.
    bool takenOver = false;
    for (std::size_t i = 0; i < defined.size(); ++i) {
      if (done[i] || !defined[i].Write || !SameText(defined[i].Name, p.Name)) continue;
      if (!takenOver) writeDefined(i);
      else done[i] = true;
      takenOver = true;
    }
    if (!takenOver && p.Write && p.ShouldWrite()) WriteProperty(p.Name, p.Write, Level);
  }
  for (std::size_t i = 0; i < defined.size(); ++i)
    if (!done[i] && defined[i].Write) writeDefined(i);
}

void TWriter::WriteProperty(const std::string& Name, const TWriterProc& Write, int Level) {
  Indent(Level);
  FOut += Name;
  FOut += " = ";
  const int valueLevel = FValueLevel, listDepth = FListDepth, topValues = FTopValues;
  FValueLevel = Level;
  FListDepth = 0;
  FTopValues = 0;
  Write(*this);
  const bool complete = FListDepth == 0 && FTopValues == 1;
  FValueLevel = valueLevel;
  FListDepth = listDepth;
  FTopValues = topValues;
  if (!complete) throw EStreamError("Property " + Name + " must write exactly one value");
  FOut += '\n';
}

void TWriter::BeginValue() {
  if (FListDepth == 0) {
    ++FTopValues;
  } else {
    FOut += '\n';
    Indent(FValueLevel + FListDepth);
  }
}

void TWriter::WriteToken(std::string_view Text) {
  BeginValue();
  FOut += Text;
}

void TWriter::WriteFloat(double Value) { WriteToken(FloatText(Value)); }
void TWriter::WriteSingle(float Value) { WriteToken(SingleToStr(Value)); }
void TWriter::WriteBoolean(bool Value) { WriteToken(BoolToStr(Value)); }
void TWriter::WriteString(std::string_view Value) { WriteToken(QuoteString(Value)); }

void TWriter::WriteIdent(std::string_view Value) {
  if (!IsIdentifier(Value)) throw EStreamError("'" + std::string(Value) + "' is not an identifier");
  WriteToken(Value);
}

void TWriter::WriteSetNames(const std::vector<std::string>& Names) {
  std::string text = "[";
  for (std::size_t i = 0; i < Names.size(); ++i) text += (i ? ", " : "") + Names[i];
  WriteToken(text + "]");
}

void TWriter::WriteListBegin() {
  BeginValue();
  FOut += '(';
  ++FListDepth;
}

void TWriter::WriteListEnd() {
  if (FListDepth == 0) throw EStreamError("WriteListEnd without WriteListBegin");
  --FListDepth;
  FOut += ')';
}

void TWriter::WriteStrings(const TStrings& Lines) {
  WriteListBegin();
  for (int i = 0; i < Lines.Count(); ++i) WriteString(Lines[i]);
  WriteListEnd();
}

void TWriter::WriteCollection(const TCollection& Collection) {
  BeginValue();
  FOut += '<';
  const int itemLevel = FValueLevel + FListDepth + 1;
  for (TCollectionItem* item : Collection) {
    FOut += '\n';
    Indent(itemLevel);
    FOut += "item\n";
    WriteProperties(item, itemLevel + 1);
    Indent(itemLevel);
    FOut += "end";
  }
  FOut += '>';
}

void TWriter::DefineProperty(const std::string& Name, TReaderProc, TWriterProc WriteData, bool HasData) {
  if (FDefined) FDefined->push_back({Name, std::move(WriteData), HasData});
}

// --- TReader -----------------------------------------------------------------------------

TReader::TReader(TStream& Stream, const THandlerTable* Handlers) : FStream(&Stream), FHandlers(Handlers) {}

TReader::~TReader() = default;

void TReader::ReadRootComponent(TComponent* Root) {
  if (!Root) throw EReadError("No component to read into");
  const std::int64_t start = FStream->Position();
  const std::string text = FStream->ReadAll();
  FStream->SetPosition(start);
  TParser parser(text);
  const TObjectNode node = parser.ParseRoot();

  // First pass: every name looked up and every value checked, nothing applied.
  FChecking = true;
  FNoUndo = 0;
  ReadObject(Root, node, std::string());

  // Second pass: apply, keeping what is needed to undo.
  FChecking = false;
  FUndo.clear();
  FLoaded.clear();
  try {
    ReadObject(Root, node, std::string());
  } catch (...) {
    Rollback();
    std::vector<TLoaded> loaded = std::move(FLoaded);
    FLoaded.clear();
    for (const TLoaded& l : loaded)
      if (!l.Created) l.Component->EndLoading();
    throw;
  }
  for (TUndo& u : FUndo)
    if (u.Commit) u.Commit();
  FUndo.clear();
  std::vector<TLoaded> loaded = std::move(FLoaded);
  FLoaded.clear();
  FStream->SetPosition(start + static_cast<std::int64_t>(parser.Consumed(text)));
  for (const TLoaded& l : loaded) l.Component->EndLoading();
}

void TReader::AddUndo(std::function<void()> Undo, std::function<void()> Commit) {
  if (FNoUndo == 0) FUndo.push_back({std::move(Undo), std::move(Commit)});
}

void TReader::Rollback() {
  const TCursor saved = FCursor;
  ++FNoUndo;
  for (auto it = FUndo.rbegin(); it != FUndo.rend(); ++it) {
    try {
      if (it->Undo) it->Undo();
    } catch (...) {
      // Best effort: a setter refusing its old value must not stop the others.
    }
  }
  --FNoUndo;
  FUndo.clear();
  FCursor = saved;
}

void TReader::ReadObject(TComponent* Component, const TObjectNode& Node, const std::string& Path) {
  const std::string where = Path.empty() ? (Node.Name.empty() ? Node.ClassName : Node.Name) : Path;
  auto fail = [&](const std::string& What) -> void {
    throw EReadError("Error reading " + where + " at line " + std::to_string(Node.Line) + ": " + What);
  };
  if (!SameText(Node.ClassName, Component->ClassName()))
    fail("class " + Node.ClassName + " does not match the component's class " + Component->ClassName());

  if (!FChecking) {
    // Inside a component created by this read, FNoUndo is above zero.
    Component->BeginLoading();
    const bool listed = std::any_of(FLoaded.begin(), FLoaded.end(),
                                    [Component](const TLoaded& l) { return l.Component == Component; });
    if (!listed) FLoaded.push_back({Component, FNoUndo > 0});
  }

  // A header without a name ("object TClass") leaves the name alone.
  if (!Node.Name.empty() && Node.Name != Component->Name()) {
    if (FChecking) {
      if (!IsIdentifier(Node.Name)) fail("'" + Node.Name + "' is not a valid component name");
      TComponent* owner = Component->Owner();
      TComponent* other = owner ? owner->FindComponent(Node.Name) : nullptr;
      if (other && other != Component) fail("a component named " + Node.Name + " already exists");
    } else {
      const std::string old = Component->Name();
      try {
        Component->SetName(Node.Name);
      } catch (const Exception& e) {
        fail(e.Message());
      }
      AddUndo([Component, old] { Component->SetName(old); });
    }
  }

  ReadProperties(Component, Node.Props, Path);

  for (const TObjectNode& child : Node.Children) {
    const std::string childPath = JoinPath(Path, child.Name);
    if (child.Name.empty())
      throw EReadError("Error reading " + JoinPath(where, child.ClassName) + " at line " +
                       std::to_string(child.Line) + ": an owned component needs a name");
    if (TComponent* existing = Component->FindComponent(child.Name)) {
      ReadObject(existing, child, childPath);
      continue;
    }
    TComponentFactory factory = FindComponentClass(child.ClassName);
    if (!factory)
      throw EReadError("Error reading " + childPath + " at line " + std::to_string(child.Line) + ": class " +
                       child.ClassName + " not found");
    if (FChecking) {
      std::unique_ptr<TComponent> scratch(factory(nullptr));
      ReadObject(scratch.get(), child, childPath);
      continue;
    }
    TComponent* created = factory(Component);
    AddUndo([created] { delete created; });
    ++FNoUndo;
    const TScopeExit undoAgain([this] { --FNoUndo; });
    ReadObject(created, child, childPath);
  }
}

void TReader::ReadProperties(TObject* Object, const std::vector<TPropNode>& Props, const std::string& Path) {
  std::vector<TDefined> defined = CollectDefined(Object, *this, FDefined);
  TPropertyRegistry reg(Object);
  DeclareOf(Object, reg);
  for (const TPropNode& prop : Props) ReadProperty(reg, defined, prop, Path);
}

void TReader::ReadProperty(const TPropertyRegistry& Reg, const std::vector<TDefined>& Defined,
                           const TPropNode& Prop, const std::string& Path) {
  TCursor saved = std::move(FCursor);
  FCursor = TCursor();
  FCursor.Value = &Prop.Value;
  FCursor.Path = JoinPath(Path, Prop.Name);
  FCursor.Line = Prop.Line;
  struct TRestore {
    TCursor& Cursor;
    TCursor& Saved;
    ~TRestore() { Cursor = std::move(Saved); }
  } restore{FCursor, saved};

  TReaderProc read;
  std::function<std::function<void()>()> snapshot;
  // A defined property with a reader takes over the published one of the same name.
  for (const TDefined& d : Defined) {
    if (!d.Read || !SameText(d.Name, Prop.Name)) continue;
    read = d.Read;
    if (d.Write) {
      // The defined property's own writer captures the value it had, its reader puts it back.
      snapshot = [this, write = d.Write, reader = d.Read]() -> std::function<void()> {
        TWriter capture;
        capture.WriteProperty("", write, 0);
        std::string text = capture.FOut.substr(3);  // after " = "
        auto node = std::make_shared<TValueNode>(TParser(text).ParseSingleValue());
        return [this, node, reader] {
          FCursor = TCursor();
          FCursor.Value = node.get();
          reader(*this);
        };
      };
    }
    break;
  }
  if (!read) {
    const TPropertyInfo* info = Reg.Find(Prop.Name);
    if (!info) Error("property " + Prop.Name + " does not exist");
    if (!info->Read) Error("property " + Prop.Name + " is read-only");
    read = info->Read;
    snapshot = info->Snapshot;
  }

  if (!FChecking && FNoUndo == 0 && snapshot) {
    std::function<void()> undo;
    try {
      undo = snapshot();
    } catch (...) {
      // A value that cannot be captured cannot be put back either; read on.
    }
    if (undo) AddUndo(std::move(undo));
  }
  try {
    read(*this);
  } catch (const TStopCheck&) {
    return;
  } catch (const EReadError&) {
    throw;
  } catch (const std::exception& e) {
    Error(e.what());
  }
  if (!FCursor.Taken || !FCursor.Lists.empty()) Error("the value was not read completely");
}

void TReader::DefineProperty(const std::string& Name, TReaderProc ReadData, TWriterProc WriteData, bool) {
  if (FDefined) FDefined->push_back({Name, std::move(ReadData), std::move(WriteData)});
}

const std::string& TReader::PropertyPath() const { return FCursor.Path; }
int TReader::Line() const { return FCursor.Line; }

void TReader::Error(const std::string& What) const {
  throw EReadError("Error reading " + FCursor.Path + " at line " + std::to_string(FCursor.Line) + ": " + What);
}

void TReader::ValueError(const std::string& What) const { Error(What); }

void TReader::KindError(const TValueNode& Node, const char* Expected) const {
  Error("invalid property value " + DescribeValue(Node) + " (" + Expected + " expected)");
}

const TValueNode& TReader::Take() {
  if (!FCursor.Value) Error("no value to read");
  const TValueNode* node;
  if (FCursor.Lists.empty()) {
    if (FCursor.Taken) Error("the property has a single value");
    FCursor.Taken = true;
    node = FCursor.Value;
  } else {
    auto& [list, index] = FCursor.Lists.back();
    if (index >= list->Elements.size()) Error("read past the end of the list");
    node = &list->Elements[index++];
  }
  FCursor.Line = node->Line;
  return *node;
}

void TReader::Finish() {
  if (FChecking && FCursor.Lists.empty()) throw TStopCheck();
}

void TReader::TakeInteger(bool& Negative, std::uint64_t& Magnitude) {
  const TValueNode& node = Take();
  if (node.Kind != detail::vkInteger) KindError(node, "integer");
  std::string_view text = node.Text;
  Negative = false;
  if (text[0] == '-' || text[0] == '+') {
    Negative = text[0] == '-';
    text.remove_prefix(1);
  }
  Magnitude = 0;
  for (const char c : text) {
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (Magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) ValueError("integer out of range");
    Magnitude = Magnitude * 10 + digit;
  }
}

std::string TReader::TakeIdent(const char* Expected) {
  const TValueNode& node = Take();
  if (node.Kind != detail::vkIdent) KindError(node, Expected);
  return node.Text;
}

std::vector<std::string> TReader::TakeSetNames() {
  const TValueNode& node = Take();
  if (node.Kind != detail::vkSet) KindError(node, "set");
  return node.Names;
}

double TReader::ReadFloat() {
  const TValueNode& node = Take();
  double value = 0;
  const bool number = node.Kind == detail::vkInteger || node.Kind == detail::vkFloat;
  const bool special = node.Kind == detail::vkIdent &&
                       (SameText(node.Text, "NAN") || SameText(node.Text, "INF") || SameText(node.Text, "-INF"));
  if (!number && !special) KindError(node, "float");
  if (!TryStrToFloat(node.Text, value)) ValueError("float value " + node.Text + " out of range");
  Finish();
  return value;
}

bool TReader::ReadBoolean() {
  const TValueNode& node = Take();
  const bool isTrue = node.Kind == detail::vkIdent && SameText(node.Text, "True");
  const bool isFalse = node.Kind == detail::vkIdent && SameText(node.Text, "False");
  if (!isTrue && !isFalse) KindError(node, "boolean");
  Finish();
  return isTrue;
}

std::string TReader::ReadString() {
  const TValueNode& node = Take();
  if (node.Kind != detail::vkString) KindError(node, "string");
  std::string value = node.Text;
  Finish();
  return value;
}

std::string TReader::ReadIdent() {
  std::string value = TakeIdent("identifier");
  Finish();
  return value;
}

void TReader::ReadListBegin() {
  const TValueNode& node = Take();
  if (node.Kind != detail::vkList) KindError(node, "list");
  FCursor.Lists.emplace_back(&node, 0);
}

bool TReader::EndOfList() const {
  if (FCursor.Lists.empty()) return true;
  const auto& [list, index] = FCursor.Lists.back();
  return index >= list->Elements.size();
}

void TReader::ReadListEnd() {
  if (FCursor.Lists.empty()) Error("ReadListEnd without ReadListBegin");
  if (!EndOfList()) Error("the list has more values than were read");
  FCursor.Lists.pop_back();
  Finish();
}

std::vector<std::string> TReader::ReadStringList() {
  const TValueNode& node = Take();
  if (node.Kind != detail::vkList) KindError(node, "list of strings");
  std::vector<std::string> lines;
  lines.reserve(node.Elements.size());
  for (const TValueNode& element : node.Elements) {
    if (element.Kind != detail::vkString) {
      FCursor.Line = element.Line;
      KindError(element, "string");
    }
    lines.push_back(element.Text);
  }
  Finish();
  return lines;
}

void TReader::SkipValue() {
  Take();
  Finish();
}

void TReader::ReadCollection(TCollection& Collection) {
  const TValueNode& node = Take();
  if (node.Kind != detail::vkCollection) KindError(node, "collection");
  const std::string path = FCursor.Path;
  auto itemPath = [&path](std::size_t i) { return path + "[" + std::to_string(i) + "]"; };

  if (FChecking) {
    std::unique_ptr<TCollectionItem> scratch(Collection.ItemClass().Create());
    if (!scratch && !node.Items.empty()) Error("the collection has no item class");
    for (std::size_t i = 0; i < node.Items.size(); ++i) ReadProperties(scratch.get(), node.Items[i].Props, itemPath(i));
    Finish();
    return;
  }

  // The previous items are kept aside until the whole read has succeeded.
  std::vector<TCollectionItem*> old(Collection.begin(), Collection.end());
  {
    const auto update = UpdateGuard(Collection);
    for (TCollectionItem* item : old) Collection.Extract(item);
    if (FNoUndo == 0) {
      TCollection* target = &Collection;
      AddUndo(
          [target, old] {
            target->BeginUpdate();
            target->Clear();
            for (TCollectionItem* item : old) item->SetCollection(target);
            target->EndUpdate();
          },
          [old] {
            for (TCollectionItem* item : old) delete item;
          });
    } else {
      for (TCollectionItem* item : old) delete item;
    }
    ++FNoUndo;
    const TScopeExit undoAgain([this] { --FNoUndo; });
    for (std::size_t i = 0; i < node.Items.size(); ++i) {
      TCollectionItem* item = Collection.Add();
      ReadProperties(item, node.Items[i].Props, itemPath(i));
    }
  }
  Finish();
}

// --- Free functions ------------------------------------------------------------------------

void WriteComponent(TStream& Stream, TComponent* Component) {
  TWriter writer(Stream);
  writer.WriteRootComponent(Component);
}

void ReadComponent(TStream& Stream, TComponent* Component, const THandlerTable* Handlers) {
  TReader reader(Stream, Handlers);
  reader.ReadRootComponent(Component);
}

}  // namespace evokit
