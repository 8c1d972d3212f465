// Evolution of program trees: GP individuals and populations, the generic GP component's
// bookkeeping, initialisation, operators and bloat strategies, and whole runs.
#include "gp_test_support.h"
#include "support.h"

#include <evokit/gp/genetic_programming.h>
#include <evokit/platform/parallel.h>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
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

  void LoadFromFile(const std::string&) override { Unused(); }
  void LoadFromStream(TStream&) override { Unused(); }
  void SaveToFile(const std::string&) override { Unused(); }
  void SaveToStream(TStream&) override { Unused(); }
  void LoadFromXML(const IXMLGeneticProgram&) override { Unused(); }
  void LoadFromXML(const IXMLGPDomainType&) override { Unused(); }
  void LoadFromXML(const IXMLGPInstructions&) override { Unused(); }
  void SaveToXML(const IXMLGeneticProgram&) override { Unused(); }
  void SaveToXML(const IXMLGPDomainType&) override { Unused(); }
  void SaveToXML(const IXMLGPInstructions&) override { Unused(); }

  using Base::DoAntiBloating, Base::DoCrossover, Base::DoInitialize, Base::DoMutate, Base::DoInvert;
  using Base::DoSubtreeMutation, Base::DoReplacementMutation, Base::DoShrinkMutation, Base::DoHoistMutation;
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
  [[noreturn]] static void Unused() { throw std::logic_error("not used by these tests"); }
  bool FBinary;
};
using TFloatGP = TGP<double>;

double AsDouble(double V) { return V; }
double AsDouble(const Variant& V) { return V.AsFloat(); }

// Add, Sub, Mul and protected Div (1 for a zero divisor) over x, for either value type.
template <class T>
void AddQuarticSet(TGP<T>& GP) {
  for (const char* name : {"Add", "Sub", "Mul", "Div"})
    GP.Add(name, gpFunction, 2)->SetOnExecute([](TObject*, TMXGPNode<T>* N, TMXGPContext<T>* C, T& R) {
      const double a = AsDouble(N->GetChild(0)->Execute(C)), b = AsDouble(N->GetChild(1)->Execute(C));
      const char op = N->Instruction()->Name()[0];
      R = T(op == 'A' ? a + b : op == 'S' ? a - b : op == 'M' ? a * b : b == 0 ? 1.0 : a / b);
    });
  GP.Add("x", gpVariable);
}

// Symbolic regression of x^4 + x^3 + x^2 + x over Points points spread over [-1, 1): the
// fitness is the mean squared error (minimised), the run stops below 1e-6.
template <class T>
void SetUpQuartic(TGP<T>& GP, int Points, int Population) {
  AddQuarticSet(GP);
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
}

// Every program of a population as prefix text.
template <class T>
std::vector<std::string> Programs(const TMXGPPopulation<T>& Population) {
  std::vector<std::string> out;
  for (int i = 0; i < Population.Count(); ++i) out.push_back(Population.Items(i)->DNA()->ToString());
  return out;
}

}  // namespace

// === Whole runs ==============================================================================

TEST(GPRun, QuarticRegressionReachesTheCutoff) {
  TFloatGP gp;
  SetUpQuartic(gp, 20, 500);
  RandSeed(7);
  gp.Evolve(50);
  EXPECT_LT(gp.FittestIndividual()->Fitness(), 1e-6) << gp.FittestIndividual()->ToString();
}

