// TComponent: a named object that may own other components and destroys them with
// itself, with the loading, designing and destroying states that streaming uses.
// Thread safety: a component and what it owns belong to one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <evokit/platform/object.h>
#include <evokit/platform/enums.h>

namespace evokit {

class TFiler;
class TPropertyRegistry;

enum TComponentStateItem { csLoading, csReading, csWriting, csDestroying, csDesigning };
EVOKIT_ENUM_NAMES(TComponentStateItem, "csLoading", "csReading", "csWriting", "csDestroying", "csDesigning");
using TComponentState = TSet<TComponentStateItem, std::uint8_t>;

enum TOperation { opInsert, opRemove };

class TComponent : public TPersistent {
 public:
  // Joins AOwner's components when AOwner is given; AOwner then destroys it.
  explicit TComponent(TComponent* AOwner = nullptr);
  // Destroys the owned components (last first) and leaves the owner.
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  std::string ClassName() const override { return "TComponent"; }

  TComponent* Owner() const { return FOwner; }
  const std::string& Name() const { return FName; }
  // Empty, or an identifier (letter or '_', then letters, digits, '_') unique among the
  // owner's components (ASCII case ignored); otherwise EComponentError, name unchanged.
  virtual void SetName(const std::string& Value);
  std::intptr_t Tag() const { return FTag; }
  void SetTag(std::intptr_t Value) { FTag = Value; }

  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  // Owned component by position; EListError when out of range.
  TComponent* Components(int Index) const;
  // Owned component by name (ASCII case ignored), or nullptr.
  TComponent* FindComponent(const std::string& AName) const;
  // Takes ownership of AComponent (leaving its previous owner).
  void InsertComponent(TComponent* AComponent);
  // Gives up ownership of AComponent without destroying it.
  void RemoveComponent(TComponent* AComponent);

  TComponentState ComponentState() const { return FComponentState; }
  bool IsLoading() const { return FComponentState.Contains(csLoading); }
  bool IsDestroying() const { return FComponentState.Contains(csDestroying); }
  bool IsDesigning() const { return FComponentState.Contains(csDesigning); }
  // Marks this component and everything it owns as being edited in a designer.
  void SetDesigning(bool Value);
  // Called by the reader before properties are read; sets csLoading and csReading.
  void BeginLoading();
  // Called once all properties are read: clears the loading states, then Loaded().
  void EndLoading();

  // Adds extra streamed properties that are not published ones. Overrides call the
  // inherited version first.
  virtual void DefineProperties(TFiler& Filer);
  // Declares the published (streamed) properties (filer.h); the base declares Tag
  // (default 0). Overrides call the inherited version first.
  virtual void DeclareProperties(TPropertyRegistry& Reg);

 protected:
  // Called after the reader has set every streamed property; clears csLoading.
  virtual void Loaded();
  // Sets csDestroying on this component and everything it owns. Destructors of
  // subclasses that react to notifications during teardown call it first.
  void Destroying();
  // Told when a component is inserted into or removed from this one.
  virtual void Notification(TComponent* AComponent, TOperation Operation);
  TPersistent* GetOwner() const override { return FOwner; }
  void SetComponentState(TComponentState Value) { FComponentState = Value; }

 private:
  TComponent* FOwner = nullptr;
  std::string FName;
  std::intptr_t FTag = 0;
  std::vector<TComponent*> FComponents;
  TComponentState FComponentState;
};

}  // namespace evokit
