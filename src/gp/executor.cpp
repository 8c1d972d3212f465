#include <evokit/gp/executor.h>

namespace evokit {

// The executor for both value types, compiled once here.
template class TMXCustomGeneticProgrammingExecutor<double>;
template class TMXCustomGeneticProgrammingExecutor<Variant>;

}  // namespace evokit
