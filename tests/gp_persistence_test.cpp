// GP persistence and the program executor: the published GP components' documents,
// streaming, Assign and report, saving and resuming runs, and the executor's program text,
// documents and hand-over from a finished run.
#include "gp_test_support.h"
#include "support.h"

#include <evokit/gp/gp.h>
#include <evokit/platform/filer.h>
#include <evokit/platform/streams.h>

#include <gtest/gtest.h>

#include <cstdio>

using namespace evokit;
using namespace evokit::test;

namespace {

std::string Save(IMXGeneticProgramReaderWriter& C) { TStringStream out; C.SaveToStream(out); return out.DataString(); }
void Load(IMXGeneticProgramReaderWriter& C, const std::string& Text) { TStringStream in(Text); C.LoadFromStream(in); }
std::string Written(TComponent& C) { TStringStream out; WriteComponent(out, &C); return out.DataString(); }

void Arithmetic(TObject*, TMXGPNode<double>* N, TMXGPContext<double>* C, double& R) {
  const double a = N->GetChild(0)->Execute(C), b = N->GetChild(1)->Execute(C);
  const char op = N->Instruction()->Name()[0];
  R = op == 'A' ? a + b : op == 'S' ? a - b : op == 'M' ? a * b : b == 0 ? 1.0 : a / b;
}

// Streams Text into C, finding the Arithmetic handler by its name.
void Read(const std::string& Text, TComponent& C) {
  THandlerTable handlers;
  handlers.Add<TFloatNodeEvent>("Arithmetic", Arithmetic);
  TStringStream in(Text);
  ReadComponent(in, &C, &handlers);
}

// Adds Add, Sub, Mul, Div (named handlers), x and the constant c (1.5) to Set.
void AddInstructions(TMXGPInstructions<double>& Set) {
  for (const char* name : {"Add", "Sub", "Mul", "Div"}) {
    TMXGPInstruction<double>* item = Set.Add();
    item->SetName(name), item->SetOperation(gpFunction), item->SetArity(2);
    item->SetOnExecute(NamedHandler<TFloatNodeEvent>("Arithmetic", Arithmetic));
  }
  TMXGPInstruction<double>* x = Set.Add();
  x->SetName("x"), x->SetComment("input");
  TMXGPInstruction<double>* c = Set.Add();
  c->SetName("c"), c->SetOperation(gpConstant), c->SetValue(1.5);
}

// The quartic regression of x^4 + x^3 + x^2 + x over 20 points, minimising the squared error.
void Quartic(TMXCustomGeneticProgramming<double>& GP) {
  AddInstructions(*GP.Instructions());
  GP.SetInitialPopulation(30), GP.SetInitializationMethod(imRampedHalfAndHalf), GP.SetInitializationDepth(4);
  GP.SetMutationProbability(0.3), GP.SetMutateConstantWeight(10), GP.SetBloatStrategy(bsDepthLimit);
  GP.SetOnEvaluateFitness(NamedHandler<TMXFitnessEvent>("Quartic", [](TObject*, TMXIndividual* Item, TGAFitness& F) {
    TMXGPContext<double> context;
    for (int i = 0; i < 20; ++i) {
      const double x = -1 + i / 10.0;
      context.Values()->AddOrSetValue("x", x);
      const double error = static_cast<TMXGPIndividual<double>*>(Item)->Execute(&context) - x * (1 + x * (1 + x * (1 + x)));
      F += error * error;
    }
  }));
}

std::vector<std::string> Programs(const TMXGPPopulation<double>& Population) {
  std::vector<std::string> out;
  for (int i = 0; i < Population.Count(); ++i) out.push_back(Population.Items(i)->DNA()->ToString());
  return out;
}

// Every node of the tree under Node refers to an instruction of Set.
template <class T>
bool RefersOnlyTo(const TMXGPNode<T>* Node, const TCollection* Set) {
  if (Node->Instruction() == nullptr || Node->Instruction()->Collection() != Set) return false;
  for (int i = 0; i < Node->GetChildCount(); ++i)
    if (!RefersOnlyTo<T>(Node->GetChild(i), Set)) return false;
  return true;
}

// The instructions of a set as "name:operation/arity" items separated by blanks.
template <class T>
std::string Kinds(const TMXGPInstructions<T>& Set) {
  std::string out;
  for (int i = 0; i < Set.Count(); ++i)
    out += Set.Items(i)->Name() + ":" + EnumName(Set.Items(i)->Operation()) + "/" + std::to_string(Set.Items(i)->Arity()) + " ";
  return out;
}

}  // namespace

