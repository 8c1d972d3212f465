// Component streaming: published-property registration, defined properties
// (DefineProperties/TFiler::DefineProperty), and the readable text form written by
// WriteComponent and read by ReadComponent. The XML documents are a separate layer.
//
// Text form (two spaces of indentation per level):
//
//   object GA1: TMyComponent          <- "object TMyComponent" when the name is empty
//     Count = 5                       <- integer
//     Ratio = 0.1                     <- float: FloatToStr, or 17 digits when 15 do not read back
//     Enabled = True                  <- boolean
//     Method = fmMaximize             <- enumeration value name
//     Operations = [goCrossover, goMutate]
//     Title = 'It''s'#10'two lines'   <- string: quoted, '' inside, control characters as #n;
//                                        UTF-8 text only (written and read)
//     Lines = (                       <- string list (any list of values)
//       'first'
//       'second')
//     Items = <                       <- collection: one "item ... end" per item
//       item
//         Name = 'x'
//       end>
//     OnEvolve = Form1Evolve          <- event: the name of a named handler
//     object Child: TChildClass       <- owned components with a name, after the properties
//     end
//   end
//
// A class declares its published properties in DeclareProperties(TPropertyRegistry&)
// (TComponent's virtual, or IPublishedProperties for collection items), calling the
// inherited version first:
//
//   void TMyComponent::DeclareProperties(TPropertyRegistry& Reg) {
//     TBase::DeclareProperties(Reg);
//     Reg.Float("Ratio", &TMyComponent::Ratio, &TMyComponent::SetRatio, 0.98);
//     Reg.Enum("Method", &TMyComponent::Method, &TMyComponent::SetMethod, fmMinimize);
//     Reg.Collection("Items", &TMyComponent::Items);
//     Reg.Event("OnSelection", &TMyComponent::OnSelection, &TMyComponent::SetOnSelection)
//         .Stored([this] { return IsCustomSelection(); });
//   }
//
// Getters and setters are member function pointers of the declaring class or callables
// (lambdas capturing `this`). Declaring a name a second time replaces the earlier
// declaration in its position (a subclass changing a default).
//
// Thread safety: a reader or writer, and the component it streams, belong to one thread.
// The component class table (RegisterComponentClass) is synchronised.
#pragma once

#include <any>
#include <concepts>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <evokit/platform/collection.h>
#include <evokit/platform/component.h>
#include <evokit/platform/exceptions.h>
#include <evokit/platform/object.h>
#include <evokit/platform/streams.h>
#include <evokit/platform/strings.h>
#include <evokit/platform/enums.h>

namespace evokit {

class TFiler;
class TReader;
class TWriter;
class TPropertyRegistry;

namespace detail {
struct TValueNode;
struct TPropNode;
struct TObjectNode;
}  // namespace detail

// Reads one property value from the reader and applies it.
using TReaderProc = std::function<void(TReader& Reader)>;
// Writes one property value (exactly one Write... call, or one list) to the writer.
using TWriterProc = std::function<void(TWriter& Writer)>;

// --- Named event handlers --------------------------------------------------------
//
// A std::function has no name, so an event is streamed only when its handler was made
// with NamedHandler: the name travels inside the function object, and the writer finds
// it again with HandlerName. Reading "OnEvolve = Form1Evolve" looks the name up in the
// THandlerTable given to ReadComponent and assigns NamedHandler(name, handler).
// An assigned handler without a name is not written.

template <class Sig>
class TNamedHandler;

template <class R, class... A>
class TNamedHandler<R(A...)> {
 public:
  TNamedHandler(std::string Name, std::function<R(A...)> Handler)
      : FName(std::move(Name)), FHandler(std::move(Handler)) {}
  R operator()(A... Args) const { return FHandler(std::forward<A>(Args)...); }
  const std::string& Name() const { return FName; }

