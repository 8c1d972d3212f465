#include <evokit/platform/filer.h>

#include <gtest/gtest.h>

#include "concat.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace evokit;

enum TTestMode { tmFirst, tmSecond, tmThird };
namespace evokit {
EVOKIT_ENUM_NAMES(TTestMode, "tmFirst", "tmSecond", "tmThird");
}
using TTestModes = TSet<TTestMode>;

namespace {

struct TTestItem : TCollectionItem, IPublishedProperties {
  explicit TTestItem(TCollection* c) : TCollectionItem(c) {}
  std::string Label;
  void DeclareProperties(TPropertyRegistry& Reg) override {
    Reg.String("Label", [this] { return Label; }, [this](const std::string& v) { Label = v; });
  }
};

struct TTestChild : TComponent {
  using TComponent::TComponent;
  std::string ClassName() const override { return "TTestChild"; }
  int Value = 0;
  void DeclareProperties(TPropertyRegistry& Reg) override {
    TComponent::DeclareProperties(Reg);
    Reg.Int("Value", [this] { return Value; }, [this](int v) { Value = v; });
  }
};

// One property of every kind. Probability is published but never stored: a defined
// property writes it when it differs from its default. Points is a defined property only,
// with a list of values.
struct TTestComponent : TComponent {
  explicit TTestComponent(TComponent* owner = nullptr) : TComponent(owner) {}
  std::string ClassName() const override { return "TTestComponent"; }
  int Count = 0, CountSets = 0;
  std::uint8_t Small = 7;
  double Ratio = 0.98, Probability = 0.01;
  bool Enabled = false;
  TTestMode Mode = tmFirst;
  TTestModes Modes{tmFirst, tmSecond};
  std::string Title;
  TStringList Lines;
  TOwnedCollection Items{this, TCollectionItemClass::Of<TTestItem>()};
  std::vector<double> Points;
  TNotifyEvent OnChange;
  bool SetterSawLoading = false;

  void DeclareProperties(TPropertyRegistry& Reg) override {
    TComponent::DeclareProperties(Reg);
    Reg.Int("Count", [this] { return Count; }, [this](int v) {
      if (v < 0) throw EArgumentOutOfRangeException("Count must not be negative");
      Count = v;
      ++CountSets;
      SetterSawLoading = IsLoading();
    });
    Reg.Int("Small", [this] { return Small; }, [this](std::uint8_t v) { Small = v; }, 7);
    Reg.Float("Ratio", [this] { return Ratio; }, [this](double v) { Ratio = v; }, 0.98);
    Reg.Float("Probability", [this] { return Probability; }, [this](double v) { Probability = v; }).Stored(false);
    Reg.Bool("Enabled", [this] { return Enabled; }, [this](bool v) { Enabled = v; });
    Reg.Enum("Mode", [this] { return Mode; }, [this](TTestMode v) { Mode = v; });
    Reg.Set("Modes", [this] { return Modes; }, [this](TTestModes v) { Modes = v; }, TTestModes{tmFirst, tmSecond});
    Reg.String("Title", [this] { return Title; }, [this](const std::string& v) { Title = v; });
    Reg.Strings("Lines", [this]() -> TStrings& { return Lines; });
    Reg.Collection("Items", [this]() -> TOwnedCollection& { return Items; });
    Reg.Event("OnChange", [this] { return OnChange; }, [this](TNotifyEvent e) { OnChange = e; });
  }
  void DefineProperties(TFiler& Filer) override {
    TComponent::DefineProperties(Filer);
    Filer.DefineProperty("Probability", nullptr, [this](TWriter& W) { W.WriteFloat(Probability); },
                         Probability != 0.01);
    Filer.DefineProperty(
        "Points",
        [this](TReader& R) {
          std::vector<double> p;
          for (R.ReadListBegin(); !R.EndOfList();) p.push_back(R.ReadFloat());
          R.ReadListEnd();
          Points = p;
        },
        [this](TWriter& W) {
          W.WriteListBegin();
          for (double v : Points) W.WriteFloat(v);
          W.WriteListEnd();
        },
        !Points.empty());
  }
};

std::string Write(TComponent* c) {
  TStringStream s;
  WriteComponent(s, c);
  return s.DataString();
}

// Runs a read that must fail and returns its message; the component must be unchanged.
std::string ReadFails(const std::string& text, TTestComponent* c, const THandlerTable* handlers = nullptr) {
  const std::string before = Write(c);
  const std::vector<TCollectionItem*> items(c->Items.begin(), c->Items.end());
  std::string message = "no EReadError";
  try {
    TStringStream s(text);
    ReadComponent(s, c, handlers);
  } catch (const EReadError& e) {
    message = e.Message();
  }
  EXPECT_EQ(Write(c), before);
  EXPECT_EQ(std::vector<TCollectionItem*>(c->Items.begin(), c->Items.end()), items);
  EXPECT_FALSE(c->IsLoading());
  return message;
}

class Filer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { RegisterComponentClass<TTestChild>(); }
  TTestComponent Comp;
};

}  // namespace

