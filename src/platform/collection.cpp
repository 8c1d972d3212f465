#include <evokit/platform/collection.h>

#include <evokit/platform/guards.h>

#include <algorithm>
#include <memory>

namespace evokit {

// --- TCollectionItem -----------------------------------------------------------

TCollectionItem::TCollectionItem(TCollection* Collection) {
  if (Collection) Collection->InsertItem(this);
}

TCollectionItem::~TCollectionItem() {
  if (FCollection) FCollection->RemoveItem(this);
}

void TCollectionItem::SetCollection(TCollection* Value) {
  if (FCollection == Value) return;
  if (FCollection) FCollection->RemoveItem(this);
  if (Value) Value->InsertItem(this);
}

int TCollectionItem::Index() const { return FCollection ? FCollection->IndexOf(this) : -1; }

void TCollectionItem::SetIndex(int Value) {
  const int current = Index();
  if (current < 0 || Value == current) return;
  auto& items = FCollection->FItems;
  Value = std::clamp(Value, 0, static_cast<int>(items.size()) - 1);
  items.erase(items.begin() + current);
  items.insert(items.begin() + Value, this);
  Changed(true);
}

void TCollectionItem::SetDisplayName(const std::string&) { Changed(false); }

void TCollectionItem::Changed(bool AllItems) {
  if (FCollection && FCollection->FUpdateCount == 0) FCollection->Update(AllItems ? nullptr : this);
}

TPersistent* TCollectionItem::GetOwner() const { return FCollection; }

// --- TCollection ------------------------------------------------------------------

TCollection::TCollection(TCollectionItemClass ItemClass) : FItemClass(ItemClass) {}

TCollection::~TCollection() {
  ++FUpdateCount;
  while (!FItems.empty()) {
    TCollectionItem* last = FItems.back();
    FItems.pop_back();
    last->FCollection = nullptr;
    delete last;
  }
}

void TCollection::Assign(const TPersistent* Source) {
  const auto* source = dynamic_cast<const TCollection*>(Source);
  if (!source) {
    TPersistent::Assign(Source);
    return;
  }
  if (source == this) return;
  const auto update = UpdateGuard(*this);
  Clear();
  for (const TCollectionItem* item : source->FItems) Add()->Assign(item);
}

TCollectionItem* TCollection::Add() {
  std::unique_ptr<TCollectionItem> item(FItemClass.Create());
  if (!item) throw EListError("Collection has no item class");
  InsertItem(item.get());
  return item.release();
}

TCollectionItem* TCollection::Insert(int Index) {
  CheckIndex(Index, Count() + 1);
  TCollectionItem* item = Add();
  item->SetIndex(Index);
  return item;
}

void TCollection::Delete(int Index) {
  TCollectionItem* item = Items(Index);
  Notify(item, cnDeleting);
  delete item;
}

void TCollection::Clear() {
  if (FItems.empty()) return;
  const auto update = UpdateGuard(*this);
  while (!FItems.empty()) delete FItems.back();
}

void TCollection::Extract(TCollectionItem* Item) {
  if (Item && Item->FCollection == this) RemoveItem(Item);
}

void TCollection::Exchange(int Index1, int Index2) {
  CheckIndex(Index1, Count());
  CheckIndex(Index2, Count());
  std::swap(FItems[static_cast<std::size_t>(Index1)], FItems[static_cast<std::size_t>(Index2)]);
  Changed();
}

TCollectionItem* TCollection::Items(int Index) const {
  CheckIndex(Index, Count());
  return FItems[static_cast<std::size_t>(Index)];
}

TCollectionItem* TCollection::FindItemID(int ID) const {
  for (TCollectionItem* item : FItems)
    if (item->FID == ID) return item;
  return nullptr;
}

int TCollection::IndexOf(const TCollectionItem* Item) const {
  // Most lookups are for recently added items: search from the end.
  for (std::size_t i = FItems.size(); i-- > 0;)
    if (FItems[i] == Item) return static_cast<int>(i);
  return -1;
}

void TCollection::BeginUpdate() { ++FUpdateCount; }

void TCollection::EndUpdate() {
  if (FUpdateCount > 0) --FUpdateCount;
  Changed();
}

void TCollection::Notify(TCollectionItem*, TCollectionNotification) {}

void TCollection::Update(TCollectionItem*) {}

void TCollection::Changed() {
  if (FUpdateCount == 0) Update(nullptr);
}

void TCollection::InsertItem(TCollectionItem* Item) {
  FItems.push_back(Item);
  Item->FCollection = this;
  Item->FID = FNextID++;
  try {
    Notify(Item, cnAdded);
  } catch (...) {
    // A refused item leaves the list again; the caller still owns it.
    FItems.pop_back();
    Item->FCollection = nullptr;
    throw;
  }
  Changed();
}

void TCollection::RemoveItem(TCollectionItem* Item) {
  Notify(Item, cnExtracting);
  if (!FItems.empty() && FItems.back() == Item) FItems.pop_back();
  else FItems.erase(std::find(FItems.begin(), FItems.end(), Item));
  Item->FCollection = nullptr;
  Changed();
}

void TCollection::CheckIndex(int Index, int Limit) const {
  if (Index < 0 || Index >= Limit)
    throw EListError("List index out of bounds (" + std::to_string(Index) + ")");
}

}  // namespace evokit
