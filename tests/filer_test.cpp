#include <evokit/platform/filer.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

using namespace evokit;

enum TTestMode { tmFirst, tmSecond, tmThird };
namespace evokit {
EVOKIT_ENUM_NAMES(TTestMode, "tmFirst", "tmSecond", "tmThird");
}
using TTestModes = TSet<TTestMode>;

namespace {

constexpr double kRatioDefault = 0.98;
constexpr double kProbabilityDefault = 0.01;
constexpr double kTarpeianDefault = 0.3;

class TTestItem : public TCollectionItem, public IPublishedProperties {
 public:
  explicit TTestItem(TCollection* c) : TCollectionItem(c) {}
  std::string ClassName() const override { return "TTestItem"; }
  const std::string& Label() const { return FLabel; }
  void SetLabel(const std::string& v) { FLabel = v; }
  int Weight() const { return FWeight; }
  void SetWeight(int v) { FWeight = v; }
  void DeclareProperties(TPropertyRegistry& Reg) override {
    Reg.String("Label", &TTestItem::Label, &TTestItem::SetLabel);
    Reg.Int("Weight", &TTestItem::Weight, &TTestItem::SetWeight, 1);
  }

 private:
  std::string FLabel;
  int FWeight = 1;
};

class TTestChild : public TComponent {
 public:
  using TComponent::TComponent;
  std::string ClassName() const override { return "TTestChild"; }
  int Value = 0;
  void DeclareProperties(TPropertyRegistry& Reg) override {
    TComponent::DeclareProperties(Reg);
    Reg.Int("Value", [this] { return Value; }, [this](int v) { Value = v; });
  }
};

// One property of every kind. Probability follows the "written by a defined property"
// pattern (published but never stored; the writer-only definition writes it when it
// differs from its default), Tarpeian is a defined property only.
class TTestComponent : public TComponent {
 public:
  explicit TTestComponent(TComponent* owner = nullptr)
      : TComponent(owner), FItems(this, TCollectionItemClass::Of<TTestItem>()) {}
  std::string ClassName() const override { return "TTestComponent"; }

  int Count() const { return FCount; }
  void SetCount(int v) {
    if (v < 0) throw EArgumentOutOfRangeException("Count must not be negative");
    FCount = v;
    ++CountSets;
    SetterSawLoading = IsLoading();
  }
  std::int64_t Big = 0;
  std::uint8_t Small = 7;
  double Ratio = kRatioDefault;
  double Probability = kProbabilityDefault;
  double Tarpeian = kTarpeianDefault;
  float Single = 0;
  bool Enabled = false;
  TTestMode Mode = tmFirst;
  TTestModes Modes{tmFirst, tmSecond};
  std::string Title;
  TStringList Lines;
  TOwnedCollection& Items() { return FItems; }
  TNotifyEvent OnChange;
  bool SetterSawLoading = false;
  int CountSets = 0;
  int LoadedCalls = 0;

  void DeclareProperties(TPropertyRegistry& Reg) override {
    TComponent::DeclareProperties(Reg);
    Reg.Int("Count", &TTestComponent::Count, &TTestComponent::SetCount);
    Reg.Int("Big", [this] { return Big; }, [this](std::int64_t v) { Big = v; });
    Reg.Int("Small", [this] { return Small; }, [this](std::uint8_t v) { Small = v; }, 7);
    Reg.Float("Ratio", [this] { return Ratio; }, [this](double v) { Ratio = v; }, kRatioDefault);
    Reg.Float("Probability", [this] { return Probability; }, [this](double v) { Probability = v; }).Stored(false);
    Reg.Float("Single", [this] { return Single; }, [this](float v) { Single = v; });
    Reg.Bool("Enabled", [this] { return Enabled; }, [this](bool v) { Enabled = v; });
    Reg.Enum("Mode", [this] { return Mode; }, [this](TTestMode v) { Mode = v; });
    Reg.Set("Modes", [this] { return Modes; }, [this](TTestModes v) { Modes = v; }, TTestModes{tmFirst, tmSecond});
    Reg.String("Title", [this] { return Title; }, [this](const std::string& v) { Title = v; });
    Reg.Strings("Lines", [this]() -> TStrings& { return Lines; });
    Reg.Collection("Items", &TTestComponent::Items);
    Reg.Event("OnChange", [this] { return OnChange; }, [this](TNotifyEvent e) { OnChange = e; });
  }
  void DefineProperties(TFiler& Filer) override {
    TComponent::DefineProperties(Filer);
    Filer.DefineProperty("Probability", nullptr, [this](TWriter& W) { W.WriteFloat(Probability); },
                         !(Probability == kProbabilityDefault));
    Filer.DefineProperty(
        "Tarpeian", [this](TReader& R) { Tarpeian = R.ReadFloat(); },
        [this](TWriter& W) { W.WriteFloat(Tarpeian); }, !(Tarpeian == kTarpeianDefault));
  }

