// Genetic programming: instructions, program trees, execution contexts, the concrete
// float, binary and variant classes, the GP domain documents, and the evolution of
// program trees (individuals, populations and the generic GP component with its
// persistence), the program executor, and the components applications use.
#pragma once

#include <evokit/gp/engine.h>
#include <evokit/gp/float_variant_classes.h>
#include <evokit/gp/gp_document.h>
#include <evokit/gp/gp_individual.h>
#include <evokit/gp/genetic_programming.h>
#include <evokit/gp/executor.h>
#include <evokit/gp/gp_components.h>
