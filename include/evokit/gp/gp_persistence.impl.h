// Bodies of the GP component's persistence declared in genetic_programming.h: Assign and
// AssignAll, the defined float settings and the published properties of component
// streaming, the Describe report, and the GeneticProgram, GPDomain and Instructions
// documents with their stream and file operations. Also the program helpers the executor
// shares: rebinding copied trees to an instruction set by name, and the scratch load that
// checks a domain element before anything changes. Included by genetic_programming.h only.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <evokit/core/genetic_document.h>
#include <evokit/core/limits.h>
#include <evokit/gp/genetic_programming.h>
#include <evokit/platform/convert.h>
#include <evokit/platform/filer.h>
#include <evokit/platform/strings.h>

namespace evokit {

namespace detail {

// The instruction of Set that stands for Instruction of another set: the one of the same
// name (ASCII case ignored), or, for an unnamed instruction, the unnamed one at its
// position. EGPException "Unknown instruction" when there is none.
template <class T>
TMXGPInstruction<T>* GPCounterpart(const TMXGPInstructions<T>& Set, const TMXGPInstruction<T>& Instruction) {
  if (Instruction.Name().empty()) {
    const int index = Instruction.Index();
    if (index >= 0 && index < Set.Count() && Set.Items(index)->Name().empty()) return Set.Items(index);
    RaiseMessage<EGPException>(_SUnknownInstruction, Instruction.DisplayName());
  }
  return Set.GetItemByName(Instruction.Name());
}

// Maps the instructions of other sets to their counterparts in Set, each looked up once.
template <class T>
class TGPInstructionMap {
 public:
  explicit TGPInstructionMap(const TMXGPInstructions<T>& Set) : FSet(Set) {}
  // Instruction itself when it is null or already Set's.
  TMXGPInstruction<T>* operator()(TMXGPInstruction<T>* Instruction) {
    if (!Instruction || Instruction->Collection() == &FSet) return Instruction;
    auto [entry, added] = FMap.try_emplace(Instruction, nullptr);
    if (added) {
      try {
        entry->second = GPCounterpart(FSet, *Instruction);
      } catch (...) {
        FMap.erase(entry);
        throw;
      }
    }
    return entry->second;
  }

