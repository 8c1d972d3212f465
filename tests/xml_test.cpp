// The XML document layer: documents, element handles, typed values, lists, encodings,
// parse errors and hostile input. The typed bindings are exercised by the GA and GP layers.
#include <evokit/platform/xml.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include <evokit/platform/streams.h>

#include "support.h"

using namespace evokit;

namespace {

std::string Utf16(const std::string& Ascii, bool BigEndian, bool Bom) {
  std::string out = Bom ? (BigEndian ? "\xFE\xFF" : "\xFF\xFE") : "";
  for (char c : Ascii) out += BigEndian ? std::string{'\0', c} : std::string{c, '\0'};
  return out;
}

template <class F>
std::string ErrorOf(F&& Action) { return test::ErrorOf<EXMLDocError>(Action); }

// A random tree: names of equal length (and one with a non-ASCII letter), attributes and
// texts with characters that need escaping, empty elements and mixed content.
void Grow(TXMLNode Node, std::mt19937& Gen, int Depth) {
  static const char* const kNames[] = {"Ab", "Ba", "_x", "n\xC3\x80", "a.b", "c-1", "d:e"};
  static const char* const kTexts[] = {"x < y & z > \"w\"", " caf\xC3\xA9 \xE2\x82\xAC ", "a'b\n\t", "]]>", "0.5"};
  for (int i = static_cast<int>(Gen() % 3); i > 0; --i) Node.SetAttribute(kNames[Gen() % 7], kTexts[Gen() % 5]);
  if (Gen() % 3 == 0) Node.SetText(kTexts[Gen() % 5]);
  for (int i = Depth > 0 ? static_cast<int>(Gen() % 4) : 0; i > 0; --i)
    Grow(Node.AddChild(kNames[Gen() % 7]), Gen, Depth - 1);
}

// A memory stream that hands out its text in small pieces and under-reports its size, as
// a pipe or a growing file may.
struct TTrickleStream : TMemoryStream {
  std::int64_t Read(void* Buffer, std::int64_t Count) override {
    return TMemoryStream::Read(Buffer, std::min<std::int64_t>(Count, 777));
  }
  std::int64_t Size() override { return 10; }
};

}  // namespace

// Saving, loading into a fresh document and saving again gives the same text, with and
// without indentation, through text, streams (read from their position, in pieces, past
// the size they report) and files.
TEST(XMLDocument, SaveLoadSaveRoundTrips) {
  const std::string path = test::TempPath("round.xml");
  for (unsigned seed = 1; seed <= 30; ++seed) {
    std::mt19937 gen(seed);
    TXMLDocument doc = NewXMLDocument(), back;
    Grow(doc.CreateDocumentElement("Root"), gen, 4);
    if (seed % 2) doc.SetOptions({doNodeAutoIndent});
    TTrickleStream stream;
    stream.WriteString("garbage");
    doc.SaveToStream(stream);
    stream.SetPosition(7);
    back.LoadFromStream(stream);
    back.SetOptions(doc.Options());
    ASSERT_EQ(back.XML(), doc.XML()) << "seed " << seed;
    ASSERT_EQ("<?xml version=\"1.0\"?>\n" + back.DocumentElement().XML() + "\n", doc.XML()) << "seed " << seed;
    back.SaveToFile(path);
    ASSERT_EQ(LoadXMLDocument(path).XML(), LoadXMLData(doc.XML()).XML()) << "seed " << seed;
  }
  std::remove(path.c_str());
  TXMLDocument doc = NewXMLDocument();
  TXMLNode b = doc.CreateDocumentElement("a").Child("b");
  b.Child("c").SetText("t");
  EXPECT_EQ(doc.XML(), "<?xml version=\"1.0\"?>\n<a><b><c>t</c></b></a>\n");
  doc.SetOptions({doNodeAutoIndent});
  EXPECT_EQ(b.XML(), "<b>\n  <c>t</c>\n</b>");
  EXPECT_THROW(doc.CreateDocumentElement("Other"), EXMLDocError);
  // Failed loads and saves leave the document and the handles into it as they were.
  EXPECT_THROW(doc.LoadFromXML("<a><b></a>"), EXMLDocError);
  EXPECT_THROW(doc.LoadFromFile(test::TempPath("missing.xml")), EFOpenError);
  struct TFullStream : TMemoryStream {
    std::int64_t Write(const void*, std::int64_t) override { return 0; }
  } full;
  EXPECT_THROW(doc.SaveToStream(full), EStreamError);
  EXPECT_EQ(b.XML(), "<b>\n  <c>t</c>\n</b>");
}

