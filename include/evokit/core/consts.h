// The shared vocabulary of the evolution components: value aliases, every
// enumeration with its name table, the set types, the default constants, the message
// table (replaceable for translation) and the exception classes EGAException and
// EGPException.
// Thread safety: constants and name tables are immutable; the message table may be
// replaced from one thread while others raise errors.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <evokit/common/mx_exception.h>
#include <evokit/platform/convert.h>
#include <evokit/platform/enums.h>

namespace evokit {

using TGAFloat = double;
using TGAFitness = double;
using TGAProbability = double;
using TGAFitnessArray = std::vector<TGAFitness>;
using TGAProbabilityArray = std::vector<TGAProbability>;
using TGAProbabilityTable = std::vector<TGAProbabilityArray>;
using TIntegerArray = std::vector<std::int32_t>;

enum TGeneType { gtUnknown, gtBoolean, gtInteger, gtFloat, gtEnumeration };
EVOKIT_ENUM_NAMES(TGeneType, "gtUnknown", "gtBoolean", "gtInteger", "gtFloat", "gtEnumeration");

// cmSimulatedBinary crosses numeric genes as real numbers (simulated binary crossover)
// instead of cutting the bit string.
enum TGACrossoverMethod {
  cmGeneBoundary, cmBitBoundary, cmByteBoundary, cmWordBoundary, cmLongwordBoundary, cmSimulatedBinary
};
EVOKIT_ENUM_NAMES(TGACrossoverMethod, "cmGeneBoundary", "cmBitBoundary", "cmByteBoundary", "cmWordBoundary",
                  "cmLongwordBoundary", "cmSimulatedBinary");

// How the GA mutates a chromosome: gmBitFlip flips bits, gmPolynomial moves numeric
// genes by polynomial mutation (other genes still flip bits).
enum TGAMutationMethod { gmBitFlip, gmPolynomial };
EVOKIT_ENUM_NAMES(TGAMutationMethod, "gmBitFlip", "gmPolynomial");

enum TGAFitnessMethod { fmMinimize, fmMaximize, fmWeightedMinimize, fmWeightedMaximize };
EVOKIT_ENUM_NAMES(TGAFitnessMethod, "fmMinimize", "fmMaximize", "fmWeightedMinimize", "fmWeightedMaximize");

// smNSGA2 is non-dominated sorting selection: parents by binary tournament on (Pareto
// rank, crowding distance), survivors by rank and crowding among parents and children.
enum TGASelectionMethod { smRoulette, smRandom, smTournament, smStochasticTournament, smElitist, smCustom, smNSGA2 };
EVOKIT_ENUM_NAMES(TGASelectionMethod, "smRoulette", "smRandom", "smTournament", "smStochasticTournament",
                  "smElitist", "smCustom", "smNSGA2");

// The direction of one objective of a multi-objective run.
enum TGAObjectiveSense { osMinimize, osMaximize };
EVOKIT_ENUM_NAMES(TGAObjectiveSense, "osMinimize", "osMaximize");

enum TGAGeneticOperation { goCrossover, goMutate, goInvert };
EVOKIT_ENUM_NAMES(TGAGeneticOperation, "goCrossover", "goMutate", "goInvert");
using TGAGeneticOperations = TSet<TGAGeneticOperation, std::uint8_t>;

enum TExecutionState {
  esInitializing, esInitialized, esEncoding, esEncoded, esExecuting,
  esInvalidOperation, esInvalidState, esError, esFinishing, esFinished
};
EVOKIT_ENUM_NAMES(TExecutionState, "esInitializing", "esInitialized", "esEncoding", "esEncoded", "esExecuting",
                  "esInvalidOperation", "esInvalidState", "esError", "esFinishing", "esFinished");
using TExecutionStates = TSet<TExecutionState, std::uint16_t>;

enum TExecutionLimit { elNumberOfSteps, elNumberOfMilliseconds, elNone };
EVOKIT_ENUM_NAMES(TExecutionLimit, "elNumberOfSteps", "elNumberOfMilliseconds", "elNone");

enum TGPGeneticInstruction { gpVariable, gpConstant, gpFunction };
EVOKIT_ENUM_NAMES(TGPGeneticInstruction, "gpVariable", "gpConstant", "gpFunction");
using TGPGeneticInstructions = TSet<TGPGeneticInstruction, std::uint8_t>;

// The GP crossover enumeration has one value. Its name clashes with no GA value
// because the GA's values are cmGeneBoundary..cmSimulatedBinary.
enum TGPCrossoverMethod { cmSubtree };
EVOKIT_ENUM_NAMES(TGPCrossoverMethod, "cmSubtree");

enum TGPMutationMethod { mmSubtree, mmReplacement, mmConstant, mmShrink, mmHoist, mmPoint };
EVOKIT_ENUM_NAMES(TGPMutationMethod, "mmSubtree", "mmReplacement", "mmConstant", "mmShrink", "mmHoist", "mmPoint");

enum TGPPointMutationMethod { pmmPerNode, pmmPerTree };
EVOKIT_ENUM_NAMES(TGPPointMutationMethod, "pmmPerNode", "pmmPerTree");

enum TGPBloatStrategy {
  bsNone, bsSizeLimit, bsDepthLimit, bsTarpeianSize, bsTarpeianDepth, bsUnfitSize, bsUnfitDepth,
  bsShrinkDepth, bsShrinkSize, bsHoistDepth, bsHoistSize, bsSizeFairCrossover, bsDepthFairCrossover,
  bsSizeParsimonyPressure, bsDepthParsimonyPressure, bsCovariantSizeParsimonyPressure,
  bsCovariantDepthParsimonyPressure, bsLexicographicParsimonyPressure
};
EVOKIT_ENUM_NAMES(TGPBloatStrategy, "bsNone", "bsSizeLimit", "bsDepthLimit", "bsTarpeianSize", "bsTarpeianDepth",
                  "bsUnfitSize", "bsUnfitDepth", "bsShrinkDepth", "bsShrinkSize", "bsHoistDepth", "bsHoistSize",
                  "bsSizeFairCrossover", "bsDepthFairCrossover", "bsSizeParsimonyPressure",
                  "bsDepthParsimonyPressure", "bsCovariantSizeParsimonyPressure",
                  "bsCovariantDepthParsimonyPressure", "bsLexicographicParsimonyPressure");

enum TGPInitializationMethod { imFull, imGrow, imRampedFull, imRampedGrow, imHalfAndHalf, imRampedHalfAndHalf };
EVOKIT_ENUM_NAMES(TGPInitializationMethod, "imFull", "imGrow", "imRampedFull", "imRampedGrow", "imHalfAndHalf",
                  "imRampedHalfAndHalf");

// Relative weights of the GP mutation methods, indexed by TGPMutationMethod.
using TGPMutationMethodWeights = std::array<std::int8_t, EnumCount<TGPMutationMethod>()>;

inline constexpr double CROSSOVER_PROBABILITY = 0.98;
inline constexpr double GP_CROSSOVER_PROBABILITY = 0.9;
inline constexpr double DEFAULT_ELITIST_PCT = 0.1;
inline constexpr double DEFAULT_FITNESS_CUTOFF = 1.0;
inline constexpr double DEFAULT_DIVERSITY_LIMIT = 0.02;
inline constexpr double MUTATION_PROBABILITY = 0.01;
inline constexpr double INVERSION_PROBABILITY = 0.1;
inline constexpr double NONTERMINALS_SELECTION_PROBABILITY = 0.9;
inline constexpr double DEFAULT_PARSIMONY_COEFFICIENT = 1.0;
inline constexpr double DEFAULT_TARPEIAN_PROBABILITY = 0.3;
inline constexpr double DEFAULT_ADAPTION_SAMPLE_SIZE = 0.25;
// Distribution index of the GA's simulated binary crossover and polynomial mutation.
inline constexpr double DEFAULT_DISTRIBUTION_INDEX = 20.0;
// Defaults of the evolution core's other settings: the constructor applies them and
// component streaming leaves a value equal to them unwritten.
inline constexpr int DEFAULT_INITIAL_POPULATION = 100;
inline constexpr int DEFAULT_INITIAL_DUPLICATES_RETRIES = 10;
inline constexpr int DEFAULT_TOURNAMENT_FIELD = 2;
// The most objectives a multi-objective run may have.
inline constexpr int MAX_OBJECTIVES = 64;
inline constexpr TGASelectionMethod DEFAULT_SELECTION_METHOD = smStochasticTournament;
inline constexpr TGAFitnessMethod DEFAULT_FITNESS_METHOD = fmMinimize;
inline constexpr TGAGeneticOperations DEFAULT_OPERATIONS{goCrossover, goMutate, goInvert};
inline constexpr TExecutionStates FinishedStates{esInvalidOperation, esInvalidState, esError, esFinishing,
                                                 esFinished};
inline constexpr TGPMutationMethodWeights DefaultMutationWeights{25, 0, 0, 25, 25, 0};

// Identifiers of the user-visible messages. The texts are looked up when an error is
// raised, so a translation installed with SetResString takes effect at once.
enum TMXMessageId {
  _SNoFitnessFunction,
  _SNoSelectionFunction,
  _SNoConstantMutation,
  _SNoEnumerationFound,
  _SValueNotEnumeration,
  _SInstructionNotUnique,
  _SUnknownInstruction,
  _SInvalidInstructionIndex,
  _SInvalidNumInstructionArgs,
  _SMissingVirtualMachine,
  _SMissingGeneticProgram,
  _SInvalidOperationCode,
  _SNoTerminalsFound,
  _SNoOperationsFound,
  _SNoInstructionsFound,
  _SNoInstructionAssigned,
  _SNodeFull,
  _SInvalidTerminalNode,
};
inline constexpr int MXMessageCount = _SInvalidTerminalNode + 1;

// The current text of a message (the built-in English text unless replaced).
std::string LoadResString(TMXMessageId Id);
// Replaces the text of a message, e.g. with a translation. Placeholders (%s, %d, %i)
// must stay in the same order.
void SetResString(TMXMessageId Id, const std::string& Text);
// Restores every built-in text.
void ResetResStrings();

EVOKIT_DECLARE_EXCEPTION(EGAException, EMXException);
EVOKIT_DECLARE_EXCEPTION(EGPException, EGAException);

// Throws E with the current text of Id, formatted with Args.
template <class E, class... A>
[[noreturn]] void RaiseMessage(TMXMessageId Id, const A&... Args) {
  if constexpr (sizeof...(A) == 0) throw E(LoadResString(Id));
  else throw E(Format(LoadResString(Id), Args...));
}

}  // namespace evokit