 private:
  const TMXGPInstructions<T>& FSet;
  std::unordered_map<const TMXGPInstruction<T>*, TMXGPInstruction<T>*> FMap;
};

// Points every node of the tree under Root at Map's counterpart of its instruction. The
// counterparts are all looked up before the first node changes.
template <class T>
void GPRebindTree(TMXGPNode<T>* Root, TGPInstructionMap<T>& Map) {
  if (!Root) return;
  std::vector<TMXGPNode<T>*> nodes{Root};
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    TMXGPNode<T>* node = nodes[i];
    Map(node->Instruction());
    for (int c = 0; c < node->GetChildCount(); ++c)
      if (TMXGPNode<T>* child = node->GetChild(c)) nodes.push_back(child);
  }
  for (TMXGPNode<T>* node : nodes) node->SetInstruction(Map(node->Instruction()));
}

// A detached copy of the tree under Source whose nodes Make creates (Make(Instruction,
// Parent)) for Map's counterparts (Map(Instruction)) of Source's instructions, with
// Source's values. An error destroys the partial copy.
template <class T, class M, class F>
TMXGPNode<T>* GPCopyTree(const TMXGPNode<T>& Source, M&& Map, F&& Make) {
  std::unique_ptr<TMXGPNode<T>> root(Make(Map(Source.Instruction()), nullptr));
  root->SetValue(Source.Value());
  std::vector<std::pair<const TMXGPNode<T>*, TMXGPNode<T>*>> pending{{&Source, root.get()}};
  while (!pending.empty()) {
    auto [from, to] = pending.back();
    pending.pop_back();
    for (int c = 0; c < from->GetChildCount(); ++c) {
      const TMXGPNode<T>* child = from->GetChild(c);
      if (!child) continue;
      TMXGPNode<T>* copy = Make(Map(child->Instruction()), to);
      copy->SetValue(child->Value());
      pending.emplace_back(child, copy);
    }
  }
  return root.release();
}

// Loads the tree of a DNA element into a new root made by MakeRoot(Instruction): the
// root gets the named instruction of Set (none for an element without a name), through
// which the nodes below resolve their names. The caller owns the result.
template <class T, class F>
std::unique_ptr<TMXGPNode<T>> GPLoadTree(const TMXGPInstructions<T>& Set, const TXMLNode& Dna, F&& MakeRoot) {
  const IXMLDnaType dna(Dna);
  const std::string name = Dna ? dna.Get_Instruction() : std::string();
  TMXGPInstruction<T>* seed = name.empty() ? nullptr : Set.GetItemByName(name);
  std::unique_ptr<TMXGPNode<T>> tree(MakeRoot(seed));
  if (Dna && seed) tree->LoadFromXML(dna);
  return tree;
}

// Loads what a GPDomain element describes into scratch copies of Current: the
// instructions (merged into a copy of Current when LoadInstructions holds), then the
// trees of the fittest individual (when Fittest holds) and of the population (when
// Population holds), each into a root made by MakeRoot and thrown away. Raises whatever
// the real load would raise, with Current and everything else unchanged.
template <class T, class F>
void GPCheckDomain(const TMXGPInstructions<T>& Current, const TXMLNode& Domain, bool LoadInstructions, bool Fittest,
                   bool Population, F&& MakeRoot) {
  TMXGPInstructions<T> scratch(nullptr, Current.ItemClass());
  scratch.Assign(&Current);
  if (!Domain) return;
  if (LoadInstructions) {
    if (const TXMLNode instructions = Domain.FindChild("Instructions"))
      scratch.LoadFromXML(IXMLGPInstructions(instructions));
    else
      scratch.Clear();
  }
  const auto dnaOf = [](const TXMLNode& Individual) { return Individual ? Individual.FindChild("DNA") : TXMLNode(); };
  if (Fittest) GPLoadTree(scratch, dnaOf(Domain.FindChild("FittestIndividual")), MakeRoot);
  if (Population)
    if (const TXMLNode population = Domain.FindChild("Population")) {
      const IXMLGPPopulation list(population);
      CheckLimit("Population", list.Count(), Limits().MaxPopulation);
      for (int i = 0; i < list.Count(); ++i) GPLoadTree(scratch, dnaOf(list.Items(i).Node()), MakeRoot);
    }
}

// A defined float setting is streamed when it differs from its default (NaN always does).
inline bool GPDiffersFrom(double Value, double Default) {
  return Value < Default || Value > Default || std::isnan(Value) || std::isnan(Default);
}

// A fraction as a percentage with two significant digits and two decimals ("25.00%").
inline std::string GPPercent(double Value) { return FloatToStrF(Value * 100, ffFixed, 2, 2) + "%"; }

}  // namespace detail

// =======================================================================================
// Assign
// =======================================================================================

template <class T>
void TMXCustomGeneticProgramming<T>::Assign(const TPersistent* Source) {
  const auto* source = dynamic_cast<const TMXCustomGeneticProgramming<T>*>(Source);
  if (source == this) return;
  if (source) {
    FBloatStrategy = source->FBloatStrategy;
    FBloatLimit = source->FBloatLimit;
    FSelectionNonTerminalsProbability = source->FSelectionNonTerminalsProbability;
    FCrossoverMethod = source->FCrossoverMethod;
    FInitializationDepth = source->FInitializationDepth;
    FInitializationMethod = source->FInitializationMethod;
    FPointMutationMethod = source->FPointMutationMethod;
    FPointMutationProbability = source->FPointMutationProbability;
    FMutationWeights = source->FMutationWeights;
    FMutationWeightSum = source->FMutationWeightSum;
    FParsimonyCoefficient = source->FParsimonyCoefficient;
    FTarpeianProbability = source->FTarpeianProbability;
    FSizeObjective = source->FSizeObjective;
    FReuseFitness = source->FReuseFitness;
    SetInstructions(source->Instructions());
  }
  TMXCustomGeneticComponent::Assign(Source);
  FFitnessMemo.Clear();
  if (!source) return;
  // The copied trees still refer to the source's instructions; their shape (and so the
  // individuals' node lists and fitness) stays as it is.
  detail::TGPInstructionMap<T> map(*FInstructions);
  for (TPopulation* population : {Population(), PreviousGeneration()})
    for (int i = 0; population && i < population->Count(); ++i) detail::GPRebindTree(population->Items(i)->DNA(), map);
  FMaxProgramSize = 0;
}

