#include <evokit/platform/object.h>

namespace evokit {

void TPersistent::Assign(const TPersistent* Source) {
  if (Source != nullptr) {
    Source->AssignTo(this);
    return;
  }
  AssignError(nullptr);
}

void TPersistent::AssignTo(TPersistent* Dest) const { Dest->AssignError(this); }

void TPersistent::AssignError(const TPersistent* Source) const {
  const std::string source = Source ? Source->ClassName() : std::string("nil");
  throw EConvertError("Cannot assign a " + source + " to a " + ClassName());
}

}  // namespace evokit
