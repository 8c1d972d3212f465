// Evolution of program trees: GP individuals and populations, the generic GP component's
// bookkeeping, initialisation, operators and bloat strategies, and whole runs.
#include "gp_test_support.h"
#include "support.h"

#include <evokit/gp/genetic_programming.h>
#include <evokit/platform/parallel.h>

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <map>
#include <mutex>
#include <optional>
#include <set>

using namespace evokit;
using namespace gptest;

namespace {

// The GP component of these tests: the float or variant family's instructions and nodes
// (binary float nodes on request). It records the shrink and hoist mutations it runs, can
// make its terminal factory fail, and opens the protected steps.
template <class T>
class TGP : public TMXCustomGeneticProgramming<T> {
  using Base = TMXCustomGeneticProgramming<T>;
  static constexpr bool Float = std::is_same_v<T, double>;
  using TSet = std::conditional_t<Float, TMXGPFloatInstructions, TMXGPVariantInstructions>;
  using TNodeClass = std::conditional_t<Float, TMXGPFloatNode, TMXGPVariantNode>;

 public:
  using typename Base::TIndividual;
  using typename Base::TNode;
  explicit TGP(bool Binary = false) : FBinary(Binary) { this->RecreateInstructions({}); }

  std::string Log;  // written when Logging (one thread)
  bool Logging = false, FailTerminals = false;

  TMXGPInstructions<T>* CreateInstructions(TCollectionItemClass) override { return new TSet(this); }
  TNode* CreateNode(TMXGPInstruction<T>* I, TNode* P) override {
    if constexpr (Float)
      if (FBinary) return new TMXGPBinaryFloatNode(I, P);
    return new TNodeClass(I, P);
  }
  TMXGPInstruction<T>* Add(const std::string& Name, TGPGeneticInstruction Operation, int Arity = 0, T Value = T{}) {
    TMXGPInstruction<T>* item = this->Instructions()->Add();
    item->SetName(Name), item->SetOperation(Operation), item->SetArity(Arity), item->SetValue(Value);
    return item;
  }
  // An individual of a scratch population (owned by the caller) with the tree of Text.
  TIndividual* Make(TMXGPPopulation<T>& Scratch, std::string_view Text) {
    TIndividual* item = Scratch.Add();
    const std::unique_ptr<TNode> tree(BuildTree<TNodeClass>(*this->Instructions(), Text));
    item->SetDNA(tree.get());  // copied into nodes of the component's class
    return item;
  }

  using Base::DoAntiBloating, Base::DoCrossover, Base::DoInitialize, Base::DoMutate, Base::DoInvert;
  using Base::DoSubtreeMutation, Base::SelectSizeFairNode;
  void DoShrinkMutation(TIndividual* I) override {
    if (Logging) Log += 'S';
    Base::DoShrinkMutation(I);
  }
  void DoHoistMutation(TIndividual* I) override {
    if (Logging) Log += 'H';
    Base::DoHoistMutation(I);
  }
  TNode* GetTerminalNode(TNode* Parent, int Index) override {
    if (FailTerminals) throw EGPException("no terminal today");
    return Base::GetTerminalNode(Parent, Index);
  }

 private:
  bool FBinary;
};
using TFloatGP = TGP<double>;

double AsDouble(double V) { return V; }
double AsDouble(const Variant& V) { return V.AsFloat(); }

// Symbolic regression of x^4 + x^3 + x^2 + x over Points points spread over [-1, 1) with
// Add, Sub, Mul and protected Div (1 for a zero divisor) over x, for either value type: the
// fitness is the mean squared error (minimised), the run stops below 1e-6.
// With a Strategy, the run of the reproducibility tests: no cutoff, that bloat strategy, a
// constant c (0.5) that mutation jitters, every mutation method weighted alike.
template <class T>
void SetUpQuartic(TGP<T>& GP, int Points, int Population, std::optional<TGPBloatStrategy> Strategy = {}) {
  for (const char* name : {"Add", "Sub", "Mul", "Div"})
    GP.Add(name, gpFunction, 2)->SetOnExecute([](TObject*, TMXGPNode<T>* N, TMXGPContext<T>* C, T& R) {
      const double a = AsDouble(N->GetChild(0)->Execute(C)), b = AsDouble(N->GetChild(1)->Execute(C));
      const char op = N->Instruction()->Name()[0];
      R = T(op == 'A' ? a + b : op == 'S' ? a - b : op == 'M' ? a * b : b == 0 ? 1.0 : a / b);
    });
  GP.Add("x", gpVariable);
  GP.SetInitialPopulation(Population), GP.SetInitializationMethod(imRampedHalfAndHalf), GP.SetInitializationDepth(6);
  GP.SetSelectionMethod(smTournament), GP.SetUseFitnessCutoff(true), GP.SetFitnessCutoff(1e-6);
  GP.SetOnEvaluateFitness([Points](TObject*, TMXIndividual* Item, TGAFitness& Fitness) {
    TMXGPContext<T> context;
    double sum = 0;
    for (int i = 0; i < Points; ++i) {
      const double x = -1 + 2.0 * i / Points;
      context.Values()->AddOrSetValue("x", T(x));
      const double error = AsDouble(static_cast<TMXGPIndividual<T>*>(Item)->Execute(&context)) - x * (1 + x * (1 + x * (1 + x)));
      sum += error * error;
    }
    Fitness = sum / Points;
  });
  if (!Strategy) return;
  GP.Add("c", gpConstant, 0, T(0.5));
  GP.SetUseFitnessCutoff(false), GP.SetBloatStrategy(*Strategy), GP.SetMutationProbability(0.5);
  GP.SetMutationWeights({1, 1, 1, 1, 1, 1});
  GP.SetOnConstantMutation([](TObject*, TMXGPNode<T>* N) { N->SetValue(T(AsDouble(N->Value()) + Random() - 0.5)); });
}

// Every program of a population as prefix text.
template <class T>
std::vector<std::string> Programs(const TMXGPPopulation<T>& Population) {
  std::vector<std::string> out;
  for (int i = 0; i < Population.Count(); ++i) out.push_back(Population.Items(i)->DNA()->ToString());
  return out;
}

// Individual's tree is whole: each child points back at its parent, the cached size is the
// node count, the flattened list is the pre-order walk, and every function node has as
// many children as its arity.
template <class T>
void ExpectWhole(const TMXGPIndividual<T>& Individual) {
  std::vector<TMXGPNode<T>*> walk, pending{Individual.DNA()};
  EXPECT_EQ(Individual.DNA()->Parent(), nullptr);
  while (!pending.empty()) {
    TMXGPNode<T>* node = pending.back();
    pending.pop_back();
    walk.push_back(node);
    EXPECT_EQ(node->GetChildCount(), node->Instruction()->Arity()) << Individual.ToString();
    for (int i = node->GetChildCount() - 1; i >= 0; --i) {
      EXPECT_EQ(node->GetChild(i)->Parent(), node);
      pending.push_back(node->GetChild(i));
    }
  }
  EXPECT_EQ(walk, Individual.FlattenedDNA());
  EXPECT_EQ(Individual.DNA()->Size(), static_cast<int>(walk.size()));
}

}  // namespace

