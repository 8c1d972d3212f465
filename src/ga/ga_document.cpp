#include <evokit/ga/ga_document.h>

#include <string>

namespace evokit {

TXMLGeneElementKind GeneElementKind(const TXMLNode& Element) {
  const std::string name = Element.NodeName();
  if (name == "BooleanGene") return gkBoolean;
  if (name == "IntegerGene") return gkInteger;
  if (name == "FloatGene") return gkFloat;
  if (name == "EnumerationGene") return gkEnumeration;
  return gkUnknown;
}

}  // namespace evokit
