// Base exception of the companion module; the evolution exceptions derive from it.
#pragma once

#include <evokit/platform/exceptions.h>

namespace evokit {

EVOKIT_DECLARE_EXCEPTION(EMXException, Exception);

}  // namespace evokit