// === Whole runs ==============================================================================

// Seeded parallel runs repeat on one and on two threads, under the strategies that read
// sizes, statistics and parents from the workers, with every mutation method in play; the
// two-thread run breeds on the compact form.
TEST(GPRun, SeededRunsRepeatWhateverTheNumberOfThreads) {
  const auto run = []<class T>(T, TGPBloatStrategy Strategy, int Threads) {
    TParallel::SetMaxThreads(Threads);
    TGP<T> gp;
    gp.SetCompactBreeding(Threads == 2);
    SetUpQuartic(gp, 8, 40, Strategy);
    gp.SetFitnessMethod(Strategy == bsCovariantSizeParsimonyPressure ? fmWeightedMinimize : fmMinimize);
    RandSeed(11), gp.ParallelEvolve(6);
    TParallel::SetMaxThreads(0);
    std::vector<std::string> state = Programs(*gp.Population());
    state.push_back(FloatToStr(gp.ParsimonyCoefficient()) + " " + FloatToStr(gp.AvgProgramSize()));
    return state;
  };
  for (TGPBloatStrategy strategy : {bsNone, bsTarpeianSize, bsSizeFairCrossover, bsCovariantSizeParsimonyPressure,
                                    bsLexicographicParsimonyPressure, bsHoistSize})
    EXPECT_EQ(run(0.0, strategy, 1), run(0.0, strategy, 2)) << EnumName(strategy);
  EXPECT_EQ(run(Variant(), bsTarpeianDepth, 1), run(Variant(), bsTarpeianDepth, 2));
}

// Ranked by error and program size under non-dominated sorting, a quartic regression
// keeps a front whose error falls as its programs grow; each member's objectives are its
// error and its node count. The parallel run repeats on one thread and on two.
TEST(GPRun, SizeObjectiveKeepsAnErrorSizeFront) {
  const auto run = [](TFloatGP& GP, int Threads) {
    SetUpQuartic(GP, 20, 150);
    GP.SetUseFitnessCutoff(false), GP.SetSelectionMethod(smNSGA2), GP.SetSizeObjective(true);
    TParallel::SetMaxThreads(Threads);
    RandSeed(3), GP.ParallelEvolve(15);
    TParallel::SetMaxThreads(0);
  };
  TFloatGP gp, twice;
  run(gp, 1), run(twice, 2);
  EXPECT_EQ(Programs(*twice.Population()), Programs(*gp.Population()));
  const std::vector<TMXIndividual*> front = gp.ParetoFront();
  const std::vector<double> rows = gp.ParetoFrontObjectives();
  std::map<double, double> errorBySize;
  for (std::size_t i = 0; i < front.size(); ++i) {
    const auto* program = static_cast<TMXGPIndividual<double>*>(front[i]);
    EXPECT_EQ(std::pair(rows[2 * i], rows[2 * i + 1]), std::pair(program->Fitness(), double(program->DNA()->Size())));
    const auto [at, added] = errorBySize.emplace(rows[2 * i + 1], rows[2 * i]);
    EXPECT_TRUE(added || at->second == rows[2 * i]);  // equal sizes on a front have equal errors
  }
  ASSERT_GE(errorBySize.size(), 3u);
  for (auto it = std::next(errorBySize.begin()); it != errorBySize.end(); ++it)
    EXPECT_LT(it->second, std::prev(it)->second) << it->first;
}