 private:
  std::string FName;
  std::function<R(A...)> FHandler;
};

namespace detail {
template <class TEvent>
struct TEventTraits;
template <class R, class... A>
struct TEventTraits<std::function<R(A...)>> {
  using Named = TNamedHandler<R(A...)>;
};
}  // namespace detail

// TEvent is a std::function type (TNotifyEvent, TMXFitnessEvent, ...). An empty Handler
// gives an empty event.
template <class TEvent>
TEvent NamedHandler(std::string Name, TEvent Handler) {
  if (!Handler) return TEvent();
  return TEvent(typename detail::TEventTraits<TEvent>::Named(std::move(Name), std::move(Handler)));
}

// The name given with NamedHandler, or "" for an empty or unnamed handler.
template <class TEvent>
std::string HandlerName(const TEvent& Event) {
  if (const auto* named = Event.template target<typename detail::TEventTraits<TEvent>::Named>())
    return named->Name();
  return std::string();
}

// The handlers a reader may assign to event properties, by name (ASCII case ignored).
class THandlerTable {
 public:
  // Adds or replaces the handler called Name. TEvent is the event's std::function type:
  // Table.Add<TNotifyEvent>("Form1Evolve", [](TObject*) { ... }).
  template <class TEvent>
  void Add(const std::string& Name, TEvent Handler) {
    FHandlers[Key(Name)] = std::any(std::move(Handler));
  }
  bool Contains(std::string_view Name) const { return Lookup(Name) != nullptr; }
  // The stored handler, or nullptr.
  const std::any* Lookup(std::string_view Name) const;

 private:
  static std::string Key(std::string_view Name);
  std::map<std::string, std::any> FHandlers;
};

// --- Published properties ---------------------------------------------------------

// One published property: how to test, write, read and snapshot it. The registry's
// typed helpers fill these in; Add takes a hand-made one for a kind they do not cover.
class TPropertyInfo {
 public:
  std::string Name;
  // The default test: true when the value equals its default (then it is not written).
  // Empty: no default, the value is always written.
  std::function<bool()> IsDefault;
  // The stored test (empty: stored). A property is written when it is stored and not
  // at its default.
  std::function<bool()> StoredTest;
  TWriterProc Write;
  // Empty for a property that is written but never read back.
  TReaderProc Read;
  // Captures the current value; the returned function puts it back. Used to undo a
  // read that fails after it started applying values.
  std::function<std::function<void()>()> Snapshot;

  // Adds a stored test (IsCustomSelection, ...); Stored(false) never writes the property.
  TPropertyInfo& Stored(std::function<bool()> Test);
  TPropertyInfo& Stored(bool Value);
  // Drops the default test: the value is written whenever it is stored.
  TPropertyInfo& NoDefault();

  bool ShouldWrite() const { return (!StoredTest || StoredTest()) && (!IsDefault || !IsDefault()); }
};

namespace detail {

template <class G>
struct TGetterTraits {
  using Type = std::decay_t<std::invoke_result_t<G&>>;
};
template <class R, class C>
struct TGetterTraits<R (C::*)() const> {
  using Type = std::decay_t<R>;
};
template <class R, class C>
struct TGetterTraits<R (C::*)() const noexcept> {
  using Type = std::decay_t<R>;
};
template <class R, class C>
struct TGetterTraits<R (C::*)()> {
  using Type = std::decay_t<R>;
};

template <class F>
struct TMemberClass;
template <class F, class C>
struct TMemberClass<F C::*> {
  using Type = C;
};

template <class T>
struct TSetTraits : std::false_type {};
template <class E, class S>
struct TSetTraits<TSet<E, S>> : std::true_type {
  using Enum = E;
};

template <class T>
struct TIsStdFunction : std::false_type {};
template <class Sig>
struct TIsStdFunction<std::function<Sig>> : std::true_type {};

template <class T>
concept Integer = std::integral<T> && !std::same_as<T, bool>;

// Reports a registration whose member pointer does not belong to the instance.
[[noreturn]] void BadAccessorClass(const std::string& Name);

// The strings list behind a getter result (pointer or reference).
template <class T>
const TStrings* StringsPointer(const T& Value) {
  if constexpr (std::is_pointer_v<T>) return Value;
  else return &Value;
}

}  // namespace detail

// The published properties of one object, in declaration order. Built afresh each
// time the object is written or read, by the object's DeclareProperties.
class TPropertyRegistry {
 public:
  explicit TPropertyRegistry(TObject* Instance) : FInstance(Instance) {}
  TPropertyRegistry(const TPropertyRegistry&) = delete;
  TPropertyRegistry& operator=(const TPropertyRegistry&) = delete;

  TObject* Instance() const { return FInstance; }

