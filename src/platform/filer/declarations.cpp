// The shared helpers of component text, the handler table, property declarations and
// the table of component classes a reader may create.
#include "internal.h"

#include <cmath>
#include <map>
#include <mutex>

#include <evokit/platform/convert.h>

namespace evokit {

namespace detail {

void BadAccessorClass(const std::string& Name) {
  throw EInvalidCast("Property " + Name + ": accessor of a class the object does not belong to");
}

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

std::string FloatToExactStr(double Value) {
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


}  // namespace detail

namespace {

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

}  // namespace evokit
