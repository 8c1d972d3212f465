// Upper bounds on the sizes that settings may ask for, whether they come from code, a
// document or component text. A setting beyond a bound raises EGAException before
// anything is allocated or changed, so a hostile or mistyped file fails at once with a
// clear message instead of exhausting memory or time.
//
// The bounds are process-wide. An application that needs more raises them once at
// start-up with SetLimits; reads and writes are atomic, so components on other threads
// see either the old or the new value of each bound, never a torn one.
#pragma once

#include <cstdint>

namespace evokit {

struct TMXLimits {
  // InitialPopulation, and the number of individuals a document may hold.
  std::int32_t MaxPopulation = 10'000'000;
  // A gene's Size, the genes' total and GeneSize, in bits. At most
  // TMXEncodedBits::MaxSize (2^30 bits).
  std::int32_t MaxGeneSize = 1 << 24;
  // The bits of a whole population (individuals times GeneSize) that Initialize may
  // create or a document may load: 2^33 bits are 1 GiB of chromosomes.
  std::int64_t MaxPopulationBits = std::int64_t{1} << 33;
  // InitialDuplicatesRetries.
  std::int32_t MaxDuplicatesRetries = 1'000'000;
};

// The bounds in force (the defaults above unless changed).
TMXLimits Limits() noexcept;
// Replaces every bound. A bound below 1, or a MaxGeneSize above 2^30, raises
// EArgumentOutOfRangeException and changes nothing.
void SetLimits(const TMXLimits& Value);

// Raises EGAException "<What> of <Value> exceeds the limit of <Limit>" when Value > Limit.
void CheckLimit(const char* What, std::int64_t Value, std::int64_t Limit);

}  // namespace evokit