  // Integer property of any integral type (not bool); not written when equal to Default.
  // Values read outside the type's range are a read error.
  template <class G, class S>
    requires detail::Integer<typename detail::TGetterTraits<G>::Type>
  TPropertyInfo& Int(std::string Name, G Get, S Set, typename detail::TGetterTraits<G>::Type Default = {});
  // double or float property; not written when equal to Default (NaN always differs).
  // A float property is written with the shortest text that reads back to the same float.
  template <class G, class S>
    requires std::floating_point<typename detail::TGetterTraits<G>::Type>
  TPropertyInfo& Float(std::string Name, G Get, S Set, typename detail::TGetterTraits<G>::Type Default = {});
  TPropertyInfo& Bool(std::string Name, auto Get, auto Set, bool Default = false);
  // Enumeration with a name table (EVOKIT_ENUM_NAMES); written as the value name.
  template <class G, class S>
    requires std::is_enum_v<typename detail::TGetterTraits<G>::Type>
  TPropertyInfo& Enum(std::string Name, G Get, S Set, typename detail::TGetterTraits<G>::Type Default = {});
  // TSet property; written as "[name, name]".
  template <class G, class S>
    requires detail::TSetTraits<typename detail::TGetterTraits<G>::Type>::value
  TPropertyInfo& Set(std::string Name, G Get, S Set, typename detail::TGetterTraits<G>::Type Default = {});
  TPropertyInfo& String(std::string Name, auto Get, auto Set, std::string Default = std::string());
  // String list: Get returns a TStrings pointer or reference. Reading hands a new list
  // to Set (taking a const TStrings* or const TStrings&); without Set, the lines are
  // assigned to the getter's list. Not written when the list is empty.
  TPropertyInfo& Strings(std::string Name, auto Get);
  TPropertyInfo& Strings(std::string Name, auto Get, auto Set);
  // Collection: Get returns a TCollection (or subclass) pointer or reference. Written
  // always (also when empty, as "<>"); reading replaces the items. The items' own
  // properties come from IPublishedProperties.
  TPropertyInfo& Collection(std::string Name, auto Get);
  // Event (a std::function property): written only when the handler has a name
  // (NamedHandler); read through the reader's THandlerTable.
  TPropertyInfo& Event(std::string Name, auto Get, auto Set);

  // Adds or replaces (by name, in place) a hand-made declaration.
  TPropertyInfo& Add(TPropertyInfo Info);
  // The declaration called Name (ASCII case ignored), or nullptr.
  const TPropertyInfo* Find(std::string_view Name) const;
  const std::deque<TPropertyInfo>& Properties() const { return FProperties; }

 private:
  // Turns a member function pointer into a callable bound to the instance.
  template <class F>
  auto Bind(const std::string& Name, F Fn) const;
  // A value property of type T: Get and Set are accessors as the public functions take
  // them; a value equal to Default is not written.
  template <class T, class G, class S>
  TPropertyInfo& Scalar(std::string Name, G Get, S Set, T Default, std::function<void(TWriter&, const T&)> Write,
                        std::function<T(TReader&)> Read);

  TObject* FInstance;
  std::deque<TPropertyInfo> FProperties;  // a deque keeps references stable
};

// Published properties of objects that are not components (collection items). A
// component overrides TComponent::DeclareProperties instead.
class IPublishedProperties {
 public:
  // Declares the published properties; overrides call the inherited version first.
  virtual void DeclareProperties(TPropertyRegistry& Reg) = 0;
  // Extra defined properties, as TComponent::DefineProperties.
  virtual void DefineProperties(TFiler& Filer) { (void)Filer; }

 protected:
  ~IPublishedProperties() = default;
};

// --- Filer, writer, reader ---------------------------------------------------------

class TFiler {
 public:
  virtual ~TFiler() = default;
  TFiler(const TFiler&) = delete;
  TFiler& operator=(const TFiler&) = delete;

  // Declares an extra streamed property. WriteData writes its value (exactly one value)
  // and is called only when HasData holds; ReadData reads it back and applies it, and
  // must read its whole value before it changes anything (a read first checks every
  // value without applying it). Either may be empty. A WriteData takes over the writing
  // of a published property of the same name (written in that property's position);
  // a ReadData takes over its reading. Without a ReadData the value is read by the
  // published property of the same name.
  virtual void DefineProperty(const std::string& Name, TReaderProc ReadData, TWriterProc WriteData,
                              bool HasData) = 0;