// The report of a configured component, and its distribution when no method has weight.
TEST(GPPersistence, DescribeReport) {
  TMXGeneticProgramming gp;
  AddInstructions(*gp.Instructions());
  gp.Instructions()->Items(0)->SetComment("sum");
  gp.SetMutationWeights({50, 0, 0, 25, 25, 0});
  gp.SetInitializationDepth(6), gp.SetBloatStrategy(bsSizeLimit), gp.SetBloatLimit(40);
  gp.SetUseDiversityLimit(true);
  EXPECT_EQ(Lines(gp.ToString()),
            (std::vector<std::string>{
                "Operating Conditions", "   Fitness Method = fmMinimize", "   Crossover Probability = 90.00%",
                "   Inversion Probability = 10.00%", "   Mutation Probability = 1.00%",
                "   Mutation Distribution = mmSubtree(50.00%), mmReplacement(0.00%), mmConstant(0.00%), "
                "mmShrink(25.00%), mmHoist(25.00%), mmPoint(0.00%)",
                "   Selection Method = smStochasticTournament", "   Selection Non-terminals Probability = 90.00%",
                "   Anti-Bloating Strategy = bsSizeLimit", "   Anti-Bloating Limit = 40", "   Terminals (2)",
                "      x (input), c", "   Functions (4)", "      Add (sum)", "      Sub", "      Mul", "      Div",
                "Initial Conditions", "   Population = 100", "   Initial Tree Depth = Max of 6",
                "   Initialization Method = imFull", "Termination Conditions", "   Diversity less than 2.00%"}));
  gp.SetMutationWeights({});
  EXPECT_NE(gp.ToString().find("mmSubtree(0.00%), mmReplacement(0.00%)"), std::string::npos);
}

// Component streaming writes the GP settings changed from their defaults, the defined
// floats even at 0, and reads every one back; each mutation weight has its own property,
// and its own element in the document. SizeObjective streams ahead of the objective
// settings: a sense changed after it and the reference point survive the read; a failed
// read puts SizeObjective and the settings back.
TEST(GPPersistence, ComponentStreaming) {
  const char* properties[] = {"MutateSubtreeWeight", "MutateReplacementWeight", "MutateConstantWeight",
                              "MutateShrinkWeight",  "MutateHoistWeight",       "MutatePointWeight"};
  ASSERT_EQ(std::size(properties), static_cast<std::size_t>(EnumCount<TGPMutationMethod>()));
  TMXGeneticProgramming gp, read, loaded, copy, other;
  AddInstructions(*gp.Instructions());
  TGPMutationMethodWeights weights{};
  for (std::size_t m = 0; m < weights.size(); ++m) weights[m] = static_cast<std::int8_t>(11 * (m + 1));  // no default
  gp.SetMutationWeights(weights), gp.SetSelectionNonTerminalsProbability(0), gp.SetTarpeianProbability(0);
  gp.SetReuseFitness(true);
  gp.SetParsimonyCoefficient(0.25), gp.SetTournamentField(3), gp.SetBloatStrategy(bsTarpeianSize);
  gp.SetFitnessMethod(fmMaximize), gp.SetSizeObjective(true);
  gp.SetObjectiveSense(1, osMaximize), gp.SetHypervolumeReference(std::vector<double>{0.5, 3});
  const std::string text = Written(gp), document = Save(gp);
  for (const char* line : {"SelectionNonTerminalsProbability = 0", "TarpeianProbability = 0", "ParsimonyCoefficient = 0.25",
                           "BloatStrategy = bsTarpeianSize", "ReuseFitness = True", "SizeObjective = True"})
    EXPECT_NE(text.find(line), std::string::npos) << line;
  for (int m = 0; m < EnumCount<TGPMutationMethod>(); ++m) {
    const std::string method = EnumName(static_cast<TGPMutationMethod>(m)), weight = std::to_string(11 * (m + 1));
    EXPECT_NE(document.find("<" + method + ">" + weight + "</"), std::string::npos) << method;
    EXPECT_NE(text.find(properties[m] + (" = " + weight) + "\n"), std::string::npos) << properties[m];
  }
  Read(text, read);
  Load(loaded, document);
  EXPECT_EQ(Written(read), text);
  EXPECT_EQ(std::pair(loaded.MutationWeights(), read.MutationWeights()), std::pair(weights, weights));
  EXPECT_EQ(std::tuple(read.SizeObjective(), read.ObjectiveCount(), read.ObjectiveSense(0), read.ObjectiveSense(1),
                       read.HypervolumeReference()),
            std::tuple(true, 2, osMaximize, osMaximize, std::vector<double>{0.5, 3}));
  copy.Assign(&gp);
  EXPECT_TRUE(copy.ReuseFitness() && copy.SizeObjective());

  other.SetObjectiveCount(3), other.SetObjectiveSense(2, osMaximize);
  const std::string before = Written(other);
  std::string bad = text;
  bad.replace(bad.find("HypervolumeReference = ("), 24, "HypervolumeReference = (1 ");  // three values
  EXPECT_THROW(Read(bad, other), EReadError);
  EXPECT_FALSE(other.SizeObjective());
  EXPECT_EQ(Written(other), before);
}

