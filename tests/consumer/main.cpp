// Builds against an installed evokit and checks a few round trips through it.
#include <evokit/evokit.h>

#include <cstdio>

int main() {
  using namespace evokit;
  RandSeed(7);
  const double first = Random();
  RandSeed(7);
  if (Random() != first) return 1;
  if (EnumValue<TGAFitnessMethod>("fmWeightedMaximize") != 3) return 2;
  if (FloatToStrF(55.5, ffFixed, 2, 2) != "56.00") return 3;
  std::printf("consumer ok\n");
  return 0;
}