 protected:
  TFiler() = default;
};

// Writes components in the text form above.
class TWriter : public TFiler {
 public:
  explicit TWriter(TStream& Stream) : FStream(&Stream) {}

  // Writes Root, its stored properties and its named owned components to the stream.
  void WriteRootComponent(TComponent* Root);

  // Value writers, for WriteData procedures of defined properties.
  template <detail::Integer T>
  void WriteInteger(T Value) {
    WriteToken(std::to_string(Value));
  }
  // The FloatToStr text when it reads back exactly, otherwise 17 significant digits.
  void WriteFloat(double Value);
  // The shortest text that reads back to the same float.
  void WriteSingle(float Value);
  void WriteBoolean(bool Value);
  // EStreamError for text that is not well-formed UTF-8 (the reader would refuse it).
  void WriteString(std::string_view Value);
  // An identifier (enumeration value, handler name, True/False).
  void WriteIdent(std::string_view Value);
  template <class E>
  void WriteEnum(E Value) {
    WriteIdent(EnumName(Value));
  }
  template <class E, class S>
  void WriteSet(TSet<E, S> Value) {
    std::vector<std::string> names;
    for (int i = 0; i < EnumCount<E>(); ++i)
      if (Value.Contains(static_cast<E>(i))) names.push_back(EnumName(static_cast<E>(i)));
    WriteSetNames(names);
  }
  void WriteListBegin();
  void WriteListEnd();
  void WriteStrings(const TStrings& Lines);
  void WriteCollection(const TCollection& Collection);
  // The handler's name; EStreamError when it has none.
  template <class TEvent>
  void WriteHandler(const TEvent& Event) {
    const std::string name = HandlerName(Event);
    if (name.empty()) throw EStreamError("Cannot write an unnamed event handler");
    WriteIdent(name);
  }

  void DefineProperty(const std::string& Name, TReaderProc ReadData, TWriterProc WriteData,
                      bool HasData) override;

 private:
  friend class TReader;
  struct TDefined {
    std::string Name;
    TWriterProc Write;
    bool HasData;
  };
  TWriter() = default;  // buffer only (snapshots of defined properties)
  void WriteObject(TComponent* Component, int Level);
  void WriteProperties(TObject* Object, int Level);
  void WriteProperty(const std::string& Name, const TWriterProc& Write, int Level);
  void WriteToken(std::string_view Text);
  void WriteSetNames(const std::vector<std::string>& Names);
  void BeginValue();
  void Indent(int Level);

  TStream* FStream = nullptr;
  std::string FOut;
  std::vector<TDefined>* FDefined = nullptr;  // collects DefineProperty calls
  int FValueLevel = 0;                        // indentation of values inside lists
  int FListDepth = 0;
  int FTopValues = 0;  // top-level values written for the current property
  bool FEmptyList = false;
};

// Reads components from the text form above. A read is all or nothing: the whole text
// is parsed, every property is looked up and every value checked (without applying
// anything) before the first value is applied. Errors raise EReadError naming the
// property path ("Items[1].Name") and the line; the component is then unchanged. Should
// a setter fail while values are applied, the values applied so far are put back
// through their setters (snapshots), collections get their previous item objects back
// (with new IDs), and components created by the read are destroyed.
class TReader : public TFiler {
 public:
  explicit TReader(TStream& Stream, const THandlerTable* Handlers = nullptr);
  ~TReader() override;

  // Reads one "object ... end" block into Root (its class must match the text; a name
  // in the header renames Root, a header without one leaves the name alone) and leaves
  // the stream just after it. Named owned components in the text are matched
  // by name; those Root does not own yet are created from the registered classes.
  // Afterwards every component read has EndLoading (and so Loaded) called.
  void ReadRootComponent(TComponent* Root);