 protected:
  void Loaded() override {
    TComponent::Loaded();
    ++LoadedCalls;
  }

 private:
  int FCount = 0;
  TOwnedCollection FItems;
};

// A subclass that changes a default and adds a property: re-declaring keeps the position.
class TDerivedComponent : public TTestComponent {
 public:
  using TTestComponent::TTestComponent;
  std::string ClassName() const override { return "TDerivedComponent"; }
  int Extra = 0;
  void DeclareProperties(TPropertyRegistry& Reg) override {
    TTestComponent::DeclareProperties(Reg);
    Reg.Int("Count", &TTestComponent::Count, &TTestComponent::SetCount, 3);
    Reg.Int("Extra", [this] { return Extra; }, [this](int v) { Extra = v; });
  }
};

std::string Write(TComponent* c) {
  TStringStream s;
  WriteComponent(s, c);
  return s.DataString();
}

void Read(const std::string& text, TComponent* c, const THandlerTable* handlers = nullptr) {
  TStringStream s(text);
  ReadComponent(s, c, handlers);
}

// Runs a read that must fail and returns its message; the component must be unchanged.
std::string ReadFails(const std::string& text, TTestComponent* c, const THandlerTable* handlers = nullptr) {
  const std::string before = Write(c);
  std::vector<TCollectionItem*> items(c->Items().begin(), c->Items().end());
  std::string message;
  try {
    Read(text, c, handlers);
    ADD_FAILURE() << "no EReadError for:\n" << text;
  } catch (const EReadError& e) {
    message = e.Message();
  }
  EXPECT_EQ(Write(c), before);
  EXPECT_EQ(std::vector<TCollectionItem*>(c->Items().begin(), c->Items().end()), items);
  EXPECT_FALSE(c->IsLoading());
  return message;
}

class FilerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { RegisterComponentClass<TTestChild>(); }
  TTestComponent Comp;
};

TEST_F(FilerTest, FreshComponent_WritesOnlyHeaderAndCollection) {
  Comp.SetName("Comp1");
  EXPECT_EQ(Write(&Comp), "object Comp1: TTestComponent\n  Items = <>\nend\n");
  Comp.SetName("");
  EXPECT_EQ(Write(&Comp), "object TTestComponent\n  Items = <>\nend\n");
}

TEST_F(FilerTest, ExactTextOfSmallComponent) {
  Comp.SetName("GA1");
  Comp.SetCount(5);
  Comp.Ratio = 0.5;
  Comp.Probability = 0;  // differs from its non-zero default: written by the definition
  Comp.Enabled = true;
  Comp.Mode = tmThird;
  Comp.Modes = TTestModes{tmSecond, tmThird};
  Comp.Title = "It's\na";
  Comp.Lines.Add("x");
  Comp.Lines.Add("");
  static_cast<TTestItem*>(Comp.Items().Add())->SetLabel("g");
  Comp.Items().Add();
  (new TTestChild(&Comp))->SetName("Kid");
  EXPECT_EQ(Write(&Comp),
            "object GA1: TTestComponent\n"
            "  Count = 5\n"
            "  Ratio = 0.5\n"
            "  Probability = 0\n"
            "  Enabled = True\n"
            "  Mode = tmThird\n"
            "  Modes = [tmSecond, tmThird]\n"
            "  Title = 'It''s'#10'a'\n"
            "  Lines = (\n"
            "    'x'\n"
            "    '')\n"
            "  Items = <\n"
            "    item\n"
            "      Label = 'g'\n"
            "    end\n"
            "    item\n"
            "    end>\n"
            "  object Kid: TTestChild\n"
            "  end\n"
            "end\n");
}

