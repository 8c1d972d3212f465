#include <evokit/core/consts.h>

#include <gtest/gtest.h>

#include "support.h"

using namespace evokit;

TEST(Vocabulary, EnumerationAndSetTexts) {
  // Every name reads back to its own ordinal, ignoring case; unknown names give -1. (That a
  // refused name leaves the value as it was, ga_xml_test's reading rules check.)
  auto roundTrips = []<class E>(E) {
    for (int i = 0; i < EnumCount<E>(); ++i)
      if (EnumValue<E>(UpperCase(EnumName(static_cast<E>(i)))) != i) return false;
    return EnumValue<E>("fmNothing") == -1;
  };
  EXPECT_TRUE(roundTrips(gtUnknown) && roundTrips(cmGeneBoundary) && roundTrips(esFinished) && roundTrips(mmPoint));
  EXPECT_TRUE(roundTrips(bsNone) && roundTrips(TGPInitializationMethod{}) && roundTrips(fmMinimize));
  TGAGeneticOperations ops{goCrossover, goMutate, goInvert}, read;
  ops.Exclude(goMutate);
  EXPECT_EQ(SetToString(ops), "[goCrossover,goInvert]");
  EXPECT_TRUE(TryStringToSet("[goCrossover, goInvert]", read) && read == ops && read.Value() == 5);
  EXPECT_TRUE(TryStringToSet("[]", read) && read.Empty());
  EXPECT_FALSE(TryStringToSet("[goCrossover,goFly]", read) || !read.Empty());
}

// Message texts are looked up when raised, so a translation takes effect at once. (Their
// arguments are formatted into the raised text: gp_batch_test and gp_simplify_test.)
TEST(Vocabulary, MessagesAreTranslatableWhenRaised) {
  SetResString(_SNoFitnessFunction, "Keine Fitnessfunktion definiert");
  // GP errors are GA errors.
  EXPECT_EQ(test::ErrorOf<EGAException>([] { RaiseMessage<EGPException>(_SNoFitnessFunction); }),
            "Keine Fitnessfunktion definiert");
  ResetResStrings();
  EXPECT_EQ(LoadResString(_SNoFitnessFunction), "No fitness function defined");
  EXPECT_THROW(SetResString(static_cast<TMXMessageId>(MXMessageCount), "x"), EListError);
}
