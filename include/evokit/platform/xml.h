// XML document object model: TXMLDocument owns one parsed document, TXMLNode is a cheap
// non-owning handle to one of its elements, and TXMLNodeBinding, TXMLNodeList and
// TXMLValueList are the bases that typed element layers are written with; GetXMLRoot,
// LoadXMLRoot and NewXMLRoot bind a document element to such a type. Parsing and printing
// are done by pugixml, which stays out of this header.
//
// Writing a typed element layer:
//
//   class TXMLBookType : public TXMLNodeBinding {
//    public:
//     using TXMLNodeBinding::TXMLNodeBinding;
//     std::string Get_Title() const { return Child("Title").Text(); }
//     void Set_Title(std::string_view Value) const { Child("Title").SetText(Value); }
//     float Get_Price() const { return Child("Price").AsSingle(); }
//     void Set_Price(float Value) const { Child("Price").SetAsSingle(Value); }
//     TXMLAuthorType Get_Author() const { return ChildAs<TXMLAuthorType>("Author"); }
//     TXMLValueList<std::string> Get_Keyword() const { return ValueList<std::string>("Keyword"); }
//   };
//   class TXMLLibraryType : public TXMLNodeBinding {
//    public:
//     using TXMLNodeBinding::TXMLNodeBinding;
//     TXMLNodeList<TXMLBookType> Get_Book() const { return ChildList<TXMLBookType>("Book"); }
//   };
//   EVOKIT_XML_DOCUMENT_FUNCTIONS(Library, "Library", TXMLLibraryType)
//     // GetLibrary(Doc), LoadLibrary(FileName), NewLibrary()
//
// A child element type is registered by the accessor that returns it (ChildAs, ChildList);
// reading a missing child element through Child or ChildAs creates it, FindChild does not.
//
// Handle lifetime: a TXMLNode (and every binding and list built on it) stays valid until its
// element is removed, or its document is destroyed, cleared or reloaded. Moving a
// TXMLDocument keeps its handles valid. Handles have pointer-like constness: a const handle
// can still change the document.
//
// Reading: the encoding is detected from a byte-order mark (UTF-8, UTF-16 and UTF-32 in
// either byte order), from the layout of 16/32-bit text without one, or from the
// declaration's encoding (UTF-8, US-ASCII, ISO-8859-1/Latin1; any other declared encoding
// raises EXMLDocError). The document is held and saved as UTF-8, so a loaded declaration's
// encoding is changed to "UTF-8". A document type declaration is accepted and kept, but
// nothing it names is ever fetched and its entities are not expanded: a reference to a
// custom entity stays in the text as written ("&name;"). Whitespace-only text between
// elements is dropped; comments and processing instructions are kept.
//
// Well-formed characters only: input that is not well-formed in its encoding (UTF-8 with
// stray or overlong bytes, surrogates or code points above U+10FFFF; UTF-16 with unpaired
// surrogates; UTF-32 out of range) and character references to surrogates or code points
// above U+10FFFF are refused as malformed text, and every setter (element text, attribute
// values, element and attribute names, the version) refuses text that is not well-formed
// UTF-8 with EXMLDocError before changing anything. A document therefore never holds bytes
// that a strict reader would reject, and saving one cannot write them.
//
// Thread safety: a document and every handle into it are used by one thread at a time;
// separate documents are independent. The DTD switch is atomic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <evokit/platform/exceptions.h>
#include <evokit/platform/streams.h>

namespace evokit {

class TXMLDocument;
class TXMLNode;
class TXMLNodeBinding;
template <class TItem = TXMLNode>
class TXMLNodeList;
template <class V>
class TXMLValueList;

namespace detail {
struct TXMLDocumentData;  // the parsed document and its options (xml.cpp)
struct TXMLNodeImpl;      // opaque: the parser's node record
class TXMLNodeListBase;
}  // namespace detail

// Elements nested deeper than this many levels switch indentation off for the whole text
// being saved: indented text grows with the square of the nesting depth.
inline constexpr int XMLMaxIndentDepth = 64;

enum TXMLDocOption {
  doNodeAutoIndent,  // save with line breaks and two spaces per nesting level
};

// A set of TXMLDocOption values.
class TXMLDocOptions {
 public:
  constexpr TXMLDocOptions() = default;
  constexpr TXMLDocOptions(std::initializer_list<TXMLDocOption> Values) {
    for (TXMLDocOption v : Values) Include(v);
  }
  constexpr bool Contains(TXMLDocOption Value) const { return (FBits >> Value) & 1u; }
  constexpr TXMLDocOptions& Include(TXMLDocOption Value) {
    FBits |= 1u << Value;
    return *this;
  }
  constexpr TXMLDocOptions& Exclude(TXMLDocOption Value) {
    FBits &= ~(1u << Value);
    return *this;
  }
  constexpr unsigned Bits() const { return FBits; }
  friend constexpr TXMLDocOptions operator|(TXMLDocOptions Set, TXMLDocOption Value) {
    return Set.Include(Value);
  }
  friend constexpr bool operator==(TXMLDocOptions, TXMLDocOptions) = default;

