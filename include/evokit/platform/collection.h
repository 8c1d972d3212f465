// Owned, ordered item lists: TCollectionItem, TCollection, TOwnedCollection.
//
// A collection owns its items: deleting or clearing destroys them, and destroying an
// item first takes it out of its collection. Items are created from the collection's
// item class, so a collection of a subclass creates subclass items. Changes notify the
// collection through Notify(Item, Action) and Update(Item), which subclasses override
// to forward to whoever owns the collection.
// Thread safety: a collection and its items belong to one thread at a time; items may
// be read and their own fields written concurrently if nothing is added or removed.
#pragma once

#include <string>
#include <vector>

#include <evokit/platform/object.h>
#include <evokit/platform/enums.h>

namespace evokit {

class TCollection;
class TCollectionItem;

enum TCollectionNotification { cnAdded, cnExtracting, cnDeleting };
EVOKIT_ENUM_NAMES(TCollectionNotification, "cnAdded", "cnExtracting", "cnDeleting");

// A class reference for collection items: creates a detached item of a given class.
class TCollectionItemClass {
 public:
  using TFactory = TCollectionItem* (*)();
  constexpr TCollectionItemClass() = default;
  constexpr explicit TCollectionItemClass(TFactory Factory) : FFactory(Factory) {}
  // The class reference of T, which must be constructible from a TCollection*.
  template <class T>
  static constexpr TCollectionItemClass Of() {
    return TCollectionItemClass(+[]() -> TCollectionItem* { return new T(nullptr); });
  }
  // A new item of the class, in no collection; the caller owns it.
  TCollectionItem* Create() const { return FFactory ? FFactory() : nullptr; }
  explicit operator bool() const { return FFactory != nullptr; }
  bool operator==(const TCollectionItemClass&) const = default;

 private:
  TFactory FFactory = nullptr;
};

class TCollectionItem : public TPersistent {
 public:
  // Joins Collection when one is given. Items created through TCollection::Add join
  // after construction, so their cnAdded notification sees the complete object.
  explicit TCollectionItem(TCollection* Collection = nullptr);
  // Leaves the collection (cnExtracting) before the item is gone.
  ~TCollectionItem() override;
  TCollectionItem(const TCollectionItem&) = delete;
  TCollectionItem& operator=(const TCollectionItem&) = delete;

  std::string ClassName() const override { return "TCollectionItem"; }

  TCollection* Collection() const { return FCollection; }
  // Moves the item to Value (nullptr detaches; the caller then owns the item).
  virtual void SetCollection(TCollection* Value);
  // Number unique within the collection, given when the item joins; -1 when detached.
  int ID() const { return FID; }
  // Position in the collection, -1 when detached.
  int Index() const;
  // Moves the item to position Value (clamped to the list).
  virtual void SetIndex(int Value);
  std::string DisplayName() const { return GetDisplayName(); }
  virtual void SetDisplayName(const std::string& Value);

 protected:
  // The class name unless a subclass knows better.
  virtual std::string GetDisplayName() const { return ClassName(); }
  // Tells the collection this item (AllItems false) or every item changed; the
  // collection hears it as Update(this) or Update(nullptr), unless updates are deferred.
  void Changed(bool AllItems);
  TPersistent* GetOwner() const override;

 private:
  friend class TCollection;
  TCollection* FCollection = nullptr;
  int FID = -1;
};

class TCollection : public TPersistent {
 public:
  explicit TCollection(TCollectionItemClass ItemClass);
  // Destroys the items without notifications (the subclass is already gone).
  ~TCollection() override;
  TCollection(const TCollection&) = delete;
  TCollection& operator=(const TCollection&) = delete;

  std::string ClassName() const override { return "TCollection"; }

  // Recreates this collection's items from a TCollection source and assigns each one.
  void Assign(const TPersistent* Source) override;

  // Appends a new item of ItemClass and returns it (owned by the collection).
  TCollectionItem* Add();
  // Creates a new item at Index (0..Count); EListError otherwise.
  TCollectionItem* Insert(int Index);
  // Notifies cnDeleting, then destroys the item at Index; EListError when out of range.
  void Delete(int Index);
  // Destroys every item, with updates deferred to one Update(nullptr).
  void Clear();
  // Removes the item from the collection without destroying it; the caller owns it.
  void Extract(TCollectionItem* Item);
  void Exchange(int Index1, int Index2);

  int Count() const { return static_cast<int>(FItems.size()); }
  // Item at Index; EListError when out of range.
  TCollectionItem* Items(int Index) const;
  // Assigns Value to the existing item at Index.
  void SetItems(int Index, const TCollectionItem* Value) { Items(Index)->Assign(Value); }
  TCollectionItem* operator[](int Index) const { return Items(Index); }
  TCollectionItem* FindItemID(int ID) const;
  int IndexOf(const TCollectionItem* Item) const;

  // Defers Update notifications; the outermost EndUpdate sends one Update(nullptr).
  virtual void BeginUpdate();
  virtual void EndUpdate();
  int UpdateCount() const { return FUpdateCount; }

  TCollectionItemClass ItemClass() const { return FItemClass; }
  // The owner for owned collections, else nullptr.
  TPersistent* Owner() const { return GetOwner(); }

  auto begin() const { return FItems.begin(); }
  auto end() const { return FItems.end(); }

 protected:
  virtual void Notify(TCollectionItem* Item, TCollectionNotification Action);
  // Item changed (nullptr: the whole collection). Nothing by default.
  virtual void Update(TCollectionItem* Item);
  // Update(nullptr) unless updates are deferred.
  void Changed();

 private:
  friend class TCollectionItem;
  void InsertItem(TCollectionItem* Item);
  void RemoveItem(TCollectionItem* Item);
  void CheckIndex(int Index, int Limit) const;

  TCollectionItemClass FItemClass;
  std::vector<TCollectionItem*> FItems;
  int FNextID = 0;
  int FUpdateCount = 0;
};

// A collection with an owner object (a component, typically).
class TOwnedCollection : public TCollection {
 public:
  TOwnedCollection(TPersistent* AOwner, TCollectionItemClass ItemClass)
      : TCollection(ItemClass), FOwner(AOwner) {}
  std::string ClassName() const override { return "TOwnedCollection"; }

 protected:
  TPersistent* GetOwner() const override { return FOwner; }

 private:
  TPersistent* FOwner;
};

}  // namespace evokit
