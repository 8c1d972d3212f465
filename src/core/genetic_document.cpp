#include <evokit/core/genetic_document.h>

namespace evokit::detail {

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
