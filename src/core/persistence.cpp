// Settings persistence of the evolution core: the XML slots of individuals and
// populations, the genetic component's Assign, its extra streamed float settings, the
// Describe/ToString report and the GeneticDocument stream and file operations.
#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <evokit/core/genetic_component.h>
#include <evokit/core/genetic_document.h>
#include <evokit/platform/convert.h>
#include <evokit/platform/filer.h>
#include <evokit/platform/streams.h>
#include <evokit/platform/strings.h>
#include <evokit/platform/xml.h>
#include <evokit/platform/guards.h>

namespace evokit {

namespace {

// A defined float setting is streamed when it differs from its default constant; a NaN
// on either side counts as different.
bool DiffersFrom(double Value, double Default) {
  return Value < Default || Value > Default || std::isnan(Value) || std::isnan(Default);
}

// A probability as a percentage with two significant digits and two decimals: 0.98 gives
// "98.00%". From 100 % on, the fixed format switches to its exponent form ("1.0E2%").
std::string Percent(double Value) { return FloatToStrF(Value * 100, ffFixed, 2, 2) + "%"; }

// Numbers separated by single spaces, each the shortest text that reads back to the same
// double ("nan", "inf" and "-inf" included).
std::string NumberList(std::span<const double> Values) {
  std::string text;
  char buffer[32];
  for (double value : Values) {
    if (!text.empty()) text += ' ';
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    text.append(buffer, result.ptr);
  }
  return text;
}

// The numbers of a NumberList text (any white space between them). EConvertError, naming
// What, for anything that is not a number.
std::vector<double> ReadNumberList(const std::string& Text, const char* What) {
  std::vector<double> values;
  const char* p = Text.data();
  const char* end = p + Text.size();
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  for (;;) {
    while (p != end && space(*p)) ++p;
    if (p == end) return values;
    const char* word = p;
    while (p != end && !space(*p)) ++p;
    double value = 0;
    const auto result = std::from_chars(word, p, value);
    if (result.ec != std::errc() || result.ptr != p)
      throw EConvertError(std::string(What) + ": '" + std::string(word, p) + "' is not a number");
    values.push_back(value);
  }
}

// The multi-objective settings of a GeneticDocument: the senses (one name per objective)
// and the reference point, both read before either is applied.
struct TObjectiveSettings {
  bool Present = false;
  std::vector<TGAObjectiveSense> Senses;
  std::vector<double> Reference;
};

TObjectiveSettings ReadObjectiveSettings(const TXMLNode& Root) {
  TObjectiveSettings settings;
  const TXMLNode senses = Root.FindChild("ObjectiveSenses");
  if (!senses) return settings;
  settings.Present = true;
  std::string text = senses.Text();
  for (char& c : text)
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  for (std::size_t p = 0; p < text.size();) {
    const std::size_t end = std::min(text.find(' ', p), text.size());
    if (end > p) {
      const std::string name = text.substr(p, end - p);
      const int sense = EnumValue<TGAObjectiveSense>(name);
      if (sense < 0) throw EConvertError("ObjectiveSenses: '" + name + "' is not osMinimize or osMaximize");
      settings.Senses.push_back(static_cast<TGAObjectiveSense>(sense));
    }
    p = end + 1;
  }
  if (settings.Senses.size() > static_cast<std::size_t>(MAX_OBJECTIVES))
    throw EConvertError("ObjectiveSenses: more than " + std::to_string(MAX_OBJECTIVES) + " objectives");
  if (const TXMLNode reference = Root.FindChild("HypervolumeReference"))
    settings.Reference = ReadNumberList(reference.Text(), "HypervolumeReference");
  if (!settings.Reference.empty() && settings.Reference.size() != settings.Senses.size())
    throw EConvertError("HypervolumeReference: " + std::to_string(settings.Reference.size()) + " values for " +
                        std::to_string(settings.Senses.size()) + " objectives");
  for (double value : settings.Reference)
    if (std::isnan(value)) throw EConvertError("HypervolumeReference: NaN is no reference value");
  return settings;
}

}  // namespace

// --- Individuals and populations ------------------------------------------------------

void TMXIndividual::LoadFromXML(const TXMLNode&) {}

void TMXIndividual::SaveToXML(const TXMLNode&) const {}

void TMXIndividual::SaveObjectivesToXML(const TXMLNode& Element) const {
  if (!FObjectives.empty()) Element.AddChild("Objectives").SetText(NumberList(FObjectives));
}

std::vector<double> TMXIndividual::ReadObjectivesXML(const TXMLNode& Element) {
  const TXMLNode objectives = Element ? Element.FindChild("Objectives") : TXMLNode();
  return objectives ? ReadNumberList(objectives.Text(), "Objectives") : std::vector<double>();
}

void TMXIndividual::DeclareProperties(TPropertyRegistry& Reg) {
  Reg.String("Name", &TMXIndividual::Name, &TMXIndividual::SetName);
}

void TMXPopulation::LoadFromXML(const TXMLNode& ChromosomesXML) {
  const auto update = UpdateGuard(*this);
  Clear();
  for (TXMLNode child : ChromosomesXML.ChildNodes()) Add()->LoadFromXML(child);
}

void TMXPopulation::SaveToXML(const TXMLNode& ChromosomesXML) const {
  for (int i = 0; i < Count(); ++i) {
    const TMXIndividual* item = Items(i);
    item->SaveToXML(ChromosomesXML.AddChild(item->DisplayName()));
  }
}

void TMXCustomGeneticComponent::LoadPopulation(const std::function<void()>& ReadDomain) {
  if (!Initialized()) {
    const int initialPopulation = InitialPopulation(), generation = Generation();
    SetInitialPopulation(0);
    const TScopeExit restore([&] {
      SetInitialPopulation(initialPopulation);
      if (LoadKeepsGeneration()) SetGeneration(generation);
    });
    Initialize();
  }
  ReadDomain();
  SetPreviousGeneration(Population());
  EvaluateFitness();
}

// --- Assign ---------------------------------------------------------------------------

void TMXCustomGeneticComponent::Assign(const TPersistent* Source) {
  const auto* source = dynamic_cast<const TMXCustomGeneticComponent*>(Source);
  if (!source) {
    TComponent::Assign(Source);
    return;
  }
  if (source == this) return;

  // The source's fittest individual is a reference into its own population: remember
  // its position, so that ours can point at the copy once the individuals are copied.
  int fittestIndex = -1;
  if (const TMXIndividual* fittest = source->FFittestIndividual;
      fittest && fittest->TCollectionItem::Collection() == source->FPopulation.get())
    fittestIndex = fittest->Index();

  FGeneration = source->FGeneration;
  FFitnessCutoff = source->FFitnessCutoff;
  FMutationProbability = source->FMutationProbability;
  FInversionProbability = source->FInversionProbability;
  FCrossoverProbability = source->FCrossoverProbability;
  FElitistPct = source->FElitistPct;
  FFitnessMethod = source->FFitnessMethod;
  FMaxFitness = source->FMaxFitness;
  FMaxWeightedFitness = source->FMaxWeightedFitness;
  FMinFitness = source->FMinFitness;
  FMinWeightedFitness = source->FMinWeightedFitness;
  FFitnessSum = source->FFitnessSum;
  FWeightedFitnessSum = source->FWeightedFitnessSum;
  FDiversityLimit = source->FDiversityLimit;
  FGenerationLimit = source->FGenerationLimit;
  if (source->FPreviousGeneration) SetPreviousGeneration(source->FPreviousGeneration.get());
  else if (FPreviousGeneration) FPreviousGeneration->Clear();
  FTournamentField = source->FTournamentField;
  FInitialized = source->FInitialized;
  FUseFitnessCutoff = source->FUseFitnessCutoff;
  FUseDiversityLimit = source->FUseDiversityLimit;
  FUseGenerationLimit = source->FUseGenerationLimit;
  FInitialDuplicatesRetries = source->FInitialDuplicatesRetries;
  FObjectiveSenses = source->FObjectiveSenses;
  FHypervolumeReference = source->FHypervolumeReference;
  FHypervolumeKnown = false;
  SetSelectionMethod(source->FSelectionMethod);
  SetPopulation(source->FPopulation.get());

  FFittestIndividual =
      fittestIndex >= 0 && fittestIndex < FPopulation->Count() ? FPopulation->Items(fittestIndex) : nullptr;
  // Our selection tables described the individuals just replaced. The statistics now are
  // the source's and the individuals are copies of its own, so the tables are rebuilt as
  // the source's were; an uninitialised component builds them when it initialises.
  FCumNormFitnesses.clear();
  DropParetoRanking();
  if (FInitialized && FPopulation->Count() > 0) {
    if (ParetoRanking()) DoCalculateParetoStatistics();
    DoSelectionPreparation();
  }
}

// --- Component streaming --------------------------------------------------------------

bool TMXCustomGeneticComponent::IsFitnessCutoffStored() const {
  return DiffersFrom(FFitnessCutoff, DEFAULT_FITNESS_CUTOFF);
}
bool TMXCustomGeneticComponent::IsDiversityLimitStored() const {
  return DiffersFrom(FDiversityLimit, DEFAULT_DIVERSITY_LIMIT);
}
bool TMXCustomGeneticComponent::IsElitistPctStored() const { return DiffersFrom(FElitistPct, DEFAULT_ELITIST_PCT); }
bool TMXCustomGeneticComponent::IsCrossoverProbabilityStored() const {
  return DiffersFrom(FCrossoverProbability, CROSSOVER_PROBABILITY);
}
bool TMXCustomGeneticComponent::IsInversionProbabilityStored() const {
  return DiffersFrom(FInversionProbability, INVERSION_PROBABILITY);
}
bool TMXCustomGeneticComponent::IsMutationProbabilityStored() const {
  return DiffersFrom(FMutationProbability, MUTATION_PROBABILITY);
}

void TMXCustomGeneticComponent::WriteFitnessCutoff(TWriter& Writer) const { Writer.WriteFloat(FFitnessCutoff); }
void TMXCustomGeneticComponent::WriteDiversityLimit(TWriter& Writer) const { Writer.WriteFloat(FDiversityLimit); }
void TMXCustomGeneticComponent::WriteElitistPct(TWriter& Writer) const { Writer.WriteFloat(FElitistPct); }
void TMXCustomGeneticComponent::WriteCrossoverProbability(TWriter& Writer) const {
  Writer.WriteFloat(FCrossoverProbability);
}
void TMXCustomGeneticComponent::WriteInversionProbability(TWriter& Writer) const {
  Writer.WriteFloat(FInversionProbability);
}
void TMXCustomGeneticComponent::WriteMutationProbability(TWriter& Writer) const {
  Writer.WriteFloat(FMutationProbability);
}

void TMXCustomGeneticComponent::DefineProperties(TFiler& Filer) {
  TComponent::DefineProperties(Filer);
  // Writers only: reading goes through the published property of the same name.
  Filer.DefineProperty("FitnessCutoff", nullptr, [this](TWriter& W) { WriteFitnessCutoff(W); },
                       IsFitnessCutoffStored());
  Filer.DefineProperty("DiversityLimit", nullptr, [this](TWriter& W) { WriteDiversityLimit(W); },
                       IsDiversityLimitStored());
  Filer.DefineProperty("ElitistPct", nullptr, [this](TWriter& W) { WriteElitistPct(W); }, IsElitistPctStored());
  Filer.DefineProperty("CrossoverProbability", nullptr, [this](TWriter& W) { WriteCrossoverProbability(W); },
                       IsCrossoverProbabilityStored());
  Filer.DefineProperty("InversionProbability", nullptr, [this](TWriter& W) { WriteInversionProbability(W); },
                       IsInversionProbabilityStored());
  Filer.DefineProperty("MutationProbability", nullptr, [this](TWriter& W) { WriteMutationProbability(W); },
                       IsMutationProbabilityStored());
}

// --- Report ---------------------------------------------------------------------------

void TMXCustomGeneticComponent::DeclareCoreProperties(TPropertyRegistry& Reg,
                                                      std::initializer_list<std::string_view> Names) {
  using C = TMXCustomGeneticComponent;
  using TDeclare = void (*)(TPropertyRegistry&, const std::string&, C*);
  // Every published property of the core with its streaming default, by name.
  static const std::pair<std::string_view, TDeclare> declarations[] = {
      {"CrossoverProbability",
       [](TPropertyRegistry& R, const std::string& N, C*) {
         R.Float(N, &C::CrossoverProbability, &C::SetCrossoverProbability, CROSSOVER_PROBABILITY);
       }},
      {"DiversityLimit",
       [](TPropertyRegistry& R, const std::string& N, C*) {
         R.Float(N, &C::DiversityLimit, &C::SetDiversityLimit, DEFAULT_DIVERSITY_LIMIT);
       }},
      {"ElitistPct",
       [](TPropertyRegistry& R, const std::string& N, C*) {
         R.Float(N, &C::ElitistPct, &C::SetElitistPct, DEFAULT_ELITIST_PCT);
       }},
      {"FitnessCutoff",
       [](TPropertyRegistry& R, const std::string& N, C*) {
         R.Float(N, &C::FitnessCutoff, &C::SetFitnessCutoff, DEFAULT_FITNESS_CUTOFF);
       }},
      {"FitnessMethod",
       [](TPropertyRegistry& R, const std::string& N, C*) {
         R.Enum(N, &C::FitnessMethod, &C::SetFitnessMethod, DEFAULT_FITNESS_METHOD);
       }},
      {"Generation",
       [](TPropertyRegistry& R, const std::string& N, C*) { R.Int(N, &C::Generation, &C::SetGeneration, 0); }},
      {"GenerationLimit",
       [](TPropertyRegistry& R, const std::string& N, C*) {
         R.Int(N, &C::GenerationLimit, &C::SetGenerationLimit, 0);
       }},
      {"InitialDuplicatesRetries",
       [](TPropertyRegistry& R, const std::string& N, C*) {
         R.Int(N, &C::InitialDuplicatesRetries, &C::SetInitialDuplicatesRetries, DEFAULT_INITIAL_DUPLICATES_RETRIES);
       }},
      {"InitialPopulation",
       [](TPropertyRegistry& R, const std::string& N, C*) {
         R.Int(N, &C::InitialPopulation, &C::SetInitialPopulation, DEFAULT_INITIAL_POPULATION);
       }},
      {"InversionProbability",
       [](TPropertyRegistry& R, const std::string& N, C*) {
         R.Float(N, &C::InversionProbability, &C::SetInversionProbability, INVERSION_PROBABILITY);
       }},
      {"MutationProbability",
       [](TPropertyRegistry& R, const std::string& N, C*) {
         R.Float(N, &C::MutationProbability, &C::SetMutationProbability, MUTATION_PROBABILITY);
       }},
      {"ObjectiveCount",
       [](TPropertyRegistry& R, const std::string& N, C* Self) {
         R.Int(N, &C::ObjectiveCount, &C::SetObjectiveCount, 0).Snapshot = [Self] {
           return Self->ObjectiveSettingsRestorer();
         };
       }},
      {"ObjectiveSenses",
       [](TPropertyRegistry& R, const std::string& N, C* Self) {
         TPropertyInfo info;
         info.Name = N;
         info.IsDefault = [Self] { return Self->ObjectiveCount() == 0; };
         info.Write = [Self](TWriter& W) {
           W.WriteListBegin();
           for (int i = 0; i < Self->ObjectiveCount(); ++i) W.WriteEnum(Self->ObjectiveSense(i));
           W.WriteListEnd();
         };
         info.Read = [Self](TReader& Reader) {
           std::vector<TGAObjectiveSense> senses;
           Reader.ReadListBegin();
           while (!Reader.EndOfList()) senses.push_back(Reader.ReadEnum<TGAObjectiveSense>());
           Reader.ReadListEnd();
           if (senses.size() != static_cast<std::size_t>(Self->ObjectiveCount()))
             throw EArgumentOutOfRangeException("ObjectiveSenses: " + std::to_string(senses.size()) +
                                                " senses for " + std::to_string(Self->ObjectiveCount()) +
                                                " objectives");
           for (std::size_t i = 0; i < senses.size(); ++i) Self->SetObjectiveSense(static_cast<int>(i), senses[i]);
         };
         info.Snapshot = [Self] { return Self->ObjectiveSettingsRestorer(); };
         R.Add(std::move(info));
       }},
      {"HypervolumeReference",
       [](TPropertyRegistry& R, const std::string& N, C* Self) {
         TPropertyInfo info;
         info.Name = N;
         info.IsDefault = [Self] { return Self->HypervolumeReference().empty(); };
         info.Write = [Self](TWriter& W) {
           W.WriteListBegin();
           for (double value : Self->HypervolumeReference()) W.WriteFloat(value);
           W.WriteListEnd();
         };
         info.Read = [Self](TReader& Reader) {
           std::vector<double> reference;
           Reader.ReadListBegin();
           while (!Reader.EndOfList()) reference.push_back(Reader.ReadFloat());
           Reader.ReadListEnd();
           Self->SetHypervolumeReference(reference);
         };
         info.Snapshot = [Self] { return Self->ObjectiveSettingsRestorer(); };
         R.Add(std::move(info));
       }},
      {"OnEvaluateFitness",
       [](TPropertyRegistry& R, const std::string& N, C*) {
         R.Event(N, &C::OnEvaluateFitness, &C::SetOnEvaluateFitness);
       }},
      {"OnEvolve", [](TPropertyRegistry& R, const std::string& N, C*) { R.Event(N, &C::OnEvolve, &C::SetOnEvolve); }},
      {"OnInitialization",
       [](TPropertyRegistry& R, const std::string& N, C*) {
         R.Event(N, &C::OnInitialization, &C::SetOnInitialization);
       }},
      {"OnInitializeChild",
       [](TPropertyRegistry& R, const std::string& N, C*) {
         R.Event(N, &C::OnInitializeChild, &C::SetOnInitializeChild);
       }},
      {"OnMutation",
       [](TPropertyRegistry& R, const std::string& N, C*) { R.Event(N, &C::OnMutation, &C::SetOnMutation); }},
      {"OnReproduction",
       [](TPropertyRegistry& R, const std::string& N, C*) { R.Event(N, &C::OnReproduction, &C::SetOnReproduction); }},
      {"OnSelection",
       [](TPropertyRegistry& R, const std::string& N, C* Self) {
         R.Event(N, &C::OnSelection, &C::SetOnSelection).Stored([Self] { return Self->IsCustomSelection(); });
       }},
      {"Operations",
       [](TPropertyRegistry& R, const std::string& N, C*) {
         R.Set(N, &C::Operations, &C::SetOperations, DEFAULT_OPERATIONS);
       }},
      {"Population",
       [](TPropertyRegistry& R, const std::string& N, C* Self) { R.Collection(N, [Self] { return Self->Population(); }); }},
      {"SelectionMethod",
       [](TPropertyRegistry& R, const std::string& N, C*) {
         R.Enum(N, &C::SelectionMethod, &C::SetSelectionMethod, DEFAULT_SELECTION_METHOD);
       }},
      {"TournamentField",
       [](TPropertyRegistry& R, const std::string& N, C*) {
         R.Int(N, &C::TournamentField, &C::SetTournamentField, DEFAULT_TOURNAMENT_FIELD);
       }},
      {"UseDiversityLimit",
       [](TPropertyRegistry& R, const std::string& N, C*) {
         R.Bool(N, &C::UseDiversityLimit, &C::SetUseDiversityLimit, false);
       }},
      {"UseFitnessCutoff",
       [](TPropertyRegistry& R, const std::string& N, C*) {
         R.Bool(N, &C::UseFitnessCutoff, &C::SetUseFitnessCutoff, false);
       }},
      {"UseGenerationLimit",
       [](TPropertyRegistry& R, const std::string& N, C*) {
         R.Bool(N, &C::UseGenerationLimit, &C::SetUseGenerationLimit, false);
       }},
  };
  for (std::string_view name : Names) {
    const auto* found = std::find_if(std::begin(declarations), std::end(declarations),
                                     [name](const auto& entry) { return entry.first == name; });
    if (found == std::end(declarations))
      throw EArgumentOutOfRangeException("No published property " + std::string(name) + " in the evolution core");
    found->second(Reg, std::string(name), this);
  }
}

std::function<void()> TMXCustomGeneticComponent::ObjectiveSettingsRestorer() {
  return [this, senses = FObjectiveSenses, reference = FHypervolumeReference] {
    SetObjectiveCount(static_cast<int>(senses.size()));
    for (std::size_t i = 0; i < senses.size(); ++i) SetObjectiveSense(static_cast<int>(i), senses[i]);
    SetHypervolumeReference(reference);
  };
}

void TMXCustomGeneticComponent::DescribeObjectives(TStrings* Strings, const std::string& TabStr) const {
  if (!ParetoRanking()) return;
  if (FObjectiveSenses.empty()) {
    Strings->Add(TabStr + "Objectives = Fitness (" + EnumName(FFitnessMethod) + ")");
  } else {
    std::string senses;
    for (TGAObjectiveSense sense : FObjectiveSenses) senses += (senses.empty() ? "" : ", ") + EnumName(sense);
    Strings->Add(TabStr + "Objectives (" + IntToStr(ObjectiveCount()) + ") = " + senses);
  }
  std::string reference;
  for (double value : FHypervolumeReference) reference += (reference.empty() ? "" : ", ") + FloatToStr(value);
  Strings->Add(TabStr + "Hypervolume Reference = " + (reference.empty() ? "automatic" : reference));
  if (FrontSize() > 0)
    Strings->Add(TabStr + "Pareto Front = " + IntToStr(FrontSize()) + ", Hypervolume = " +
                 FloatToStr(FrontHypervolume()));
}

void TMXCustomGeneticComponent::Describe(TStrings* Strings, const std::string& TabStr) const {
  Strings->Add("Operating Conditions");
  Strings->Add(TabStr + "Fitness Method = " + EnumName(FFitnessMethod));
  Strings->Add(TabStr + "Crossover Probability = " + Percent(FCrossoverProbability));
  Strings->Add(TabStr + "Inversion Probability = " + Percent(FInversionProbability));
  Strings->Add(TabStr + "Mutation Probability = " + Percent(FMutationProbability));
  Strings->Add(TabStr + "Selection Method = " + EnumName(FSelectionMethod));
  DescribeObjectives(Strings, TabStr);
  Strings->Add("Initial Conditions");
  Strings->Add(TabStr + "Population = " + IntToStr(FInitialPopulation));
  if (!FUseGenerationLimit && !FUseFitnessCutoff && !FUseDiversityLimit) {
    Strings->Add("There are no Termination Conditions");
    return;
  }
  Strings->Add("Termination Conditions");
  if (FUseFitnessCutoff) {
    const char* comparison = Maximizing() ? "Fitness >= " : "Fitness <= ";
    Strings->Add(TabStr + comparison + FloatToStr(FFitnessCutoff));
  }
  if (FUseDiversityLimit) Strings->Add(TabStr + "Diversity less than " + Percent(FDiversityLimit));
  if (FUseGenerationLimit) Strings->Add(TabStr + "Maximum number of generations = " + IntToStr(FGenerationLimit));
}

std::string TMXCustomGeneticComponent::ToString() const {
  TStringList lines;
  Describe(&lines, "   ");
  return lines.Text();
}

// --- GeneticDocument --------------------------------------------------------------------

void TMXCustomGeneticComponent::SaveToXML(const IXMLGeneticDocumentType& Doc) {
  Doc.Set_DiversityLimit(static_cast<float>(FDiversityLimit));
  Doc.Set_FitnessCutoff(static_cast<float>(FFitnessCutoff));
  Doc.Set_FitnessMethod(EnumName(FFitnessMethod));
  Doc.Set_Generation(FGeneration);
  Doc.Set_UseDiversityLimit(FUseDiversityLimit);
  Doc.Set_UseFitnessCutoff(FUseFitnessCutoff);
  Doc.Set_GenerationLimit(static_cast<std::uint32_t>(FGenerationLimit < 0 ? 0 : FGenerationLimit));
  Doc.Set_UseGenerationLimit(FUseGenerationLimit);
  Doc.Set_AvgFitness(static_cast<float>(AvgFitness()));
  Doc.Set_MaxFitness(static_cast<float>(FMaxFitness));
  Doc.Set_MinFitness(static_cast<float>(FMinFitness));
  // A multi-objective run adds its settings; a single-objective document stays as it was.
  if (!FObjectiveSenses.empty()) {
    std::string senses;
    for (TGAObjectiveSense sense : FObjectiveSenses) {
      if (!senses.empty()) senses += ' ';
      senses += EnumName(sense);
    }
    Doc.Node().AddChild("ObjectiveSenses").SetText(senses);
    if (!FHypervolumeReference.empty())
      Doc.Node().AddChild("HypervolumeReference").SetText(NumberList(FHypervolumeReference));
  }
}

void TMXCustomGeneticComponent::LoadFromXML(const IXMLGeneticDocumentType& Doc) {
  // Every value is converted first, so that a bad number changes nothing.
  const float diversityLimit = Doc.Get_DiversityLimit();
  const float fitnessCutoff = Doc.Get_FitnessCutoff();
  const int fitnessMethod = EnumValue<TGAFitnessMethod>(Doc.Get_FitnessMethod());
  const int generation = Doc.Get_Generation();
  const bool useDiversityLimit = Doc.Get_UseDiversityLimit();
  const bool useFitnessCutoff = Doc.Get_UseFitnessCutoff();
  const std::uint32_t generationLimit = Doc.Get_GenerationLimit();
  const bool useGenerationLimit = Doc.Get_UseGenerationLimit();
  // Without ObjectiveSenses (a single-objective document) the objective settings stay.
  const TObjectiveSettings objectives = ReadObjectiveSettings(Doc.Node());

  SetDiversityLimit(diversityLimit);
  SetFitnessCutoff(fitnessCutoff);
  if (fitnessMethod >= 0) SetFitnessMethod(static_cast<TGAFitnessMethod>(fitnessMethod));
  SetGeneration(generation);
  SetUseDiversityLimit(useDiversityLimit);
  SetUseFitnessCutoff(useFitnessCutoff);
  // The limit is a signed setting: larger document values saturate. A value equal to the
  // current one changes nothing (so a limit still at its initial 0 stays 0).
  const int limit = generationLimit > static_cast<std::uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(generationLimit);
  if (limit != FGenerationLimit) SetGenerationLimit(limit);
  SetUseGenerationLimit(useGenerationLimit);
  if (objectives.Present) {
    SetObjectiveCount(static_cast<int>(objectives.Senses.size()));
    for (std::size_t k = 0; k < objectives.Senses.size(); ++k)
      SetObjectiveSense(static_cast<int>(k), objectives.Senses[k]);
    SetHypervolumeReference(objectives.Reference);
  }
}

void TMXCustomGeneticComponent::SaveToStream(TStream& Stream) {
  auto doc = NewGeneticDocument();
  doc.Document().SetOptions(doc.Document().Options() | doNodeAutoIndent);
  SaveToXML(doc.Root());
  detail::WriteXMLDocument(doc.Document(), Stream);
}

void TMXCustomGeneticComponent::SaveToFile(const std::string& FileName) {
  SaveFileSafely(FileName, [this](TStream& Stream) { SaveToStream(Stream); });
}

void TMXCustomGeneticComponent::LoadFromStream(TStream& Stream) {
  auto doc = NewGeneticDocument();
  doc.Document().LoadFromStream(Stream);
  LoadFromXML(GetGeneticDocument(doc.Document()));
}

void TMXCustomGeneticComponent::LoadFromFile(const std::string& FileName) {
  auto doc = LoadGeneticDocument(FileName);
  LoadFromXML(doc.Root());
}

}  // namespace evokit
