// The companion module: base exception, hash dictionary, float priority queue, encoded
// bit strings.
#pragma once

#include <evokit/common/dictionary.h>
#include <evokit/common/encoded_bits.h>
#include <evokit/common/float_priority_queue.h>
#include <evokit/common/mx_exception.h>
