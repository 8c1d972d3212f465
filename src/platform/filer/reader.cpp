// TReader: reads component text in two passes (check, then apply with undo) and rolls
// back every change when the second pass fails.
#include "internal.h"

#include <evokit/platform/convert.h>

namespace evokit {

using namespace detail;

TReader::TReader(TStream& Stream, const THandlerTable* Handlers) : FStream(&Stream), FHandlers(Handlers) {}

TReader::~TReader() = default;

void TReader::ReadRootComponent(TComponent* Root) {
  if (!Root) throw EReadError("No component to read into");
  const std::int64_t start = FStream->Position();
  const std::string text = FStream->ReadAll();
  FStream->SetPosition(start);
  std::size_t consumed = 0;
  const TObjectNode node = ParseComponentText(text, consumed);

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
  FStream->SetPosition(start + static_cast<std::int64_t>(consumed));
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
        auto node = std::make_shared<TValueNode>(ParseValueText(text));
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

void ReadComponent(TStream& Stream, TComponent* Component, const THandlerTable* Handlers) {
  TReader reader(Stream, Handlers);
  reader.ReadRootComponent(Component);
}

}  // namespace evokit