 private:
  unsigned FBits = 0;
};

class TXMLChildNodes;

// A handle to one element of a document, or the null handle. Copying is free; the handle
// owns nothing. Reads on the null handle give empty text and defaults; operations that
// would change the document raise EXMLDocError "XML node is not assigned".
class TXMLNode {
 public:
  TXMLNode() = default;
  bool IsNull() const noexcept { return FNode == nullptr; }
  explicit operator bool() const noexcept { return FNode != nullptr; }
  friend bool operator==(const TXMLNode& A, const TXMLNode& B) noexcept { return A.FNode == B.FNode; }

  // The tag name.
  std::string NodeName() const;
  // The parent element; null for the document element.
  TXMLNode ParentNode() const;
  // The document holding this element; null for the null handle.
  TXMLDocument* OwnerDocument() const;

  // --- text content ---
  // The element's text: its text and CDATA children joined in document order.
  std::string Text() const;
  // Replaces the element's text by Value; child elements stay. EXMLDocError (nothing
  // changed) when Value is not well-formed UTF-8, as for every setter below.
  void SetText(std::string_view Value) const;
  // True when the element has no child element.
  bool IsTextElement() const;

  // --- typed text. Empty or blank text reads as Default; other text that does not convert
  // raises EConvertError and changes nothing. Writers use the locale-independent forms.
  // The text, or Default when it is empty.
  std::string AsString(std::string_view Default = {}) const;
  int AsInteger(int Default = 0) const;
  void SetAsInteger(int Value) const;
  std::int64_t AsInt64(std::int64_t Default = 0) const;
  void SetAsInt64(std::int64_t Value) const;
  // Unsigned 32-bit integer, 0 to 4294967295.
  std::uint32_t AsCardinal(std::uint32_t Default = 0) const;
  void SetAsCardinal(std::uint32_t Value) const;
  // Unsigned byte, 0 to 255.
  std::uint8_t AsByte(std::uint8_t Default = 0) const;
  void SetAsByte(std::uint8_t Value) const;
  // 32-bit float, written as the shortest text that reads back to the same float.
  float AsSingle(float Default = 0) const;
  void SetAsSingle(float Value) const;
  // 64-bit float in the general format (FloatToStrNoOverflow: 17 digits where 15 would overflow).
  double AsFloat(double Default = 0) const;
  void SetAsFloat(double Value) const;
  // Written "True"/"False"; true exactly when the lower-case text is "true".
  bool AsBoolean(bool Default = false) const;
  void SetAsBoolean(bool Value) const;
  // The same by type: std::string, bool, std::uint8_t, int, std::uint32_t, std::int64_t,
  // float or double.
  template <class T>
  T As() const;
  template <class T>
  void SetAs(const T& Value) const;

  // --- attributes ---
  bool HasAttribute(std::string_view Name) const;
  // The attribute's text; "" when it is absent.
  std::string Attribute(std::string_view Name) const;
  // Sets the attribute, adding it when absent; EXMLDocError for a name that is not an XML name.
  void SetAttribute(std::string_view Name, std::string_view Value) const;
  // Does nothing when the attribute is absent.
  void RemoveAttribute(std::string_view Name) const;
  // Typed attributes: as the typed text above, a missing attribute reads as Default.
  int AttributeAsInteger(std::string_view Name, int Default = 0) const;
  void SetAttributeAsInteger(std::string_view Name, int Value) const;
  std::uint32_t AttributeAsCardinal(std::string_view Name, std::uint32_t Default = 0) const;
  void SetAttributeAsCardinal(std::string_view Name, std::uint32_t Value) const;
  std::uint8_t AttributeAsByte(std::string_view Name, std::uint8_t Default = 0) const;
  void SetAttributeAsByte(std::string_view Name, std::uint8_t Value) const;
  float AttributeAsSingle(std::string_view Name, float Default = 0) const;
  void SetAttributeAsSingle(std::string_view Name, float Value) const;
  double AttributeAsFloat(std::string_view Name, double Default = 0) const;
  void SetAttributeAsFloat(std::string_view Name, double Value) const;
  bool AttributeAsBoolean(std::string_view Name, bool Default = false) const;
  void SetAttributeAsBoolean(std::string_view Name, bool Value) const;