TEST_F(Filer, ExactText) {
  EXPECT_EQ(Write(&Comp), "object TTestComponent\n  Items = <>\nend\n");  // only what differs from the defaults
  Comp.SetName("GA1");
  Comp.SetTag(-42);
  Comp.Count = 5;
  Comp.Ratio = 0.1 + 0.2;  // needs 17 significant digits
  Comp.Probability = 0;    // differs from its default: written by the definition, in its place
  Comp.Enabled = true;
  Comp.Mode = tmThird;
  Comp.Modes = TTestModes{tmSecond, tmThird};
  Comp.Title = "It's\na";
  Comp.Lines.SetText("x\n\n");
  static_cast<TTestItem*>(Comp.Items.Add())->Label = "g";
  Comp.Items.Add();
  Comp.Points = {1.5, -2};
  Comp.OnChange = [](TObject*) {};  // assigned but unnamed: not written
  (new TTestChild(&Comp))->SetName("Kid");
  new TTestChild(&Comp);  // unnamed: not written
  EXPECT_EQ(Write(&Comp),
            "object GA1: TTestComponent\n  Tag = -42\n  Count = 5\n  Ratio = 0.30000000000000004\n"
            "  Probability = 0\n  Enabled = True\n  Mode = tmThird\n  Modes = [tmSecond, tmThird]\n"
            "  Title = 'It''s'#10'a'\n  Lines = (\n    'x'\n    '')\n  Items = <\n    item\n      Label = 'g'\n"
            "    end\n    item\n    end>\n  Points = (\n    1.5\n    -2)\n  object Kid: TTestChild\n  end\nend\n");
  // Reading ignores ASCII case, keeps the name when the header has none and runs the
  // setters while loading. Strings are UTF-8, also when made of character codes; other
  // bytes are not written.
  TStringStream text("object TTESTCOMPONENT\n  count = 3\n  MODE = TMFIRST\n  enabled = FALSE\n  small = 255\n"
                     "  modes = [TMTHIRD, tmFirst]\n  Title = 'caf'#195#169\n  OBJECT Added: ttestchild\n  end\nend\n"),
      out;
  ReadComponent(text, &Comp);
  EXPECT_TRUE(Comp.Count == 3 && Comp.Mode == tmFirst && !Comp.Enabled && Comp.Small == 255);
  EXPECT_EQ(Comp.Modes, (TTestModes{tmFirst, tmThird}));
  EXPECT_EQ(Comp.Title, "caf\xC3\xA9");
  EXPECT_EQ(Comp.Name(), "GA1");  // a header without a name leaves the name alone
  EXPECT_TRUE(Comp.SetterSawLoading);
  for (TComponent* c : {static_cast<TComponent*>(&Comp), Comp.FindComponent("added")})
    EXPECT_FALSE(c->IsLoading() || c->ComponentState().Contains(csReading)) << c->Name();
  Comp.Title = "caf\xC3";
  EXPECT_THROW(WriteComponent(out, &Comp), EStreamError);
  EXPECT_EQ(out.Size(), 0);
}

// Random configurations, written one after the other into one stream, read back each into
// a fresh component (some already owning a child the text names) and write the same text.
TEST_F(Filer, SaveLoadSaveRoundTrips) {
  const double doubles[] = {0.98, 0.1 + 0.2, 1.0 / 3, -1e300, 5e-324, NAN, -0.0, 0.01};
  const char* const texts[] = {"", "plain", "it's", "tab\tand\nbreak", "caf\xC3\xA9 \x7F"};
  std::mt19937 gen(7);
  TStringStream stream;
  std::vector<std::unique_ptr<TTestComponent>> sources;
  for (int n = 0; n < 25; ++n) {
    auto& c = *sources.emplace_back(std::make_unique<TTestComponent>());
    c.SetName(n % 2 ? evokit::test::Cat("C", std::to_string(n)) : "");
    c.SetTag(n % 3 ? n % 3 - 2 : std::numeric_limits<std::intptr_t>::min());
    c.Ratio = doubles[gen() % 8];
    c.Probability = doubles[gen() % 8];
    c.Title = texts[gen() % 5];
    for (int i = static_cast<int>(gen() % 3); i > 0; --i) {
      c.Lines.Add(texts[gen() % 5]);
      c.Points.push_back(doubles[gen() % 8]);
      static_cast<TTestItem*>(c.Items.Add())->Label = texts[gen() % 5];
      auto* kid = new TTestChild(&c);
      kid->SetName(evokit::test::Cat("Kid", std::to_string(i)));
      kid->Value = static_cast<int>(gen() % 3);
    }
    if (gen() % 2) c.OnChange = NamedHandler<TNotifyEvent>("Form1Change", [](TObject*) {});
    WriteComponent(stream, &c);
  }
  THandlerTable handlers;
  handlers.Add<TNotifyEvent>("form1change", [](TObject*) {});
  stream.SetPosition(0);
  for (std::size_t n = 0; n < sources.size(); ++n) {
    TTestComponent dest;
    TComponent* existing = sources[n]->ComponentCount() > 0 && n % 4 < 2 ? new TTestChild(&dest) : nullptr;
    if (existing) existing->SetName(sources[n]->Components(0)->Name());
    ReadComponent(stream, &dest, &handlers);
    ASSERT_EQ(Write(&dest), Write(sources[n].get())) << "configuration " << n;
    EXPECT_TRUE(!existing || dest.Components(0) == existing);  // read into, not replaced
  }
  EXPECT_EQ(stream.Position(), stream.Size());
}