TEST_F(FilerTest, RoundTripOfEveryKind) {
  Comp.SetName("Src");
  Comp.SetTag(-42);
  Comp.SetCount(12);
  Comp.Big = std::numeric_limits<std::int64_t>::min();
  Comp.Small = 255;
  Comp.Ratio = 0.1 + 0.2;  // needs 17 significant digits
  Comp.Probability = 0;
  Comp.Tarpeian = 1.0 / 3.0;
  Comp.Single = 0.02f;
  Comp.Enabled = true;
  Comp.Mode = tmSecond;
  Comp.Modes = TTestModes{};
  Comp.Title = "quote ' tab\t end";
  Comp.Lines.Add("first line");
  Comp.Lines.Add("it's");
  auto* item = static_cast<TTestItem*>(Comp.Items().Add());
  item->SetLabel("a");
  item->SetWeight(0);
  Comp.Items().Add();
  auto* child = new TTestChild(&Comp);
  child->SetName("Kid");
  child->Value = 9;
  Comp.OnChange = NamedHandler<TNotifyEvent>("Form1Change", [](TObject*) {});

  const std::string text = Write(&Comp);
  EXPECT_NE(text.find("Ratio = 0.30000000000000004\n"), std::string::npos) << text;

  int calls = 0;
  THandlerTable handlers;
  handlers.Add<TNotifyEvent>("form1change", [&calls](TObject*) { ++calls; });
  TTestComponent dest;
  Read(text, &dest, &handlers);
  EXPECT_EQ(dest.Name(), "Src");
  EXPECT_EQ(dest.Tag(), -42);
  EXPECT_EQ(dest.Count(), 12);
  EXPECT_EQ(dest.Big, std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(dest.Small, 255);
  EXPECT_EQ(dest.Ratio, 0.1 + 0.2);
  EXPECT_EQ(dest.Probability, 0.0);
  EXPECT_EQ(dest.Tarpeian, 1.0 / 3.0);
  EXPECT_EQ(dest.Single, 0.02f);
  EXPECT_TRUE(dest.Enabled);
  EXPECT_EQ(dest.Mode, tmSecond);
  EXPECT_TRUE(dest.Modes.Empty());
  EXPECT_EQ(dest.Title, Comp.Title);
  EXPECT_TRUE(dest.Lines.Equals(Comp.Lines));
  ASSERT_EQ(dest.Items().Count(), 2);
  EXPECT_EQ(static_cast<TTestItem*>(dest.Items()[0])->Label(), "a");
  EXPECT_EQ(static_cast<TTestItem*>(dest.Items()[0])->Weight(), 0);
  EXPECT_EQ(static_cast<TTestItem*>(dest.Items()[1])->Weight(), 1);
  auto* kid = dynamic_cast<TTestChild*>(dest.FindComponent("Kid"));
  ASSERT_NE(kid, nullptr);
  EXPECT_EQ(kid->Value, 9);
  ASSERT_TRUE(dest.OnChange);
  dest.OnChange(&dest);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(HandlerName(dest.OnChange), "Form1Change");
  EXPECT_EQ(Write(&dest), text);
}

TEST_F(FilerTest, ValuesEqualToDefaultsAreNotWritten) {
  Comp.SetCount(4);
  Comp.Tarpeian = 0;
  Comp.OnChange = [](TObject*) {};  // assigned but unnamed: cannot be streamed
  std::string text = Write(&Comp);
  EXPECT_NE(text.find("  Count = 4\n"), std::string::npos);
  EXPECT_NE(text.find("  Tarpeian = 0\n"), std::string::npos);
  EXPECT_EQ(text.find("OnChange"), std::string::npos);
  Comp.SetCount(0);
  Comp.Tarpeian = kTarpeianDefault;
  Comp.Probability = kProbabilityDefault;
  EXPECT_EQ(Write(&Comp), "object TTestComponent\n  Items = <>\nend\n");
  // Equal to the default after a change, and NaN (never equal to the default).
  Comp.Ratio = std::nan("");
  Comp.Probability = 0.5;
  text = Write(&Comp);
  EXPECT_NE(text.find("  Ratio = NAN\n"), std::string::npos);
  ASSERT_NE(text.find("  Probability = 0.5\n"), std::string::npos);
  EXPECT_EQ(text.find("Probability"), text.rfind("Probability"));  // written once
  TTestComponent dest;
  Read(text, &dest);
  EXPECT_TRUE(std::isnan(dest.Ratio));
  EXPECT_EQ(dest.Probability, 0.5);
}

TEST_F(FilerTest, SubclassChangesDefaultInPlace) {
  TDerivedComponent d;
  d.SetCount(0);
  d.Extra = 2;
  EXPECT_EQ(Write(&d), "object TDerivedComponent\n  Count = 0\n  Items = <>\n  Extra = 2\nend\n");
  d.SetCount(3);
  EXPECT_EQ(Write(&d).find("Count"), std::string::npos);
}

TEST_F(FilerTest, ReadingIsCaseInsensitiveAndCallsLoaded) {
  Read("object TTestComponent\n  count = 3\n  MODE = TMTHIRD\n  enabled = false\nend\n", &Comp);
  EXPECT_EQ(Comp.Count(), 3);
  EXPECT_EQ(Comp.Mode, tmThird);
  Comp.SetName("Named");
  Read("object TTestComponent\nend\n", &Comp);
  EXPECT_EQ(Comp.Name(), "Named");
  EXPECT_TRUE(Comp.SetterSawLoading);
  EXPECT_FALSE(Comp.IsLoading());
  EXPECT_EQ(Comp.LoadedCalls, 2);
}

TEST_F(FilerTest, ComponentsFollowEachOtherInOneStream) {
  TTestComponent a, b;
  a.SetCount(1);
  b.SetCount(2);
  TStringStream s;
  WriteComponent(s, &a);
  WriteComponent(s, &b);
  s.SetPosition(0);
  TTestComponent ra, rb;
  ReadComponent(s, &ra);
  ReadComponent(s, &rb);
  EXPECT_EQ(ra.Count(), 1);
  EXPECT_EQ(rb.Count(), 2);
  EXPECT_EQ(s.Position(), s.Size());
}

TEST_F(FilerTest, DefinedPropertyWithMultipleValues) {
  struct TPoints : TComponent {
    std::string ClassName() const override { return "TPoints"; }
    std::vector<double> Points;
    void DefineProperties(TFiler& Filer) override {
      Filer.DefineProperty(
          "Points",
          [this](TReader& R) {
            std::vector<double> p;
            R.ReadListBegin();
            while (!R.EndOfList()) p.push_back(R.ReadFloat());
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
  } src, dest;
  src.Points = {1.5, -2, 1e300};
  const std::string text = Write(&src);
  EXPECT_EQ(text, "object TPoints\n  Points = (\n    1.5\n    -2\n    1E300)\nend\n");
  Read(text, &dest);
  EXPECT_EQ(dest.Points, src.Points);
  // A later element of the wrong kind is found after the reader has started.
  EXPECT_THROW(Read("object TPoints\n  Points = (1 'x')\nend\n", &dest), EReadError);
  EXPECT_EQ(dest.Points, src.Points);
}

TEST_F(FilerTest, BadInputNamesPropertyAndLineAndChangesNothing) {
  Comp.SetCount(1);
  Comp.Title = "keep";
  static_cast<TTestItem*>(Comp.Items().Add())->SetLabel("old");
  THandlerTable handlers;
  handlers.Add<TNotifyEvent>("Notify", [](TObject*) {});
  handlers.Add<std::function<void()>>("Other", [] {});
  const std::string head = "object TTestComponent\n  Count = 2\n  Title = 'new'\n";
  const int setsBefore = Comp.CountSets;
  struct TCase {
    std::string Body, Needle;
  } cases[] = {
      {"  Colour = 3\n", "Colour at line 4"},
      {"  Count = 'three'\n", "Count at line 4"},
      {"  Count = 1.5\n", "Count at line 4"},
      {"  Count = 99999999999\n", "Count at line 4"},
      {"  Small = 256\n", "Small at line 4"},
      {"  Small = -1\n", "Small at line 4"},
      {"  Ratio = abc\n", "Ratio at line 4"},
      {"  Enabled = 1\n", "Enabled at line 4"},
      {"  Mode = tmFourth\n", "Mode at line 4"},
      {"  Modes = [tmFirst, tmNone]\n", "Modes at line 4"},
      {"  Title = 5\n", "Title at line 4"},
      {"  Lines = (\n    'a'\n    7)\n", "Lines at line 6"},
      {"  Items = <\n    item\n      Label = 'x'\n    end\n    item\n      Weigth = 2\n    end>\n",
       "Items[1].Weigth at line 9"},
      {"  Tarpeian = 'x'\n", "Tarpeian at line 4"},
      {"  OnChange = Missing\n", "OnChange at line 4"},
      {"  OnChange = Other\n", "OnChange at line 4"},
      {"  object Kid: TUnknownClass\n  end\n", "Kid at line 4"},
      {"  object Kid: TTestChild\n    Value = x\n  end\n", "Kid.Value at line 5"},
      {"  Title = 'open\n", "line 4"},
      {"  Count 3\n", "line 4"},
  };
  for (const TCase& c : cases) {
    const std::string message = ReadFails(head + c.Body + "end\n", &Comp, &handlers);
    EXPECT_NE(message.find(c.Needle), std::string::npos) << c.Body << " gave: " << message;
  }
  EXPECT_NE(ReadFails("object TOtherClass\nend\n", &Comp).find("TOtherClass"), std::string::npos);
  EXPECT_NE(ReadFails(head, &Comp).find("end of the text"), std::string::npos);
  // Every value is checked before the first setter runs.
  EXPECT_EQ(Comp.CountSets, setsBefore);
  EXPECT_EQ(Comp.LoadedCalls, 0);
  EXPECT_EQ(Comp.ComponentCount(), 0);
}

TEST_F(FilerTest, SetterFailureWhileApplyingPutsEverythingBack) {
  Comp.SetCount(1);
  Comp.Title = "keep";
  Comp.Tarpeian = 0.75;
  auto* old = static_cast<TTestItem*>(Comp.Items().Add());
  old->SetLabel("old");
  const std::string before = Write(&Comp);
  // Every value is well formed; the Count setter refuses -1 after the others applied.
  const std::string message = ReadFails(
      "object Renamed: TTestComponent\n  Title = 'new'\n  Tarpeian = 0.5\n  Items = <\n    item\n    end>\n"
      "  object Kid: TTestChild\n  end\n  Count = -1\nend\n",
      &Comp);
  EXPECT_NE(message.find("Count at line 9"), std::string::npos) << message;
  EXPECT_NE(message.find("must not be negative"), std::string::npos) << message;
  EXPECT_EQ(Comp.Name(), "");
  EXPECT_EQ(Comp.Tarpeian, 0.75);
  EXPECT_EQ(Comp.Items()[0], old);
  EXPECT_EQ(Comp.ComponentCount(), 0);
  EXPECT_EQ(Write(&Comp), before);
}

TEST_F(FilerTest, HostileTextIsRefusedWithoutCrashing) {
  const std::string deep = "object TTestComponent\n  Lines = " + std::string(100000, '(') + "\nend\n";
  EXPECT_NE(ReadFails(deep, &Comp).find("nesting"), std::string::npos);
  std::string objects;
  for (int i = 0; i < 100000; ++i) objects += "object K" + std::to_string(i) + ": TTestChild\n";
  EXPECT_NE(ReadFails("object TTestComponent\n" + objects, &Comp).find("nesting"), std::string::npos);
  EXPECT_THROW(Read("", &Comp), EReadError);
  EXPECT_THROW(Read("object TTestComponent\n  Count = #999\nend\n", &Comp), EReadError);
}

}  // namespace