  // --- child elements (text, comments and the like are not counted or visited) ---
  // The first child element named Name, appended as a new empty element when there is none.
  TXMLNode Child(std::string_view Name) const;
  // The first child element named Name, or the null handle; never creates.
  TXMLNode FindChild(std::string_view Name) const;
  bool HasChild(std::string_view Name) const { return !FindChild(Name).IsNull(); }
  // Appends a new child element. EXMLDocError for a name that is not an XML name.
  TXMLNode AddChild(std::string_view Name) const;
  // Inserts a new child element before Before (a child element of this one), or appends it
  // when Before is null. EXMLDocError when Before is not a child of this element.
  TXMLNode InsertChild(std::string_view Name, TXMLNode Before) const;
  // Number of child elements (a walk over the children).
  int ChildCount() const;
  bool HasChildNodes() const { return !FirstChild().IsNull(); }
  TXMLNode FirstChild() const;
  TXMLNode LastChild() const;
  TXMLNode NextSibling() const;
  TXMLNode PreviousSibling() const;
  // The child elements in document order, for range-for.
  TXMLChildNodes ChildNodes() const;
  // Removes and destroys Child and its subtree; EXMLDocError when it is not a child.
  void RemoveChild(TXMLNode Child) const;
  // Removes and destroys this element and its subtree (the handle becomes invalid).
  void Remove() const;
  // Removes every child node: elements, text, comments.
  void RemoveChildNodes() const;

  // The element's XML text without a declaration, indented when the document has
  // doNodeAutoIndent (no trailing line break).
  std::string XML() const;

 private:
  friend class TXMLDocument;
  friend class detail::TXMLNodeListBase;
  TXMLNode(detail::TXMLDocumentData* Doc, detail::TXMLNodeImpl* Node) noexcept : FDoc(Doc), FNode(Node) {}

  detail::TXMLDocumentData* FDoc = nullptr;
  detail::TXMLNodeImpl* FNode = nullptr;
};

// Range over the child elements of one element.
class TXMLChildNodes {
 public:
  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = TXMLNode;
    using difference_type = std::ptrdiff_t;
    using pointer = const TXMLNode*;
    using reference = TXMLNode;
    iterator() = default;
    explicit iterator(TXMLNode Node) : FNode(Node) {}
    TXMLNode operator*() const { return FNode; }
    const TXMLNode* operator->() const { return &FNode; }
    iterator& operator++() {
      FNode = FNode.NextSibling();
      return *this;
    }
    iterator operator++(int) {
      iterator old = *this;
      ++*this;
      return old;
    }
    friend bool operator==(const iterator& A, const iterator& B) { return A.FNode == B.FNode; }

   private:
    TXMLNode FNode;
  };
  explicit TXMLChildNodes(TXMLNode Parent) : FParent(Parent) {}
  iterator begin() const { return iterator(FParent.FirstChild()); }
  iterator end() const { return iterator(); }

 private:
  TXMLNode FParent;
};

inline TXMLChildNodes TXMLNode::ChildNodes() const { return TXMLChildNodes(*this); }

template <class T>
T TXMLNode::As() const {
  if constexpr (std::is_same_v<T, std::string>) return Text();
  else if constexpr (std::is_same_v<T, bool>) return AsBoolean();
  else if constexpr (std::is_same_v<T, std::uint8_t>) return AsByte();
  else if constexpr (std::is_same_v<T, int>) return AsInteger();
  else if constexpr (std::is_same_v<T, std::uint32_t>) return AsCardinal();
  else if constexpr (std::is_same_v<T, std::int64_t>) return AsInt64();
  else if constexpr (std::is_same_v<T, float>) return AsSingle();
  else if constexpr (std::is_same_v<T, double>) return AsFloat();
  else static_assert(!sizeof(T), "TXMLNode::As: unsupported value type");
}