template <class T>
void TMXCustomGeneticProgramming<T>::AssignAll(const TPersistent* Source) {
  Assign(Source);
  const auto* source = dynamic_cast<const TMXCustomGeneticProgramming<T>*>(Source);
  if (!source || source == this) return;
  // Assign made the two sets equal item by item: the events follow by position.
  const TInstructions& from = *source->FInstructions;
  for (int i = 0; i < from.Count() && i < FInstructions->Count(); ++i)
    FInstructions->Items(i)->AssignEvents(from.Items(i));
}

// =======================================================================================
// Component streaming
// =======================================================================================

template <class T>
bool TMXCustomGeneticProgramming<T>::IsSelectionNonTerminalsProbabilityStored() const {
  return detail::GPDiffersFrom(FSelectionNonTerminalsProbability, TGPDefaults::SelectionNonTerminalsProbability);
}
template <class T>
bool TMXCustomGeneticProgramming<T>::IsParsimonyCoefficientStored() const {
  return detail::GPDiffersFrom(FParsimonyCoefficient, TGPDefaults::ParsimonyCoefficient);
}
template <class T>
bool TMXCustomGeneticProgramming<T>::IsPointMutationProbabilityStored() const {
  return detail::GPDiffersFrom(FPointMutationProbability, TGPDefaults::PointMutationProbability);
}
template <class T>
bool TMXCustomGeneticProgramming<T>::IsTarpeianProbabilityStored() const {
  return detail::GPDiffersFrom(FTarpeianProbability, TGPDefaults::TarpeianProbability);
}

template <class T>
void TMXCustomGeneticProgramming<T>::WriteSelectionNonTerminalsProbability(TWriter& Writer) const {
  Writer.WriteFloat(FSelectionNonTerminalsProbability);
}
template <class T>
void TMXCustomGeneticProgramming<T>::WriteParsimonyCoefficient(TWriter& Writer) const {
  Writer.WriteFloat(FParsimonyCoefficient);
}
template <class T>
void TMXCustomGeneticProgramming<T>::WritePointMutationProbability(TWriter& Writer) const {
  Writer.WriteFloat(FPointMutationProbability);
}
template <class T>
void TMXCustomGeneticProgramming<T>::WriteTarpeianProbability(TWriter& Writer) const {
  Writer.WriteFloat(FTarpeianProbability);
}

template <class T>
void TMXCustomGeneticProgramming<T>::DefineProperties(TFiler& Filer) {
  TMXCustomGeneticComponent::DefineProperties(Filer);
  // Written explicitly so that values the published writer would drop (0) are kept.
  Filer.DefineProperty(
      "SelectionNonTerminalsProbability",
      [this](TReader& R) { SetSelectionNonTerminalsProbability(R.ReadFloat()); },
      [this](TWriter& W) { WriteSelectionNonTerminalsProbability(W); }, IsSelectionNonTerminalsProbabilityStored());
  Filer.DefineProperty(
      "ParsimonyCoefficient", [this](TReader& R) { SetParsimonyCoefficient(R.ReadFloat()); },
      [this](TWriter& W) { WriteParsimonyCoefficient(W); }, IsParsimonyCoefficientStored());
  Filer.DefineProperty(
      "PointMutationProbability", [this](TReader& R) { SetPointMutationProbability(R.ReadFloat()); },
      [this](TWriter& W) { WritePointMutationProbability(W); }, IsPointMutationProbabilityStored());
  Filer.DefineProperty(
      "TarpeianProbability", [this](TReader& R) { SetTarpeianProbability(R.ReadFloat()); },
      [this](TWriter& W) { WriteTarpeianProbability(W); }, IsTarpeianProbabilityStored());
}

