// The root of the object model: TObject (class name, virtual destruction) and
// TPersistent (Assign/AssignTo). Everything the library exposes as an object derives
// from TObject so that events can pass a Sender and Assign can inspect its source.
// Thread safety: none of these classes is internally synchronised.
#pragma once

#include <functional>
#include <string>

#include <evokit/platform/exceptions.h>

namespace evokit {

class TObject {
 public:
  TObject() = default;
  virtual ~TObject() = default;
  // The class name that reports, display names and "cannot assign" errors use.
  virtual std::string ClassName() const { return "TObject"; }

 protected:
  // Copying a polymorphic base would slice; derived classes copy through Assign.
  TObject(const TObject&) = default;
  TObject& operator=(const TObject&) = default;
};

// Event with only a sender.
using TNotifyEvent = std::function<void(TObject* Sender)>;

class TPersistent : public TObject {
 public:
  std::string ClassName() const override { return "TPersistent"; }
  // Copies Source into this object. The base asks Source->AssignTo(this) and, when
  // that cannot either, throws EConvertError "Cannot assign a <source> to a <target>".
  virtual void Assign(const TPersistent* Source);

 protected:
  // Lets a source copy itself into Dest; the base throws the cannot-assign error.
  virtual void AssignTo(TPersistent* Dest) const;
  [[noreturn]] void AssignError(const TPersistent* Source) const;
  // The owner used to build property paths; none by default.
  virtual TPersistent* GetOwner() const { return nullptr; }
};

// dynamic_cast that reports failure as EInvalidCast instead of returning null.
template <class To, class From>
To* CheckedCast(From* Object) {
  if (Object == nullptr) return nullptr;
  if (auto* result = dynamic_cast<To*>(Object)) return result;
  throw EInvalidCast("Invalid class typecast");
}

}  // namespace evokit