template <class T>
void TXMLNode::SetAs(const T& Value) const {
  if constexpr (std::is_convertible_v<const T&, std::string_view>) SetText(Value);
  else if constexpr (std::is_same_v<T, bool>) SetAsBoolean(Value);
  else if constexpr (std::is_same_v<T, std::uint8_t>) SetAsByte(Value);
  else if constexpr (std::is_same_v<T, int>) SetAsInteger(Value);
  else if constexpr (std::is_same_v<T, std::uint32_t>) SetAsCardinal(Value);
  else if constexpr (std::is_same_v<T, std::int64_t>) SetAsInt64(Value);
  else if constexpr (std::is_same_v<T, float>) SetAsSingle(Value);
  else if constexpr (std::is_same_v<T, double>) SetAsFloat(Value);
  else static_assert(!sizeof(T), "TXMLNode::SetAs: unsupported value type");
}

// Owns one XML document. Movable, not copyable. Loading parses into a fresh tree and swaps
// it in only on success: a failed load leaves the document as it was. After a successful
// load, every handle into the previous content is invalid.
class TXMLDocument {
 public:
  // An empty document: no declaration and no document element (see NewXMLDocument).
  TXMLDocument();
  ~TXMLDocument();
  TXMLDocument(TXMLDocument&& Other) noexcept;
  TXMLDocument& operator=(TXMLDocument&& Other) noexcept;
  TXMLDocument(const TXMLDocument&) = delete;
  TXMLDocument& operator=(const TXMLDocument&) = delete;

  // The root element, or the null handle when there is none.
  TXMLNode DocumentElement() const;
  // Creates the root element; EXMLDocError when there is one already or Name is not an XML name.
  TXMLNode CreateDocumentElement(std::string_view Name);
  // The declaration's version ("" without a declaration).
  std::string Version() const;
  // Sets the declaration's version, adding a declaration as the first node when there is none.
  void SetVersion(std::string_view Value);
  TXMLDocOptions Options() const;
  void SetOptions(TXMLDocOptions Value);
  // True when the document holds no node at all.
  bool IsEmpty() const;
  // Removes every node, the declaration included.
  void Clear();

  // Missing or unreadable file: EFOpenError. Malformed XML (malformed characters included):
  // EXMLDocError with the description, line and column. A second document element, an unsupported declared encoding or (while
  // XMLProhibitDTD is set) a document type declaration: EXMLDocError.
  void LoadFromFile(const std::string& FileName);
  // Reads from the stream's position to its end.
  void LoadFromStream(TStream& Stream);
  // Parses XML text (its bytes may be in any detected encoding).
  void LoadFromXML(std::string_view XML);

  // Saves as UTF-8, indented when Options() has doNodeAutoIndent. SaveToFile replaces the
  // file only once the whole document is written (TSafeFileStream): any failure raises
  // EFCreateError and leaves the old file as it was. Stream errors propagate.
  void SaveToFile(const std::string& FileName) const;
  void SaveToStream(TStream& Stream) const;
  // Replaces the content of XML by the document's text.
  void SaveToXML(std::string& XML) const;
  std::string XML() const;

 private:
  friend class TXMLNode;
  detail::TXMLDocumentData& Data() const;
  void Parse(const char* Bytes, std::size_t Size, const std::string& Source);
  void LoadStream(TStream& Stream, const std::string& Source);

  mutable std::unique_ptr<detail::TXMLDocumentData> FData;
};

// A new document whose declaration carries Version, without a document element.
TXMLDocument NewXMLDocument(std::string_view Version = "1.0");
// A document loaded from a file / from XML text (errors as TXMLDocument::LoadFromFile).
TXMLDocument LoadXMLDocument(const std::string& FileName);
TXMLDocument LoadXMLData(std::string_view XML);

// When set, loading a document with a document type declaration raises EXMLDocError
// "DTD is prohibited". Off by default: such documents are read.
bool XMLProhibitDTD();
void SetXMLProhibitDTD(bool Value);

// --- typed bindings ----------------------------------------------------------------------

namespace detail {
// The untyped core of TXMLNodeList and TXMLValueList: the child elements of Parent named
// ItemName. The item handles are cached, so indexed access is O(1) after one walk; the
// cache follows appends made anywhere and is rebuilt after any removal or insertion in
// the middle of some element's children.
class TXMLNodeListBase {
 public:
  TXMLNode Parent() const { return FParent; }
  const std::string& ItemName() const { return FItemName; }
  int Count() const;
  // EListError "List index out of bounds (<Index>)" outside 0..Count-1.
  void Delete(int Index);
  void Clear();

 protected:
  TXMLNodeListBase(TXMLNode Parent, std::string_view ItemName);
  TXMLNode NodeAt(int Index) const;
  TXMLNode AddNode();
  // Index may be Count (append); EListError otherwise outside 0..Count.
  TXMLNode InsertNode(int Index);
  int IndexOfNode(TXMLNode Node) const;
  int RemoveNode(TXMLNode Node);

