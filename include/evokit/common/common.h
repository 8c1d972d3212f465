// The companion module: base exception, float priority queue, encoded bit strings.
#pragma once

#include <evokit/common/exception.h>