// Under ReuseFitness nothing but the number of handler calls changes: seeded parallel runs
// give the same programs and fitness with it as without, on one and on two threads, also
// when the bloat rule draws or decides in the evaluation and when the handler writes back
// a fit of the constants. With a handler that leaves the tree
// alone no program reaches it twice in one round of evaluation, nor in the round after
// (an unchanged child keeps its parent's fitness).
TEST(GPRun, ReusedFitnessChangesNothingButTheCalls) {
  struct TResult {
    std::vector<std::pair<std::string, double>> Programs;  // each program with its fitness
    int Calls = 0;
    bool Repeated = false;  // a program scored twice in a round or in two rounds in a row
  };
  const auto run = [](TGPBloatStrategy Strategy, bool WriteBack, bool Reuse, int Threads) {
    TParallel::SetMaxThreads(Threads);
    TFloatGP gp;
    SetUpQuartic(gp, 8, 60, Strategy);
    gp.SetReuseFitness(Reuse);
    TResult result;
    std::mutex lock;
    std::set<std::pair<int, std::string>> scored;
    const TMXFitnessEvent score = gp.OnEvaluateFitness();
    gp.SetOnEvaluateFitness([&](TObject* Sender, TMXIndividual* Item, TGAFitness& Fitness) {
      auto* individual = static_cast<TMXGPIndividual<double>*>(Item);
      {
        const std::lock_guard<std::mutex> guard(lock);
        const std::string text = individual->DNA()->ToString();
        ++result.Calls;
        const int round = gp.Initialized() ? gp.Generation() + 1 : 0;  // the initial population is round 0
        result.Repeated = result.Repeated || scored.contains({round - 1, text}) || !scored.insert({round, text}).second;
      }
      if (WriteBack) {  // every constant moves by a quarter, as a fit that writes back would move it
        bool changed = false;
        for (TMXGPNode<double>* node : individual->FlattenedDNA())
          if (node->Instruction()->Operation() == gpConstant) node->SetValue(node->Value() + 0.25), changed = true;
        if (changed) individual->MarkChanged();
      }
      score(Sender, Item, Fitness);
    });
    RandSeed(5), gp.ParallelEvolve(6);
    TParallel::SetMaxThreads(0);
    for (int i = 0; i < gp.Population()->Count(); ++i)
      result.Programs.emplace_back(gp.Population()->Items(i)->DNA()->ToString(), gp.Population()->Items(i)->Fitness());
    return result;
  };
  for (TGPBloatStrategy strategy : {bsNone, bsTarpeianSize, bsUnfitSize})
    for (bool writeBack : {false, true}) {
      SCOPED_TRACE(Cat(EnumName(strategy), writeBack ? " writing back" : ""));
      const TResult off = run(strategy, writeBack, false, 1), on = run(strategy, writeBack, true, 1);
      const TResult twoThreads = run(strategy, writeBack, true, 2);
      EXPECT_EQ(std::pair(on.Programs, twoThreads.Programs), std::pair(off.Programs, off.Programs));
      EXPECT_LT(on.Calls, off.Calls);
      EXPECT_EQ(twoThreads.Calls, on.Calls);
      EXPECT_TRUE(writeBack || (off.Repeated && !on.Repeated && !twoThreads.Repeated));
    }
}

// === Bloat control =============================================================================

