// The root of the object model: TObject (class name, virtual destruction) and
// TPersistent (Assign/AssignTo). Everything the library exposes as an object derives
// from TObject so that events can pass a Sender and Assign can inspect its source.
// Thread safety: none of these classes is internally synchronised.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <typeinfo>

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

// dynamic_cast<To*>(Object) for downcasts on hot paths. Each instantiation remembers the
// last dynamic type that converted, so a loop over objects of one class pays one typeid
// comparison per call instead of a hierarchy walk. The memo is shared by all threads;
// any value a thread sees is a type that converts, so races only cost a slow call.
template <class To, class From>
To* FastCast(From* Object) noexcept {
  static std::atomic<const std::type_info*> known{nullptr};
  if (!Object) return nullptr;
  const std::type_info& type = typeid(*Object);
  if (const std::type_info* last = known.load(std::memory_order_relaxed); last && *last == type)
    return static_cast<To*>(Object);
  To* result = dynamic_cast<To*>(Object);
  if (result) known.store(&type, std::memory_order_relaxed);
  return result;
}

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
