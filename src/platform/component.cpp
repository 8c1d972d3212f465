#include <evokit/platform/component.h>

#include <algorithm>

#include <evokit/platform/convert.h>
#include <evokit/platform/filer.h>

namespace evokit {
namespace {

bool IsIdentifier(const std::string& s) {
  auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
  if (s.empty() || !alpha(s[0])) return false;
  return std::all_of(s.begin(), s.end(), [&](char c) { return alpha(c) || (c >= '0' && c <= '9'); });
}

}  // namespace

TComponent::TComponent(TComponent* AOwner) {
  if (AOwner) AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
  Destroying();
  while (!FComponents.empty()) {
    TComponent* last = FComponents.back();
    RemoveComponent(last);
    delete last;
  }
  if (FOwner) FOwner->RemoveComponent(this);
}

void TComponent::SetName(const std::string& Value) {
  if (Value == FName) return;
  if (!Value.empty() && !IsIdentifier(Value))
    throw EComponentError("'" + Value + "' is not a valid component name");
  if (!Value.empty() && FOwner) {
    TComponent* other = FOwner->FindComponent(Value);
    if (other && other != this) throw EComponentError("A component named " + Value + " already exists");
  }
  FName = Value;
}

TComponent* TComponent::Components(int Index) const {
  if (Index < 0 || Index >= ComponentCount())
    throw EListError("List index out of bounds (" + std::to_string(Index) + ")");
  return FComponents[static_cast<std::size_t>(Index)];
}

TComponent* TComponent::FindComponent(const std::string& AName) const {
  if (AName.empty()) return nullptr;
  for (TComponent* c : FComponents)
    if (SameText(c->FName, AName)) return c;
  return nullptr;
}

void TComponent::InsertComponent(TComponent* AComponent) {
  if (!AComponent || AComponent->FOwner == this) return;
  if (!AComponent->FName.empty() && FindComponent(AComponent->FName))
    throw EComponentError("A component named " + AComponent->FName + " already exists");
  if (AComponent->FOwner) AComponent->FOwner->RemoveComponent(AComponent);
  FComponents.push_back(AComponent);
  AComponent->FOwner = this;
  Notification(AComponent, opInsert);
}

void TComponent::RemoveComponent(TComponent* AComponent) {
  if (!AComponent || AComponent->FOwner != this) return;
  Notification(AComponent, opRemove);
  FComponents.erase(std::find(FComponents.begin(), FComponents.end(), AComponent));
  AComponent->FOwner = nullptr;
}

void TComponent::SetDesigning(bool Value) {
  if (Value) FComponentState.Include(csDesigning);
  else FComponentState.Exclude(csDesigning);
  for (TComponent* c : FComponents) c->SetDesigning(Value);
}

void TComponent::BeginLoading() { FComponentState.Include(csLoading).Include(csReading); }

void TComponent::EndLoading() {
  FComponentState.Exclude(csReading);
  Loaded();
}

void TComponent::DefineProperties(TFiler&) {}

void TComponent::DeclareProperties(TPropertyRegistry& Reg) { Reg.Int("Tag", &TComponent::Tag, &TComponent::SetTag); }

void TComponent::Loaded() { FComponentState.Exclude(csLoading); }

void TComponent::Destroying() {
  if (IsDestroying()) return;
  FComponentState.Include(csDestroying);
  for (TComponent* c : FComponents) c->Destroying();
}

void TComponent::Notification(TComponent*, TOperation) {}

}  // namespace evokit