// A run saved mid-way loads into a fresh component and saves the same text; it then
// continues exactly as the uninterrupted run. Assign gives the same, with every copied
// program on the target's own instructions; AssignAll also copies the instructions'
// handlers and keeps the population.
TEST(GPPersistence, SaveLoadAssignAndResume) {
  const std::string path = TempPath("gp.xml");
  RandSeed(5);
  TMXGeneticProgramming run, loaded, assigned, all;
  Quartic(run);
  run.Evolve(4);
  run.SaveToFile(path);
  const std::string text = Save(run);
  for (auto* gp : {&loaded, &assigned, &all}) gp->SetOnEvaluateFitness(run.OnEvaluateFitness());
  // Loading merges the instructions by name: those already there keep their handlers.
  AddInstructions(*loaded.Instructions());
  loaded.SetInitialPopulation(7);
  loaded.LoadFromFile(path);
  EXPECT_EQ(loaded.InitialPopulation(), 7);
  EXPECT_EQ(Save(loaded), text);
  assigned.Assign(&run);
  all.AssignAll(&run);
  for (int i = 0; i < assigned.Population()->Count(); ++i)
    EXPECT_TRUE(RefersOnlyTo(assigned.Population()->Items(i)->DNA(), assigned.Instructions()));
  EXPECT_EQ(assigned.Instructions()->Items(0)->OnExecute(), nullptr);
  EXPECT_EQ(Save(all), text);
  // Assign does not carry the instructions' handlers.
  for (int i = 0; i < 4; ++i) assigned.Instructions()->Items(i)->SetOnExecute(Arithmetic);
  for (auto* gp : {&run, &loaded, &assigned, &all}) RandSeed(9), gp->Evolve(3);
  for (auto* gp : {&loaded, &assigned, &all}) EXPECT_EQ(Programs(*gp->Population()), Programs(*run.Population()));
  std::remove(path.c_str());
}

// Reading rules: an empty Reproduction reads as the defaults and zero (no mutation
// weight at all); bad documents raise their error and change nothing.
TEST(GPPersistence, LoadRulesAndBadDocuments) {
  TMXGeneticProgramming empty, gp;
  empty.SetPointMutationMethod(pmmPerTree), empty.SetInitializationMethod(imGrow);
  Load(empty, "<GeneticProgram><Reproduction/><Domain/></GeneticProgram>");
  EXPECT_EQ(std::tuple(empty.InitializationMethod(), empty.MutationWeightSum(), empty.SelectionNonTerminalsProbability(),
                       empty.PointMutationMethod(), empty.Initialized()),
            std::tuple(imFull, 0, TGAProbability(0), pmmPerNode, true));

  RandSeed(2);
  Quartic(gp);
  gp.SetMutationWeights(DefaultMutationWeights);
  gp.Evolve(1);
  const std::string good = Save(gp);
  // The bad documents also change the generation: a partial load would show.
  std::string changed = good;
  changed.replace(changed.find("<Generation>1<"), 14, "<Generation>7<");
  // The first From after "<Population>" (the fittest individual is not read).
  const auto replaced = [&](const std::string& From, const std::string& To) {
    std::string text = changed;
    return text.replace(text.find(From, text.find("<Population>")), From.size(), To);
  };
  const std::pair<std::string, std::string> rows[] = {  // a document and its error's class and message
      {replaced("Instruction=\"x\"", "Instruction=\"z\""), "EGPException Unknown instruction \"z\""},
      {replaced("Instruction=\"c\"><Value>", "Instruction=\"c\"><Value>z"), "EConvertError"},
      {std::string(changed).replace(changed.find(">4</InitializationDepth>"), 2, ">four"), "EConvertError"},
      {"<GeneticProgram><Reproduction/></GeneticProgram>", "EXMLDocError"},
      {"<GPDomain/>", "EXMLDocError"},
  };
  for (const auto& [text, expected] : rows) {
    std::string error = "no exception";
    try {
      Load(gp, text);
    } catch (const Exception& e) {
      error = std::string(e.ClassName()) + " " + e.Message();
    }
    EXPECT_TRUE(error.starts_with(expected)) << error << "\n" << text.substr(0, 200);
    EXPECT_EQ(Save(gp), good);
  }
}

