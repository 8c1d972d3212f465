// Tests of the XML document layer: documents, element handles, typed values, lists,
// bindings, encodings, parse errors and hostile input.
#include <evokit/platform/xml.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <limits>
#include <string>

#include <evokit/platform/streams.h>

namespace evokit {
namespace {

// A small typed layer, written the way the element layers of the library are.
class TXMLAuthorType : public TXMLNodeBinding {
 public:
  using TXMLNodeBinding::TXMLNodeBinding;
  std::string Get_Name() const { return Child("Name").Text(); }
  void Set_Name(std::string_view Value) const { Child("Name").SetText(Value); }
};

class TXMLBookType : public TXMLNodeBinding {
 public:
  using TXMLNodeBinding::TXMLNodeBinding;
  std::string Get_Title() const { return Child("Title").Text(); }
  void Set_Title(std::string_view Value) const { Child("Title").SetText(Value); }
  float Get_Price() const { return Child("Price").AsSingle(); }
  void Set_Price(float Value) const { Child("Price").SetAsSingle(Value); }
  std::uint8_t Get_Stars() const { return Node().AttributeAsByte("Stars"); }
  void Set_Stars(std::uint8_t Value) const { Node().SetAttributeAsByte("Stars", Value); }
  TXMLAuthorType Get_Author() const { return ChildAs<TXMLAuthorType>("Author"); }
  TXMLValueList<std::string> Get_Keyword() const { return ValueList<std::string>("Keyword"); }
};

class TXMLLibraryType : public TXMLNodeBinding {
 public:
  using TXMLNodeBinding::TXMLNodeBinding;
  std::string Get_Kind() const { return Child("Kind").AsString("public"); }
  TXMLNodeList<TXMLBookType> Get_Book() const { return ChildList<TXMLBookType>("Book"); }
};

EVOKIT_XML_DOCUMENT_FUNCTIONS(Library, "Library", TXMLLibraryType)

std::string TempPath(const std::string& Name) {
  return (std::filesystem::temp_directory_path() / ("evokit_xml_test_" + Name)).string();
}

std::string Utf16(const std::string& Ascii, bool BigEndian, bool Bom) {
  std::string out = Bom ? (BigEndian ? std::string("\xFE\xFF") : std::string("\xFF\xFE")) : std::string();
  for (unsigned char c : Ascii) {
    const char units[2] = {BigEndian ? '\0' : static_cast<char>(c), BigEndian ? static_cast<char>(c) : '\0'};
    out.append(units, 2);
  }
  return out;
}

template <class F>
std::string ErrorOf(F&& Action) {
  try {
    Action();
  } catch (const EXMLDocError& e) {
    return e.Message();
  }
  return "no EXMLDocError";
}

// --- documents ------------------------------------------------------------------------------

TEST(XMLDocument, NewDocumentHasVersionAndOneRoot) {
  TXMLDocument doc = NewXMLDocument();
  EXPECT_EQ(doc.Version(), "1.0");
  EXPECT_TRUE(doc.DocumentElement().IsNull());
  TXMLNode root = doc.CreateDocumentElement("Root");
  EXPECT_EQ(doc.DocumentElement(), root);
  EXPECT_EQ(doc.XML().rfind("<?xml version=\"1.0\"?>", 0), 0u);
  EXPECT_THROW(doc.CreateDocumentElement("Other"), EXMLDocError);
  EXPECT_THROW(NewXMLDocument().CreateDocumentElement("1bad"), EXMLDocError);
}

TXMLDocument SampleDocument() {
  TXMLDocument doc = NewXMLDocument();
  TXMLNode root = doc.CreateDocumentElement("Root");
  root.SetAttribute("id", "a\"b<c>&d\ne");
  root.Child("Text").SetText("x < y & z > \"w\" \xC3\xA9\xE2\x82\xAC");
  TXMLNode list = root.Child("List");
  for (int i = 0; i < 3; ++i) list.AddChild("Item").SetAsInteger(i);
  list.AddChild("Nested").AddChild("Deeper").SetText("  spaced  ");
  root.AddChild("Empty");
  return doc;
}

TEST(XMLDocument, RoundTripsWithAndWithoutIndentation) {
  const std::string reference = SampleDocument().DocumentElement().XML();
  for (bool indent : {false, true}) {
    TXMLDocument doc = SampleDocument();
    if (indent) doc.SetOptions(doc.Options() | doNodeAutoIndent);
    const std::string text = doc.XML();
    EXPECT_EQ(text.find("\n  <Text>") != std::string::npos, indent) << text;
    TXMLDocument back = LoadXMLData(text);
    EXPECT_EQ(back.Version(), "1.0");
    EXPECT_EQ(back.DocumentElement().XML(), reference);
    EXPECT_EQ(back.DocumentElement().Attribute("id"), "a\"b<c>&d\ne");
    EXPECT_EQ(back.DocumentElement().Child("List").FindChild("Nested").Child("Deeper").Text(), "  spaced  ");
  }
}

TEST(XMLDocument, FilesAndStreams) {
  const std::string path = TempPath("files.xml");
  TXMLDocument doc = SampleDocument();
  doc.SaveToFile(path);
  TXMLDocument fromFile = LoadXMLDocument(path);
  EXPECT_EQ(fromFile.XML(), doc.XML());

  // A stream is read from its current position.
  TMemoryStream stream;
  stream.WriteString("garbage");
  doc.SaveToStream(stream);
  stream.SetPosition(7);
  TXMLDocument fromStream;
  fromStream.LoadFromStream(stream);
  EXPECT_EQ(fromStream.XML(), doc.XML());
  std::remove(path.c_str());

  EXPECT_THROW(LoadXMLDocument(TempPath("missing.xml")), EFOpenError);
  EXPECT_THROW(doc.SaveToFile(TempPath("no/such/dir/x.xml")), EFCreateError);

  // A stream that refuses writes: its error reaches the caller.
  class TFullStream : public TMemoryStream {
   public:
    std::int64_t Write(const void*, std::int64_t) override { return 0; }
  } full;
  EXPECT_THROW(doc.SaveToStream(full), EStreamError);
}

TEST(XMLDocument, FailedLoadLeavesDocumentAsItWas) {
  TXMLDocument doc = SampleDocument();
  TXMLNode text = doc.DocumentElement().Child("Text");
  const std::string before = doc.XML();
  EXPECT_THROW(doc.LoadFromXML("<a><b></a>"), EXMLDocError);
  EXPECT_THROW(doc.LoadFromFile(TempPath("missing.xml")), EFOpenError);
  EXPECT_EQ(doc.XML(), before);
  EXPECT_EQ(text.NodeName(), "Text");  // handles into the old tree stay valid
}

// --- nodes ------------------------------------------------------------------------------------

TEST(XMLNode, ChildCreatesMissingElementsFindChildDoesNot) {
  TXMLDocument doc = NewXMLDocument();
  TXMLNode root = doc.CreateDocumentElement("R");
  EXPECT_TRUE(root.FindChild("A").IsNull());
  EXPECT_EQ(root.ChildCount(), 0);
  TXMLNode a = root.Child("A");
  EXPECT_EQ(a.NodeName(), "A");
  EXPECT_EQ(root.Child("A"), a);
  EXPECT_EQ(root.ChildCount(), 1);
  EXPECT_EQ(a.Child("B").Child("C").ParentNode().ParentNode(), a);
  EXPECT_EQ(root.XML(), "<R><A><B><C/></B></A></R>");
  EXPECT_TRUE(root.ParentNode().IsNull());
  EXPECT_EQ(a.OwnerDocument(), &doc);
  TXMLDocument moved = std::move(doc);
  EXPECT_EQ(a.OwnerDocument(), &moved);
}

TEST(XMLNode, TextAttributesAndOrder) {
  TXMLDocument doc = LoadXMLData("<r>one<![CDATA[<two>]]><e/>three</r>");
  TXMLNode r = doc.DocumentElement();
  EXPECT_EQ(r.Text(), "one<two>three");
  r.SetText("new");
  EXPECT_EQ(r.Text(), "new");
  EXPECT_EQ(r.ChildCount(), 1);  // the child element stays

  EXPECT_FALSE(r.HasAttribute("k"));
  EXPECT_EQ(r.Attribute("k"), "");
  r.SetAttribute("k", "1");
  r.SetAttribute("k", "2");
  EXPECT_EQ(r.Attribute("k"), "2");
  r.RemoveAttribute("k");
  EXPECT_FALSE(r.HasAttribute("k"));
  EXPECT_THROW(r.SetAttribute("a b", "x"), EXMLDocError);
  EXPECT_THROW(r.AddChild(""), EXMLDocError);
  EXPECT_EQ(r.ChildCount(), 1);

  TXMLNode e = r.FirstChild();
  TXMLNode first = r.InsertChild("First", e);
  TXMLNode last = r.AddChild("Last");
  std::string names;
  for (TXMLNode child : r.ChildNodes()) names += child.NodeName() + " ";
  EXPECT_EQ(names, "First e Last ");
  EXPECT_EQ(last.PreviousSibling(), e);
  EXPECT_EQ(r.LastChild(), last);
  r.RemoveChild(e);
  EXPECT_EQ(first.NextSibling(), last);
  EXPECT_THROW(r.RemoveChild(last.AddChild("Grandchild")), EXMLDocError);
  EXPECT_THROW(first.InsertChild("X", last), EXMLDocError);
  r.RemoveChildNodes();
  EXPECT_EQ(r.XML(), "<r/>");
}

TEST(XMLNode, NullHandleReadsDefaultsAndRefusesWrites) {
  TXMLNode none;
  EXPECT_EQ(none.Text(), "");
  EXPECT_EQ(none.AsInteger(7), 7);
  EXPECT_TRUE(none.FindChild("x").IsNull());
  EXPECT_EQ(none.ChildCount(), 0);
  EXPECT_THROW(none.Child("x"), EXMLDocError);
  EXPECT_THROW(none.SetText("x"), EXMLDocError);
  EXPECT_THROW(none.Remove(), EXMLDocError);
}

TEST(XMLNode, ElementXMLFollowsIndentOption) {
  TXMLDocument doc = NewXMLDocument();
  TXMLNode b = doc.CreateDocumentElement("a").Child("b");
  b.Child("c").SetText("t");
  EXPECT_EQ(b.XML(), "<b><c>t</c></b>");
  doc.SetOptions({doNodeAutoIndent});
  EXPECT_EQ(b.XML(), "<b>\n  <c>t</c>\n</b>");
}

// --- typed values -----------------------------------------------------------------------------

TEST(XMLValues, EveryKindRoundTripsThroughText) {
  TXMLDocument doc = NewXMLDocument();
  TXMLNode r = doc.CreateDocumentElement("V");
  r.Child("IntMin").SetAsInteger(std::numeric_limits<int>::min());
  r.Child("IntMax").SetAsInteger(std::numeric_limits<int>::max());
  r.Child("Int64").SetAsInt64(-9007199254740993LL);
  r.Child("Cardinal").SetAsCardinal(4294967295u);
  r.Child("Byte").SetAsByte(255);
  r.Child("Single").SetAsSingle(0.02f);
  r.Child("SingleTiny").SetAsSingle(1.17549435e-38f);
  r.Child("SingleMax").SetAsSingle(std::numeric_limits<float>::max());
  r.Child("Float").SetAsFloat(-2.5e300);
  r.Child("True").SetAsBoolean(true);
  r.Child("False").SetAsBoolean(false);
  r.Child("Text").SetText("plain");
  r.SetAttributeAsSingle("s", 0.1f);
  r.SetAttributeAsFloat("f", 0.5);
  r.SetAttributeAsBoolean("b", true);
  r.SetAttributeAsCardinal("c", 7);
  r.SetAttributeAsInteger("i", -3);

  TXMLDocument back = LoadXMLData(doc.XML());
  TXMLNode v = back.DocumentElement();
  EXPECT_EQ(v.Child("IntMin").AsInteger(), std::numeric_limits<int>::min());
  EXPECT_EQ(v.Child("IntMax").AsInteger(), std::numeric_limits<int>::max());
  EXPECT_EQ(v.Child("Int64").AsInt64(), -9007199254740993LL);
  EXPECT_EQ(v.Child("Cardinal").AsCardinal(), 4294967295u);
  EXPECT_EQ(v.Child("Byte").AsByte(), 255);
  EXPECT_EQ(v.Child("Single").Text(), "0.02");  // shortest text of the float
  EXPECT_EQ(v.Child("Single").AsSingle(), 0.02f);
  EXPECT_EQ(static_cast<double>(v.Child("Single").AsSingle()), 0.019999999552965164);
  EXPECT_EQ(v.Child("SingleTiny").AsSingle(), 1.17549435e-38f);
  EXPECT_EQ(v.Child("SingleMax").AsSingle(), std::numeric_limits<float>::max());
  EXPECT_EQ(v.Child("Float").AsFloat(), -2.5e300);
  EXPECT_EQ(v.Child("True").Text(), "True");
  EXPECT_TRUE(v.Child("True").AsBoolean());
  EXPECT_FALSE(v.Child("False").AsBoolean(true));
  EXPECT_EQ(v.Child("Text").As<std::string>(), "plain");
  EXPECT_EQ(v.AttributeAsSingle("s"), 0.1f);
  EXPECT_EQ(v.AttributeAsFloat("f"), 0.5);
  EXPECT_TRUE(v.AttributeAsBoolean("b"));
  EXPECT_EQ(v.AttributeAsCardinal("c"), 7u);
  EXPECT_EQ(v.AttributeAsInteger("i"), -3);
  EXPECT_EQ(v.AttributeAsByte("missing", 9), 9);
}

TEST(XMLValues, EmptyTextGivesDefaultBadTextRaises) {
  TXMLDocument doc = LoadXMLData(
      "<r><e/><b>  </b><bad>12x</bad><big>256</big><neg>-1</neg><huge>4294967296</huge>"
      "<T1>TRUE</T1><T2>true</T2><F1>1</F1><F2>yes</F2></r>");
  TXMLNode r = doc.DocumentElement();
  EXPECT_EQ(r.Child("e").AsInteger(), 0);
  EXPECT_EQ(r.Child("e").AsSingle(1.5f), 1.5f);
  EXPECT_FALSE(r.Child("b").AsBoolean());
  EXPECT_EQ(r.Child("Missing").AsFloat(), 0.0);
  EXPECT_THROW(r.Child("bad").AsInteger(), EConvertError);
  EXPECT_THROW(r.Child("bad").AsFloat(), EConvertError);
  EXPECT_THROW(r.Child("bad").AsSingle(), EConvertError);
  EXPECT_THROW(r.Child("big").AsByte(), EConvertError);
  EXPECT_THROW(r.Child("neg").AsByte(), EConvertError);
  EXPECT_THROW(r.Child("neg").AsCardinal(), EConvertError);
  EXPECT_THROW(r.Child("huge").AsCardinal(), EConvertError);
  EXPECT_EQ(r.Child("big").AsInteger(), 256);
  EXPECT_TRUE(r.Child("T1").AsBoolean());
  EXPECT_TRUE(r.Child("T2").AsBoolean());
  EXPECT_FALSE(r.Child("F1").AsBoolean());
  EXPECT_FALSE(r.Child("F2").AsBoolean());
  EXPECT_EQ(r.Child("bad").Text(), "12x");  // a failed read changes nothing
}

// --- lists --------------------------------------------------------------------------------------

std::string Names(const TXMLNodeList<>& List) {
  std::string out;
  for (TXMLNode n : List) out += n.Text();
  return out;
}

TEST(XMLList, AddInsertDeleteRemoveKeepOrder) {
  TXMLDocument doc = NewXMLDocument();
  TXMLNode r = doc.CreateDocumentElement("r");
  r.AddChild("other").SetText("o");
  TXMLNodeList<> items(r, "i");
  EXPECT_EQ(items.Count(), 0);
  items.Add().SetText("b");
  items.Add().SetText("d");
  items.Insert(0).SetText("a");
  items.Insert(2).SetText("c");
  items.Insert(4).SetText("e");
  EXPECT_EQ(Names(items), "abcde");
  EXPECT_EQ(r.Text(), "");
  EXPECT_EQ(r.FirstChild().NodeName(), "other");  // other children keep their place

  items.Delete(1);
  EXPECT_EQ(Names(items), "acde");
  TXMLNode d = items[2];
  EXPECT_EQ(items.IndexOf(d), 2);
  EXPECT_EQ(items.Remove(d), 2);
  EXPECT_EQ(items.Remove(r), -1);
  EXPECT_EQ(Names(items), "ace");
  EXPECT_THROW(items.Items(3), EListError);
  EXPECT_THROW(items.Delete(-1), EListError);
  EXPECT_THROW(items.Insert(4), EListError);
  EXPECT_EQ(Names(items), "ace");

  items.Clear();
  EXPECT_EQ(items.Count(), 0);
  EXPECT_EQ(r.XML(), "<r><other>o</other></r>");
}

TEST(XMLList, FollowsChangesMadeElsewhere) {
  TXMLDocument doc = NewXMLDocument();
  TXMLNode r = doc.CreateDocumentElement("r");
  TXMLNodeList<> a(r, "i");
  TXMLNodeList<> b(r, "i");
  for (const char* t : {"1", "2", "3"}) a.Add().SetText(t);
  EXPECT_EQ(Names(b), "123");
  r.AddChild("i").SetText("4");  // an append through another handle
  EXPECT_EQ(b.Count(), 4);
  a.Delete(0);  // a removal through another list
  EXPECT_EQ(Names(b), "234");
  r.InsertChild("i", b[0]).SetText("0");  // an insertion in the middle
  EXPECT_EQ(Names(b), "0234");
  b[1].Remove();
  EXPECT_EQ(Names(a), "034");
}

TEST(XMLList, ValueLists) {
  TXMLDocument doc = NewXMLDocument();
  TXMLNode r = doc.CreateDocumentElement("r");
  TXMLValueList<int> ints(r, "n");
  ints.Add(2);
  ints.Insert(0, 1);
  ints.Add(3);
  ints.SetItems(2, 30);
  EXPECT_EQ(ints.Count(), 3);
  EXPECT_EQ(ints[0] + ints[1] + ints[2], 33);
  EXPECT_EQ(ints.Remove(ints.Nodes(1)), 1);
  EXPECT_EQ(r.XML(), "<r><n>1</n><n>30</n></r>");
  TXMLValueList<bool> flags(r, "f");
  flags.Add(true);
  EXPECT_EQ(r.Child("f").Text(), "True");
}

// --- bindings -----------------------------------------------------------------------------------

TEST(XMLBinding, TypedDocumentRoundTrip) {
  auto library = NewLibrary();
  EXPECT_EQ(library.Document().Version(), "1.0");
  EXPECT_EQ(library->NodeName(), "Library");
  EXPECT_EQ(library->Get_Kind(), "public");
  auto books = library->Get_Book();
  TXMLBookType book = books.Add();
  book.Set_Title("Dune");
  book.Set_Price(9.99f);
  book.Set_Stars(5);
  book.Get_Author().Set_Name("Herbert");
  book.Get_Keyword().Add("sand");
  book.Get_Keyword().Add("worms");
  books.Insert(0).Set_Title("Anathem");

  const std::string path = TempPath("library.xml");
  library.Document().SetOptions({doNodeAutoIndent});
  library.Document().SaveToFile(path);
  auto loaded = LoadLibrary(path);
  std::remove(path.c_str());
  auto list = loaded->Get_Book();
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list[0].Get_Title(), "Anathem");
  EXPECT_EQ(list[0].Get_Price(), 0.0f);  // missing: the default, and now created
  EXPECT_TRUE(list[0].Node().HasChild("Price"));
  EXPECT_EQ(list[1].Get_Price(), 9.99f);
  EXPECT_EQ(list[1].Get_Stars(), 5);
  EXPECT_EQ(list[1].Get_Author().Get_Name(), "Herbert");
  EXPECT_EQ(list[1].Get_Keyword()[1], "worms");
  EXPECT_EQ(list.IndexOf(list[1]), 1);