 private:
  void Sync() const;
  TXMLNode FParent;
  std::string FItemName;
  mutable std::vector<TXMLNodeImpl*> FItems;
  mutable TXMLNodeImpl* FLastChild = nullptr;  // the parent's last child node when FItems was synchronised
  mutable std::uint64_t FGeneration = 0;
  mutable bool FSynced = false;
};
}  // namespace detail

// Base of a typed element: wraps one element handle and offers protected helpers for the
// accessors of the derived type. Cheap to copy; owns nothing.
class TXMLNodeBinding {
 public:
  TXMLNodeBinding() = default;
  explicit TXMLNodeBinding(TXMLNode Node) : FNode(Node) {}
  TXMLNode Node() const { return FNode; }
  explicit operator bool() const { return !FNode.IsNull(); }
  std::string NodeName() const { return FNode.NodeName(); }
  std::string XML() const { return FNode.XML(); }
  TXMLDocument* OwnerDocument() const { return FNode.OwnerDocument(); }
  friend bool operator==(const TXMLNodeBinding& A, const TXMLNodeBinding& B) { return A.FNode == B.FNode; }

 protected:
  // The child element Name, created when missing.
  TXMLNode Child(std::string_view Name) const { return FNode.Child(Name); }
  // The child element Name (created when missing) as element type B.
  template <class B>
  B ChildAs(std::string_view Name) const {
    return B(FNode.Child(Name));
  }
  // The child elements named ItemName as a list of element type B.
  template <class B>
  TXMLNodeList<B> ChildList(std::string_view ItemName) const;
  // The child elements named ItemName as a list of values of type V.
  template <class V>
  TXMLValueList<V> ValueList(std::string_view ItemName) const;

 private:
  TXMLNode FNode;
};

namespace detail {
inline TXMLNode NodeOf(const TXMLNode& Node) { return Node; }
inline TXMLNode NodeOf(const TXMLNodeBinding& Binding) { return Binding.Node(); }
}  // namespace detail

// The child elements of one element that share a tag name, as items of type TItem (TXMLNode
// or a type constructible from TXMLNode). Other children may sit between them. Add appends
// after the last child of the parent; Insert(Index) inserts before the current item Index.
template <class TItem>
class TXMLNodeList : public detail::TXMLNodeListBase {
 public:
  TXMLNodeList(TXMLNode Parent, std::string_view ItemName) : TXMLNodeListBase(Parent, ItemName) {}
  // EListError "List index out of bounds (<Index>)" outside 0..Count-1.
  TItem Items(int Index) const { return TItem(NodeAt(Index)); }
  TItem operator[](int Index) const { return Items(Index); }
  TItem Add() { return TItem(AddNode()); }
  TItem Insert(int Index) { return TItem(InsertNode(Index)); }
  // The item's index, -1 when it is not in the list.
  int IndexOf(const TItem& Item) const { return IndexOfNode(detail::NodeOf(Item)); }
  // Removes and destroys the item; returns its former index, -1 (and no change) when absent.
  int Remove(const TItem& Item) { return RemoveNode(detail::NodeOf(Item)); }

  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = TItem;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = TItem;
    iterator() = default;
    iterator(const TXMLNodeList* List, int Index) : FList(List), FIndex(Index) {}
    TItem operator*() const { return FList->Items(FIndex); }
    iterator& operator++() {
      ++FIndex;
      return *this;
    }
    iterator operator++(int) {
      iterator old = *this;
      ++FIndex;
      return old;
    }
    friend bool operator==(const iterator& A, const iterator& B) { return A.FIndex == B.FIndex; }

   private:
    const TXMLNodeList* FList = nullptr;
    int FIndex = 0;
  };
  iterator begin() const { return iterator(this, 0); }
  iterator end() const { return iterator(this, Count()); }
};

