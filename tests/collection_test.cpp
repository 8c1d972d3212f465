#include <evokit/platform/collection.h>
#include <evokit/platform/component.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace evokit;

namespace {

class TNamedItem : public TCollectionItem {
 public:
  explicit TNamedItem(TCollection* c) : TCollectionItem(c) {}
  std::string ClassName() const override { return "TNamedItem"; }
  std::string Label;
  void SetLabel(const std::string& v) {
    Label = v;
    Changed(false);
  }
  void Assign(const TPersistent* Source) override {
    if (auto* s = dynamic_cast<const TNamedItem*>(Source)) {
      Label = s->Label;
      return;
    }
    TCollectionItem::Assign(Source);
  }

 protected:
  std::string GetDisplayName() const override { return Label.empty() ? TCollectionItem::GetDisplayName() : Label; }
};

// Records every notification and update in order, as "<action>:<label or index>".
class TLoggingCollection : public TOwnedCollection {
 public:
  explicit TLoggingCollection(TPersistent* owner = nullptr)
      : TOwnedCollection(owner, TCollectionItemClass::Of<TNamedItem>()) {}
  std::vector<std::string> Log;

 protected:
  void Notify(TCollectionItem* Item, TCollectionNotification Action) override {
    Log.push_back(EnumName(Action) + ":" + std::to_string(Item->ID()));
  }
  void Update(TCollectionItem* Item) override {
    Log.push_back(Item ? "update:" + std::to_string(Item->ID()) : std::string("update:all"));
  }
};

TNamedItem* AddNamed(TCollection& c, const std::string& label) {
  auto* item = static_cast<TNamedItem*>(c.Add());
  item->Label = label;
  return item;
}

}  // namespace

TEST(Collection, NotificationOrderForAddChangeDeleteAndExtract) {
  TLoggingCollection c;
  auto* a = AddNamed(c, "a");
  auto* b = AddNamed(c, "b");
  b->SetLabel("bb");
  c.Delete(0);  // a: deleting, then extracting as it leaves
  c.Extract(b);
  EXPECT_EQ(c.Log, (std::vector<std::string>{"cnAdded:0", "update:all", "cnAdded:1", "update:all", "update:1",
                                             "cnDeleting:0", "cnExtracting:0", "update:all", "cnExtracting:1",
                                             "update:all"}));
  (void)a;
  EXPECT_EQ(b->Collection(), nullptr);
  EXPECT_EQ(b->Index(), -1);
  delete b;  // an extracted item belongs to the caller
  EXPECT_EQ(c.Count(), 0);
}

TEST(Collection, UpdatesInsideBeginEndUpdateCollapseIntoOne) {
  TLoggingCollection c;
  c.BeginUpdate();
  c.BeginUpdate();
  AddNamed(c, "x")->SetLabel("y");
  AddNamed(c, "z");
  c.EndUpdate();
  EXPECT_EQ(c.Log, (std::vector<std::string>{"cnAdded:0", "cnAdded:1"}));
  c.EndUpdate();
  EXPECT_EQ(c.Log.back(), "update:all");
  EXPECT_EQ(std::count(c.Log.begin(), c.Log.end(), "update:all"), 1);
  c.Log.clear();
  c.Clear();
  EXPECT_EQ(c.Log, (std::vector<std::string>{"cnExtracting:1", "cnExtracting:0", "update:all"}));
}

TEST(Collection, IdsIndexesInsertAndMove) {
  TLoggingCollection c;
  AddNamed(c, "a");
  AddNamed(c, "b");
  auto* front = static_cast<TNamedItem*>(c.Insert(0));
  front->Label = "front";
  EXPECT_EQ(front->ID(), 2);
  EXPECT_EQ(front->Index(), 0);
  EXPECT_EQ(c.FindItemID(1)->DisplayName(), "b");
  EXPECT_EQ(c.FindItemID(42), nullptr);
  front->SetIndex(99);  // clamped to the last position
  EXPECT_EQ(front->Index(), 2);
  EXPECT_EQ(c[0]->DisplayName(), "a");
  c.Delete(0);
  auto* again = AddNamed(c, "c");
  EXPECT_EQ(again->ID(), 3);  // IDs are never reused
  EXPECT_EQ(c.Items(0)->ClassName(), "TNamedItem");
  EXPECT_EQ(static_cast<TNamedItem*>(c.Add())->DisplayName(), "TNamedItem");
}

