#include <evokit/core/genetic_document.h>

#include <cstdint>
#include <string>

#include <evokit/platform/streams.h>

namespace evokit::detail {

namespace {

// A stream that only counts the bytes written to it.
class TByteCounter : public TStream {
 public:
  std::int64_t Read(void*, std::int64_t) override { return 0; }
  std::int64_t Write(const void*, std::int64_t Count) override {
    FCount += Count;
    return Count;
  }
  std::int64_t Seek(std::int64_t, TSeekOrigin) override { return FCount; }
  std::int64_t Count() const { return FCount; }

 private:
  std::int64_t FCount = 0;
};

}  // namespace

void WriteXMLDocument(const TXMLDocument& Doc, TStream& Stream) {
  TByteCounter counter;
  Doc.SaveToStream(counter);
  std::string text;
  text.reserve(static_cast<std::size_t>(counter.Count()));
  Doc.SaveToXML(text);  // appends to the reserved buffer
  Stream.WriteBuffer(text.data(), static_cast<std::int64_t>(text.size()));
}

// Each reader looks the element up without creating it; a missing element reads as the
// typed node reader's default, as an empty one does.

std::string ChildTextOrEmpty(const TXMLNode& Node, std::string_view Name) {
  const TXMLNode child = Node.FindChild(Name);
  return child ? child.Text() : std::string();
}

float ChildSingle(const TXMLNode& Node, std::string_view Name) {
  const TXMLNode child = Node.FindChild(Name);
  return child ? child.AsSingle() : 0.0f;
}

double ChildFloat(const TXMLNode& Node, std::string_view Name) {
  const TXMLNode child = Node.FindChild(Name);
  return child ? child.AsFloat() : 0.0;
}

int ChildInteger(const TXMLNode& Node, std::string_view Name) {
  const TXMLNode child = Node.FindChild(Name);
  return child ? child.AsInteger() : 0;
}

std::uint32_t ChildCardinal(const TXMLNode& Node, std::string_view Name) {
  const TXMLNode child = Node.FindChild(Name);
  return child ? child.AsCardinal() : 0u;
}

bool ChildBoolean(const TXMLNode& Node, std::string_view Name) {
  const TXMLNode child = Node.FindChild(Name);
  return child ? child.AsBoolean() : false;
}

}  // namespace evokit::detail