// The child elements of one element that share a tag name, read and written as values of
// type V (the types of TXMLNode::As). Conversion errors as in TXMLNode.
template <class V>
class TXMLValueList : public detail::TXMLNodeListBase {
 public:
  TXMLValueList(TXMLNode Parent, std::string_view ItemName) : TXMLNodeListBase(Parent, ItemName) {}
  V Items(int Index) const { return NodeAt(Index).template As<V>(); }
  V operator[](int Index) const { return Items(Index); }
  void SetItems(int Index, const V& Value) { NodeAt(Index).SetAs(Value); }
  // The element holding item Index.
  TXMLNode Nodes(int Index) const { return NodeAt(Index); }
  // Appends / inserts an element holding Value and returns it; text that is not UTF-8
  // raises EXMLDocError and adds nothing.
  TXMLNode Add(const V& Value) { return Filled(AddNode(), Value); }
  TXMLNode Insert(int Index, const V& Value) { return Filled(InsertNode(Index), Value); }
  int IndexOf(TXMLNode Node) const { return IndexOfNode(Node); }
  int Remove(TXMLNode Node) { return RemoveNode(Node); }

 private:
  static TXMLNode Filled(TXMLNode Node, const V& Value) {
    try {
      Node.SetAs(Value);
    } catch (...) {
      Node.Remove();
      throw;
    }
    return Node;
  }
};

template <class B>
TXMLNodeList<B> TXMLNodeBinding::ChildList(std::string_view ItemName) const {
  return TXMLNodeList<B>(FNode, ItemName);
}

template <class V>
TXMLValueList<V> TXMLNodeBinding::ValueList(std::string_view ItemName) const {
  return TXMLValueList<V>(FNode, ItemName);
}

// --- document functions ------------------------------------------------------------------

// The document element of Doc, which must be named TagName; it is created when the
// document has none. Another name raises EXMLDocError naming both.
TXMLNode BindDocumentElement(TXMLDocument& Doc, std::string_view TagName);
// Node as an element named TagName: EXMLDocError naming both when its name differs (or
// "XML node is not assigned" for the null handle).
TXMLNode CheckXMLNodeName(TXMLNode Node, std::string_view TagName);

// A document together with the element type its root is bound to: what LoadXMLRoot and
// NewXMLRoot return. Root() binds the current document element each time it is called, so
// the root stays reachable after Document().LoadFromStream and the like.
template <class TBinding>
class TXMLBoundDocument {
 public:
  // Binds at once: EXMLDocError when Document's root has another name than TagName.
  TXMLBoundDocument(TXMLDocument Document, std::string_view TagName)
      : FDocument(std::move(Document)), FTagName(TagName) {
    BindDocumentElement(FDocument, FTagName);
  }
  TXMLDocument& Document() const { return FDocument; }
  const std::string& TagName() const { return FTagName; }
  TBinding Root() const { return TBinding(BindDocumentElement(FDocument, FTagName)); }
  operator TBinding() const { return Root(); }

  struct TArrow {
    TBinding Value;
    TBinding* operator->() { return &Value; }
  };
  TArrow operator->() const { return TArrow{Root()}; }

 private:
  mutable TXMLDocument FDocument;
  std::string FTagName;
};

// The document functions of a root element type; EVOKIT_XML_DOCUMENT_FUNCTIONS declares
// all three in one line.
template <class TBinding>
TBinding GetXMLRoot(TXMLDocument& Doc, std::string_view TagName) {
  return TBinding(BindDocumentElement(Doc, TagName));
}
template <class TBinding>
TXMLBoundDocument<TBinding> LoadXMLRoot(const std::string& FileName, std::string_view TagName) {
  return TXMLBoundDocument<TBinding>(LoadXMLDocument(FileName), TagName);
}
template <class TBinding>
TXMLBoundDocument<TBinding> NewXMLRoot(std::string_view TagName) {
  return TXMLBoundDocument<TBinding>(NewXMLDocument(), TagName);
}

}  // namespace evokit

// Get<Name>(Doc), Load<Name>(FileName) and New<Name>() for root element TagName bound as Binding.
// Marked maybe_unused so that a program may declare a root type in an unnamed namespace
// and use only some of the three.
#define EVOKIT_XML_DOCUMENT_FUNCTIONS(Name, TagName, Binding)                                   \
  [[maybe_unused]] inline Binding Get##Name(::evokit::TXMLDocument& Doc) {                    \
    return ::evokit::GetXMLRoot<Binding>(Doc, TagName);                                       \
  }                                                                                           \
  [[maybe_unused]] inline ::evokit::TXMLBoundDocument<Binding> Load##Name(                    \
      const std::string& FileName) {                                                          \
    return ::evokit::LoadXMLRoot<Binding>(FileName, TagName);                                 \
  }                                                                                           \
  [[maybe_unused]] inline ::evokit::TXMLBoundDocument<Binding> New##Name() {                  \
    return ::evokit::NewXMLRoot<Binding>(TagName);                                            \
  }