// Seeded runs repeat: Evolve twice, and ParallelEvolve on one and on two threads, under
// the strategies that read sizes, statistics and parents from the workers, with every
// mutation method in play.
TEST(GPRun, SeededRunsRepeatWhateverTheNumberOfThreads) {
  const auto run = []<class T>(T, TGPBloatStrategy Strategy, bool Parallel, int Threads) {
    TParallel::SetMaxThreads(Threads);
    TGP<T> gp;
    SetUpQuartic(gp, 8, 40);
    gp.Add("c", gpConstant, 0, T(0.5));
    gp.SetUseFitnessCutoff(false), gp.SetBloatStrategy(Strategy), gp.SetMutationProbability(0.5);
    gp.SetFitnessMethod(Strategy == bsCovariantSizeParsimonyPressure ? fmWeightedMinimize : fmMinimize);
    gp.SetMutationWeights({1, 1, 1, 1, 1, 1});
    gp.SetOnConstantMutation([](TObject*, TMXGPNode<T>* N) { N->SetValue(T(AsDouble(N->Value()) + Random() - 0.5)); });
    RandSeed(11);
    EXPECT_EQ(Parallel ? gp.ParallelEvolve(6) : gp.Evolve(6), 6);
    TParallel::SetMaxThreads(0);
    std::vector<std::string> state = Programs(*gp.Population());
    state.push_back(FloatToStr(gp.ParsimonyCoefficient()) + " " + FloatToStr(gp.AvgProgramSize()));
    return state;
  };
  for (TGPBloatStrategy strategy : {bsNone, bsTarpeianSize, bsSizeFairCrossover, bsCovariantSizeParsimonyPressure,
                                    bsLexicographicParsimonyPressure, bsHoistSize}) {
    SCOPED_TRACE(EnumName(strategy));
    EXPECT_EQ(run(0.0, strategy, false, 0), run(0.0, strategy, false, 0));
    EXPECT_EQ(run(0.0, strategy, true, 1), run(0.0, strategy, true, 2));
  }
  EXPECT_EQ(run(Variant(), bsTarpeianDepth, true, 1), run(Variant(), bsTarpeianDepth, true, 2));
}

// === Bloat control =============================================================================