  // Value readers, for ReadData procedures of defined properties. Each takes the next
  // value and raises EReadError when it is not of the kind asked for.
  int ReadInteger() { return ReadIntegral<int>(); }
  std::int64_t ReadInt64() { return ReadIntegral<std::int64_t>(); }
  template <detail::Integer T>
  T ReadIntegral() {
    bool negative = false;
    std::uint64_t magnitude = 0;
    TakeInteger(negative, magnitude);
    bool fits;
    if (negative) {
      if constexpr (std::is_signed_v<T>)
        fits = magnitude <= static_cast<std::uint64_t>(std::numeric_limits<T>::max()) + 1u;
      else
        fits = magnitude == 0;
    } else {
      fits = magnitude <= static_cast<std::uint64_t>(std::numeric_limits<T>::max());
    }
    if (!fits) ValueError("integer out of range");
    T result = negative ? static_cast<T>(0 - magnitude) : static_cast<T>(magnitude);
    Finish();
    return result;
  }
  // Integers, decimal numbers, NAN, INF and -INF.
  double ReadFloat();
  // Also False/True identifiers in any letter case only.
  bool ReadBoolean();
  // Strings are UTF-8: the text is refused (EReadError) when a string's quoted bytes and
  // #n codes together are not well-formed UTF-8.
  std::string ReadString();
  std::string ReadIdent();
  template <class E>
  E ReadEnum() {
    const std::string name = TakeIdent("enumeration value");
    const int ordinal = EnumValue<E>(name);
    if (ordinal < 0) ValueError("'" + name + "' is not a valid enumeration value");
    Finish();
    return static_cast<E>(ordinal);
  }
  template <class TSetType>
  TSetType ReadSet() {
    using E = typename detail::TSetTraits<TSetType>::Enum;
    TSetType result;
    for (const std::string& name : TakeSetNames()) {
      const int ordinal = EnumValue<E>(name);
      if (ordinal < 0) ValueError("'" + name + "' is not a valid set element");
      result.Include(static_cast<E>(ordinal));
    }
    Finish();
    return result;
  }
  void ReadListBegin();
  bool EndOfList() const;
  void ReadListEnd();
  // A list of strings: "( 'a' 'b' )", or "()".
  std::vector<std::string> ReadStringList();
  // Replaces the collection's items by the items of the text.
  void ReadCollection(TCollection& Collection);
  // Skips the next value whatever its kind.
  void SkipValue();
  // The handler named by the next value, as NamedHandler(name, handler). EReadError
  // when the table has no such handler or it is of another event type.
  template <class TEvent>
  TEvent ReadHandler() {
    const std::string name = TakeIdent("handler name");
    const std::any* found = FHandlers ? FHandlers->Lookup(name) : nullptr;
    if (!found) ValueError("event handler '" + name + "' not found");
    const TEvent* handler = std::any_cast<TEvent>(found);
    if (!handler) ValueError("event handler '" + name + "' does not match the event's type");
    Finish();
    return NamedHandler(name, *handler);
  }

  // The path of the property being read ("Items[2].Name") and the line of its value.
  const std::string& PropertyPath() const;
  int Line() const;
  // Raises EReadError for the current property: "Error reading <path> at line <n>: What".
  [[noreturn]] void Error(const std::string& What) const;

  void DefineProperty(const std::string& Name, TReaderProc ReadData, TWriterProc WriteData,
                      bool HasData) override;

 private:
  struct TDefined {
    std::string Name;
    TReaderProc Read;
    TWriterProc Write;
  };
  struct TCursor {
    const detail::TValueNode* Value = nullptr;
    std::vector<std::pair<const detail::TValueNode*, std::size_t>> Lists;
    bool Taken = false;
    std::string Path;
    int Line = 0;
  };
  struct TUndo {
    std::function<void()> Undo;
    std::function<void()> Commit;
  };
  struct TLoaded {
    TComponent* Component;
    bool Created;
  };

  const detail::TValueNode& Take();
  void TakeInteger(bool& Negative, std::uint64_t& Magnitude);
  std::string TakeIdent(const char* Expected);
  std::vector<std::string> TakeSetNames();
  // Completes a value; while checking, stops the property's reader there.
  void Finish();
  [[noreturn]] void ValueError(const std::string& What) const;
  [[noreturn]] void KindError(const detail::TValueNode& Node, const char* Expected) const;

  void ReadObject(TComponent* Component, const detail::TObjectNode& Node, const std::string& Path);
  void ReadProperties(TObject* Object, const std::vector<detail::TPropNode>& Props, const std::string& Path);
  void ReadProperty(const TPropertyRegistry& Reg, const std::vector<TDefined>& Defined,
                    const detail::TPropNode& Prop, const std::string& Path);
  void AddUndo(std::function<void()> Undo, std::function<void()> Commit = {});
  void Rollback();