TEST(GPBloat, EachStrategyActsWhereItsRuleSays) {
  // The population (raw fitness = depth, minimised, BloatLimit 5): X (size 1, depth 0),
  // Y (3, 1), D (7, 3), A (11, 3), B (13, 6); average size 7, average depth 2.6. E (11, 5)
  // and F (5, 2) are not in it. Sizes and depths exactly at the limit pass.
  const char *X = "x", *Y = "(Add x y)", *D = "(Add x (Add x (Add x y)))", *F = "(Add x (Add x y))";
  const char *A = "(Add (Add (Add x y) (Add x y)) (Add x y))", *E = "(Add x (Add x (Add x (Add x (Add x y)))))";
  const char* B = "(Add x (Add x (Add x (Add x (Add x (Add x y))))))";
  struct TRow {
    TGPBloatStrategy Strategy;
    const char* Reproduction;  // after reproduction of A (changed), A (unchanged), B, E from X:
                               // = kept, P a copy of the parent, S shrunk, H hoisted
    const char* Raw;           // raw fitness of X Y D A B E F (U: unfit, the handler not asked)
    double Penalty;            // weighted minus raw fitness of A (coefficient 0.5)
    bool SmallerWins;          // D (size 7) beats A (size 11) of equal fitness in every tournament,
    bool FairCrossover;        // and crossing X with A leaves a one-node program
  };
  const TRow rows[] = {
      {bsNone, "====", "0 1 3 3 6 5 2", 0, false, false},
      {bsSizeLimit, "P=PP", "0 1 3 3 6 5 2", 0, false, false},
      {bsDepthLimit, "==P=", "0 1 3 3 6 5 2", 0, false, false},
      {bsTarpeianSize, "====", "0 1 3 U U U 2", 0, true, false},
      {bsTarpeianDepth, "====", "0 1 U U U U 2", 0, false, false},
      {bsUnfitSize, "====", "0 1 U U U U 2", 0, false, false},
      {bsUnfitDepth, "====", "0 1 3 3 U 5 2", 0, false, false},
      {bsShrinkDepth, "==S=", "0 1 3 3 6 5 2", 0, false, false},
      {bsShrinkSize, "SSSS", "0 1 3 3 6 5 2", 0, false, false},
      {bsHoistDepth, "==H=", "0 1 3 3 6 5 2", 0, false, false},
      {bsHoistSize, "HHHH", "0 1 3 3 6 5 2", 0, false, false},
      {bsSizeFairCrossover, "====", "0 1 3 3 6 5 2", 0, false, true},
      {bsDepthFairCrossover, "====", "0 1 3 3 6 5 2", 0, false, true},
      {bsSizeParsimonyPressure, "====", "0 1 3 3 6 5 2", 0.5 * 11, false, false},
      {bsDepthParsimonyPressure, "====", "0 1 3 3 6 5 2", 0.5 * 3, false, false},
      // Cov(size, fitness) = 11 and Var(size) = 26; Cov(depth, fitness) = Var(depth).
      {bsCovariantSizeParsimonyPressure, "====", "0 1 3 3 6 5 2", 11.0 / 26 * 11, false, false},
      {bsCovariantDepthParsimonyPressure, "====", "0 1 3 3 6 5 2", 1.0 * 3, false, false},
      {bsLexicographicParsimonyPressure, "====", "0 1 3 3 6 5 2", 0, true, false},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(EnumName(row.Strategy));
    TFloatGP gp;
    gp.Add("Add", gpFunction, 2), gp.Add("x", gpVariable), gp.Add("y", gpVariable);
    gp.SetBloatStrategy(row.Strategy), gp.SetBloatLimit(5), gp.SetTarpeianProbability(1), gp.SetParsimonyCoefficient(0.5);
    gp.SetSelectionNonTerminalsProbability(100), gp.SetTournamentField(30);  // operators pick functions
    gp.Logging = true;
    int calls = 0;
    gp.SetOnEvaluateFitness([&](TObject*, TMXIndividual* Item, TGAFitness& Fitness) {
      ++calls, Fitness = static_cast<TMXGPIndividual<double>*>(Item)->DNA()->Depth();
    });
    for (const char* text : {X, Y, D, A, B}) gp.Make(*gp.Population(), text);
    TMXGPPopulation<double> scratch(&gp);

    std::string reproduction;
    for (auto [child, changed] : {std::pair{A, true}, {A, false}, {B, true}, {E, true}}) {
      TMXGPIndividual<double>* item = gp.Make(scratch, child);
      gp.Log.clear();
      gp.DoAntiBloating(gp.Make(scratch, X), nullptr, item, changed);
      const std::string text = item->DNA()->ToString();
      reproduction += !gp.Log.empty() ? gp.Log : text == X ? "P" : text == child ? "=" : "?";
    }
    EXPECT_EQ(reproduction, row.Reproduction);

    EXPECT_EQ(std::vector({gp.MinProgramSize(), gp.MaxProgramSize(), gp.MinProgramDepth(), gp.MaxProgramDepth()}),
              std::vector({1, 13, 0, 6}));
    EXPECT_EQ(std::pair(gp.AvgProgramSize(), gp.AvgProgramDepth()), std::pair(7.0f, 2.6f));
    std::string raw;
    TMXGPIndividual<double>* outside[] = {gp.Make(scratch, E), gp.Make(scratch, F)};
    for (int i = 0; i < 7; ++i) {
      const int before = calls;
      const TGAFitness fitness = gp.EvaluateFitness(i < 5 ? gp.Population()->Items(i) : outside[i - 5], false);
      raw += Cat(raw.empty() ? "" : " ", fitness == gp.UnfitFitness() && calls == before ? "U" : FloatToStr(fitness));
    }
    EXPECT_EQ(raw, row.Raw);

    gp.EvaluateFitness();  // the weighted statistics set the covariant coefficient
    EXPECT_NEAR(gp.Population()->Items(3)->WeightedFitness() - gp.Population()->Items(3)->Fitness(), row.Penalty, 1e-12);

    TMXGPPopulation<double> pair(&gp);
    TMXIndividual *d = gp.Make(pair, D), *winner = gp.Make(pair, A);
    int smallerWins = 0;
    for (int i = 0; i < 20; ++i) gp.SelectTournament(&gp, &pair, winner), smallerWins += winner == d;
    EXPECT_EQ(smallerWins == 20, row.SmallerWins) << smallerWins;

    TMXGPIndividual<double>* child = gp.Make(scratch, X);
    EXPECT_TRUE(gp.DoCrossover(nullptr, gp.Make(scratch, A), child, nullptr));
    EXPECT_EQ(child->DNA()->Size() == 1, row.FairCrossover) << child->ToString();
  }
}