// The binary component makes standard primitives and binary nodes (two children at most);
// the variant component makes the variant family's instructions and nodes.
TEST(GPPersistence, ConcreteClasses) {
  TMXBinaryGeneticProgramming binary;
  TMXGeneticProgrammingVariant variants;
  const std::unique_ptr<TMXGPInstructions<double>> set(binary.CreateInstructions(TCollectionItemClass::Of<TMXGPInstruction<double>>()));
  EXPECT_EQ(set->Add()->ClassName(), "TMXGPFloatPrimitive");
  EXPECT_EQ(variants.Instructions()->Add()->ClassName(), "TMXGPVariantInstruction");
  EXPECT_EQ(std::unique_ptr<TMXGPNode<double>>(binary.CreateNode(nullptr, nullptr))->ClassName(), "TMXGPBinaryFloatNode");
  EXPECT_EQ(std::unique_ptr<TMXGPNode<Variant>>(variants.CreateNode(nullptr, nullptr))->ClassName(), "TMXGPVariantNode");
}

// A finished run hands its fittest program to an executor by Assign, and to one without
// instructions by SetGPProgram (which copies what the program uses: see
// SetProgramReusesInstructionsByName). Both outlive the run and compute what it did; the
// executor's document and its streamed text load into fresh executors whose instructions
// carry the handlers, with the same results again.
TEST(GPExecutor, RunToExecutorRoundTrip) {
  TMXGeneticProgrammingExecutor executor, direct, loaded, streamed, none;
  TMXGPContext<double> context;
  EXPECT_EQ(executor.Execute(&context), 0.0);  // no program yet
  std::vector<double> expected;
  {
    RandSeed(11);
    TMXGeneticProgramming run;
    Quartic(run);
    run.Evolve(5);
    TMXGPIndividual<double>* fittest = run.FittestIndividual();
    ASSERT_GT(fittest->DNA()->Size(), 1);
    executor.Assign(&run), direct.SetGPProgram(fittest->DNA());
    for (int i = 0; i < 20; ++i) {
      context.Values()->AddOrSetValue("x", -1 + i / 10.0);
      expected.push_back(fittest->Execute(&context));
    }
    run.Population()->Clear();
    none.Assign(&run);  // no fittest individual: no program
  }
  EXPECT_FALSE(none.GPProgram());
  ASSERT_TRUE(executor.GPProgram() && direct.GPProgram());

  const std::string path = TempPath("executor.xml");
  executor.SaveToFile(path);
  AddInstructions(*loaded.Instructions());
  loaded.LoadFromFile(path);
  std::remove(path.c_str());
  Read(Written(executor), streamed);
  streamed.Parse();  // the text is only stored until Parse
  for (int i = 0; i < 20; ++i) {
    context.Values()->AddOrSetValue("x", -1 + i / 10.0);
    for (TMXGeneticProgrammingExecutor* each : {&executor, &direct, &loaded, &streamed})
      EXPECT_EQ(each->Execute(&context), expected[static_cast<std::size_t>(i)]) << i;
  }
  TMXGeneticProgrammingExecutor copy;
  copy.Assign(&loaded);
  EXPECT_EQ(Save(copy), Save(executor));
  // Standard primitives keep computing in the copies.
  TMXGeneticProgrammingExecutor primitives;
  {
    gptest::TPrimitiveSet standard;
    primitives.SetGPProgram(standard.Build("(add (mul x x) c:2)").get());
  }
  context.Values()->AddOrSetValue("x", 3.0);
  EXPECT_EQ(primitives.Execute(&context), 11.0);
}