template <class T>
void TMXCustomGeneticProgramming<T>::DeclareGPProperties(TPropertyRegistry& Reg) {
  using G = TMXCustomGeneticProgramming<T>;
  using C = TMXCustomGeneticComponent;
  using D = TGPDefaults;
  Reg.Int("BloatLimit", &G::BloatLimit, &G::SetBloatLimit, D::BloatLimit);
  Reg.Enum("BloatStrategy", &G::BloatStrategy, &G::SetBloatStrategy, D::BloatStrategy);
  DeclareCoreProperties(Reg, {"DiversityLimit"});
  Reg.Enum("CrossoverMethod", &G::CrossoverMethod, &G::SetCrossoverMethod, D::CrossoverMethod);
  DeclareCoreProperties(Reg, {"ElitistPct", "FitnessCutoff", "FitnessMethod", "Generation", "GenerationLimit"});
  Reg.Enum("InitializationMethod", &G::InitializationMethod, &G::SetInitializationMethod, D::InitializationMethod);
  Reg.Int("InitializationDepth", &G::InitializationDepth, &G::SetInitializationDepth, D::InitializationDepth);
  DeclareCoreProperties(Reg, {"InitialPopulation", "InitialDuplicatesRetries"});
  Reg.Collection("Instructions", [this] { return Instructions(); });
  DeclareCoreProperties(Reg, {"CrossoverProbability", "InversionProbability"});
  for (const TMutationMethodRow& row : MutationMethods) {
    const TGPMutationMethod method = row.Method;
    Reg.Int(
        std::string(row.WeightProperty), [this, method] { return MutationWeight(method); },
        [this, method](int Value) { SetMutationWeight(method, Value); },
        static_cast<int>(static_cast<std::uint8_t>(D::MutationWeights[static_cast<std::size_t>(method)])));
  }
  DeclareCoreProperties(Reg, {"MutationProbability"});
  // Before the objective settings: SizeObjective sets the count and both senses, which
  // the senses read after it may change.
  Reg.Bool("SizeObjective", &G::SizeObjective, &G::SetSizeObjective, false).Snapshot = [this] {
    return [restore = ObjectiveSettingsRestorer(), this, old = FSizeObjective] {
      restore();
      FSizeObjective = old;
    };
  };
  DeclareCoreProperties(Reg, {"ObjectiveCount", "ObjectiveSenses", "HypervolumeReference"});
  Reg.Event("OnConstantMutation", &G::OnConstantMutation, &G::SetOnConstantMutation);
  Reg.Event("OnCrossover", &C::OnCrossover, &C::SetOnCrossover);
  DeclareCoreProperties(Reg, {"OnEvaluateFitness", "OnReproduction", "OnMutation", "OnEvolve", "OnInitialization",
                              "OnInitializeChild", "OnSelection"});
  Reg.Float("ParsimonyCoefficient", &G::ParsimonyCoefficient, &G::SetParsimonyCoefficient, D::ParsimonyCoefficient);
  Reg.Enum("PointMutationMethod", &G::PointMutationMethod, &G::SetPointMutationMethod, D::PointMutationMethod);
  Reg.Float("PointMutationProbability", &G::PointMutationProbability, &G::SetPointMutationProbability,
            D::PointMutationProbability);
  Reg.Bool("ReuseFitness", &G::ReuseFitness, &G::SetReuseFitness, D::ReuseFitness);
  DeclareCoreProperties(Reg, {"SelectionMethod"});
  Reg.Float("SelectionNonTerminalsProbability", &G::SelectionNonTerminalsProbability,
            &G::SetSelectionNonTerminalsProbability, D::SelectionNonTerminalsProbability);
  // The GP components start with a tournament of their own, the genetic component with 2.
  Reg.Int("TournamentField", &C::TournamentField, &C::SetTournamentField, D::TournamentField);
  DeclareCoreProperties(Reg, {"UseFitnessCutoff", "UseDiversityLimit", "UseGenerationLimit"});
}

