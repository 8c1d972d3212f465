#include <evokit/core/consts.h>

#include <gtest/gtest.h>

using namespace evokit;

TEST(Vocabulary, EnumerationNamesConvertBothWays) {
  EXPECT_EQ(EnumValue<TGAFitnessMethod>("fmWeightedMaximize"), 3);
  EXPECT_EQ(EnumValue<TGAFitnessMethod>("fmNothing"), -1);
  EXPECT_EQ(EnumValue<TGAFitnessMethod>(""), -1);
  EXPECT_EQ(EnumName(smStochasticTournament), "smStochasticTournament");
  EXPECT_EQ(EnumName(bsLexicographicParsimonyPressure), "bsLexicographicParsimonyPressure");
  EXPECT_EQ(EnumCount<TGPBloatStrategy>(), 18);
  EXPECT_EQ(EnumCount<TGPInitializationMethod>(), 6);
  // Every name of every enumeration reads back to its own ordinal.
  auto roundTrips = []<class E>(E) {
    for (int i = 0; i < EnumCount<E>(); ++i)
      if (EnumValue<E>(EnumName(static_cast<E>(i))) != i) return false;
    return true;
  };
  EXPECT_TRUE(roundTrips(gtUnknown));
  EXPECT_TRUE(roundTrips(cmGeneBoundary));
  EXPECT_TRUE(roundTrips(esFinished));
  EXPECT_TRUE(roundTrips(mmPoint));
  EXPECT_TRUE(roundTrips(bsNone));
  TGASelectionMethod method = smRoulette;
  EXPECT_FALSE(TryEnumValue("smNone", method));
  EXPECT_EQ(method, smRoulette);
  EXPECT_TRUE(TryEnumValue("smElitist", method));
  EXPECT_EQ(method, smElitist);
}

TEST(Vocabulary, SetsHaveTheBitValuesAndTextForms) {
  const TGAGeneticOperations all{goCrossover, goMutate, goInvert};
  EXPECT_EQ(all.Value(), 7);
  EXPECT_EQ(FinishedStates.Value(), 0x03E0);
  EXPECT_TRUE(FinishedStates.Contains(esFinished));
  EXPECT_TRUE(FinishedStates.Contains(esInvalidOperation));
  EXPECT_FALSE(FinishedStates.Contains(esExecuting));
  TGAGeneticOperations ops = all;
  ops.Exclude(goMutate);
  EXPECT_EQ(ops.Value(), 5);
  EXPECT_EQ(SetToString(ops), "[goCrossover,goInvert]");
  TGAGeneticOperations read;
  ASSERT_TRUE(TryStringToSet("[goCrossover, goInvert]", read));
  EXPECT_EQ(read, ops);
  ASSERT_TRUE(TryStringToSet("[]", read));
  EXPECT_TRUE(read.Empty());
  EXPECT_FALSE(TryStringToSet("[goCrossover,goFly]", read));
  EXPECT_TRUE(read.Empty());
}

TEST(Vocabulary, DefaultMutationWeightsAndConstants) {
  EXPECT_EQ(DefaultMutationWeights[mmSubtree], 25);
  EXPECT_EQ(DefaultMutationWeights[mmReplacement], 0);
  EXPECT_EQ(DefaultMutationWeights[mmShrink], 25);
  EXPECT_EQ(DefaultMutationWeights[mmHoist], 25);
  EXPECT_EQ(DefaultMutationWeights[mmPoint], 0);
}

TEST(Vocabulary, GPErrorsAreGAErrorsAndMessagesAreFormattedWhenRaised) {
  try {
    RaiseMessage<EGPException>(_SInvalidNumInstructionArgs, 3, "add");
    FAIL();
  } catch (const EGAException& e) {
    EXPECT_STREQ(e.what(), "Invalid number of arguments (3) for \"add\" instruction");
    EXPECT_NE(dynamic_cast<const EGPException*>(&e), nullptr);
  }
  try {
    RaiseMessage<EGAException>(_SValueNotEnumeration, "Purple");
    FAIL();
  } catch (const EMXException& e) {
    EXPECT_STREQ(e.what(), "\"Purple\" is not a valid enumerated value");
  }
  EXPECT_EQ(LoadResString(_SInvalidTerminalNode), "Invalid terminal node.  Node requires greater than 0 children");
}

TEST(Vocabulary, TranslatedMessagesReplaceTheBuiltInTexts) {
  SetResString(_SNoFitnessFunction, "Keine Fitnessfunktion definiert");
  try {
    RaiseMessage<EGAException>(_SNoFitnessFunction);
    FAIL();
  } catch (const EGAException& e) {
    EXPECT_STREQ(e.what(), "Keine Fitnessfunktion definiert");
  }
  SetResString(_SUnknownInstruction, "Instruction inconnue « %s »");
  EXPECT_THROW(RaiseMessage<EGPException>(_SUnknownInstruction, "sin"), EGPException);
  ResetResStrings();
  EXPECT_EQ(LoadResString(_SNoFitnessFunction), "No fitness function defined");
  EXPECT_EQ(LoadResString(_SUnknownInstruction), "Unknown instruction \"%s\"");
}