// Two rules at their edges, the fitness being the depth: the Tarpeian depth rule (with
// certainty) spares a program exactly as deep as the population's average and strikes a
// deeper one (the size rule at the average is a row of the table above); lexicographic
// tournaments rank by fitness and let size only break ties, so the fitter of two programs
// wins although it is the larger.
TEST(GPBloat, TarpeianDepthSparesTheAverageAndLexicographicTournamentsRankFitnessFirst) {
  TFloatGP gp;
  gp.Add("Add", gpFunction, 2), gp.Add("x", gpVariable), gp.Add("y", gpVariable);
  gp.SetBloatStrategy(bsTarpeianDepth), gp.SetTarpeianProbability(1), gp.SetTournamentField(30);
  gp.SetOnEvaluateFitness([](TObject*, TMXIndividual* Item, TGAFitness& Fitness) {
    Fitness = static_cast<TMXGPIndividual<double>*>(Item)->DNA()->Depth();
  });
  const char *average = "(Add x (Add x y))", *above = "(Add x (Add x (Add x y)))";  // depth 2 and 3
  gp.Make(*gp.Population(), "(Add x y)"), gp.Make(*gp.Population(), above);
  gp.EvaluateFitness();  // average depth 2
  TMXGPPopulation<double> scratch(&gp);
  EXPECT_EQ(std::pair(gp.EvaluateFitness(gp.Make(scratch, average), false), gp.EvaluateFitness(gp.Make(scratch, above), false)),
            std::pair(2.0, gp.UnfitFitness()));

  gp.SetBloatStrategy(bsLexicographicParsimonyPressure);
  TMXGPPopulation<double> pair(&gp);
  TMXIndividual* fitter = gp.Make(pair, "(Add (Add (Add x y) (Add x y)) (Add x y))");  // size 11, depth 3
  gp.Make(pair, "(Add x (Add x (Add x (Add x y))))");                                   // size 9, depth 4
  TMXIndividual* winner = nullptr;
  int wins = 0;
  for (int i = 0; i < 20; ++i) gp.SelectTournament(&gp, &pair, winner), wins += winner == fitter;
  EXPECT_EQ(wins, 20);
}

// === Operators ===================================================================================

// Every operator, many times over random trees of tree and binary nodes, leaves whole trees,
// also when it fails.
TEST(GPOperators, KeepTreesWhole) {
  for (bool binary : {false, true}) {
    TFloatGP gp(binary);
    AddArithmetic(gp);
    gp.SetInitialPopulation(30), gp.SetInitializationMethod(imRampedHalfAndHalf), gp.SetInitializationDepth(5);
    gp.SetMutationWeights({1, 1, 1, 1, 1, 1}), gp.SetPointMutationProbability(0.3);
    gp.SetOnConstantMutation([](TObject*, TMXGPNode<double>* N) { N->SetValue(N->Value() + 1); });
    RandSeed(3), gp.Initialize();
    TMXGPPopulation<double>& population = *gp.Population();
    TMXGPContext<double> context;
    for (int round = 0; round < 400; ++round) {
      TMXGPIndividual<double>* one = population.Items(static_cast<int>(Random(30)));
      TMXGPIndividual<double>* two = population.Items(static_cast<int>(Random(30)));
      const int op = round % 9;
      gp.SetBloatStrategy(op == 7 ? bsSizeFairCrossover : op == 8 ? bsDepthFairCrossover : bsDepthLimit);
      if (op < 6) gp.Mutate(one, static_cast<TGPMutationMethod>(op));
      else if (op == 6) gp.DoInvert(one);
      else gp.DoCrossover(two, two, one, one == two || round % 2 ? nullptr : two);
      ExpectWhole(*one), ExpectWhole(*two);
      one->Execute(&context);
    }
    // A factory that fails (here the terminal factory) leaves the tree as it was.
    gp.FailTerminals = true, gp.SetSelectionNonTerminalsProbability(100);  // the root: each method needs a terminal
    for (TGPMutationMethod method : {mmSubtree, mmReplacement, mmShrink}) {
      TMXGPIndividual<double>* item = gp.Make(population, "(Mul x c)");
      EXPECT_THROW(gp.Mutate(item, method), EGPException);
      EXPECT_EQ(item->DNA()->ToString(), "(Mul x 1)");
      ExpectWhole(*item);
    }
  }
}

// Each mutation of (Add x (Mul y c)) at the root or at Mul (functions only) reaches exactly
// the shapes (size/depth) its rule allows: a regrown subtree is at least one level shallower
// than the node it replaces, a replacement keeps the node's arity and regrows its children
// alike, a shrink leaves a terminal, and a hoist lifts Mul (a hoisted root stays).
TEST(GPOperators, EachMutationReachesTheShapesItsRuleAllows) {
  TFloatGP gp;
  AddArithmetic(gp);
  gp.SetSelectionNonTerminalsProbability(100);
  TMXGPPopulation<double> scratch(&gp);
  RandSeed(9);
  for (const auto& [method, expected] : std::map<TGPMutationMethod, std::set<std::string>>{
           {mmSubtree, {"1/0", "3/1"}},
           {mmReplacement, {"3/1", "5/2"}},
           {mmShrink, {"1/0", "3/1"}},
           {mmHoist, {"(Add x (Mul y 1)) 5/2", "(Mul y 1) 3/1"}}}) {
    SCOPED_TRACE(EnumName(method));
    std::set<std::string> shapes;
    for (int i = 0; i < 60; ++i) {
      TMXGPIndividual<double>* item = gp.Make(scratch, "(Add x (Mul y c))");
      gp.Mutate(item, method);
      const std::string shape = Shape(*item->DNA());
      shapes.insert(method == mmHoist ? shape : shape.substr(shape.rfind(' ') + 1));
    }
    EXPECT_EQ(shapes, expected);
  }
}

