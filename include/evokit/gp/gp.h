// Genetic programming: instructions, program trees, execution contexts, the concrete
// float, binary and variant classes and the GP domain documents.
#pragma once

#include <evokit/gp/engine.h>
#include <evokit/gp/float_variant_classes.h>
#include <evokit/gp/gp_document.h>