TEST(GPBloat, EachStrategyActsWhereItsRuleSays) {
  // The population (raw fitness = depth, minimised, BloatLimit 5): X (size 1, depth 0),
  // Y (3, 1), D (7, 3), A (11, 3), B (13, 6); average size 7, average depth 2.6. E (11, 5)
  // is a child only. Sizes and depths exactly at the limit pass.
  const char* X = "x";
  const char* Y = "(Add x y)";
  const char* D = "(Add x (Add x (Add x y)))";
  const char* A = "(Add (Add (Add x y) (Add x y)) (Add x y))";
  const char* B = "(Add x (Add x (Add x (Add x (Add x (Add x y))))))";
  const char* E = "(Add x (Add x (Add x (Add x (Add x y)))))";
  struct TRow {
    TGPBloatStrategy Strategy;
    const char* Reproduction;  // after reproduction of A (changed), A (unchanged), B, E from X:
                               // = kept, P a copy of the parent, S shrunk, H hoisted
    const char* Raw;           // raw fitness of X Y D A B (U: unfit, the handler not asked)
    double Penalty;            // weighted minus raw fitness of A (coefficient 0.5)
    bool SmallerWins;          // D (size 7) beats A (size 11) of equal fitness in every tournament
    bool FairCrossover;        // crossing X with A leaves a one-node program
  };
  const TRow rows[] = {
      {bsNone, "====", "0 1 3 3 6", 0, false, false},
      {bsSizeLimit, "P=PP", "0 1 3 3 6", 0, false, false},
      {bsDepthLimit, "==P=", "0 1 3 3 6", 0, false, false},
      {bsTarpeianSize, "====", "0 1 3 U U", 0, true, false},
      {bsTarpeianDepth, "====", "0 1 U U U", 0, false, false},
      {bsUnfitSize, "====", "0 1 U U U", 0, false, false},
      {bsUnfitDepth, "====", "0 1 3 3 U", 0, false, false},
      {bsShrinkDepth, "==S=", "0 1 3 3 6", 0, false, false},
      {bsShrinkSize, "SSSS", "0 1 3 3 6", 0, false, false},
      {bsHoistDepth, "==H=", "0 1 3 3 6", 0, false, false},
      {bsHoistSize, "HHHH", "0 1 3 3 6", 0, false, false},
      {bsSizeFairCrossover, "====", "0 1 3 3 6", 0, false, true},
      {bsDepthFairCrossover, "====", "0 1 3 3 6", 0, false, true},
      {bsSizeParsimonyPressure, "====", "0 1 3 3 6", 0.5 * 11, false, false},
      {bsDepthParsimonyPressure, "====", "0 1 3 3 6", 0.5 * 3, false, false},
      // Cov(size, fitness) = 11 and Var(size) = 26; Cov(depth, fitness) = Var(depth).
      {bsCovariantSizeParsimonyPressure, "====", "0 1 3 3 6", 11.0 / 26 * 11, false, false},
      {bsCovariantDepthParsimonyPressure, "====", "0 1 3 3 6", 1.0 * 3, false, false},
      {bsLexicographicParsimonyPressure, "====", "0 1 3 3 6", 0, true, false},
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

    std::string raw;
    for (int i = 0; i < 5; ++i) {
      const int before = calls;
      const TGAFitness fitness = gp.EvaluateFitness(gp.Population()->Items(i), false);
      raw += (i ? " " : "") + (fitness == gp.UnfitFitness() && calls == before ? "U" : FloatToStr(fitness));
    }
    EXPECT_EQ(raw, row.Raw);

    gp.EvaluateFitness();  // the weighted statistics set the covariant coefficient
    const TMXIndividual* a = gp.Population()->Items(3);
    EXPECT_NEAR(a->WeightedFitness() - a->Fitness(), row.Penalty, 1e-12);

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

// === Operators ===================================================================================

namespace {

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

// Every operator, many times over random trees of tree and binary nodes, leaves whole trees,
// also when it fails.
TEST(GPOperators, KeepTreesWhole) {
  for (bool binary : {false, true}) {
    TFloatGP gp(binary);
    AddArithmetic(gp);
    gp.SetInitialPopulation(30), gp.SetInitializationMethod(imRampedHalfAndHalf), gp.SetInitializationDepth(5);
    gp.SetMutationWeights({1, 1, 1, 1, 1, 1}), gp.SetPointMutationProbability(0.3);
    gp.SetOnConstantMutation([](TObject*, TMXGPNode<double>* N) { N->SetValue(N->Value() + 1); });
    RandSeed(3);
    gp.Initialize();
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

TEST(GPOperators, PlacesAndEdges) {
  TFloatGP gp;
  AddArithmetic(gp);
  TMXGPPopulation<double> scratch(&gp);
  // Swapping with a root: the other subtree becomes the root, the root the last child of
  // the other's parent (a grafted node always becomes the last child).
  struct TCase { bool OurRoot; const char* Ours; const char* Theirs; };
  for (const TCase c : {TCase{true, "x", "(Sub y (Add x y))"}, TCase{false, "(Add x (Sub x y))", "y"}}) {
    TMXGPIndividual<double>* ours = gp.Make(scratch, "(Add x y)");
    TMXGPIndividual<double>* theirs = gp.Make(scratch, "(Sub x y)");
    ours->Crossover(c.OurRoot ? ours->DNA() : ours->DNA()->GetChild(1), theirs,
                    c.OurRoot ? theirs->DNA()->GetChild(0) : theirs->DNA());
    EXPECT_EQ(ours->DNA()->ToString(), c.Ours);
    EXPECT_EQ(theirs->DNA()->ToString(), c.Theirs);
    ExpectWhole(*ours), ExpectWhole(*theirs);
  }
  // Only constant mutation: the handler changes one constant. All weights zero: no method,
  // still a success. Either way the individual needs evaluation.
  RandSeed(5);
  gp.SetOnConstantMutation([](TObject*, TMXGPNode<double>* N) { N->SetValue(7); });
  for (TGPMutationMethodWeights weights : {TGPMutationMethodWeights{0, 0, 10, 0, 0, 0}, TGPMutationMethodWeights{}}) {
    gp.SetMutationWeights(weights);
    TMXGPIndividual<double>* item = gp.Make(scratch, "(Add c:2 (Mul x c:2))");
    EXPECT_TRUE(gp.DoMutate(item));
    EXPECT_TRUE(item->NeedFitness());
    const std::string text = item->DNA()->ToString();
    EXPECT_TRUE(weights[mmConstant] ? text == "(Add 7 (Mul x 2))" || text == "(Add 2 (Mul x 7))" : text == "(Add 2 (Mul x 2))");
  }
  // Point mutation per tree with certainty changes the root's instruction only, to one of
  // the same kind; per node every node may change, the shape stays.
  gp.SetPointMutationProbability(1);
  for (TGPPointMutationMethod method : {pmmPerTree, pmmPerNode}) {
    gp.SetPointMutationMethod(method);
    std::set<std::string> seen;
    for (int i = 0; i < 40; ++i) {
      TMXGPIndividual<double>* item = gp.Make(scratch, "(Add x (Mul y c:3))");
      EXPECT_TRUE(gp.DoInvert(item));
      const std::string text = item->DNA()->ToString();
      seen.insert(text);
      EXPECT_EQ(std::pair(item->DNA()->Size(), item->DNA()->Depth()), std::pair(5, 2));
      if (method == pmmPerTree) {
        EXPECT_EQ(text.substr(4), " x (Mul y 3))");
      }
    }
    EXPECT_EQ(seen.size() > 4, method == pmmPerNode) << seen.size();
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
  // Binary functions only: a full tree of budget b has depth b - 1 and 2^b - 1 nodes.
  struct TRow {
    TGPInitializationMethod Method;
    int Depth, Count, Index;  // InitializationDepth (0: the three functions), population, individual
    bool Full;
    int Budget;
  };
  const TRow rows[] = {
      {imFull, 0, 4, 3, true, 3},          {imGrow, 4, 4, 2, false, 4},
      {imRampedFull, 6, 100, 0, true, 2},  {imRampedFull, 6, 100, 99, true, 6},
      {imRampedGrow, 6, 100, 50, false, 4}, {imHalfAndHalf, 4, 4, 2, true, 4},
      {imHalfAndHalf, 4, 4, 3, false, 4},  {imRampedHalfAndHalf, 6, 100, 98, true, 6},
      {imRampedHalfAndHalf, 6, 100, 99, false, 6},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(EnumName(row.Method) + " " + std::to_string(row.Index));
    TFloatGP gp;
    for (const char* name : {"Add", "Sub", "Mul"}) gp.Add(name, gpFunction, 2);
    gp.Add("x", gpVariable), gp.Add("y", gpVariable);
    gp.SetInitializationMethod(row.Method), gp.SetInitializationDepth(row.Depth), gp.SetInitialPopulation(row.Count);
    gp.SetInitialDuplicatesRetries(0);
    gp.Initialize();
    const TMXGPNode<double>* tree = gp.Population()->Items(row.Index)->DNA();
    EXPECT_LE(tree->Depth(), row.Budget - 1);
    if (row.Full) {
      EXPECT_EQ(std::pair(tree->Depth(), tree->Size()), std::pair(row.Budget - 1, (1 << row.Budget) - 1));
    }
  }

  // Duplicates: one function and two terminals make four distinct full trees of budget 2;
  // more individuals are rebuilt until distinct, raising the budget every retry here.
  // Without retries duplicates stay. With a single terminal the budget stops rising four
  // levels above the configured one, and individuals give up: the run ends.
  struct TDuplicates {
    int Terminals, Retries, Count, LeastDepth, MostDepth;  // the last two bound the deepest program
  };
  for (const TDuplicates c : {TDuplicates{2, 1, 6, 2, 5}, TDuplicates{2, 0, 6, 1, 1}, TDuplicates{1, 1, 40, 5, 5}}) {
    SCOPED_TRACE(c.Terminals * 100 + c.Retries);
    TFloatGP gp;
    gp.Add("Add", gpFunction, 2), gp.Add("x", gpVariable);
    if (c.Terminals == 2) gp.Add("y", gpVariable);
    gp.SetInitialDuplicatesRetries(c.Retries);
    RandSeed(2);
    for (int i = 0; i < c.Count; ++i) gp.Population()->Add();
    const int rebuilt = gp.DoInitialize();
    const std::vector<std::string> programs = Programs(*gp.Population());
    EXPECT_EQ(std::set(programs.begin(), programs.end()).size() == programs.size(), c.Retries > 0 && c.Terminals == 2);
    EXPECT_EQ(rebuilt > 0, c.Retries > 0);
    EXPECT_GE(gp.MaxProgramDepth(), c.LeastDepth);
    EXPECT_LE(gp.MaxProgramDepth(), c.MostDepth);
  }

  // Missing instructions raise; the individuals keep the trees they had.
  struct TMissing {
    TGPInitializationMethod Method;
    bool Functions, Terminals;
    const char* Error;
  };
  for (const TMissing row : {TMissing{imFull, false, true, "No operations found"},
                             TMissing{imFull, true, false, "No terminals found"}, TMissing{imGrow, false, false, "No nodes found"}}) {
    TFloatGP gp;
    if (row.Functions) gp.Add("Add", gpFunction, 2);
    if (row.Terminals) gp.Add("x", gpVariable);
    gp.SetInitializationMethod(row.Method), gp.SetInitialPopulation(3);
    EXPECT_EQ(test::ErrorOf<EGPException>([&] { gp.Initialize(); }), row.Error);
    EXPECT_EQ(Programs(*gp.Population()), std::vector<std::string>(3, "nil"));
  }
}

// === Instructions and settings =======================================================================

TEST(GPComponent, InstructionListsSettersAndSearchSpace) {
  TFloatGP gp;
  EXPECT_EQ(gp.SearchSpaceSize(0), 0);
  gp.SetInitialPopulation(3), gp.SetInitializationMethod(imGrow), gp.Add("x", gpVariable);
  const auto lists = [&] {
    std::string text;
    for (int i = 0; i < gp.FunctionsCount(); ++i) text += gp.Functions(i)->Name() + " ";
    for (int i = 0; i < gp.TerminalsCount(); ++i) text += (i ? " " : "| ") + gp.Terminal(i)->Name();
    gp.Initialize();  // refilled for the next change to empty
    return text + (gp.Population()->Count() == 3 && gp.PreviousGeneration()->Count() == 3 ? "" : " unfilled");
  };
  // Every change empties both populations; the lists follow the arity, also when only the
  // arity of a function changes (no operation change is reported then).
  EXPECT_EQ(lists(), "| x");
  TMXGPInstruction<double>* f = gp.Add("f", gpFunction);
  EXPECT_EQ(lists(), "| x f");
  TMXGPInstruction<double>* g = gp.Add("g", gpVariable);
  const auto emptied = [&](auto Change) {
    lists(), Change();
    return gp.Population()->Count() + gp.PreviousGeneration()->Count() == 0;
  };
  EXPECT_TRUE(emptied([&] { f->SetArity(2); }));
  EXPECT_TRUE(emptied([&] { g->SetArity(1); }));  // a variable with an arity turns function
  EXPECT_EQ(lists(), "f g | x");
  EXPECT_TRUE(emptied([&] { f->SetOperation(gpConstant); }));
  EXPECT_TRUE(emptied([&] { gp.Instructions()->Delete(0); }));
  EXPECT_EQ(lists(), "g | f");
  EXPECT_THROW(gp.Functions(1), EListError);
  // One binary function and two terminals: 1, (1 + 2)^2, (9 + 2)^2, ... until infinite.
  g->SetArity(2);
  gp.Add("y", gpVariable);
  EXPECT_EQ(std::vector({gp.SearchSpaceSize(0), gp.SearchSpaceSize(1), gp.SearchSpaceSize(2)}), std::vector({1.0, 9.0, 121.0}));
  EXPECT_EQ(gp.SearchSpaceSize(4'000'000'000u), HUGE_VAL);

  gp.SetMutateHoistWeight(-4), gp.SetMutatePointWeight(300);
  EXPECT_EQ(std::vector({gp.MutateHoistWeight(), gp.MutatePointWeight(), gp.MutationWeightSum()}), std::vector({0, 255, 305}));
  gp.SetMutationWeights({-56, 0, 0, 0, 0, 1});  // entries are bytes: -56 reads 200
  EXPECT_EQ(std::pair(gp.MutateSubtreeWeight(), gp.MutationWeightSum()), std::pair(200, 201));
}

// === Individuals and populations ======================================================================

TEST(GPIndividual, SelectionExecutionTextAndXML) {
  TFloatGP gp;
  AddArithmetic(gp);
  TMXGPIndividual<double> lone;  // outside a population: no tree
  EXPECT_EQ(std::pair(lone.Execute(nullptr), lone.SelectNode(0.9)), std::pair(0.0, (TMXGPNode<double>*)nullptr));
  EXPECT_EQ(TMXGPIndividual<Variant>().Execute(nullptr), Variant());
  TMXGPPopulation<double>& population = *gp.Population();
  EXPECT_EQ(population.Add()->ToString(), "TMXGPIndividual<Double>: nil");
  TMXGPIndividual<double>* item = gp.Make(population, "(Add x (Mul y x))");
  item->SetName("p");
  TMXGPContext<double> context;
  context.Values()->AddOrSetValue("x", 2), context.Values()->AddOrSetValue("y", 3);
  EXPECT_EQ(item->Execute(&context), 8);
  EXPECT_EQ(item->SelectNode(0, true), nullptr);
  EXPECT_EQ(item->SelectNode(0, false)->GetChildCount(), 0);
  EXPECT_EQ(item->SelectNode(0.9, TGPGeneticInstructions{gpConstant}), nullptr);
  // The bias: with p = 0.9 the two functions of these five nodes are picked with a
  // probability of 0.674 (a uniform pick: 0.4; thresholds swapped: 0.23).
  int functions = 0;
  for (int i = 0; i < 4000; ++i) functions += item->SelectNode(0.9)->GetChildCount() > 0;
  EXPECT_NEAR(functions / 4000.0, 0.674, 0.03);

  // Population elements: the fitness is written, not read; a load replaces the individuals.
  gp.SetOnEvaluateFitness([](TObject*, TMXIndividual*, TGAFitness& Fitness) { Fitness = 0.1; });
  auto doc = NewGPPopulation();
  population.SaveToXML(doc.Root());
  EXPECT_NE(doc.Document().XML().find("<Fitness>0.1</Fitness>"), std::string::npos);
  for (int i = 0; i < 10; ++i) gp.Make(population, "x");
  population.LoadFromXML(doc.Root());
  ASSERT_EQ(population.Count(), 2);
  EXPECT_EQ(population.Items(1)->ToString(), "p: (Add x (Mul y x))");
  EXPECT_TRUE(population.Items(1)->NeedFitness());
  // An unknown instruction raises and changes nothing.
  doc->Get_Individual(1).Get_DNA().Get_Child()[1].Set_Instruction("Pow");
  EXPECT_EQ(test::ErrorOf<EGPException>([&] { population.LoadFromXML(doc.Root()); }), "Unknown instruction \"Pow\"");
  EXPECT_EQ(Programs(population), (std::vector<std::string>{"nil", "(Add x (Mul y x))"}));
}

// === Fitness =====================================================================================

// A fitness handler's NaN counts as the worst fitness, in GA and GP alike: it never becomes
// the fittest and leaves the statistics finite.
TEST(GPComponent, NaNFitnessIsTheWorst) {
  for (TGAFitnessMethod method : {fmMinimize, fmMaximize}) {
    TMXGeneticAlgorithm ga;
    TFloatGP gp;
    AddArithmetic(gp);
    for (TMXCustomGeneticComponent* component : {static_cast<TMXCustomGeneticComponent*>(&ga), static_cast<TMXCustomGeneticComponent*>(&gp)}) {
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
  const std::vector<double> x{1, 2, 3}, y{2, 4, 6}, z{3, 1, 2}, flat{5, 5, 5};
  EXPECT_EQ(CoVariance(x, y), 2);
  EXPECT_EQ(CoVariance(x, z), -0.5);
  EXPECT_DOUBLE_EQ(Correlation(x, y), 1);
  EXPECT_DOUBLE_EQ(Correlation(x, z), -0.5);
  for (auto [a, b] : {std::pair{x, flat}, {x, std::vector<double>{1, 2}}, {std::vector<double>{1}, std::vector<double>{2}}})
    EXPECT_EQ(std::pair(CoVariance(a, b), Correlation(a, b)), std::pair(0.0, 0.0));
}
