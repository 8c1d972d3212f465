// The XML document layer over pugixml: parsing with encoding detection and error positions,
// printing with bounded indentation, element handles, and the cached child lists.
#include <evokit/platform/xml.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <typeinfo>

#include <pugixml.hpp>

#include <evokit/platform/convert.h>

namespace evokit {

namespace detail {

struct TXMLDocumentData {
  std::unique_ptr<pugi::xml_document> Doc = std::make_unique<pugi::xml_document>();
  TXMLDocOptions Options;
  // Advanced by every removal of a node and every insertion before an existing node, and
  // by clearing or reloading: the child lists rebuild their caches when it moves.
  std::uint64_t Generation = 0;
  TXMLDocument* Owner = nullptr;
};

}  // namespace detail

namespace {

using detail::TXMLNodeImpl;

std::atomic<bool> GProhibitDTD{false};

constexpr unsigned kParseOptions = pugi::parse_default | pugi::parse_declaration | pugi::parse_doctype |
                                   pugi::parse_comments | pugi::parse_pi;
constexpr const char* kIndent = "  ";

pugi::xml_node P(TXMLNodeImpl* Node) {
  return pugi::xml_node(reinterpret_cast<pugi::xml_node_struct*>(Node));
}
TXMLNodeImpl* Q(pugi::xml_node Node) { return reinterpret_cast<TXMLNodeImpl*>(Node.internal_object()); }

bool IsElement(pugi::xml_node Node) { return Node.type() == pugi::node_element; }
bool IsText(pugi::xml_node Node) { return Node.type() == pugi::node_pcdata || Node.type() == pugi::node_cdata; }

// Compares a parser string (NUL-terminated) with a view without building a string.
bool SameName(const char* Name, std::string_view Wanted) {
  return std::strncmp(Name, Wanted.data(), Wanted.size()) == 0 && Name[Wanted.size()] == '\0';
}

pugi::xml_node FirstElement(pugi::xml_node Node) {
  for (; Node; Node = Node.next_sibling())
    if (IsElement(Node)) return Node;
  return {};
}

pugi::xml_node LastElement(pugi::xml_node Node) {
  for (; Node; Node = Node.previous_sibling())
    if (IsElement(Node)) return Node;
  return {};
}

pugi::xml_node FindElement(pugi::xml_node Parent, std::string_view Name) {
  for (pugi::xml_node n = Parent.first_child(); n; n = n.next_sibling())
    if (IsElement(n) && SameName(n.name(), Name)) return n;
  return {};
}

pugi::xml_attribute FindAttribute(pugi::xml_node Node, std::string_view Name) {
  for (pugi::xml_attribute a = Node.first_attribute(); a; a = a.next_attribute())
    if (SameName(a.name(), Name)) return a;
  return {};
}

bool IsNameStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
}
bool IsNameChar(unsigned char c) {
  return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// Text going into the document must be well-formed UTF-8, or a strict reader would refuse
// the saved document: EXMLDocError naming What and the offending byte (the bytes
// themselves stay out of the message).
void CheckUtf8(std::string_view Text, std::string_view What) {
  const std::size_t bad = FindInvalidUtf8(Text);
  if (bad != std::string_view::npos)
    throw EXMLDocError(Format("Invalid UTF-8 in %s at byte %d", What, static_cast<std::int64_t>(bad)));
}

// XML names: a letter, '_' or ':' first, then letters, digits, '-', '.', '_', ':'; the
// characters of multi-byte UTF-8 sequences are accepted as letters.
std::string ValidName(std::string_view Name) {
  CheckUtf8(Name, "an XML name");
  bool ok = !Name.empty() && IsNameStart(static_cast<unsigned char>(Name[0]));
  for (std::size_t i = 1; ok && i < Name.size(); ++i) ok = IsNameChar(static_cast<unsigned char>(Name[i]));
  if (!ok) throw EXMLDocError(Format("\"%s\" is not a valid XML name", Name));
  return std::string(Name);
}

[[noreturn]] void Unassigned() { throw EXMLDocError("XML node is not assigned"); }

// Removes Node and its subtree without recursion: the parser's own subtree destruction
// recurses once per level and overflows the stack on very deep trees.
void DestroyNode(pugi::xml_node Node) {
  pugi::xml_node cur = Node;
  for (;;) {
    while (pugi::xml_node last = cur.last_child()) cur = last;
    if (cur == Node) break;
    pugi::xml_node parent = cur.parent();
    parent.remove_child(cur);
    cur = parent;
  }
  Node.parent().remove_child(Node);
}

// True when some element lies more than Limit levels below Top (children of Top are level 1).
bool DeeperThan(pugi::xml_node Top, int Limit) {
  pugi::xml_node cur = Top.first_child();
  int depth = 1;
  while (cur) {
    if (depth > Limit && IsElement(cur)) return true;
    if (pugi::xml_node child = cur.first_child()) {
      cur = child;
      ++depth;
      continue;
    }
    while (cur != Top && !cur.next_sibling()) {
      cur = cur.parent();
      --depth;
    }
    if (cur == Top) break;
    cur = cur.next_sibling();
  }
  return false;
}

// --- text conversions shared by element text and attributes -------------------------

bool IsBlank(std::string_view Text) {
  return std::all_of(Text.begin(), Text.end(), [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; });
}

int ToInteger(std::string_view Text, int Default) { return IsBlank(Text) ? Default : StrToInt(Text); }
std::int64_t ToInt64(std::string_view Text, std::int64_t Default) { return IsBlank(Text) ? Default : StrToInt64(Text); }

std::uint32_t ToCardinal(std::string_view Text, std::uint32_t Default) {
  if (IsBlank(Text)) return Default;
  const std::int64_t v = StrToInt64(Text);
  if (v < 0 || v > std::numeric_limits<std::uint32_t>::max())
    throw EConvertError(Format("'%s' is not a valid unsigned 32-bit integer value", Text));
  return static_cast<std::uint32_t>(v);
}

std::uint8_t ToByte(std::string_view Text, std::uint8_t Default) {
  if (IsBlank(Text)) return Default;
  const std::int64_t v = StrToInt64(Text);
  if (v < 0 || v > 255) throw EConvertError(Format("'%s' is not a valid unsigned byte value (0 to 255)", Text));
  return static_cast<std::uint8_t>(v);
}

double ToFloat(std::string_view Text, double Default) { return IsBlank(Text) ? Default : StrToFloat(Text); }

// Reads the decimal text straight as a 32-bit float where possible: going through a double
// could round twice and miss the float that the text was written from.
float ToSingle(std::string_view Text, float Default) {
  if (IsBlank(Text)) return Default;
  const double d = StrToFloat(Text);  // validates, raising EConvertError
  const std::string trimmed = Trim(Text);
  const char* first = trimmed.data();
  const char* last = first + trimmed.size();
  if (first != last && *first == '+') ++first;
  float f = 0;
  const auto r = std::from_chars(first, last, f);
  if (r.ec == std::errc() && r.ptr == last) return f;
  return static_cast<float>(d);
}

bool ToBoolean(std::string_view Text, bool Default) { return IsBlank(Text) ? Default : StrToBool(Text); }

// --- printing -----------------------------------------------------------------------------

class TStringWriter : public pugi::xml_writer {
 public:
  explicit TStringWriter(std::string& Out) : FOut(Out) {}
  void write(const void* Data, size_t Size) override { FOut.append(static_cast<const char*>(Data), Size); }

 private:
  std::string& FOut;
};

// Catches stream errors so that they do not unwind through the parser library; the
// first one is rethrown after printing.
class TStreamWriter : public pugi::xml_writer {
 public:
  explicit TStreamWriter(TStream& Stream) : FStream(Stream) {}
  void write(const void* Data, size_t Size) override {
    if (FError) return;
    try {
      FStream.WriteBuffer(Data, static_cast<std::int64_t>(Size));
    } catch (...) {
      FError = std::current_exception();
    }
  }
  void Check() const {
    if (FError) std::rethrow_exception(FError);
  }

 private:
  TStream& FStream;
  std::exception_ptr FError;
};

// Prints Node (an element or the document node). Indentation is dropped when the tree is
// nested deeper than XMLMaxIndentDepth levels.
void Print(pugi::xml_node Node, pugi::xml_writer& Writer, bool Indent) {
  const bool document = Node.type() == pugi::node_document;
  const unsigned flags = pugi::format_no_declaration;
  if (Indent && !DeeperThan(Node, document ? XMLMaxIndentDepth : XMLMaxIndentDepth - 1)) {
    Node.print(Writer, kIndent, flags | pugi::format_indent, pugi::encoding_utf8);
  } else if (document) {
    // One top-level node per line: the declaration, the document type, the root.
    for (pugi::xml_node n = Node.first_child(); n; n = n.next_sibling()) {
      n.print(Writer, "", flags | pugi::format_raw, pugi::encoding_utf8);
      Writer.write("\n", 1);
    }
  } else {
    Node.print(Writer, "", flags | pugi::format_raw, pugi::encoding_utf8);
  }
}

// --- reading ------------------------------------------------------------------------------

// The encoding named by an XML declaration at the start of 8-bit text, or "".
std::string_view DeclaredEncoding(const char* Bytes, std::size_t Size) {
  const std::string_view text(Bytes, std::min<std::size_t>(Size, 1024));
  if (text.substr(0, 5) != "<?xml" || text.size() < 6 || !std::strchr(" \t\r\n", text[5])) return {};
  const std::size_t end = text.find("?>");
  const std::string_view decl = text.substr(0, end);
  std::size_t pos = 5;
  while ((pos = decl.find("encoding", pos)) != std::string_view::npos) {
    const bool separated = std::strchr(" \t\r\n", decl[pos - 1]) != nullptr;
    pos += 8;
    if (!separated) continue;
    while (pos < decl.size() && std::strchr(" \t\r\n", decl[pos])) ++pos;
    if (pos >= decl.size() || decl[pos] != '=') continue;
    ++pos;
    while (pos < decl.size() && std::strchr(" \t\r\n", decl[pos])) ++pos;
    if (pos >= decl.size() || (decl[pos] != '"' && decl[pos] != '\'')) continue;
    const char quote = decl[pos++];
    const std::size_t close = decl.find(quote, pos);
    if (close == std::string_view::npos) return {};
    return decl.substr(pos, close - pos);
  }
  return {};
}

// The encoding to parse Bytes with. Byte-order marks and 16/32-bit layouts are left to the
// parser's detection; for 8-bit text the declaration decides.
pugi::xml_encoding ChooseEncoding(const char* Bytes, std::size_t Size) {
  const auto* u = reinterpret_cast<const unsigned char*>(Bytes);
  if (Size >= 3 && u[0] == 0xEF && u[1] == 0xBB && u[2] == 0xBF) return pugi::encoding_utf8;
  if (Size >= 2 && ((u[0] == 0xFE && u[1] == 0xFF) || (u[0] == 0xFF && u[1] == 0xFE))) return pugi::encoding_auto;
  if (Size >= 2 && (u[0] == 0 || u[1] == 0)) return pugi::encoding_auto;
  const std::string_view declared = DeclaredEncoding(Bytes, Size);
  if (declared.empty()) return pugi::encoding_utf8;
  const std::string name = LowerCase(declared);
  if (name == "utf-8" || name == "utf8" || name == "us-ascii" || name == "ascii") return pugi::encoding_utf8;
  if (name == "iso-8859-1" || name == "iso8859-1" || name == "iso_8859-1" || name == "latin1" ||
      name == "latin-1" || name == "l1")
    return pugi::encoding_latin1;
  // 8-bit bytes that claim a 16/32-bit encoding: the bytes win.
  if (name.rfind("utf-16", 0) == 0 || name.rfind("utf-32", 0) == 0 || name.rfind("ucs-", 0) == 0)
    return pugi::encoding_utf8;
  throw EXMLDocError(Format("Unsupported encoding \"%s\"", declared));
}

// Decodes one character of Bytes at Pos in the parser's reported encoding; returns the
// code point and advances Pos.
char32_t Decode(const unsigned char* u, std::size_t Size, std::size_t& Pos, pugi::xml_encoding Encoding) {
  auto unit16 = [&](std::size_t i) -> unsigned {
    return Encoding == pugi::encoding_utf16_le ? u[i] | (u[i + 1] << 8) : (u[i] << 8) | u[i + 1];
  };
  switch (Encoding) {
    case pugi::encoding_utf16_le:
    case pugi::encoding_utf16_be: {
      if (Pos + 1 >= Size) return u[Pos++];
      unsigned w = unit16(Pos);
      Pos += 2;
      if (w >= 0xD800 && w < 0xDC00 && Pos + 1 < Size) {
        const unsigned w2 = unit16(Pos);
        if (w2 >= 0xDC00 && w2 < 0xE000) {
          Pos += 2;
          return 0x10000 + ((w - 0xD800) << 10) + (w2 - 0xDC00);
        }
      }
      return w;
    }
    case pugi::encoding_utf32_le:
    case pugi::encoding_utf32_be: {
      if (Pos + 3 >= Size) return u[Pos++];
      const std::size_t i = Pos;
      Pos += 4;
      return Encoding == pugi::encoding_utf32_le
                 ? char32_t(u[i]) | (char32_t(u[i + 1]) << 8) | (char32_t(u[i + 2]) << 16) | (char32_t(u[i + 3]) << 24)
                 : (char32_t(u[i]) << 24) | (char32_t(u[i + 1]) << 16) | (char32_t(u[i + 2]) << 8) | char32_t(u[i + 3]);
    }
    case pugi::encoding_latin1:
      return u[Pos++];
    default: {  // UTF-8: one lead byte and its continuation bytes
      const unsigned char lead = u[Pos++];
      char32_t cp = lead;
      int more = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
      if (more) cp = lead & (0x3F >> more);
      for (; more > 0 && Pos < Size && (u[Pos] & 0xC0) == 0x80; --more) cp = (cp << 6) | (u[Pos++] & 0x3F);
      return cp;
    }
  }
}

std::size_t Utf8Length(char32_t Cp) { return Cp < 0x80 ? 1 : Cp < 0x800 ? 2 : Cp < 0x10000 ? 3 : 4; }

struct TTextPosition {
  int Line = 1;
  int Column = 1;
};

// Line and column (1-based, in characters) of an offset that counts the bytes of the input
// (InputBytes) or, as the parser's offsets do, the bytes of the input converted to UTF-8
// (a byte-order mark included).
TTextPosition PositionOf(const char* Bytes, std::size_t Size, pugi::xml_encoding Encoding, std::ptrdiff_t Offset,
                         bool InputBytes = false) {
  const auto* u = reinterpret_cast<const unsigned char*>(Bytes);
  TTextPosition at;
  std::size_t pos = 0;
  std::size_t utf8 = 0;
  bool afterCR = false;
  while (pos < Size && (InputBytes ? pos : utf8) < static_cast<std::size_t>(Offset)) {
    const char32_t cp = Decode(u, Size, pos, Encoding);
    utf8 += Utf8Length(cp);
    if (cp == '\n') {
      if (!afterCR) ++at.Line;
      at.Column = 1;
    } else if (cp == '\r') {
      ++at.Line;
      at.Column = 1;
    } else if (!(cp == 0xFEFF && utf8 == 3)) {
      ++at.Column;
    }
    afterCR = cp == '\r';
  }
  return at;
}

std::string WhereText(const std::string& Source) { return Source.empty() ? "" : " in \"" + Source + "\""; }

// The name of an encoding in which input can be malformed.
const char* EncodingName(pugi::xml_encoding Encoding) {
  switch (Encoding) {
    case pugi::encoding_utf16_le:
    case pugi::encoding_utf16_be: return "UTF-16";
    case pugi::encoding_utf32_le:
    case pugi::encoding_utf32_be: return "UTF-32";
    default: return "UTF-8";
  }
}

// The offset of the first byte of the input that does not start a well-formed character
// of its encoding, or npos. The parser would pass such bytes on (UTF-8, UTF-32 above
// U+10FFFF or surrogates) or drop them silently (unpaired UTF-16 surrogates).
std::size_t FindInvalidInput(const char* Bytes, std::size_t Size, pugi::xml_encoding Encoding) {
  const auto* u = reinterpret_cast<const unsigned char*>(Bytes);
  switch (Encoding) {
    case pugi::encoding_utf8:
      return FindInvalidUtf8(std::string_view(Bytes, Size));
    case pugi::encoding_utf16_le:
    case pugi::encoding_utf16_be: {
      auto unit = [&](std::size_t i) -> unsigned {
        return Encoding == pugi::encoding_utf16_le ? u[i] | (u[i + 1] << 8) : (u[i] << 8) | u[i + 1];
      };
      std::size_t i = 0;
      for (; i + 1 < Size; i += 2) {
        const unsigned w = unit(i);
        if (w < 0xD800 || w > 0xDFFF) continue;
        if (w > 0xDBFF || i + 3 >= Size) return i;
        const unsigned w2 = unit(i + 2);
        if (w2 < 0xDC00 || w2 > 0xDFFF) return i;
        i += 2;
      }
      return i < Size ? i : std::string_view::npos;
    }
    case pugi::encoding_utf32_le:
    case pugi::encoding_utf32_be: {
      std::size_t i = 0;
      for (; i + 3 < Size; i += 4) {
        const char32_t cp =
            Encoding == pugi::encoding_utf32_le
                ? char32_t(u[i]) | (char32_t(u[i + 1]) << 8) | (char32_t(u[i + 2]) << 16) | (char32_t(u[i + 3]) << 24)
                : (char32_t(u[i]) << 24) | (char32_t(u[i + 1]) << 16) | (char32_t(u[i + 2]) << 8) | char32_t(u[i + 3]);
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return i;
      }
      return i < Size ? i : std::string_view::npos;
    }
    default:  // Latin-1: every byte is a character
      return std::string_view::npos;
  }
}

// The first node of the parsed tree holding a string that is not well-formed UTF-8 (in
// its name, value, or an attribute), or null. Once the input is well-formed, only a
// character reference to a surrogate or to a code point above U+10FFFF can make one.
pugi::xml_node FindInvalidString(const pugi::xml_document& Doc) {
  auto bad = [](const char* Text) { return FindInvalidUtf8(Text) != std::string_view::npos; };
  pugi::xml_node cur = Doc.first_child();
  while (cur) {
    if (bad(cur.name()) || bad(cur.value())) return cur;
    for (pugi::xml_attribute a = cur.first_attribute(); a; a = a.next_attribute())
      if (bad(a.name()) || bad(a.value())) return cur;
    if (pugi::xml_node child = cur.first_child()) {
      cur = child;
      continue;
    }
    while (cur && !cur.next_sibling()) cur = cur.parent();
    if (cur) cur = cur.next_sibling();
  }
  return {};
}

}  // namespace

// --- TXMLDocument ----------------------------------------------------------------------

TXMLDocument::TXMLDocument() : FData(std::make_unique<detail::TXMLDocumentData>()) { FData->Owner = this; }

TXMLDocument::~TXMLDocument() = default;

TXMLDocument::TXMLDocument(TXMLDocument&& Other) noexcept : FData(std::move(Other.FData)) {
  if (FData) FData->Owner = this;
}

TXMLDocument& TXMLDocument::operator=(TXMLDocument&& Other) noexcept {
  if (this != &Other) {
    FData = std::move(Other.FData);
    if (FData) FData->Owner = this;
  }
  return *this;
}

detail::TXMLDocumentData& TXMLDocument::Data() const {
  if (!FData) {  // a moved-from document becomes an empty one again
    FData = std::make_unique<detail::TXMLDocumentData>();
    FData->Owner = const_cast<TXMLDocument*>(this);
  }
  return *FData;
}

TXMLNode TXMLDocument::DocumentElement() const {
  detail::TXMLDocumentData& d = Data();
  return TXMLNode(&d, Q(FirstElement(d.Doc->first_child())));
}

TXMLNode TXMLDocument::CreateDocumentElement(std::string_view Name) {
  detail::TXMLDocumentData& d = Data();
  if (pugi::xml_node root = FirstElement(d.Doc->first_child()))
    throw EXMLDocError(Format("The document already has a document element \"%s\"", root.name()));
  return TXMLNode(&d, Q(d.Doc->append_child(ValidName(Name).c_str())));
}

std::string TXMLDocument::Version() const {
  for (pugi::xml_node n = Data().Doc->first_child(); n; n = n.next_sibling())
    if (n.type() == pugi::node_declaration) return n.attribute("version").value();
  return {};
}

void TXMLDocument::SetVersion(std::string_view Value) {
  CheckUtf8(Value, "the version");
  pugi::xml_document& doc = *Data().Doc;
  pugi::xml_node decl = doc.first_child();
  if (decl.type() != pugi::node_declaration) decl = doc.prepend_child(pugi::node_declaration);
  pugi::xml_attribute version = decl.attribute("version");
  if (!version) version = decl.prepend_attribute("version");
  version.set_value(std::string(Value).c_str());
}

TXMLDocOptions TXMLDocument::Options() const { return Data().Options; }
void TXMLDocument::SetOptions(TXMLDocOptions Value) { Data().Options = Value; }
bool TXMLDocument::IsEmpty() const { return !Data().Doc->first_child(); }

void TXMLDocument::Clear() {
  detail::TXMLDocumentData& d = Data();
  d.Doc->reset();
  ++d.Generation;
}

void TXMLDocument::Parse(const char* Bytes, std::size_t Size, const std::string& Source) {
  const pugi::xml_encoding encoding = ChooseEncoding(Bytes, Size);
  auto doc = std::make_unique<pugi::xml_document>();
  const pugi::xml_parse_result result = doc->load_buffer(Bytes, Size, kParseOptions, encoding);
  auto fail = [&](const std::string& What, std::ptrdiff_t Offset, bool InputBytes = false) {
    const TTextPosition at = PositionOf(Bytes, Size, result.encoding, Offset, InputBytes);
    throw EXMLDocError(Format("XML parse error%s: %s at line %d, column %d", WhereText(Source), What, at.Line, at.Column));
  };
  // Malformed characters come first: the parser's own complaint may be a consequence.
  if (const std::size_t bad = FindInvalidInput(Bytes, Size, result.encoding); bad != std::string_view::npos)
    fail(Format("Invalid %s character", EncodingName(result.encoding)), static_cast<std::ptrdiff_t>(bad), true);
  if (!result) fail(result.description(), result.offset);
  // Character references are decoded by the parser without checking the code point.
  const bool eightBit = result.encoding == pugi::encoding_utf8 || result.encoding == pugi::encoding_latin1;
  if (!eightBit || std::string_view(Bytes, Size).find("&#") != std::string_view::npos)
    if (pugi::xml_node bad = FindInvalidString(*doc)) fail("Invalid character reference", bad.offset_debug());
  int roots = 0;
  for (pugi::xml_node n = doc->first_child(); n; n = n.next_sibling()) {
    if (IsElement(n) && ++roots == 2) fail("Multiple document elements", n.offset_debug() - 1);  // the offset of the name, after "<"
    if (n.type() == pugi::node_doctype && XMLProhibitDTD())
      throw EXMLDocError("DTD is prohibited" + WhereText(Source));
  }
  // The tree is held and saved as UTF-8 whatever the source encoding was.
  for (pugi::xml_node n = doc->first_child(); n; n = n.next_sibling())
    if (n.type() == pugi::node_declaration)
      if (pugi::xml_attribute enc = n.attribute("encoding")) enc.set_value("UTF-8");
  detail::TXMLDocumentData& d = Data();
  d.Doc = std::move(doc);
  ++d.Generation;
}

void TXMLDocument::LoadStream(TStream& Stream, const std::string& Source) {
  // The library's memory streams are parsed where their bytes lie (the parser makes its
  // own copy anyway); the stream ends up read to its end, as by the copy below.
  const std::type_info& type = typeid(Stream);
  if (type == typeid(TMemoryStream) || type == typeid(TStringStream)) {
    auto& memory = static_cast<TMemoryStream&>(Stream);
    const std::int64_t position = std::clamp<std::int64_t>(memory.Position(), 0, memory.Size());
    const char* bytes = memory.Memory() + position;
    const auto size = static_cast<std::size_t>(memory.Size() - position);
    memory.Seek(0, soEnd);
    Parse(bytes, size, Source);
    return;
  }
  // Other streams are read into a buffer that is not filled with zeros first.
  std::size_t size = 0, capacity = static_cast<std::size_t>(std::max<std::int64_t>(Stream.Size() - Stream.Position(), 0));
  auto buffer = std::make_unique_for_overwrite<char[]>(std::max<std::size_t>(capacity, 1));
  for (;;) {
    if (size < capacity) {
      const std::int64_t n = Stream.Read(buffer.get() + size, static_cast<std::int64_t>(capacity - size));
      if (n <= 0) break;
      size += static_cast<std::size_t>(n);
      continue;
    }
    // Anything beyond the size reported at the start (a growing file, a stream without
    // a size) makes the buffer grow.
    char probe[4096];
    const std::int64_t n = Stream.Read(probe, sizeof probe);
    if (n <= 0) break;
    const std::size_t grown = std::max<std::size_t>(capacity * 2, 65536);
    auto larger = std::make_unique_for_overwrite<char[]>(grown);
    std::memcpy(larger.get(), buffer.get(), size);
    std::memcpy(larger.get() + size, probe, static_cast<std::size_t>(n));
    buffer = std::move(larger), capacity = grown, size += static_cast<std::size_t>(n);
  }
  Parse(buffer.get(), size, Source);
}

void TXMLDocument::LoadFromFile(const std::string& FileName) {
  TFileStream stream(FileName, fmOpenRead);
  LoadStream(stream, FileName);
}

void TXMLDocument::LoadFromStream(TStream& Stream) { LoadStream(Stream, std::string()); }

void TXMLDocument::LoadFromXML(std::string_view XML) { Parse(XML.data(), XML.size(), std::string()); }

void TXMLDocument::SaveToFile(const std::string& FileName) const {
  SaveFileSafely(FileName, [this](TStream& Stream) { SaveToStream(Stream); });
}

void TXMLDocument::SaveToStream(TStream& Stream) const {
  TStreamWriter writer(Stream);
  Print(*Data().Doc, writer, Data().Options.Contains(doNodeAutoIndent));
  writer.Check();
}

void TXMLDocument::SaveToXML(std::string& XML) const {
  XML.clear();
  TStringWriter writer(XML);
  Print(*Data().Doc, writer, Data().Options.Contains(doNodeAutoIndent));
}

std::string TXMLDocument::XML() const {
  std::string text;
  SaveToXML(text);
  return text;
}

TXMLDocument NewXMLDocument(std::string_view Version) {
  TXMLDocument doc;
  doc.SetVersion(Version);
  return doc;
}

TXMLDocument LoadXMLDocument(const std::string& FileName) {
  TXMLDocument doc;
  doc.LoadFromFile(FileName);
  return doc;
}

TXMLDocument LoadXMLData(std::string_view XML) {
  TXMLDocument doc;
  doc.LoadFromXML(XML);
  return doc;
}

bool XMLProhibitDTD() { return GProhibitDTD.load(std::memory_order_relaxed); }
void SetXMLProhibitDTD(bool Value) { GProhibitDTD.store(Value, std::memory_order_relaxed); }

// --- TXMLNode ------------------------------------------------------------------------------

std::string TXMLNode::NodeName() const { return FNode ? P(FNode).name() : std::string(); }

TXMLNode TXMLNode::ParentNode() const {
  if (!FNode) return {};
  pugi::xml_node parent = P(FNode).parent();
  return IsElement(parent) ? TXMLNode(FDoc, Q(parent)) : TXMLNode();
}

TXMLDocument* TXMLNode::OwnerDocument() const { return FDoc ? FDoc->Owner : nullptr; }

std::string TXMLNode::Text() const {
  if (!FNode) return {};
  std::string text;
  for (pugi::xml_node n = P(FNode).first_child(); n; n = n.next_sibling())
    if (IsText(n)) text += n.value();
  return text;
}

void TXMLNode::SetText(std::string_view Value) const {
  if (!FNode) Unassigned();
  CheckUtf8(Value, "element text");
  pugi::xml_node node = P(FNode);
  pugi::xml_node first;
  bool removed = false;
  for (pugi::xml_node n = node.first_child(); n;) {
    pugi::xml_node next = n.next_sibling();
    if (IsText(n)) {
      if (!first) {
        first = n;
      } else {
        node.remove_child(n);
        removed = true;
      }
    }
    n = next;
  }
  if (removed) ++FDoc->Generation;
  if (first) {
    first.set_value(Value.data(), Value.size());
  } else if (!Value.empty()) {
    node.append_child(pugi::node_pcdata).set_value(Value.data(), Value.size());
  }
}

std::string TXMLNode::AsString(std::string_view Default) const {
  std::string text = Text();
  return text.empty() ? std::string(Default) : text;
}

bool TXMLNode::IsTextElement() const { return !FirstChild(); }

int TXMLNode::AsInteger(int Default) const { return ToInteger(Text(), Default); }
void TXMLNode::SetAsInteger(int Value) const { SetText(IntToStr(Value)); }
std::int64_t TXMLNode::AsInt64(std::int64_t Default) const { return ToInt64(Text(), Default); }
void TXMLNode::SetAsInt64(std::int64_t Value) const { SetText(IntToStr(Value)); }
std::uint32_t TXMLNode::AsCardinal(std::uint32_t Default) const { return ToCardinal(Text(), Default); }
void TXMLNode::SetAsCardinal(std::uint32_t Value) const { SetText(IntToStr(Value)); }
std::uint8_t TXMLNode::AsByte(std::uint8_t Default) const { return ToByte(Text(), Default); }
void TXMLNode::SetAsByte(std::uint8_t Value) const { SetText(IntToStr(Value)); }
float TXMLNode::AsSingle(float Default) const { return ToSingle(Text(), Default); }
void TXMLNode::SetAsSingle(float Value) const { SetText(SingleToStr(Value)); }
double TXMLNode::AsFloat(double Default) const { return ToFloat(Text(), Default); }
void TXMLNode::SetAsFloat(double Value) const { SetText(FloatToStrNoOverflow(Value)); }
bool TXMLNode::AsBoolean(bool Default) const { return ToBoolean(Text(), Default); }
void TXMLNode::SetAsBoolean(bool Value) const { SetText(BoolToStr(Value)); }

bool TXMLNode::HasAttribute(std::string_view Name) const { return FNode && FindAttribute(P(FNode), Name); }

std::string TXMLNode::Attribute(std::string_view Name) const {
  return FNode ? FindAttribute(P(FNode), Name).value() : std::string();
}

void TXMLNode::SetAttribute(std::string_view Name, std::string_view Value) const {
  if (!FNode) Unassigned();
  CheckUtf8(Value, "an attribute value");
  pugi::xml_attribute attr = FindAttribute(P(FNode), Name);
  if (!attr) attr = P(FNode).append_attribute(ValidName(Name).c_str());
  attr.set_value(Value.data(), Value.size());
}

void TXMLNode::RemoveAttribute(std::string_view Name) const {
  if (!FNode) return;
  if (pugi::xml_attribute attr = FindAttribute(P(FNode), Name)) P(FNode).remove_attribute(attr);
}

int TXMLNode::AttributeAsInteger(std::string_view Name, int Default) const { return ToInteger(Attribute(Name), Default); }
void TXMLNode::SetAttributeAsInteger(std::string_view Name, int Value) const { SetAttribute(Name, IntToStr(Value)); }
std::uint32_t TXMLNode::AttributeAsCardinal(std::string_view Name, std::uint32_t Default) const {
  return ToCardinal(Attribute(Name), Default);
}
void TXMLNode::SetAttributeAsCardinal(std::string_view Name, std::uint32_t Value) const {
  SetAttribute(Name, IntToStr(Value));
}
std::uint8_t TXMLNode::AttributeAsByte(std::string_view Name, std::uint8_t Default) const {
  return ToByte(Attribute(Name), Default);
}
void TXMLNode::SetAttributeAsByte(std::string_view Name, std::uint8_t Value) const { SetAttribute(Name, IntToStr(Value)); }
float TXMLNode::AttributeAsSingle(std::string_view Name, float Default) const { return ToSingle(Attribute(Name), Default); }
void TXMLNode::SetAttributeAsSingle(std::string_view Name, float Value) const { SetAttribute(Name, SingleToStr(Value)); }
double TXMLNode::AttributeAsFloat(std::string_view Name, double Default) const { return ToFloat(Attribute(Name), Default); }
void TXMLNode::SetAttributeAsFloat(std::string_view Name, double Value) const { SetAttribute(Name, FloatToStrNoOverflow(Value)); }
bool TXMLNode::AttributeAsBoolean(std::string_view Name, bool Default) const {
  return ToBoolean(Attribute(Name), Default);
}
void TXMLNode::SetAttributeAsBoolean(std::string_view Name, bool Value) const { SetAttribute(Name, BoolToStr(Value)); }

TXMLNode TXMLNode::Child(std::string_view Name) const {
  if (!FNode) Unassigned();
  if (pugi::xml_node found = FindElement(P(FNode), Name)) return TXMLNode(FDoc, Q(found));
  return AddChild(Name);
}

TXMLNode TXMLNode::FindChild(std::string_view Name) const {
  if (!FNode) return {};
  pugi::xml_node found = FindElement(P(FNode), Name);
  return found ? TXMLNode(FDoc, Q(found)) : TXMLNode();
}

TXMLNode TXMLNode::AddChild(std::string_view Name) const {
  if (!FNode) Unassigned();
  return TXMLNode(FDoc, Q(P(FNode).append_child(ValidName(Name).c_str())));
}

TXMLNode TXMLNode::InsertChild(std::string_view Name, TXMLNode Before) const {
  if (!FNode) Unassigned();
  if (Before.IsNull()) return AddChild(Name);
  if (P(Before.FNode).parent() != P(FNode))
    throw EXMLDocError(Format("Element \"%s\" is not a child of \"%s\"", Before.NodeName(), NodeName()));
  const std::string name = ValidName(Name);
  ++FDoc->Generation;
  return TXMLNode(FDoc, Q(P(FNode).insert_child_before(name.c_str(), P(Before.FNode))));
}

int TXMLNode::ChildCount() const {
  int count = 0;
  for (TXMLNode n = FirstChild(); n; n = n.NextSibling()) ++count;
  return count;
}

TXMLNode TXMLNode::FirstChild() const {
  return FNode ? TXMLNode(FDoc, Q(FirstElement(P(FNode).first_child()))) : TXMLNode();
}

TXMLNode TXMLNode::LastChild() const {
  return FNode ? TXMLNode(FDoc, Q(LastElement(P(FNode).last_child()))) : TXMLNode();
}

TXMLNode TXMLNode::NextSibling() const {
  return FNode ? TXMLNode(FDoc, Q(FirstElement(P(FNode).next_sibling()))) : TXMLNode();
}

TXMLNode TXMLNode::PreviousSibling() const {
  return FNode ? TXMLNode(FDoc, Q(LastElement(P(FNode).previous_sibling()))) : TXMLNode();
}

void TXMLNode::RemoveChild(TXMLNode Child) const {
  if (!FNode) Unassigned();
  if (Child.IsNull() || P(Child.FNode).parent() != P(FNode))
    throw EXMLDocError(Format("Element \"%s\" is not a child of \"%s\"", Child.NodeName(), NodeName()));
  Child.Remove();
}

void TXMLNode::Remove() const {
  if (!FNode) Unassigned();
  DestroyNode(P(FNode));
  ++FDoc->Generation;
}

void TXMLNode::RemoveChildNodes() const {
  if (!FNode) Unassigned();
  while (pugi::xml_node child = P(FNode).last_child()) DestroyNode(child);
  ++FDoc->Generation;
}

std::string TXMLNode::XML() const {
  if (!FNode) return {};
  std::string text;
  TStringWriter writer(text);
  Print(P(FNode), writer, FDoc->Options.Contains(doNodeAutoIndent));
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// --- binding helpers ------------------------------------------------------------------------

TXMLNode BindDocumentElement(TXMLDocument& Doc, std::string_view TagName) {
  TXMLNode root = Doc.DocumentElement();
  if (root.IsNull()) return Doc.CreateDocumentElement(TagName);
  if (root.NodeName() != TagName)
    throw EXMLDocError(Format("Cannot bind document element \"%s\" as \"%s\"", root.NodeName(), TagName));
  return root;
}

TXMLNode CheckXMLNodeName(TXMLNode Node, std::string_view TagName) {
  if (Node.IsNull()) Unassigned();
  if (Node.NodeName() != TagName)
    throw EXMLDocError(Format("Cannot bind element \"%s\" as \"%s\"", Node.NodeName(), TagName));
  return Node;
}

// --- child lists --------------------------------------------------------------------------

namespace detail {

TXMLNodeListBase::TXMLNodeListBase(TXMLNode Parent, std::string_view ItemName) : FParent(Parent), FItemName(ItemName) {}

void TXMLNodeListBase::Sync() const {
  if (FParent.IsNull()) return;
  pugi::xml_node parent = P(FParent.FNode);
  TXMLNodeImpl* last = Q(parent.last_child());
  pugi::xml_node from;
  if (FSynced && FGeneration == FParent.FDoc->Generation) {
    if (last == FLastChild) return;
    // Only appends happened since: scan the new tail.
    from = FLastChild ? P(FLastChild).next_sibling() : parent.first_child();
  } else {
    FItems.clear();
    from = parent.first_child();
  }
  for (pugi::xml_node n = from; n; n = n.next_sibling())
    if (IsElement(n) && n.name() == FItemName) FItems.push_back(Q(n));
  FLastChild = last;
  FGeneration = FParent.FDoc->Generation;
  FSynced = true;
}

int TXMLNodeListBase::Count() const {
  Sync();
  return static_cast<int>(FItems.size());
}

static void CheckIndex(int Index, std::size_t Limit) {
  if (Index < 0 || static_cast<std::size_t>(Index) >= Limit)
    throw EListError(Format("List index out of bounds (%d)", Index));
}

TXMLNode TXMLNodeListBase::NodeAt(int Index) const {
  Sync();
  CheckIndex(Index, FItems.size());
  return TXMLNode(FParent.FDoc, FItems[static_cast<std::size_t>(Index)]);
}

TXMLNode TXMLNodeListBase::AddNode() { return FParent.AddChild(FItemName); }

TXMLNode TXMLNodeListBase::InsertNode(int Index) {
  Sync();
  CheckIndex(Index, FItems.size() + 1);
  if (static_cast<std::size_t>(Index) == FItems.size()) return AddNode();
  const TXMLNode item = FParent.InsertChild(FItemName, TXMLNode(FParent.FDoc, FItems[static_cast<std::size_t>(Index)]));
  FItems.insert(FItems.begin() + Index, item.FNode);
  FGeneration = FParent.FDoc->Generation;
  return item;
}

void TXMLNodeListBase::Delete(int Index) {
  Sync();
  CheckIndex(Index, FItems.size());
  TXMLNode(FParent.FDoc, FItems[static_cast<std::size_t>(Index)]).Remove();
  FItems.erase(FItems.begin() + Index);
  FLastChild = Q(P(FParent.FNode).last_child());
  FGeneration = FParent.FDoc->Generation;
}

void TXMLNodeListBase::Clear() {
  Sync();
  if (FItems.empty()) return;
  for (TXMLNodeImpl* item : FItems) DestroyNode(P(item));
  ++FParent.FDoc->Generation;
  FItems.clear();
  FLastChild = Q(P(FParent.FNode).last_child());
  FGeneration = FParent.FDoc->Generation;
}

int TXMLNodeListBase::IndexOfNode(TXMLNode Node) const {
  Sync();
  const auto it = std::find(FItems.begin(), FItems.end(), Node.FNode);
  return it == FItems.end() || Node.IsNull() ? -1 : static_cast<int>(it - FItems.begin());
}

int TXMLNodeListBase::RemoveNode(TXMLNode Node) {
  const int index = IndexOfNode(Node);
  if (index >= 0) Delete(index);
  return index;
}

}  // namespace detail

}  // namespace evokit
