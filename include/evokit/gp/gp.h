// Genetic programming: instructions, program trees, execution contexts, the concrete
// float, binary and variant classes and the GP domain documents.
#pragma once

#include <evokit/gp/concrete.h>
#include <evokit/gp/domain_xml.h>
#include <evokit/gp/engine.h>
