// The genetic algorithm: gene definitions, chromosomes, GA individuals and populations,
// and the GA component, with the GA document bindings.
#pragma once

#include <evokit/ga/chromosome.h>
#include <evokit/ga/ga_document.h>
#include <evokit/ga/genes.h>
#include <evokit/ga/genetic_algorithm.h>