TEST(Collection, BadIndexesRaiseListErrorAndChangeNothing) {
  TLoggingCollection c;
  AddNamed(c, "a");
  EXPECT_THROW(c.Items(1), EListError);
  EXPECT_THROW(c.Items(-1), EListError);
  EXPECT_THROW(c.Delete(1), EListError);
  EXPECT_THROW(c.Insert(2), EListError);
  EXPECT_THROW(c.Exchange(0, 3), EListError);
  EXPECT_EQ(c.Count(), 1);
}

TEST(Collection, AssignRecreatesItemsAndRejectsOtherClasses) {
  TLoggingCollection source, target;
  AddNamed(source, "p");
  AddNamed(source, "q");
  AddNamed(target, "old");
  target.Log.clear();
  target.Assign(&source);
  ASSERT_EQ(target.Count(), 2);
  EXPECT_EQ(target[0]->DisplayName(), "p");
  EXPECT_EQ(target[1]->DisplayName(), "q");
  EXPECT_EQ(std::count(target.Log.begin(), target.Log.end(), "update:all"), 1);
  TComponent notACollection;
  try {
    target.Assign(&notACollection);
    FAIL() << "expected EConvertError";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TComponent to a TOwnedCollection");
  }
  EXPECT_EQ(target.Count(), 2);
}

TEST(Collection, OwnedCollectionReportsItsOwnerAndItemsMoveBetweenCollections) {
  TComponent owner;
  TLoggingCollection a(&owner), b;
  EXPECT_EQ(a.Owner(), &owner);
  EXPECT_EQ(b.Owner(), nullptr);
  auto* item = AddNamed(a, "m");
  item->SetCollection(&b);
  EXPECT_EQ(a.Count(), 0);
  EXPECT_EQ(b.Count(), 1);
  EXPECT_EQ(item->Collection(), &b);
}

namespace {
class TTrackedComponent : public TComponent {
 public:
  TTrackedComponent(TComponent* owner, int* destroyed) : TComponent(owner), FDestroyed(destroyed) {}
  ~TTrackedComponent() override { ++*FDestroyed; }
  std::string ClassName() const override { return "TTrackedComponent"; }
  bool LoadedCalled = false;

 protected:
  void Loaded() override {
    TComponent::Loaded();
    LoadedCalled = true;
  }

 private:
  int* FDestroyed;
};
}  // namespace

TEST(Component, OwnerDestroysWhatItOwnsAndOwnedLeaveTheirOwner) {
  int destroyed = 0;
  {
    TComponent root;
    auto* child = new TTrackedComponent(&root, &destroyed);
    new TTrackedComponent(child, &destroyed);
    auto* early = new TTrackedComponent(&root, &destroyed);
    EXPECT_EQ(root.ComponentCount(), 2);
    delete early;  // leaves its owner first
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(root.ComponentCount(), 1);
    EXPECT_EQ(root.Components(0), child);
    EXPECT_THROW(root.Components(1), EListError);
  }
  EXPECT_EQ(destroyed, 3);
}

TEST(Component, NamesAreIdentifiersUniqueAmongSiblings) {
  TComponent root;
  auto* a = new TComponent(&root);
  auto* b = new TComponent(&root);
  a->SetName("First");
  EXPECT_EQ(root.FindComponent("first"), a);
  EXPECT_THROW(b->SetName("FIRST"), EComponentError);
  EXPECT_THROW(b->SetName("9lives"), EComponentError);
  EXPECT_THROW(b->SetName("has space"), EComponentError);
  EXPECT_EQ(b->Name(), "");
  b->SetName("_second2");
  EXPECT_EQ(b->Name(), "_second2");
  b->SetTag(42);
  EXPECT_EQ(b->Tag(), 42);
}

TEST(Component, LoadingAndDesigningStates) {
  int destroyed = 0;
  TComponent root;
  auto* c = new TTrackedComponent(&root, &destroyed);
  c->BeginLoading();
  EXPECT_TRUE(c->IsLoading());
  c->EndLoading();
  EXPECT_FALSE(c->IsLoading());
  EXPECT_TRUE(c->LoadedCalled);
  root.SetDesigning(true);
  EXPECT_TRUE(c->IsDesigning());
  root.SetDesigning(false);
  EXPECT_FALSE(c->ComponentState().Contains(csDesigning));
}