// =======================================================================================
// Report
// =======================================================================================

template <class T>
void TMXCustomGeneticProgramming<T>::Describe(TStrings* Strings, const std::string& TabStr) const {
  using detail::GPPercent;
  const auto commented = [](const TInstruction* I) {
    return I->Comment().empty() ? I->DisplayName() : I->DisplayName() + " (" + I->Comment() + ")";
  };
  Strings->Add("Operating Conditions");
  Strings->Add(TabStr + "Fitness Method = " + EnumName(FitnessMethod()));
  Strings->Add(TabStr + "Crossover Probability = " + GPPercent(CrossoverProbability()));
  Strings->Add(TabStr + "Inversion Probability = " + GPPercent(InversionProbability()));
  Strings->Add(TabStr + "Mutation Probability = " + GPPercent(MutationProbability()));
  std::string distribution;
  for (const TMutationMethodRow& row : MutationMethods) {
    // With no weight at all no method is ever drawn: each shows 0.
    const int weight = MutationWeight(row.Method);
    const double share = FMutationWeightSum > 0 ? static_cast<double>(weight) / FMutationWeightSum : 0;
    distribution += (distribution.empty() ? "" : ", ") + EnumName(row.Method) + "(" + GPPercent(share) + ")";
  }
  Strings->Add(TabStr + "Mutation Distribution = " + distribution);
  Strings->Add(TabStr + "Selection Method = " + EnumName(SelectionMethod()));
  Strings->Add(TabStr + "Selection Non-terminals Probability = " + GPPercent(FSelectionNonTerminalsProbability));
  DescribeObjectives(Strings, TabStr);
  if (FSizeObjective) Strings->Add(TabStr + "Size Objective = True");
  if (FBloatStrategy != bsNone) {
    Strings->Add(TabStr + "Anti-Bloating Strategy = " + EnumName(FBloatStrategy));
    Strings->Add(TabStr + "Anti-Bloating Limit = " + IntToStr(FBloatLimit));
  }
  Strings->Add(TabStr + "Terminals (" + IntToStr(TerminalsCount()) + ")");
  std::string terminals;
  for (std::size_t i = 0; i < FTerminals.size(); ++i) terminals += (i ? ", " : "") + commented(FTerminals[i]);
  Strings->Add(TabStr + TabStr + terminals);
  Strings->Add(TabStr + "Functions (" + IntToStr(FunctionsCount()) + ")");
  for (const TInstruction* function : FOperations) Strings->Add(TabStr + TabStr + commented(function));
  Strings->Add("Initial Conditions");
  Strings->Add(TabStr + "Population = " + IntToStr(InitialPopulation()));
  if (FInitializationDepth == 0) Strings->Add(TabStr + "Initial Tree Depth is based on number of operations");
  else Strings->Add(TabStr + "Initial Tree Depth = Max of " + IntToStr(FInitializationDepth));
  Strings->Add(TabStr + "Initialization Method = " + EnumName(FInitializationMethod));
  if (!UseFitnessCutoff() && !UseDiversityLimit() && !UseGenerationLimit()) {
    Strings->Add("There are no Termination Conditions");
    return;
  }
  Strings->Add("Termination Conditions");
  if (UseFitnessCutoff()) {
    const bool maximizing = FitnessMethod() == fmMaximize || FitnessMethod() == fmWeightedMaximize;
    Strings->Add(TabStr + (maximizing ? "Fitness >= " : "Fitness <= ") + FloatToStr(FitnessCutoff()));
  }
  if (UseDiversityLimit()) Strings->Add(TabStr + "Diversity less than " + GPPercent(DiversityLimit()));
  if (UseGenerationLimit()) Strings->Add(TabStr + "Maximum number of generations = " + IntToStr(GenerationLimit()));
}

// =======================================================================================
// Documents
// =======================================================================================

