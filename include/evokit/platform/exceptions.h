// Exception hierarchy of the runtime layer. Every error the library raises derives
// from evokit::Exception, which carries one message text.
// Thread safety: exception objects are immutable once constructed.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace evokit {

// Base of every exception thrown by evokit. what() and Message() return the same text.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : FMessage(std::move(message)) {}
  const char* what() const noexcept override { return FMessage.c_str(); }
  const std::string& Message() const noexcept { return FMessage; }
  virtual const char* ClassName() const noexcept { return "Exception"; }

 private:
  std::string FMessage;
};

#define EVOKIT_DECLARE_EXCEPTION(Name, Base)                              \
  class Name : public Base {                                              \
   public:                                                                \
    using Base::Base;                                                     \
    const char* ClassName() const noexcept override { return #Name; }    \
  }

// Index out of range, duplicate or missing key in a list or dictionary.
EVOKIT_DECLARE_EXCEPTION(EListError, Exception);
// An argument outside its allowed range.
EVOKIT_DECLARE_EXCEPTION(EArgumentOutOfRangeException, Exception);
// Text that does not convert, or an impossible Assign.
EVOKIT_DECLARE_EXCEPTION(EConvertError, Exception);
// A cast between incompatible object types.
EVOKIT_DECLARE_EXCEPTION(EInvalidCast, Exception);
// A Variant whose value cannot be converted to the requested type.
EVOKIT_DECLARE_EXCEPTION(EVariantTypeCastError, Exception);
// Stream errors: reading past the end, seeking outside the data.
EVOKIT_DECLARE_EXCEPTION(EStreamError, Exception);
// A file that cannot be opened for reading.
EVOKIT_DECLARE_EXCEPTION(EFOpenError, EStreamError);
// A file that cannot be created or written.
EVOKIT_DECLARE_EXCEPTION(EFCreateError, EStreamError);
// Malformed or unusable XML; the message says what and where.
EVOKIT_DECLARE_EXCEPTION(EXMLDocError, Exception);
// Invalid or duplicate component names.
EVOKIT_DECLARE_EXCEPTION(EComponentError, Exception);
// Component text (WriteComponent/ReadComponent) that cannot be read.
EVOKIT_DECLARE_EXCEPTION(EReadError, EStreamError);

}  // namespace evokit