TEST(XMLNode, ChildrenTextAndAttributes) {
  TXMLDocument doc = LoadXMLData("<r>one<![CDATA[<two>]]><e/>three<Ab/><A/></r>");
  TXMLNode r = doc.DocumentElement();
  EXPECT_EQ(r.Text(), "one<two>three");
  r.SetText("new");  // replaces the text; child elements stay
  EXPECT_EQ(r.XML(), "<r>new<e/><Ab/><A/></r>");
  EXPECT_TRUE(r.FindChild("A") == r.LastChild() && r.FindChild("B").IsNull());
  TXMLNode b = r.Child("B");  // created when missing, found afterwards
  EXPECT_TRUE(r.Child("B") == b && b.Child("C").ParentNode().ParentNode() == r && r.ParentNode().IsNull());
  TXMLDocument moved = std::move(doc);
  EXPECT_EQ(b.OwnerDocument(), &moved);
  r.SetAttribute("k", "1");
  r.SetAttribute("k", "2");
  EXPECT_EQ(r.Attribute("k") + r.Attribute("missing"), "2");
  r.RemoveAttribute("k");
  EXPECT_FALSE(r.HasAttribute("k"));
  EXPECT_EQ(ErrorOf([&] { r.SetAttribute("a b", "x"); }), "\"a b\" is not a valid XML name");
  // Every setter refuses text that is not well-formed UTF-8, before anything changes; the
  // first and last characters of each sequence length pass.
  const std::string before = r.XML();
  for (const char* bad : {"\x80", "caf\xC3", "\xC0\xAF", "\xE0\x9F\xBF", "\xED\xA0\x80", "\xE2\x28\xA1", "\xF0\x8F\xBF\xBF",
                          "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xE2\x82(", "abcdefghij\xC0\x80klmnopq"}) {
    EXPECT_THROW(r.SetText(bad), EXMLDocError);
    EXPECT_THROW(r.SetAttribute("k", bad), EXMLDocError);
    EXPECT_THROW(r.AddChild(std::string("n") + bad), EXMLDocError);
    EXPECT_THROW(TXMLValueList<std::string>(r, "v").Add(bad), EXMLDocError);
  }
  EXPECT_EQ(r.XML(), before);
  EXPECT_EQ(ErrorOf([&] { r.SetText("ab\xC3("); }), "Invalid UTF-8 in element text at byte 2");
  for (const char* good : {"\xC2\x80", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xF4\x8F\xBF\xBF", "abcdefghij\xC3\xA9klmnopq"}) {
    r.SetText(good), r.SetAttribute("k", good);
    const TXMLDocument back = LoadXMLData(r.XML());
    EXPECT_EQ(back.DocumentElement().Text() + back.DocumentElement().Attribute("k"), std::string(good) + good);
  }
  r.SetText(""), r.RemoveAttribute("k");
  for (const char* bad : {"", "1bad", "-x"}) EXPECT_THROW(r.AddChild(bad), EXMLDocError) << bad;
  TXMLNode first = r.InsertChild("First", r.FirstChild());
  r.RemoveChild(r.FindChild("e"));
  EXPECT_EQ(first.NextSibling().NodeName() + b.PreviousSibling().NodeName(), "AbA");
  EXPECT_EQ(test::ChildNames(r), (std::vector<std::string>{"First", "Ab", "A", "B"}));
  EXPECT_THROW(r.RemoveChild(b.FirstChild()), EXMLDocError);
  EXPECT_THROW(first.InsertChild("X", b), EXMLDocError);
  r.RemoveChildNodes();
  EXPECT_EQ(r.XML(), "<r/>");
  TXMLNode none;  // the null handle reads defaults and refuses writes
  EXPECT_TRUE(none.Text().empty() && none.AsInteger(7) == 7 && none.ChildCount() == 0 && !none.FindChild("x"));
  for (auto write : {+[](TXMLNode n) { n.Child("x"); }, +[](TXMLNode n) { n.SetText("x"); },
                     +[](TXMLNode n) { n.Remove(); }, +[](TXMLNode n) { n.SetAttribute("a", "x"); }})
    EXPECT_EQ(ErrorOf([&] { write(none); }), "XML node is not assigned");
}

// Typed values are written in the locale-independent forms and read back unchanged; blank
// text reads as the default, other text that does not convert raises EConvertError.
TEST(XMLNode, TypedValues) {
  TXMLDocument doc = LoadXMLData("<V/>"), bad = LoadXMLData(
      "<r><bad>12x</bad><big>256</big><neg>-1</neg><huge>4294967296</huge><T>TRUE</T><F1>1</F1>"
      "<F2>yes</F2></r>");
  TXMLNode r = doc.DocumentElement(), d = bad.DocumentElement();
  d.Child("b").SetText(" \t\r\n");  // blank; the parser itself drops whitespace-only text
  r.Child("I").SetAsInteger(INT_MIN);
  r.Child("L").SetAs<std::int64_t>(-9007199254740993LL);
  r.Child("C").SetAsCardinal(4294967295u);
  r.Child("S").SetAsSingle(0.02f);
  r.Child("F").SetAsFloat(-2.5e300);
  r.SetAttributeAsByte("y", 200);
  r.SetAttributeAsBoolean("b", true);
  EXPECT_EQ(r.XML(), "<V y=\"200\" b=\"True\"><I>-2147483648</I><L>-9007199254740993</L><C>4294967295</C>"
                     "<S>0.02</S><F>-2.5E300</F></V>");
  EXPECT_TRUE(r.Child("I").AsInteger() == INT_MIN && r.Child("L").As<std::int64_t>() == -9007199254740993LL);
  EXPECT_TRUE(r.Child("C").AsCardinal() == 4294967295u && r.Child("S").AsSingle() == 0.02f);
  EXPECT_TRUE(r.Child("F").AsFloat() == -2.5e300 && r.AttributeAsByte("y") == 200 && r.AttributeAsBoolean("b"));
  EXPECT_TRUE(r.AttributeAsByte("missing", 9) == 9 && r.AttributeAsCardinal("missing", 5) == 5);
  r.Child("Tie").SetText(" 1.0000000596046448 ");  // read straight as a single: via a double it would round to 1
  EXPECT_EQ(r.Child("Tie").AsSingle(), std::nextafter(1.0f, 2.0f));
  EXPECT_TRUE(d.Child("e").AsInteger(4) == 4 && d.Child("b").AsInteger(7) == 7 && d.Child("b").AsSingle(1.5f) == 1.5f);
  EXPECT_TRUE(d.Child("b").AsFloat(2) == 2 && d.Child("b").AsBoolean(true) && d.Child("big").AsInteger() == 256);
  EXPECT_TRUE(d.Child("T").AsBoolean() && !d.Child("F1").AsBoolean() && !d.Child("F2").AsBoolean());
  for (auto read : {+[](TXMLNode n) { n.Child("bad").AsInteger(); }, +[](TXMLNode n) { n.Child("bad").AsFloat(); },
                    +[](TXMLNode n) { n.Child("bad").AsSingle(); }, +[](TXMLNode n) { n.Child("big").AsByte(); },
                    +[](TXMLNode n) { n.Child("neg").AsByte(); }, +[](TXMLNode n) { n.Child("neg").AsCardinal(); },
                    +[](TXMLNode n) { n.Child("huge").AsCardinal(); }, +[](TXMLNode n) { n.Child("bad").AsInt64(); }})
    EXPECT_THROW(read(d), EConvertError);
  EXPECT_EQ(d.Child("bad").Text(), "12x");  // a failed read changes nothing
}

// The child elements of one name, as items or values, while other children stay put; the
// lists follow changes made through other handles.
TEST(XMLList, EditingKeepsOrderAndFollowsOtherHandles) {
  TXMLDocument doc = LoadXMLData("<r><other/></r>");
  TXMLNode r = doc.DocumentElement();
  TXMLNodeList<> items(r, "i");
  TXMLValueList<std::string> texts(r, "i");
  texts.Add("b");
  items.Add().SetText("d");
  items.Insert(0).SetText("a");
  texts.Insert(2, "c");
  texts.SetItems(2, "C");
  EXPECT_EQ(r.XML(), "<r><other/><i>a</i><i>b</i><i>C</i><i>d</i></r>");
  items.Delete(1);
  EXPECT_EQ(items.Remove(items[2]), 2);
  EXPECT_TRUE(items.Remove(r) == -1 && items.IndexOf(r) == -1);
  for (auto bad : {+[](TXMLNodeList<>& l) { l.Items(2); }, +[](TXMLNodeList<>& l) { l.Delete(-1); },
                   +[](TXMLNodeList<>& l) { l.Insert(3); }})
    EXPECT_THROW(bad(items), EListError);
  r.AddChild("i").SetText("f");  // changes through other handles
  r.InsertChild("i", items[0]).SetText("0");
  items[1].Remove();
  EXPECT_EQ(texts.Count(), 3);
  EXPECT_EQ(texts[0] + texts[1] + texts[2], "0Cf");
  EXPECT_EQ(items.IndexOf(r.LastChild()), 2);
  texts.Clear();
  EXPECT_EQ(r.XML(), "<r><other/></r>");
}

TEST(XMLEncoding, ByteOrderMarksLayoutsAndDeclarations) {
  for (bool big : {false, true}) {
    for (bool bom : {false, true}) {
      std::string text = Utf16("<?xml version=\"1.0\" encoding=\"UTF-16\"?><a>caf", big, bom);
      text += big ? std::string("\0\xE9", 2) : std::string("\xE9\0", 2);
      EXPECT_EQ(LoadXMLData(text + Utf16("</a>", big, false)).DocumentElement().Text(), "caf\xC3\xA9") << big << bom;
    }
  }
  EXPECT_EQ(LoadXMLData("\xEF\xBB\xBF<a>caf\xC3\xA9</a>").DocumentElement().Text(), "caf\xC3\xA9");
  const std::string latin = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>caf\xE9</a>";
  EXPECT_EQ(LoadXMLData(latin).XML(), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<a>caf\xC3\xA9</a>\n");
  EXPECT_EQ(ErrorOf([] { LoadXMLData("<?xml version='1.0' encoding='Shift_JIS'?><a/>"); }),
            "Unsupported encoding \"Shift_JIS\"");
}

TEST(XMLErrors, MalformedTextReportsLineAndColumnInCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {"<a>\n  <b></c>\n</a>", "line 2, column 8"}, {"<a>\r\n\xC3\xA9\xC3\xA9<b></c></a>", "line 2, column 8"},
      {Utf16("<a>\n\n<b></c></a>", true, true), "line 3, column 6"},
      {Utf16("<a>\r\n<b></c></a>", false, true), "line 2, column 6"},
      {"<?xml version='1.0' encoding='latin1'?>\n\xE9\xE9<a", "line 2"},
      {"<a/>\n<b/>", "Multiple document elements at line 2, column 1"}, {"", "No document element"},
      // Characters that are not well-formed in the input's encoding come before anything
      // the parser says; character references must name a character too.
      {"<a>\n  caf\xC3</a>", "Invalid UTF-8 character at line 2, column 6"},
      {"<a b='\xED\xA0\x80'></c>", "Invalid UTF-8 character at line 1, column 7"},
      {"\xEF\xBB\xBF<a>\xC3\xA9\xF4\x90\x80\x80</a>", "Invalid UTF-8 character at line 1, column 5"},
      {Utf16("<a>", false, true) + std::string("\0\xD8", 2) + Utf16("</a>", false, false),
       "Invalid UTF-16 character at line 1, column 4"},
      {std::string("\xFF\xFE\0\0<\0\0\0a\0\0\0>\0\0\0\0\0\x11\0<\0\0\0/\0\0\0a\0\0\0>\0\0\0", 36),
       "Invalid UTF-32 character at line 1, column 4"},
      {"<a>\n<b>&#xD800;</b></a>", "Invalid character reference at line 2, column 4"},
      {"<a>\n <b c='&#x110000;'/></a>", "Invalid character reference at line 2, column 3"}};
  for (const auto& c : cases) {
    const std::string message = ErrorOf([&] { LoadXMLData(c.first); });
    EXPECT_NE(message.find(c.second), std::string::npos) << message;
  }
  const std::string path = test::TempPath("bad.xml");
  TFileStream(path, fmCreate).WriteString("<a>\n<<");
  const std::string message = ErrorOf([&] { LoadXMLDocument(path); });
  std::remove(path.c_str());
  EXPECT_EQ(message.rfind("XML parse error in \"" + path + "\": ", 0), 0u) << message;
}

// A document type is kept, but nothing it names is fetched and its entities stay as written.
TEST(XMLDoctype, AcceptedNeverFetchedNeverExpanded) {
  const std::string laughs =
      "<!DOCTYPE r SYSTEM \"file:///nonexistent/evokit.dtd\" [\n<!ENTITY lol \"lol\">\n"
      "<!ENTITY lol1 \"&lol;&lol;&lol;&lol;\">\n<!ENTITY xxe SYSTEM \"file:///etc/passwd\">\n]>\n"
      "<r><a>&lol1;</a><b>&xxe;</b><c>&amp;&#65;</c></r>";
  TXMLDocument doc = LoadXMLData(laughs);
  EXPECT_EQ(doc.DocumentElement().XML(), "<r><a>&amp;lol1;</a><b>&amp;xxe;</b><c>&amp;A</c></r>");
  EXPECT_EQ(doc.XML().rfind("<!DOCTYPE r SYSTEM", 0), 0u);
  SetXMLProhibitDTD(true);
  EXPECT_EQ(ErrorOf([&] { LoadXMLData(laughs); }), "DTD is prohibited");
  EXPECT_NO_THROW(LoadXMLData("<r/>"));
  SetXMLProhibitDTD(false);
}

// Deep subtrees are removed without recursion. (Deep documents load and save, indented
// without blowing up, in the hostile-document rows of the adverse-conditions test.)
TEST(XMLHostile, DeepNesting) {
  std::string chain;
  for (int i = 0; i < 100000; ++i) chain += "<e>";
  for (int i = 0; i < 100000; ++i) chain += "</e>";
  TXMLDocument doc = LoadXMLData(chain);
  TXMLNodeList<>(doc.DocumentElement(), "e").Clear();
  EXPECT_EQ(doc.DocumentElement().XML(), "<e/>");
  doc.LoadFromXML(chain);
  doc.DocumentElement().Remove();
  EXPECT_TRUE(doc.IsEmpty());
}