TEST(GPOperators, PlacesAndEdges) {
  TFloatGP gp;
  AddArithmetic(gp);
  TMXGPPopulation<double> scratch(&gp);
  // Two one-node children swap their roots; a tree that offers no node crosses with none.
  TMXGPIndividual<double> *x = gp.Make(scratch, "x"), *y = gp.Make(scratch, "y"), *fresh = scratch.Add();
  EXPECT_TRUE(gp.DoCrossover(x, y, x, y));
  EXPECT_EQ(x->DNA()->ToString() + y->DNA()->ToString(), "yx");
  EXPECT_FALSE(gp.DoCrossover(x, fresh, x, fresh) || gp.DoCrossover(x, fresh, x, nullptr));
  // Size-fair crossover into a root of size 3 from A: the table gives the nodes of size 3
  // a probability of 15/17, the smaller ones (1) and the larger ones (7, 11) 1/17 each.
  gp.SetBloatStrategy(bsSizeFairCrossover), gp.SetSelectionNonTerminalsProbability(100);
  TMXGPIndividual<double>* a = gp.Make(scratch, "(Add (Add (Add x y) (Add x y)) (Add x y))");
  std::map<int, int> sizes;
  for (int i = 0; i < 340; ++i) {
    TMXGPIndividual<double>* child = gp.Make(scratch, "(Add x y)");
    gp.DoCrossover(nullptr, a, child, nullptr);
    ++sizes[child->DNA()->Size()];
  }
  EXPECT_NEAR(sizes[3], 300, 20);
  EXPECT_TRUE(sizes[1] > 0 && sizes[7] > 0 && sizes[11] > 0 && sizes[1] + sizes[3] + sizes[7] + sizes[11] == 340);
  // A table whose entries all lie below the draw takes its last node, never one past it
  // (nor the tree's last).
  EXPECT_EQ(gp.SelectSizeFairNode(a, TGAFitnessArray(3, 0.0)), a->FlattenedDNA()[2]);
  // Fair crossover changes each child on its own: either child's change is reported.
  for (TGPBloatStrategy strategy : {bsSizeFairCrossover, bsDepthFairCrossover}) {
    gp.SetBloatStrategy(strategy);
    EXPECT_EQ(std::tuple(gp.DoCrossover(x, a, fresh, x), gp.DoCrossover(x, a, x, fresh), gp.DoCrossover(x, a, fresh, fresh)),
              std::tuple(true, true, false))
        << EnumName(strategy);
  }
  // All weights zero: no method runs, still a success, and the individual needs evaluation.
  gp.SetMutationWeights({});
  TMXGPIndividual<double>* unchanged = gp.Make(scratch, "(Add c:2 (Mul x c:2))");
  EXPECT_TRUE(gp.DoMutate(unchanged) && unchanged->NeedFitness());
  EXPECT_EQ(unchanged->DNA()->ToString(), "(Add 2 (Mul x 2))");
  // Point mutation (as inversion, or as the only weighted method) per tree with certainty
  // changes the root's instruction only, to one of the same kind; per node every node may
  // change, and with probability 0 none does. The shape stays.
  gp.SetMutationWeights({0, 0, 0, 0, 0, 1});
  for (auto [method, probability, weighted] :
       {std::tuple{pmmPerTree, 1.0, false}, {pmmPerNode, 1.0, true}, {pmmPerNode, 0.0, false}}) {
    gp.SetPointMutationMethod(method), gp.SetPointMutationProbability(probability);
    std::set<std::string> seen;
    for (int i = 0; i < 40; ++i) {
      TMXGPIndividual<double>* item = gp.Make(scratch, "(Add x (Mul y c:3))");
      EXPECT_EQ(weighted ? gp.DoMutate(item) : gp.DoInvert(item), probability > 0);
      const std::string text = item->DNA()->ToString();
      seen.insert(text);
      EXPECT_EQ(std::pair(item->DNA()->Size(), item->DNA()->Depth()), std::pair(5, 2));
      EXPECT_TRUE(method != pmmPerTree || text.substr(4) == " x (Mul y 3))") << text;
    }
    EXPECT_EQ(std::pair(seen.size() > 4, seen.size() == 1), std::pair(weighted, probability == 0)) << seen.size();
  }
  // Under bsDepthLimit a regrown subtree gets at most BloatLimit levels, whatever the depth
  // of the node it replaces. The new nodes are those the old tree did not have.
  gp.SetBloatStrategy(bsDepthLimit), gp.SetBloatLimit(5), gp.SetSelectionNonTerminalsProbability(100);
  int capped = 0;
  for (int i = 0; i < 30; ++i) {
    TMXGPIndividual<double>* item = gp.Make(scratch, "(Add x (Add x (Add x (Add x (Add x (Add x (Add x (Add x (Add x y)))))))))");
    std::map<const TMXGPNode<double>*, int> old;
    for (const TMXGPNode<double>* node : item->FlattenedDNA()) old[node] = node->Depth();
    gp.DoSubtreeMutation(item);
    for (const TMXGPNode<double>* node : item->FlattenedDNA())
      if (!old.contains(node) && (!node->Parent() || old.contains(node->Parent()))) {
        EXPECT_LE(node->Depth(), 4) << item->ToString();
        capped += (node->Parent() ? old[node->Parent()] - 1 : 9) > 5;
      }
  }
  EXPECT_GT(capped, 0);
}

// === Initialisation ================================================================================

