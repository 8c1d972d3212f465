// Genetic programming: instructions, program trees, execution contexts, the concrete
// float, binary and variant classes, the GP domain documents, the evolution of program
// trees (individuals, populations and the generic GP component with its persistence),
// the program executor, the components applications use, and symbolic regression:
// standard float primitives, data tables, batch evaluation, fitness and coefficient
// fitting.
#pragma once

#include <evokit/gp/program.h>
#include <evokit/gp/float_variant_programs.h>
#include <evokit/gp/gp_document.h>
#include <evokit/gp/gp_individual.h>
#include <evokit/gp/bloat.h>
#include <evokit/gp/genetic_programming.h>
#include <evokit/gp/primitives.h>
#include <evokit/gp/data_table.h>
#include <evokit/gp/batch.h>
#include <evokit/gp/regression.h>
#include <evokit/gp/coefficients.h>
#include <evokit/gp/executor.h>
#include <evokit/gp/gp_components.h>