// Program text: setting the program empties it, reading regenerates the DNA element, and
// Parse reads it back, as it reads a GPDomain document. Bad text raises and keeps the
// program; an empty set parses nothing.
TEST(GPExecutor, ProgramTextAndParse) {
  TMXGeneticProgrammingExecutor executor;
  TStringList lines;
  lines.SetText("<DNA Instruction=\"x\"/>");
  executor.SetGPProgramLines(&lines);
  executor.Parse();
  EXPECT_FALSE(executor.GPProgram());
  AddInstructions(*executor.Instructions());
  const std::unique_ptr<TMXGPNode<double>> tree(gptest::BuildTree(*executor.Instructions(), "(Add x (Mul c:2.5 x))"));
  executor.SetGPProgram(tree.get());
  EXPECT_NE(executor.GetGPProgramLines()->Text().find("<DNA Instruction=\"Add\">"), std::string::npos);  // regenerated
  executor.Parse();
  ASSERT_TRUE(executor.GPProgram());
  EXPECT_EQ(executor.GPProgram()->ToString(), "(Add x (Mul 2.5 x))");
  for (const char* bad : {"<DNA Instruction=\"q\"/>", "(Add x x)", "<Other/>", "<DNA Instruction=\"c\"><Value>z</Value></DNA>"}) {
    lines.SetText(bad);
    executor.SetGPProgramLines(&lines);
    EXPECT_THROW(executor.Parse(), Exception) << bad;
    EXPECT_EQ(executor.GPProgram()->ToString(), "(Add x (Mul 2.5 x))") << bad;
  }
  lines.SetText("<GPDomain><FittestIndividual><DNA Instruction=\"Sub\"><Child Instruction=\"x\"/>"
                "<Child Instruction=\"c\"><Value>2</Value></Child></DNA></FittestIndividual></GPDomain>");
  executor.SetGPProgramLines(&lines);
  executor.Parse();
  EXPECT_EQ(executor.GPProgram()->ToString(), "(Sub x 2)");
  executor.Instructions()->Items(4)->SetName("");  // x: its name could not be read back
  EXPECT_THROW(Save(executor), EGPException);
}

// Variable leaves with weights of their own (regression's fitted weights) keep them through
// the component's document, also where the variable instruction's value differs.
TEST(GPPersistence, WeightedVariablesRoundTrip) {
  TMXGPRegressionSettings settings;
  const std::vector<std::string> variables{"x"};
  TMXGPRegressionProgramming gp, loaded;
  ApplyRegressionSettings(gp, settings, variables);  // x's value 1: each new leaf's weight
  settings.VariableWeights = false;
  ApplyRegressionSettings(loaded, settings, variables);  // x's value 0
  // Weights 2.5 and -0.75, and a leaf at its instruction's 1.
  const std::unique_ptr<TMXGPNode<double>> tree(gptest::BuildTree(*gp.Instructions(), "(Add x:2.5 (Mul x x:-0.75))"));
  ASSERT_EQ(tree->GetChild(1)->GetChild(0)->Value(), 1);
  gp.Population()->Add()->SetDNA(tree.get());
  const auto values = [](TMXGeneticProgramming& GP) {
    std::vector<double> out;
    for (const TMXGPNode<double>* node : GP.Population()->Items(0)->FlattenedDNA()) out.push_back(node->Value());
    return out;
  };
  Load(loaded, Save(gp));
  ASSERT_EQ(loaded.Population()->Count(), 1);
  EXPECT_EQ(values(loaded), values(gp));
}

