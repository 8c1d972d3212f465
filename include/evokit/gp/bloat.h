// What each bloat strategy of the GP component does: the table GPBloatRules gives, per
// TGPBloatStrategy, what it measures of a program, what it does with the measure and which
// settings it reads. The component's hooks (genetic_programming.impl.h) act on the rule of
// the current strategy; they never name a strategy.
// Thread safety: the table is immutable.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include <evokit/core/consts.h>
#include <evokit/platform/enums.h>

namespace evokit {

// What a strategy measures of a program: nothing, its size (nodes) or its depth (edges).
enum TGPBloatMeasure { bmNone, bmSize, bmDepth };
EVOKIT_ENUM_NAMES(TGPBloatMeasure, "bmNone", "bmSize", "bmDepth");

// What a strategy does with the measure, and where. "Above" means strictly greater.
enum TGPBloatAction {
  baNone,                // nothing
  baRevertChild,         // after reproduction, a changed child above BloatLimit becomes a copy of
                         // its parent; a depth limit also caps the regrowth depth of subtree and
                         // replacement mutation at BloatLimit
  baShrinkChild,         // after reproduction, a child above BloatLimit gets one shrink mutation
  baHoistChild,          // after reproduction, a child above BloatLimit gets one hoist mutation
  baTarpeian,            // fitness evaluation: a program above the population's average is unfit
                         // with TarpeianProbability, without asking the fitness handler
  baUnfit,               // fitness evaluation: a program above BloatLimit is unfit, unasked
  baFairCrossover,       // crossover takes a donor subtree whose measure is close to the replaced one's
  baParsimony,           // weighted fitness: a penalty of ParsimonyCoefficient times the measure
  baCovariantParsimony,  // as baParsimony, after the weighted statistics set the coefficient to
                         // Cov(measure, fitness) / Var(measure) over the population
  baLexicographic,       // tournament: of two equally fit contestants the smaller measure wins
};
EVOKIT_ENUM_NAMES(TGPBloatAction, "baNone", "baRevertChild", "baShrinkChild", "baHoistChild", "baTarpeian",
                  "baUnfit", "baFairCrossover", "baParsimony", "baCovariantParsimony", "baLexicographic");

// The numeric settings a strategy may read.
enum TGPBloatSetting { bpBloatLimit, bpTarpeianProbability, bpParsimonyCoefficient };
EVOKIT_ENUM_NAMES(TGPBloatSetting, "bpBloatLimit", "bpTarpeianProbability", "bpParsimonyCoefficient");
using TGPBloatSettings = TSet<TGPBloatSetting, std::uint8_t>;

struct TGPBloatRule {
  TGPBloatStrategy Strategy;
  TGPBloatMeasure Measure;
  TGPBloatAction Action;
  TGPBloatSettings Reads;
};

// One row per TGPBloatStrategy, in enumeration order. A new strategy is an enumeration
// value with its name and a row here; a new kind of action also needs its place in the
// hook that carries it out.
inline constexpr auto GPBloatRules = std::to_array<TGPBloatRule>({
    {bsNone, bmNone, baNone, {}},
    {bsSizeLimit, bmSize, baRevertChild, {bpBloatLimit}},
    {bsDepthLimit, bmDepth, baRevertChild, {bpBloatLimit}},
    {bsTarpeianSize, bmSize, baTarpeian, {bpTarpeianProbability}},
    {bsTarpeianDepth, bmDepth, baTarpeian, {bpTarpeianProbability}},
    {bsUnfitSize, bmSize, baUnfit, {bpBloatLimit}},
    {bsUnfitDepth, bmDepth, baUnfit, {bpBloatLimit}},
    {bsShrinkDepth, bmDepth, baShrinkChild, {bpBloatLimit}},
    {bsShrinkSize, bmSize, baShrinkChild, {bpBloatLimit}},
    {bsHoistDepth, bmDepth, baHoistChild, {bpBloatLimit}},
    {bsHoistSize, bmSize, baHoistChild, {bpBloatLimit}},
    {bsSizeFairCrossover, bmSize, baFairCrossover, {}},
    {bsDepthFairCrossover, bmDepth, baFairCrossover, {}},
    {bsSizeParsimonyPressure, bmSize, baParsimony, {bpParsimonyCoefficient}},
    {bsDepthParsimonyPressure, bmDepth, baParsimony, {bpParsimonyCoefficient}},
    // These two set ParsimonyCoefficient themselves, every generation before it is used.
    {bsCovariantSizeParsimonyPressure, bmSize, baCovariantParsimony, {}},
    {bsCovariantDepthParsimonyPressure, bmDepth, baCovariantParsimony, {}},
    {bsLexicographicParsimonyPressure, bmSize, baLexicographic, {}},
});

namespace detail {
// Only bsNone measures nothing and does nothing.
constexpr bool BloatRulesFit() {
  for (const TGPBloatRule& rule : GPBloatRules)
    if ((rule.Strategy == bsNone) != (rule.Measure == bmNone) || (rule.Strategy == bsNone) != (rule.Action == baNone))
      return false;
  return true;
}
}  // namespace detail
static_assert(EnumTableInOrder(GPBloatRules, &TGPBloatRule::Strategy), "one rule per TGPBloatStrategy");
static_assert(detail::BloatRulesFit(), "only bsNone measures nothing and does nothing");

}  // namespace evokit