  TStream* FStream;
  const THandlerTable* FHandlers;
  bool FChecking = false;  // the checking pass: values are checked, nothing is applied
  int FNoUndo = 0;         // inside objects created by this read: nothing to undo
  TCursor FCursor;
  std::vector<TDefined>* FDefined = nullptr;
  std::vector<TUndo> FUndo;
  std::vector<TLoaded> FLoaded;
};

// Writes Component in the text form at the stream's position.
void WriteComponent(TStream& Stream, TComponent* Component);
// Reads one component text from the stream's position into Component (see TReader).
void ReadComponent(TStream& Stream, TComponent* Component, const THandlerTable* Handlers = nullptr);

// Classes of owned components that a reader may create, by class name (ASCII case
// ignored). Registering a name again replaces its factory.
using TComponentFactory = std::function<TComponent*(TComponent* Owner)>;
void RegisterComponentClass(const std::string& ClassName, TComponentFactory Factory);
// Registers T under T's ClassName(); T must be constructible from an owner pointer.
template <class T>
void RegisterComponentClass() {
  T probe(nullptr);
  RegisterComponentClass(probe.ClassName(), [](TComponent* Owner) -> TComponent* { return new T(Owner); });
}
// The factory registered for ClassName, or an empty function.
TComponentFactory FindComponentClass(std::string_view ClassName);

// --- TPropertyRegistry template members ---------------------------------------------

template <class F>
auto TPropertyRegistry::Bind(const std::string& Name, F Fn) const {
  if constexpr (std::is_member_function_pointer_v<F>) {
    using C = typename detail::TMemberClass<F>::Type;
    C* object = dynamic_cast<C*>(FInstance);
    if (!object) detail::BadAccessorClass(Name);
    return [object, Fn](auto&&... Args) -> decltype(auto) {
      return std::invoke(Fn, object, std::forward<decltype(Args)>(Args)...);
    };
  } else {
    return Fn;
  }
}

template <class T, class G, class S>
TPropertyInfo& TPropertyRegistry::Scalar(std::string Name, G Get, S Set, T Default,
                                         std::function<void(TWriter&, const T&)> Write,
                                         std::function<T(TReader&)> Read) {
  auto get = Bind(Name, Get);
  auto set = Bind(Name, Set);
  TPropertyInfo info;
  info.Name = std::move(Name);
  info.IsDefault = [get, Default] { return T(get()) == Default; };  // NaN never equals: always written
  info.Write = [get, Write](TWriter& W) { Write(W, T(get())); };
  info.Read = [set, Read](TReader& R) { set(Read(R)); };
  info.Snapshot = [get, set]() -> std::function<void()> {
    T old = get();
    return [set, old] { set(old); };
  };
  return Add(std::move(info));
}

template <class G, class S>
  requires detail::Integer<typename detail::TGetterTraits<G>::Type>
TPropertyInfo& TPropertyRegistry::Int(std::string Name, G Get, S Set,
                                      typename detail::TGetterTraits<G>::Type Default) {
  using T = typename detail::TGetterTraits<G>::Type;
  return Scalar<T>(std::move(Name), Get, Set, Default,
                   [](TWriter& W, const T& v) { W.WriteInteger(v); },
                   [](TReader& R) { return R.ReadIntegral<T>(); });
}

template <class G, class S>
  requires std::floating_point<typename detail::TGetterTraits<G>::Type>
TPropertyInfo& TPropertyRegistry::Float(std::string Name, G Get, S Set,
                                        typename detail::TGetterTraits<G>::Type Default) {
  using T = typename detail::TGetterTraits<G>::Type;
  return Scalar<T>(std::move(Name), Get, Set, Default,
                   [](TWriter& W, const T& v) {
                     if constexpr (std::is_same_v<T, float>) W.WriteSingle(v);
                     else W.WriteFloat(static_cast<double>(v));
                   },
                   [](TReader& R) { return static_cast<T>(R.ReadFloat()); });
}

TPropertyInfo& TPropertyRegistry::Bool(std::string Name, auto Get, auto Set, bool Default) {
  return Scalar<bool>(std::move(Name), Get, Set, Default,
                      [](TWriter& W, const bool& v) { W.WriteBoolean(v); },
                      [](TReader& R) { return R.ReadBoolean(); });
}

template <class G, class S>
  requires std::is_enum_v<typename detail::TGetterTraits<G>::Type>
TPropertyInfo& TPropertyRegistry::Enum(std::string Name, G Get, S Set,
                                       typename detail::TGetterTraits<G>::Type Default) {
  using E = typename detail::TGetterTraits<G>::Type;
  return Scalar<E>(std::move(Name), Get, Set, Default,
                   [](TWriter& W, const E& v) { W.WriteEnum(v); },
                   [](TReader& R) { return R.ReadEnum<E>(); });
}

template <class G, class S>
  requires detail::TSetTraits<typename detail::TGetterTraits<G>::Type>::value
TPropertyInfo& TPropertyRegistry::Set(std::string Name, G Get, S Set,
                                      typename detail::TGetterTraits<G>::Type Default) {
  using T = typename detail::TGetterTraits<G>::Type;
  return Scalar<T>(std::move(Name), Get, Set, Default,
                   [](TWriter& W, const T& v) { W.WriteSet(v); },
                   [](TReader& R) { return R.ReadSet<T>(); });
}

TPropertyInfo& TPropertyRegistry::String(std::string Name, auto Get, auto Set, std::string Default) {
  return Scalar<std::string>(std::move(Name), Get, Set, std::move(Default),
                             [](TWriter& W, const std::string& v) { W.WriteString(v); },
                             [](TReader& R) { return R.ReadString(); });
}

TPropertyInfo& TPropertyRegistry::Strings(std::string Name, auto Get) {
  auto get = Bind(Name, Get);
  auto list = [get]() -> TStrings* { return const_cast<TStrings*>(detail::StringsPointer(get())); };
  return Strings(std::move(Name), Get, [list](const TStrings* Value) { list()->Assign(Value); });
}

TPropertyInfo& TPropertyRegistry::Strings(std::string Name, auto Get, auto Set) {
  auto get = Bind(Name, Get);
  auto set = Bind(Name, Set);
  auto list = [get]() -> const TStrings* { return detail::StringsPointer(get()); };
  auto apply = [set](const TStrings* Value) {
    if constexpr (std::is_invocable_v<decltype(set)&, const TStrings*>) set(Value);
    else set(*Value);
  };
  TPropertyInfo info;
  info.Name = std::move(Name);
  info.IsDefault = [list] { return list()->Count() == 0; };
  info.Write = [list](TWriter& W) { W.WriteStrings(*list()); };
  info.Read = [apply](TReader& R) {
    TStringList lines;
    for (std::string& line : R.ReadStringList()) lines.Add(line);
    apply(&lines);
  };
  info.Snapshot = [list, apply]() -> std::function<void()> {
    auto old = std::make_shared<TStringList>();
    old->Assign(list());
    return [old, apply] { apply(old.get()); };
  };
  return Add(std::move(info));
}

TPropertyInfo& TPropertyRegistry::Collection(std::string Name, auto Get) {
  auto get = Bind(Name, Get);
  auto collection = [get]() -> TCollection* {
    decltype(auto) value = get();
    if constexpr (std::is_pointer_v<std::decay_t<decltype(value)>>) return value;
    else return &value;
  };
  TPropertyInfo info;
  info.Name = std::move(Name);
  info.Write = [collection](TWriter& W) { W.WriteCollection(*collection()); };
  info.Read = [collection](TReader& R) { R.ReadCollection(*collection()); };
  return Add(std::move(info));  // the reader keeps the previous items itself
}

TPropertyInfo& TPropertyRegistry::Event(std::string Name, auto Get, auto Set) {
  auto get = Bind(Name, Get);
  auto set = Bind(Name, Set);
  using TEvent = std::decay_t<decltype(get())>;
  static_assert(detail::TIsStdFunction<TEvent>::value, "an event property holds a std::function");
  TPropertyInfo info;
  info.Name = std::move(Name);
  info.IsDefault = [get] { return HandlerName(TEvent(get())).empty(); };
  info.Write = [get](TWriter& W) { W.WriteHandler(TEvent(get())); };
  info.Read = [set](TReader& R) { set(R.ReadHandler<TEvent>()); };
  info.Snapshot = [get, set]() -> std::function<void()> {
    TEvent old = get();
    return [set, old] { set(old); };
  };
  return Add(std::move(info));
}

}  // namespace evokit