  // The bound root follows a reload of the document.
  loaded.Document().LoadFromXML("<Library><Book><Title>X</Title></Book></Library>");
  EXPECT_EQ(loaded->Get_Book()[0].Get_Title(), "X");
}

TEST(XMLBinding, WrongRootNamesBothTags) {
  TXMLDocument doc = LoadXMLData("<Shelf/>");
  const std::string message = ErrorOf([&] { GetLibrary(doc); });
  EXPECT_NE(message.find("\"Shelf\""), std::string::npos) << message;
  EXPECT_NE(message.find("\"Library\""), std::string::npos) << message;

  const std::string path = TempPath("shelf.xml");
  doc.SaveToFile(path);
  EXPECT_THROW(LoadLibrary(path), EXMLDocError);
  std::remove(path.c_str());

  auto bound = NewLibrary();
  bound.Document().LoadFromXML("<Shelf/>");
  EXPECT_THROW(bound.Root(), EXMLDocError);

  TXMLDocument empty = NewXMLDocument();
  EXPECT_EQ(GetLibrary(empty).NodeName(), "Library");  // a document without a root gets one
  EXPECT_THROW(CheckXMLNodeName(empty.DocumentElement(), "Book"), EXMLDocError);
  EXPECT_EQ(CheckXMLNodeName(empty.DocumentElement(), "Library"), empty.DocumentElement());
}

// --- encodings ----------------------------------------------------------------------------------

TEST(XMLEncoding, DetectsByteOrderMarksAndDeclarations) {
  const std::string expected = "caf\xC3\xA9";  // "café" in UTF-8
  for (bool big : {false, true}) {
    std::string text = Utf16("<?xml version=\"1.0\" encoding=\"UTF-16\"?><a>caf", big, true);
    text += big ? std::string("\0\xE9", 2) : std::string("\xE9\0", 2);
    text += Utf16("</a>", big, false);
    EXPECT_EQ(LoadXMLData(text).DocumentElement().Text(), expected) << big;
  }
  EXPECT_EQ(LoadXMLData(Utf16("<a>x</a>", false, false)).DocumentElement().Text(), "x");
  EXPECT_EQ(LoadXMLData("\xEF\xBB\xBF<a>caf\xC3\xA9</a>").DocumentElement().Text(), expected);

  TXMLDocument latin = LoadXMLData("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>caf\xE9</a>");
  EXPECT_EQ(latin.DocumentElement().Text(), expected);
  const std::string saved = latin.XML();
  EXPECT_NE(saved.find("encoding=\"UTF-8\""), std::string::npos) << saved;
  EXPECT_EQ(LoadXMLData(saved).DocumentElement().Text(), expected);

  const std::string message = ErrorOf([] { LoadXMLData("<?xml version='1.0' encoding='Shift_JIS'?><a/>"); });
  EXPECT_NE(message.find("Shift_JIS"), std::string::npos) << message;
}

// --- errors -------------------------------------------------------------------------------------

TEST(XMLErrors, MalformedTextReportsLineAndColumn) {
  std::string message = ErrorOf([] { LoadXMLData("<a>\n  <b></c>\n</a>"); });
  EXPECT_NE(message.find("mismatch"), std::string::npos) << message;
  EXPECT_NE(message.find("line 2, column 8"), std::string::npos) << message;

  // Columns count characters, whatever the encoding.
  message = ErrorOf([] { LoadXMLData("<a>\r\n\xC3\xA9\xC3\xA9<b></c></a>"); });
  EXPECT_NE(message.find("line 2, column 8"), std::string::npos) << message;
  message = ErrorOf([] { LoadXMLData(Utf16("<a>\n\n<b></c></a>", true, true)); });
  EXPECT_NE(message.find("line 3, column 6"), std::string::npos) << message;
  message = ErrorOf([] { LoadXMLData("<?xml version='1.0' encoding='latin1'?>\n\xE9\xE9<a"); });
  EXPECT_NE(message.find("line 2"), std::string::npos) << message;

  message = ErrorOf([] { LoadXMLData("<a/>\n<b/>"); });
  EXPECT_NE(message.find("Multiple document elements at line 2, column 1"), std::string::npos) << message;
  message = ErrorOf([] { LoadXMLData(""); });
  EXPECT_NE(message.find("No document element"), std::string::npos) << message;

  const std::string path = TempPath("bad.xml");
  TFileStream(path, fmCreate).WriteString("<a>\n<<");
  message = ErrorOf([&] { LoadXMLDocument(path); });
  std::remove(path.c_str());
  EXPECT_NE(message.find(path), std::string::npos) << message;
  EXPECT_NE(message.find("line 2"), std::string::npos) << message;
}

// --- document types and entities ----------------------------------------------------------------

TEST(XMLDoctype, AcceptedNeverFetchedNeverExpanded) {
  const std::string laughs =
      "<!DOCTYPE r SYSTEM \"file:///nonexistent/evokit.dtd\" [\n"
      "<!ENTITY lol \"lol\">\n"
      "<!ENTITY lol1 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">\n"
      "<!ENTITY lol2 \"&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;\">\n"
      "<!ENTITY lol9 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">\n"
      "<!ENTITY xxe SYSTEM \"file:///etc/passwd\">\n"
      "]>\n<r><a>&lol9;</a><b>&xxe;</b><c>&amp;&#65;</c></r>";
  TXMLDocument doc = LoadXMLData(laughs);
  TXMLNode r = doc.DocumentElement();
  EXPECT_EQ(r.Child("a").Text(), "&lol9;");
  EXPECT_EQ(r.Child("b").Text(), "&xxe;");
  EXPECT_EQ(r.Child("c").Text(), "&A");  // predefined and character references still work
  EXPECT_LT(doc.XML().size(), 2 * laughs.size());
  EXPECT_NE(doc.XML().find("<!DOCTYPE r SYSTEM"), std::string::npos);

  SetXMLProhibitDTD(true);
  EXPECT_THROW(LoadXMLData(laughs), EXMLDocError);
  EXPECT_NO_THROW(LoadXMLData("<r/>"));
  SetXMLProhibitDTD(false);
  EXPECT_FALSE(XMLProhibitDTD());
}

// --- hostile documents --------------------------------------------------------------------------

TEST(XMLHostile, LargeTextNode) {
  // 24 MB: the layer's cost is linear in the text size (no per-character work beyond the
  // parser's scan and one copy), so a larger node only makes the test slower.
  const std::size_t size = std::size_t(24) << 20;
  std::string text = "<r>";
  text.append(size, 'x');
  text += "</r>";
  TXMLDocument doc = LoadXMLData(text);
  EXPECT_EQ(doc.DocumentElement().Text().size(), size);
  std::string saved;
  doc.SaveToXML(saved);
  EXPECT_EQ(saved.size(), text.size() + 1);  // plus the final line break
}

std::string Chain(int Depth) {
  std::string text;
  for (int i = 0; i < Depth; ++i) text += "<e>";
  text += "leaf";
  for (int i = 0; i < Depth; ++i) text += "</e>";
  return text;
}

TEST(XMLHostile, DeepNestingIsReadSavedFlatAndDestroyed) {
  const int depth = 100000;
  TXMLDocument doc = LoadXMLData(Chain(depth));
  TXMLNode n = doc.DocumentElement();
  int levels = 1;
  while (n.HasChildNodes()) {
    n = n.FirstChild();
    ++levels;
  }
  EXPECT_EQ(levels, depth);
  EXPECT_EQ(n.Text(), "leaf");

  doc.SetOptions({doNodeAutoIndent});
  const std::string saved = doc.XML();
  EXPECT_EQ(saved, Chain(depth) + "\n");  // too deep to indent: written flat
  EXPECT_EQ(doc.DocumentElement().FirstChild().XML(), Chain(depth - 1));
  TXMLNodeList<>(doc.DocumentElement(), "e").Clear();
  EXPECT_EQ(doc.DocumentElement().XML(), "<e />");
  doc.LoadFromXML(Chain(depth));
  doc.DocumentElement().Remove();
  EXPECT_TRUE(doc.DocumentElement().IsNull());
  doc.LoadFromXML(Chain(depth));  // and the destructor frees a deep tree
}

TEST(XMLHostile, IndentationStopsAtDepthLimit) {
  TXMLDocument doc = LoadXMLData(Chain(XMLMaxIndentDepth));
  doc.SetOptions({doNodeAutoIndent});
  const std::string deepest = "\n" + std::string(2 * (XMLMaxIndentDepth - 1), ' ') + "<e>leaf</e>";
  EXPECT_NE(doc.XML().find(deepest), std::string::npos);
  doc.LoadFromXML(Chain(XMLMaxIndentDepth + 1));
  EXPECT_EQ(doc.XML(), Chain(XMLMaxIndentDepth + 1) + "\n");
}

}  // namespace
}  // namespace evokit
