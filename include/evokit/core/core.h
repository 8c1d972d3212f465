// The evolution core: vocabulary, individuals, populations and the genetic component,
// with the GeneticDocument settings bindings.
#pragma once

#include <evokit/core/consts.h>
#include <evokit/core/genetic_component.h>
#include <evokit/core/genetic_document.h>
#include <evokit/core/individual.h>
#include <evokit/core/limits.h>
#include <evokit/core/pareto.h>
