#include <evokit/core/limits.h>

#include <atomic>
#include <string>

#include <evokit/common/encoded_bits.h>
#include <evokit/core/consts.h>
#include <evokit/platform/exceptions.h>

namespace evokit {

namespace {

const TMXLimits kDefaults;
std::atomic<std::int32_t> gMaxPopulation{kDefaults.MaxPopulation};
std::atomic<std::int32_t> gMaxGeneSize{kDefaults.MaxGeneSize};
std::atomic<std::int64_t> gMaxPopulationBits{kDefaults.MaxPopulationBits};
std::atomic<std::int32_t> gMaxDuplicatesRetries{kDefaults.MaxDuplicatesRetries};

}  // namespace

TMXLimits Limits() noexcept {
  return {gMaxPopulation.load(std::memory_order_relaxed), gMaxGeneSize.load(std::memory_order_relaxed),
          gMaxPopulationBits.load(std::memory_order_relaxed), gMaxDuplicatesRetries.load(std::memory_order_relaxed)};
}

void SetLimits(const TMXLimits& Value) {
  if (Value.MaxPopulation < 1 || Value.MaxGeneSize < 1 || Value.MaxPopulationBits < 1 ||
      Value.MaxDuplicatesRetries < 1)
    throw EArgumentOutOfRangeException("Every limit must be at least 1");
  if (Value.MaxGeneSize > TMXEncodedBits::MaxSize)
    throw EArgumentOutOfRangeException("MaxGeneSize cannot exceed " + std::to_string(TMXEncodedBits::MaxSize));
  gMaxPopulation.store(Value.MaxPopulation, std::memory_order_relaxed);
  gMaxGeneSize.store(Value.MaxGeneSize, std::memory_order_relaxed);
  gMaxPopulationBits.store(Value.MaxPopulationBits, std::memory_order_relaxed);
  gMaxDuplicatesRetries.store(Value.MaxDuplicatesRetries, std::memory_order_relaxed);
}

void CheckLimit(const char* What, std::int64_t Value, std::int64_t Limit) {
  if (Value > Limit)
    throw EGAException(std::string(What) + " of " + std::to_string(Value) + " exceeds the limit of " +
                       std::to_string(Limit));
}

}  // namespace evokit