TEST(GPInitialization, MethodsBudgetsDuplicatesAndErrors) {
  // Binary functions only: a full tree of budget b has depth b - 1 and 2^b - 1 nodes. A row
  // gives the method, InitializationDepth (0: from the three functions), the population,
  // the individual looked at, whether its tree is full, and its budget.
  for (auto [method, depth, count, index, full, budget] :
       {std::tuple{imFull, 0, 4, 3, true, 3},      {imGrow, 4, 4, 2, false, 4},
        {imRampedFull, 6, 100, 0, true, 2},        {imRampedFull, 6, 100, 99, true, 6},
        {imRampedGrow, 6, 100, 50, false, 4},      {imHalfAndHalf, 4, 4, 2, true, 4},
        {imHalfAndHalf, 4, 4, 3, false, 4},        {imRampedHalfAndHalf, 6, 100, 98, true, 6},
        {imRampedHalfAndHalf, 6, 100, 99, false, 6}}) {
    SCOPED_TRACE(EnumName(method) + " " + std::to_string(index));
    TFloatGP gp;
    for (const char* name : {"Add", "Sub", "Mul"}) gp.Add(name, gpFunction, 2);
    gp.Add("x", gpVariable), gp.Add("y", gpVariable);
    gp.SetInitializationMethod(method), gp.SetInitializationDepth(depth), gp.SetInitialPopulation(count);
    gp.SetInitialDuplicatesRetries(0);
    gp.Initialize();
    const TMXGPNode<double>* tree = gp.Population()->Items(index)->DNA();
    EXPECT_LE(tree->Depth(), budget - 1);
    if (full) {
      EXPECT_EQ(std::pair(tree->Depth(), tree->Size()), std::pair(budget - 1, (1 << budget) - 1));
    }
  }

  // Duplicates: one function and two terminals make four distinct full trees of budget 2;
  // more individuals are rebuilt until distinct, raising the budget every retry here.
  // Without retries duplicates stay. With a single terminal the budget stops rising four
  // levels above the configured one, and individuals give up: the run ends. A case gives
  // the terminals, the retries, the population and the bounds of the deepest program.
  for (auto [terminals, retries, count, leastDepth, mostDepth] :
       {std::array{2, 1, 6, 2, 5}, {2, 0, 6, 1, 1}, {1, 1, 40, 5, 5}}) {
    SCOPED_TRACE(terminals * 100 + retries);
    TFloatGP gp;
    gp.Add("Add", gpFunction, 2), gp.Add("x", gpVariable);
    if (terminals == 2) gp.Add("y", gpVariable);
    gp.SetInitialDuplicatesRetries(retries);
    RandSeed(2);
    for (int i = 0; i < count; ++i) gp.Population()->Add();
    const int rebuilt = gp.DoInitialize();
    const std::vector<std::string> programs = Programs(*gp.Population());
    EXPECT_EQ(std::set(programs.begin(), programs.end()).size() == programs.size(), retries > 0 && terminals == 2);
    EXPECT_EQ(rebuilt > 0, retries > 0);
    // One terminal: each budget makes one program. Budgets 3 and 5 come after two rebuilds
    // each, and the 35 individuals past budget 6 give up after 2 x retries rebuilds.
    if (terminals == 1) {
      EXPECT_EQ(rebuilt, 2 + 2 + (count - 5) * 2 * retries);
    }
    EXPECT_GE(gp.MaxProgramDepth(), leastDepth);
    EXPECT_LE(gp.MaxProgramDepth(), mostDepth);
  }

  // Missing instructions raise; the individuals keep the trees they had.
  for (auto [method, functions, terminals, error] : {std::tuple{imFull, false, true, "No operations found"},
                                                     {imFull, true, false, "No terminals found"},
                                                     {imGrow, false, false, "No nodes found"}}) {
    TFloatGP gp;
    if (functions) gp.Add("Add", gpFunction, 2);
    if (terminals) gp.Add("x", gpVariable);
    gp.SetInitializationMethod(method), gp.SetInitialPopulation(3);
    EXPECT_EQ(test::ErrorOf<EGPException>([&] { gp.Initialize(); }), error);
    EXPECT_EQ(Programs(*gp.Population()), std::vector<std::string>(3, "nil"));
  }
}

// === Instructions and settings =======================================================================

