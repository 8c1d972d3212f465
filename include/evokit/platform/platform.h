// The runtime layer: objects, components, collections, text, streams, random source,
// parallel loop, XML and component streaming.
#pragma once

#include <evokit/platform/bits.h>
#include <evokit/platform/collection.h>
#include <evokit/platform/component.h>
#include <evokit/platform/convert.h>
#include <evokit/platform/exceptions.h>
#include <evokit/platform/filer.h>
#include <evokit/platform/object.h>
#include <evokit/platform/parallel.h>
#include <evokit/platform/random.h>
#include <evokit/platform/streams.h>
#include <evokit/platform/strings.h>
#include <evokit/platform/enums.h>
#include <evokit/platform/variant.h>
#include <evokit/platform/xml.h>
