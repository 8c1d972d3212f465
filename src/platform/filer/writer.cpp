// TWriter: component text from the published and defined properties.
#include "internal.h"

#include <evokit/platform/convert.h>

namespace evokit {

using namespace detail;

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

void TWriter::WriteFloat(double Value) { WriteToken(FloatToExactStr(Value)); }
void TWriter::WriteSingle(float Value) { WriteToken(SingleToStr(Value)); }
void TWriter::WriteBoolean(bool Value) { WriteToken(BoolToStr(Value)); }
void TWriter::WriteString(std::string_view Value) {
  if (const std::size_t bad = FindInvalidUtf8(Value); bad != std::string_view::npos)
    throw EStreamError("Cannot write a string that is not valid UTF-8 (byte " + std::to_string(bad) + ")");
  WriteToken(QuoteString(Value));
}

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

void WriteComponent(TStream& Stream, TComponent* Component) {
  TWriter writer(Stream);
  writer.WriteRootComponent(Component);
}

}  // namespace evokit