template <class T>
void TMXCustomGeneticProgramming<T>::SaveToXML(const IXMLGeneticProgram& Node) {
  TMXCustomGeneticComponent::SaveToXML(Node);
  const IXMLGPReproductionType reproduction = Node.Get_Reproduction();
  reproduction.Set_CrossoverMethod(EnumName(FCrossoverMethod));
  reproduction.Set_CrossoverProbability(static_cast<float>(CrossoverProbability()));
  reproduction.Set_InversionProbability(static_cast<float>(InversionProbability()));
  reproduction.Set_MutationProbability(static_cast<float>(MutationProbability()));
  const IXMLReproductionType_SelectionMethod selection = reproduction.Get_SelectionMethod();
  selection.Set_Method(EnumName(SelectionMethod()));
  selection.Set_ElitistPercent(static_cast<float>(ElitistPct()));
  selection.Set_TournamentField(TournamentField());
  reproduction.Set_InitializationMethod(EnumName(FInitializationMethod));
  reproduction.Set_InitializationDepth(FInitializationDepth);
  const IXMLGPReproductionType_MutationWeights weights = reproduction.Get_MutationWeights();
  for (const TMutationMethodRow& row : MutationMethods) weights.Set_Weight(row.Element, MutationWeight(row.Method));
  reproduction.Set_SelectionNonterminalsProbability(static_cast<float>(FSelectionNonTerminalsProbability));
  reproduction.Set_PointMutationMethod(EnumName(FPointMutationMethod));
  reproduction.Set_PointMutationProbability(static_cast<float>(FPointMutationProbability));
  if (FSizeObjective) Node.Node().AddChild("SizeObjective").SetText("True");
  SaveToXML(Node.Get_Domain());
}

template <class T>
void TMXCustomGeneticProgramming<T>::SaveToXML(const IXMLGPDomainType& Node) {
  FInstructions->SaveToXML(Node.Get_Instructions());
  if (const TIndividual* fittest = FittestIndividual()) fittest->SaveToXML(Node.Get_FittestIndividual());
  Population()->SaveToXML(Node.Get_Population());
}

template <class T>
void TMXCustomGeneticProgramming<T>::SaveToXML(const IXMLGPInstructions& Node) {
  FInstructions->SaveToXML(Node);
}