// An instruction the executor holds under the same name (ASCII case ignored) and with the
// same kind is used, whatever its handler; the others are copied, in the order the program
// first uses them, and a second call finds them there (an unnamed constant by its value
// when its position differs).
TEST(GPExecutor, SetProgramReusesInstructionsByName) {
  TMXGeneticProgrammingExecutor executor;
  TMXGPInstruction<double>* own = executor.Instructions()->Add();
  own->SetName("MUL"), own->SetOperation(gpFunction), own->SetArity(2), own->SetOnExecute(Arithmetic);
  {
    gptest::TTestEngine engine;
    engine.Add("Add", gpFunction, 2)->SetOnExecute(Arithmetic);
    engine.Add("Mul", gpFunction, 2);  // no handler: would yield 0
    engine.Add("x", gpVariable);
    engine.Add("c", gpConstant, 0, 1)->SetComment("one");
    engine.Add("Sub", gpFunction, 2);  // unused
    TMXGPInstruction<double>* unnamed = engine.Add("u", gpConstant, 0, 5);
    const gptest::TTree root(gptest::BuildTree(*engine.GetInstructions(), "(Add (Mul x c) (Add c:4 u))"));
    unnamed->SetName("");  // at index 5, its copy at 4
    for (int call = 0; call < 2; ++call) {
      executor.SetGPProgram(root.get());
      EXPECT_EQ(Kinds(*executor.Instructions()),
                "MUL:gpFunction/2 Add:gpFunction/2 x:gpVariable/0 c:gpConstant/0 :gpConstant/0 ");
    }
  }
  EXPECT_EQ(executor.Instructions()->Items(0), own);
  EXPECT_EQ(gptest::Kind(executor.Instructions()->Items(3)) + " " + FloatToStr(executor.Instructions()->Items(3)->Value()),
            "c 'one' gpConstant/0 1");
  EXPECT_TRUE(RefersOnlyTo(executor.GPProgram(), executor.Instructions()));
  TMXGPContext<double> context;
  context.Values()->AddOrSetValue("x", 2.0);
  EXPECT_EQ(executor.Execute(&context), 11.0);  // 2 * 1 + (4 + 5)
}

// A name the executor holds with another kind or arity, or that the program uses for two
// different kinds, raises EGPException naming it, with the set and the program as they
// were (the instructions that could be copied are not).
TEST(GPExecutor, SetProgramConflictChangesNothing) {
  struct {
    const char* Name;
    TGPGeneticInstruction Operation;
    int Arity;
    bool InProgram;  // the clash is inside the program, not with the executor's set
  } cases[] = {{"add", gpFunction, 3, false}, {"X", gpConstant, 0, false}, {"x", gpConstant, 0, true}, {"C", gpFunction, 1, true}};
  for (const auto& clash : cases) {
    SCOPED_TRACE(clash.Name);
    gptest::TTestEngine engine, other;
    gptest::AddArithmetic(engine);
    const gptest::TTree tree(gptest::BuildTree(*engine.GetInstructions(), "(Add y (Add (Mul x c) (Sub x c)))"));
    TMXGeneticProgrammingExecutor executor;
    executor.Instructions()->Add()->SetName("keep");
    if (clash.InProgram) {
      // The program's last use of the name refers to an instruction of another set.
      TMXGPNode<double>* last = tree->GetChild(1)->GetChild(1);
      TMXGPNode<double>* node = last->GetChild(SameText(clash.Name, "x") ? 0 : 1);
      node->SetInstruction(other.Add(clash.Name, clash.Operation, clash.Arity));
    } else {
      TMXGPInstruction<double>* item = executor.Instructions()->Add();
      item->SetName(clash.Name), item->SetOperation(clash.Operation), item->SetArity(clash.Arity);
    }
    const std::unique_ptr<TMXGPNode<double>> program(gptest::BuildTree(*executor.Instructions(), "keep"));
    executor.SetGPProgram(program.get());
    const std::string kinds = Kinds(*executor.Instructions());
    const std::string error = ErrorOf<EGPException>([&] { executor.SetGPProgram(tree.get()); });
    EXPECT_NE(error.find(std::string("\"") + clash.Name), std::string::npos) << error;
    EXPECT_EQ(Kinds(*executor.Instructions()), kinds);
    EXPECT_EQ(executor.GPProgram()->ToString(), "keep");
  }
  // A copy that fails part way (these nodes take two children at most) takes back the
  // instructions added for it.
  struct TBinaryExecutor : TMXGeneticProgrammingExecutor {
    TMXGPNode<double>* CreateNode(TMXGPInstruction<double>* I, TMXGPNode<double>* P) override {
      return new TMXGPBinaryFloatNode(I, P);
    }
  } binary;
  gptest::TTestEngine engine;
  engine.Add("Sum", gpFunction, 3), engine.Add("x", gpVariable);
  const gptest::TTree sum(gptest::BuildTree(*engine.GetInstructions(), "(Sum x x x)"));
  EXPECT_THROW(binary.SetGPProgram(sum.get()), EGPException);
  EXPECT_EQ(binary.Instructions()->Count(), 0);
  EXPECT_FALSE(binary.GPProgram());
}
