#include <evokit/core/consts.h>

#include <gtest/gtest.h>

#include "support.h"

using namespace evokit;

TEST(Vocabulary, EnumerationAndSetTexts) {
  // Every name reads back to its own ordinal, ignoring case; unknown names give -1.
  auto roundTrips = []<class E>(E) {
    for (int i = 0; i < EnumCount<E>(); ++i)
      if (EnumValue<E>(UpperCase(EnumName(static_cast<E>(i)))) != i) return false;
    return EnumValue<E>("fmNothing") == -1;
  };
  EXPECT_TRUE(roundTrips(gtUnknown) && roundTrips(cmGeneBoundary) && roundTrips(esFinished) && roundTrips(mmPoint));
  EXPECT_TRUE(roundTrips(bsNone) && roundTrips(TGPInitializationMethod{}) && roundTrips(fmMinimize));
  TGASelectionMethod method = smRoulette;
  EXPECT_FALSE(TryEnumValue("smNone", method));
  EXPECT_TRUE(TryEnumValue("smElitist", method) && method == smElitist);
  TGAGeneticOperations ops{goCrossover, goMutate, goInvert}, read;
  ops.Exclude(goMutate);
  EXPECT_EQ(SetToString(ops), "[goCrossover,goInvert]");
  EXPECT_TRUE(TryStringToSet("[goCrossover, goInvert]", read) && read == ops && read.Value() == 5);
  EXPECT_TRUE(TryStringToSet("[]", read) && read.Empty());
  EXPECT_FALSE(TryStringToSet("[goCrossover,goFly]", read) || !read.Empty());
}

// Message texts are looked up when raised, so a translation takes effect at once.
TEST(Vocabulary, MessagesAreTranslatableAndFormattedWhenRaised) {
  SetResString(_SNoFitnessFunction, "Keine Fitnessfunktion definiert");
  // GP errors are GA errors.
  EXPECT_EQ(test::ErrorOf<EGAException>([] { RaiseMessage<EGPException>(_SNoFitnessFunction); }),
            "Keine Fitnessfunktion definiert");
  ResetResStrings();
  EXPECT_EQ(test::ErrorOf<EMXException>([] { RaiseMessage<EGAException>(_SInvalidNumInstructionArgs, 3, "add"); }),
            "Invalid number of arguments (3) for \"add\" instruction");
  EXPECT_EQ(LoadResString(_SNoFitnessFunction), "No fitness function defined");
  EXPECT_EQ(LoadResString(_SInvalidTerminalNode), "Invalid terminal node.  Node requires greater than 0 children");
  EXPECT_THROW(SetResString(static_cast<TMXMessageId>(MXMessageCount), "x"), EListError);
}
