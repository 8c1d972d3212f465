// The whole public API of evokit.
#pragma once

#include <evokit/platform/platform.h>
#include <evokit/common/common.h>
#include <evokit/core/core.h>
#include <evokit/ga/ga.h>
#include <evokit/gp/gp.h>
