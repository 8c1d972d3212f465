#include <evokit/gp/gp_individual.h>

namespace evokit {

// The individual and population for both value types, compiled once here.
template class TMXGPIndividual<double>;
template class TMXGPIndividual<Variant>;
template class TMXGPPopulation<double>;
template class TMXGPPopulation<Variant>;

}  // namespace evokit
