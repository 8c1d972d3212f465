// Throughput of the XML document layer on a large population-like document (about 20 MB):
// loading and saving in MB/s, with pugixml called directly as the baseline, and the cost of
// building and reading the document through typed bindings and cached child lists.
#include <evokit/platform/xml.h>

#include <benchmark/benchmark.h>
#include <pugixml.hpp>

#include <string>

namespace {

using namespace evokit;

class TXMLNodeType : public TXMLNodeBinding {
 public:
  using TXMLNodeBinding::TXMLNodeBinding;
  std::string Get_Instruction() const { return Node().Attribute("Instruction"); }
  void Set_Instruction(std::string_view Value) const { Node().SetAttribute("Instruction", Value); }
  double Get_Value() const { return Child("Value").AsFloat(); }
  void Set_Value(double Value) const { Child("Value").SetAsFloat(Value); }
  TXMLNodeList<TXMLNodeType> Get_Child() const { return ChildList<TXMLNodeType>("Child"); }
};

class TXMLMemberType : public TXMLNodeBinding {
 public:
  using TXMLNodeBinding::TXMLNodeBinding;
  std::string Get_Name() const { return Child("Name").Text(); }
  void Set_Name(std::string_view Value) const { Child("Name").SetText(Value); }
  float Get_Fitness() const { return Child("Fitness").AsSingle(); }
  void Set_Fitness(float Value) const { Child("Fitness").SetAsSingle(Value); }
  TXMLNodeType Get_DNA() const { return ChildAs<TXMLNodeType>("DNA"); }
};

class TXMLMembersType : public TXMLNodeBinding {
 public:
  using TXMLNodeBinding::TXMLNodeBinding;
  TXMLNodeList<TXMLMemberType> Get_Member() const { return ChildList<TXMLMemberType>("Member"); }
};

EVOKIT_XML_DOCUMENT_FUNCTIONS(Members, "Members", TXMLMembersType)

// A full binary tree of the given depth under Node.
void FillTree(TXMLNodeType Node, int Depth, int& Counter) {
  if (Depth == 0) {
    Node.Set_Instruction("x");
    Node.Set_Value(0.25 * ++Counter);
    return;
  }
  Node.Set_Instruction(Depth % 2 ? "Add" : "Mul");
  auto children = Node.Get_Child();
  FillTree(children.Add(), Depth - 1, Counter);
  FillTree(children.Add(), Depth - 1, Counter);
}

TXMLBoundDocument<TXMLMembersType> BuildDocument(int Members) {
  auto doc = NewMembers();
  auto list = doc->Get_Member();
  int counter = 0;
  for (int i = 0; i < Members; ++i) {
    TXMLMemberType member = list.Add();
    member.Set_Name("Member " + std::to_string(i));
    member.Set_Fitness(1.0f / static_cast<float>(i + 1));
    FillTree(member.Get_DNA(), 4, counter);
  }
  return doc;
}

constexpr int kMembers = 20000;  // about 20 MB of text

const std::string& SampleText() {
  static const std::string text = BuildDocument(kMembers).Document().XML();
  return text;
}

void BM_XMLLoad(benchmark::State& state) {
  const std::string& text = SampleText();
  TXMLDocument doc;
  for (auto _ : state) doc.LoadFromXML(text);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_XMLLoad)->Unit(benchmark::kMillisecond);

void BM_PugixmlLoad(benchmark::State& state) {
  const std::string& text = SampleText();
  const unsigned options = pugi::parse_default | pugi::parse_declaration | pugi::parse_doctype |
                           pugi::parse_comments | pugi::parse_pi;
  for (auto _ : state) {
    pugi::xml_document doc;
    benchmark::DoNotOptimize(doc.load_buffer(text.data(), text.size(), options, pugi::encoding_utf8));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_PugixmlLoad)->Unit(benchmark::kMillisecond);

void BM_XMLSave(benchmark::State& state) {
  TXMLDocument doc = LoadXMLData(SampleText());
  if (state.range(0)) doc.SetOptions({doNodeAutoIndent});
  std::string out;
  for (auto _ : state) {
    doc.SaveToXML(out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * out.size()));
}
BENCHMARK(BM_XMLSave)->Arg(0)->Arg(1)->ArgName("indent")->Unit(benchmark::kMillisecond);

void BM_PugixmlSave(benchmark::State& state) {
  pugi::xml_document doc;
  doc.load_buffer(SampleText().data(), SampleText().size());
  struct TWriter : pugi::xml_writer {
    std::string Out;
    void write(const void* Data, size_t Size) override { Out.append(static_cast<const char*>(Data), Size); }
  } writer;
  for (auto _ : state) {
    writer.Out.clear();
    doc.save(writer, "", pugi::format_raw);
    benchmark::DoNotOptimize(writer.Out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * writer.Out.size()));
}
BENCHMARK(BM_PugixmlSave)->Unit(benchmark::kMillisecond);

// Building through the bindings: appends, creating children, typed writes.
void BM_XMLBuildTyped(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(BuildDocument(kMembers / 10).Document().IsEmpty());
  state.SetItemsProcessed(state.iterations() * (kMembers / 10));
}
BENCHMARK(BM_XMLBuildTyped)->Unit(benchmark::kMillisecond);

// Reading every member by index through a typed list: linear in the list length.
void BM_XMLReadTypedIndexed(benchmark::State& state) {
  TXMLDocument doc = LoadXMLData(SampleText());
  for (auto _ : state) {
    auto members = GetMembers(doc).Get_Member();
    double sum = 0;
    for (int i = 0; i < members.Count(); ++i) {
      TXMLMemberType member = members[i];
      sum += member.Get_Fitness() + member.Get_DNA().Get_Child()[1].Get_Child()[0].Get_Child().Count();
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kMembers);
}
BENCHMARK(BM_XMLReadTypedIndexed)->Unit(benchmark::kMillisecond);

}  // namespace