// Bad input names the property and the line, and changes nothing.
TEST_F(Filer, BadInputNamesPropertyAndLineAndChangesNothing) {
  Comp.Count = 1;
  Comp.Title = "keep";
  Comp.Points = {1};
  Comp.Lines.Add("line");
  static_cast<TTestItem*>(Comp.Items.Add())->Label = "old";
  THandlerTable handlers;
  handlers.Add<std::function<void()>>("Other", [] {});
  const std::string head = "object TTestComponent\n  Count = 2\n  Title = 'new'\n";
  const std::pair<std::string, std::string> cases[] = {
      {"  Colour = 3\n", "Colour at line 4"}, {"  Count = 'three'\n", "Count at line 4"},
      {"  Count = 99999999999\n", "Count at line 4"}, {"  Tag = 99999999999999999999\n", "Tag at line 4"},
      {"  Small = 256\n", "Small at line 4"}, {"  Small = -1\n", "Small at line 4"},
      {"  Ratio = 1e999\n", "Ratio at line 4"}, {"  Enabled = 1\n", "Enabled at line 4"},
      {"  Mode = tmFourth\n", "Mode at line 4"}, {"  Modes = [tmFirst, tmNone]\n", "Modes at line 4"},
      {"  Title = 5\n", "Title at line 4"}, {"  Lines = (\n    'a'\n    7)\n", "Lines at line 6"},
      {"  Items = <\n    item\n      Label = 'x'\n    end\n    item\n      Weigth = 2\n    end>\n",
       "Items[1].Weigth at line 9"},
      {"  Probability = 'x'\n", "Probability at line 4"}, {"  Points = (1\n 'x')\n", "Points at line 5"},
      {"  OnChange = Missing\n", "OnChange at line 4"}, {"  OnChange = Other\n", "OnChange at line 4"},
      {"  object Kid: TUnknownClass\n  end\n", "Kid at line 4"},
      {"  object Kid: TTestChild\n    Value = x\n  end\n", "Kid.Value at line 5"},
      {"  object TTestChild\n  end\n", "an owned component needs a name"},
      {"  Title = 'open\n", "line 4"}, {"  Count = #999\n", "line 4"},
      {"  Title = 'caf\xC3'\n", "line 4: string is not valid UTF-8"},
      {"  Title = 'caf'#195'x'\n", "line 4: string is not valid UTF-8"}};
  const int setsBefore = Comp.CountSets;
  for (const auto& [body, needle] : cases) {
    const std::string message = ReadFails(head + body + "end\n", &Comp, &handlers);
    EXPECT_NE(message.find(needle), std::string::npos) << body << " gave: " << message;
  }
  EXPECT_NE(ReadFails("object TOtherClass\nend\n", &Comp).find("TOtherClass"), std::string::npos);
  EXPECT_NE(ReadFails(head, &Comp).find("end of the text"), std::string::npos);
  EXPECT_NE(ReadFails("", &Comp).find("end of the text"), std::string::npos);
  // Every value is checked before the first setter runs.
  EXPECT_EQ(Comp.CountSets, setsBefore);
  EXPECT_EQ(Comp.ComponentCount(), 0);
  // A setter that fails after other values were applied: everything is put back (the
  // name, values, the collection's item objects; created components are destroyed).
  const std::string message = ReadFails(
      "object Renamed: TTestComponent\n  Title = 'new'\n  Points = (0.5)\n  Lines = ()\n  Items = <\n    item\n"
      "    end>\n  object Kid: TTestChild\n  end\n  Count = -1\nend\n",
      &Comp);
  EXPECT_EQ(message, "Error reading Count at line 10: Count must not be negative");
}

// Owned components have identifier names unique among their siblings (ASCII case
// ignored); deleting one takes it out of its owner.
TEST_F(Filer, OwnedComponentNames) {
  auto* kid = new TTestChild(&Comp);
  auto* other = new TTestChild(&Comp);
  kid->SetName("First");
  EXPECT_EQ(Comp.FindComponent("first"), kid);
  for (const char* bad : {"FIRST", "9lives", "has space"}) EXPECT_THROW(other->SetName(bad), EComponentError) << bad;
  delete kid;
  EXPECT_TRUE(Comp.ComponentCount() == 1 && Comp.Components(0) == other && other->Name().empty());
  EXPECT_THROW(Comp.Components(1), EListError);
  Comp.SetDesigning(true);
  EXPECT_TRUE(other->IsDesigning());
}
