#include <evokit/platform/collection.h>
#include <evokit/platform/component.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support.h"

using namespace evokit;

namespace {

struct TNamedItem : TCollectionItem {
  explicit TNamedItem(TCollection* c) : TCollectionItem(c) {}
  std::string Label;
  void Assign(const TPersistent* Source) override {
    if (auto* s = dynamic_cast<const TNamedItem*>(Source)) Label = s->Label;
    else TCollectionItem::Assign(Source);
  }
  std::string GetDisplayName() const override { return Label.empty() ? TCollectionItem::GetDisplayName() : Label; }
};

// Records every notification and update as "<action>:<item ID or all>".
struct TLoggingCollection : TOwnedCollection {
  explicit TLoggingCollection(TPersistent* owner = nullptr)
      : TOwnedCollection(owner, TCollectionItemClass::Of<TNamedItem>()) {}
  std::vector<std::string> Log;
  TNamedItem* AddNamed(const std::string& label) {
    auto* item = static_cast<TNamedItem*>(Add());
    item->Label = label;
    return item;
  }
  std::string Labels() const {
    std::string out;
    for (TCollectionItem* item : *this) out += item->DisplayName() + " ";
    return out;
  }
  void Notify(TCollectionItem* Item, TCollectionNotification Action) override {
    Log.push_back(EnumName(Action) + ":" + std::to_string(Item->ID()));
  }
  void Update(TCollectionItem* Item) override {
    Log.push_back("update:" + (Item ? std::to_string(Item->ID()) : std::string("all")));
  }
};

}  // namespace

TEST(Collection, NotificationsAndDeferredUpdates) {
  TLoggingCollection c;
  c.AddNamed("a");
  auto* b = c.AddNamed("b");
  b->SetDisplayName("bb");  // an item change reports the item
  c.Delete(0);              // deleting, then extracting as it leaves
  c.Extract(b);
  EXPECT_EQ(c.Log, (std::vector<std::string>{"cnAdded:0", "update:all", "cnAdded:1", "update:all", "update:1",
                                             "cnDeleting:0", "cnExtracting:0", "update:all", "cnExtracting:1",
                                             "update:all"}));
  EXPECT_TRUE(b->Collection() == nullptr && b->Index() == -1 && c.IndexOf(b) == -1);
  delete b;  // an extracted item belongs to the caller
  c.Log.clear();
  c.BeginUpdate();
  c.BeginUpdate();
  c.AddNamed("x")->SetDisplayName("y");
  c.AddNamed("z");
  c.EndUpdate();
  c.EndUpdate();  // only the outermost EndUpdate reports, once
  c.Clear();
  EXPECT_EQ(c.Log, (std::vector<std::string>{"cnAdded:2", "cnAdded:3", "update:all", "cnExtracting:3",
                                             "cnExtracting:2", "update:all"}));
}

TEST(Collection, IdsPositionsAndBadIndexes) {
  TLoggingCollection c, other;
  c.AddNamed("a");
  c.AddNamed("b");
  auto* front = static_cast<TNamedItem*>(c.Insert(0));
  front->Label = "front";
  EXPECT_EQ(std::pair(front->ID(), front->Index()), std::pair(2, 0));
  EXPECT_TRUE(c.FindItemID(1)->DisplayName() == "b" && c.FindItemID(42) == nullptr);
  front->SetIndex(99);  // clamped to the last position
  c.Exchange(0, 1);
  c.Delete(2);
  EXPECT_EQ(c.AddNamed("c")->ID(), 3);  // IDs are never reused
  c.Add()->SetCollection(&other);       // items move between collections
  EXPECT_EQ(c.Labels() + "| " + other.Labels(), "b a c | TCollectionItem ");
  for (auto call : {+[](TCollection& l) { l.Items(-1); }, +[](TCollection& l) { l.Delete(3); },
                    +[](TCollection& l) { l.Insert(4); }, +[](TCollection& l) { l.Exchange(0, 3); }}) {
    EXPECT_EQ(test::ErrorOf<EListError>([&] { call(c); }).rfind("List index out of bounds (", 0), 0u);
    EXPECT_EQ(c.Labels(), "b a c ");
  }
  // Assign replaces the items by copies of another collection's, with one update at the end.
  TComponent owner;
  TLoggingCollection target(&owner);
  target.AddNamed("old");
  target.Assign(&c);
  EXPECT_EQ(target.Labels(), "b a c ");
  EXPECT_EQ(target.Log, (std::vector<std::string>{"cnAdded:0", "update:all", "cnExtracting:0", "cnAdded:1",
                                                  "cnAdded:2", "cnAdded:3", "update:all"}));
  EXPECT_EQ(test::ErrorOf<EConvertError>([&] { target.Assign(&owner); }),
            "Cannot assign a TComponent to a TOwnedCollection");
  EXPECT_EQ(target.Labels(), "b a c ");
}