template <class T>
void TMXCustomGeneticProgramming<T>::LoadFromXML(const IXMLGeneticProgram& Node) {
  // Missing elements are looked up, never created: reading leaves the document alone.
  const TXMLNode domain = Node.Node().FindChild("Domain");
  if (!domain) throw EXMLDocError("GeneticProgram: the document has no Domain element");
  const IXMLGPReproductionType reproduction(Node.Node().FindChild("Reproduction"));
  const IXMLReproductionType_SelectionMethod selection(reproduction.Node().FindChild("SelectionMethod"));
  const IXMLGPReproductionType_MutationWeights weightsXML(reproduction.Node().FindChild("MutationWeights"));
  // Convert every value before anything is applied.
  const int crossoverMethod = EnumValue<TGPCrossoverMethod>(reproduction.Get_CrossoverMethod());
  const float crossoverProbability = reproduction.Get_CrossoverProbability();
  const float inversionProbability = reproduction.Get_InversionProbability();
  const float mutationProbability = reproduction.Get_MutationProbability();
  const int selectionMethod = EnumValue<TGASelectionMethod>(selection.Get_Method());
  const float elitistPct = selection.Get_ElitistPercent();
  const int tournamentField = selection.Get_TournamentField();
  const int initializationMethod = EnumValue<TGPInitializationMethod>(reproduction.Get_InitializationMethod());
  const int initializationDepth = reproduction.Get_InitializationDepth();
  TGPMutationMethodWeights loaded{};
  for (const TMutationMethodRow& row : MutationMethods)
    loaded[static_cast<std::size_t>(row.Method)] =
        static_cast<TGPMutationMethodWeights::value_type>(std::clamp(weightsXML.Get_Weight(row.Element), 0, 255));
  const float nonTerminals = reproduction.Get_SelectionNonterminalsProbability();
  const int pointMutationMethod = EnumValue<TGPPointMutationMethod>(reproduction.Get_PointMutationMethod());
  const float pointMutationProbability = reproduction.Get_PointMutationProbability();
  // Written only when set; a document without it keeps the current setting.
  const TXMLNode sizeObjective = Node.Node().FindChild("SizeObjective");
  const bool ranksBySize = sizeObjective && LowerCase(sizeObjective.Text()) == "true";
  CheckDomain(domain);

  // The inherited load converts all its values before it applies the first.
  TMXCustomGeneticComponent::LoadFromXML(Node);
  if (crossoverMethod >= 0) FCrossoverMethod = static_cast<TGPCrossoverMethod>(crossoverMethod);
  SetCrossoverProbability(crossoverProbability);
  SetInversionProbability(inversionProbability);
  SetMutationProbability(mutationProbability);
  if (selectionMethod >= 0) SetSelectionMethod(static_cast<TGASelectionMethod>(selectionMethod));
  SetElitistPct(elitistPct);
  SetTournamentField(tournamentField);
  if (initializationMethod >= 0) SetInitializationMethod(static_cast<TGPInitializationMethod>(initializationMethod));
  SetInitializationDepth(initializationDepth);
  SetMutationWeights(loaded);
  SetSelectionNonTerminalsProbability(nonTerminals);
  if (pointMutationMethod >= 0) SetPointMutationMethod(static_cast<TGPPointMutationMethod>(pointMutationMethod));
  SetPointMutationProbability(pointMutationProbability);
  if (sizeObjective) {
    // The document's senses stay: the size objective only takes over the evaluation.
    const std::vector<TGAObjectiveSense> senses = [this] {
      std::vector<TGAObjectiveSense> out;
      for (int k = 0; k < ObjectiveCount(); ++k) out.push_back(ObjectiveSense(k));
      return out;
    }();
    SetSizeObjective(ranksBySize);
    if (ranksBySize && senses.size() == 2) SetObjectiveSense(0, senses[0]);
  }
  LoadCheckedDomain(domain);
}

template <class T>
void TMXCustomGeneticProgramming<T>::LoadFromXML(const IXMLGPDomainType& Node) {
  CheckDomain(Node.Node());
  LoadCheckedDomain(Node.Node());
}

template <class T>
void TMXCustomGeneticProgramming<T>::CheckDomain(const TXMLNode& Domain) {
  detail::GPCheckDomain(*FInstructions, Domain, true, false, true,
                        [this](TInstruction* I) { return CreateNode(I, nullptr); });
}

template <class T>
void TMXCustomGeneticProgramming<T>::LoadCheckedDomain(const TXMLNode& Domain) {
  LoadPopulation([&] {
    const TXMLNode instructions = Domain ? Domain.FindChild("Instructions") : TXMLNode();
    if (instructions) FInstructions->LoadFromXML(IXMLGPInstructions(instructions));
    else FInstructions->Clear();
    const TXMLNode population = Domain ? Domain.FindChild("Population") : TXMLNode();
    if (population) Population()->LoadFromXML(IXMLGPPopulation(population));
    else Population()->Clear();
    FMaxProgramSize = 0;  // the program statistics are the loaded population's
  });
}

template <class T>
void TMXCustomGeneticProgramming<T>::LoadFromXML(const IXMLGPInstructions& Node) {
  FInstructions->LoadFromXML(Node);
}

template <class T>
void TMXCustomGeneticProgramming<T>::SaveToStream(TStream& Stream) {
  auto doc = NewGeneticProgram();
  SaveToXML(doc.Root());
  detail::WriteXMLDocument(doc.Document(), Stream);
}

template <class T>
void TMXCustomGeneticProgramming<T>::LoadFromStream(TStream& Stream) {
  auto doc = NewGeneticProgram();
  doc.Document().LoadFromStream(Stream);
  LoadFromXML(GetGeneticProgram(doc.Document()));
}

template <class T>
void TMXCustomGeneticProgramming<T>::LoadFromFile(const std::string& FileName) {
  auto doc = LoadGeneticProgram(FileName);
  LoadFromXML(doc.Root());
}

}  // namespace evokit