TEST(GPComponent, InstructionListsSettersAndSearchSpace) {
  TFloatGP gp;
  EXPECT_EQ(gp.SearchSpaceSize(0) + gp.MaxProgramSize() + gp.AvgProgramSize(), 0);  // nothing yet
  gp.SetInitialPopulation(3), gp.SetInitializationMethod(imGrow), gp.Add("x", gpVariable);
  const auto lists = [&] {
    std::string text;
    for (int i = 0; i < gp.FunctionsCount(); ++i) text += gp.Functions(i)->Name() + " ";
    for (int i = 0; i < gp.TerminalsCount(); ++i) text += (i ? " " : "| ") + gp.Terminal(i)->Name();
    return text;
  };
  // Every change empties both populations; the lists follow the arity, also when only the
  // arity of a function changes (no operation change is reported then).
  const auto emptied = [&](auto Change) {
    gp.Initialize(), Change();
    return gp.Population()->Count() + gp.PreviousGeneration()->Count() == 0;
  };
  TMXGPInstruction<double> *f = gp.Add("f", gpFunction), *g = gp.Add("g", gpVariable);
  EXPECT_EQ(lists(), "| x f g");
  EXPECT_TRUE(emptied([&] { f->SetArity(2); }));
  EXPECT_TRUE(emptied([&] { g->SetArity(1); }));  // a variable with an arity turns function
  EXPECT_EQ(lists(), "f g | x");
  EXPECT_TRUE(emptied([&] { f->SetOperation(gpConstant); }));
  EXPECT_TRUE(emptied([&] { gp.Instructions()->Delete(0); }));
  auto* h = new TMXGPFloatInstruction;  // joins as a function
  h->SetName("h"), h->SetArity(1), h->SetCollection(gp.Instructions());
  EXPECT_EQ(lists(), "g h | f");
  EXPECT_THROW(gp.Functions(2), EListError);
  // A binary and a unary function, two terminals: 2, (2 + 2)^2 + (2 + 2), (20 + 2)^2 + (20 + 2),
  // ... until infinite.
  g->SetArity(2);
  gp.Add("y", gpVariable);
  EXPECT_EQ(std::vector({gp.SearchSpaceSize(0), gp.SearchSpaceSize(1), gp.SearchSpaceSize(2)}), std::vector({2.0, 20.0, 506.0}));
  EXPECT_EQ(gp.SearchSpaceSize(4'000'000'000u), HUGE_VAL);

  gp.SetBloatLimit(3), gp.SetInitializationDepth(4), gp.SetInitializationDepth(-1);
  EXPECT_EQ(std::pair(gp.BloatLimit(), gp.InitializationDepth()), std::pair(5, 0));
  gp.SetMutationWeights({-56, 0, 0, 0, 0, 1});  // entries are bytes: -56 reads 200
  EXPECT_EQ(std::pair(gp.MutateSubtreeWeight(), gp.MutationWeightSum()), std::pair(200, 201));
}

// === Individuals and populations ======================================================================

TEST(GPIndividual, NodeSelectionAndText) {
  TFloatGP gp;
  AddArithmetic(gp);
  gp.Add("Neg", gpFunction, 1);
  TMXGPIndividual<double> lone;  // outside a population: no tree
  EXPECT_EQ(std::pair(lone.Execute(nullptr), lone.SelectNode(0.9)), std::pair(0.0, (TMXGPNode<double>*)nullptr));
  TMXGPPopulation<double>& population = *gp.Population();
  EXPECT_EQ(population.Add()->ToString(), "TMXGPIndividual<Double>: nil");
  TMXGPIndividual<double>* item = gp.Make(population, "(Add x (Mul y x))");
  EXPECT_EQ(item->SelectNode(0, true), nullptr);
  EXPECT_EQ(item->SelectNode(0, false)->GetChildCount(), 0);
  // The bias: with p = 0.9 the two functions of these four nodes are picked with a
  // probability of 0.771 (a uniform pick: 0.5; Neg taken for a terminal: 0.65).
  TMXGPPopulation<double> scratch(&gp);
  TMXGPIndividual<double>* unary = gp.Make(scratch, "(Neg (Add x y))");
  int functions = 0;
  for (int i = 0; i < 4000; ++i) functions += unary->SelectNode(0.9)->GetChildCount() > 0;
  EXPECT_NEAR(functions / 4000.0, 0.771, 0.03);
  for (double p : {1e30, -1e30, std::nan("")})  // still a choice among terminals or functions only
    EXPECT_TRUE(unary->SelectNode(p, TGPGeneticInstructions{gpVariable}) && unary->SelectNode(p, TGPGeneticInstructions{gpFunction}));
}

// === Fitness =====================================================================================

// A fitness handler's NaN counts as the worst fitness, in GA and GP alike: it never becomes
// the fittest and leaves the statistics finite.
TEST(GPComponent, NaNFitnessIsTheWorst) {
  for (TGAFitnessMethod method : {fmMinimize, fmMaximize}) {
    TMXGeneticAlgorithm ga;
    TFloatGP gp;
    AddArithmetic(gp);
    for (TMXCustomGeneticComponent* component : std::vector<TMXCustomGeneticComponent*>{&ga, &gp}) {
      component->SetFitnessMethod(method), component->SetInitialPopulation(10);
      component->SetOnEvaluateFitness([](TObject*, TMXIndividual* Item, TGAFitness& Fitness) {
        Fitness = Item->Index() % 2 ? std::nan("") : Item->Index() + 1;
      });
      component->Initialize();
      EXPECT_EQ(component->FittestIndividual()->Index(), method == fmMinimize ? 0 : 8);
      EXPECT_EQ(component->Population()->Items(1)->Fitness(), component->UnfitFitness());
      EXPECT_TRUE(std::isfinite(component->AvgFitness()));
    }
  }
}

TEST(GPComponent, CoVarianceAndCorrelation) {
  // Different lengths, fewer than two values or no spread give 0.
  const std::vector<double> x{1, 2, 3}, y{2, 4, 6}, z{3, 1, 2}, flat{5, 5, 5}, two{1, 2}, one{1};
  EXPECT_EQ(std::vector({CoVariance(x, y), CoVariance(x, z), Correlation(x, y), Correlation(x, z), CoVariance(x, two),
                         Correlation(x, two), CoVariance(one, one), Correlation(one, one), Correlation(x, flat)}),
            std::vector({2.0, -0.5, 1.0, -0.5, 0.0, 0.0, 0.0, 0.0, 0.0}));
}
