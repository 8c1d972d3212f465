// The companion module: base exception, float priority queue, encoded bit strings.
#pragma once

#include <evokit/common/encoded_bits.h>
#include <evokit/common/exception.h>
#include <evokit/common/float_priority_queue.h>
