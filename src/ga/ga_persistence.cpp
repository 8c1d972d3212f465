// Persistence of the genetic algorithm: the XML forms of genes, gene values,
// chromosomes, populations and the GA component (the GeneticAlgorithm and GADomain
// documents), the component's stream and file operations, and the published properties
// that component streaming writes for the component, its genes and its individuals.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include <evokit/core/limits.h>
#include <evokit/ga/ga_document.h>
#include <evokit/ga/genetic_algorithm.h>
#include <evokit/platform/filer.h>
#include <evokit/platform/streams.h>
#include <evokit/platform/xml.h>
#include <evokit/platform/guards.h>

namespace evokit {

namespace {

bool IsChromosomeElement(const TXMLNode& Node) {
  return Node && (Node.NodeName() == "Chromosome" || Node.NodeName() == "FittestIndividual");
}

// The values of one gene element, converted before a gene is made from them.
struct TGeneValues {
  TGeneType Type = gtUnknown;
  std::string Name;
  int Size = 0;
  double MinValue = 0;
  double MaxValue = 0;
  bool PreserveSignBit = false;
};

TGeneValues ReadGeneElement(const TXMLNode& Element) {
  TGeneValues values;
  switch (GeneElementKind(Element)) {
    case gkBoolean: values.Type = gtBoolean; break;
    case gkInteger: values.Type = gtInteger; break;
    case gkFloat: values.Type = gtFloat; break;
    case gkEnumeration: values.Type = gtEnumeration; break;
    case gkUnknown:
      throw EXMLDocError("GenoType: <" + Element.NodeName() +
                         "> is not a gene element (BooleanGene, IntegerGene, FloatGene or EnumerationGene)");
  }
  const IXMLNumericGeneType xml(Element);
  values.Name = xml.Get_Name();
  values.Size = xml.Get_Size();
  if (values.Type != gtBoolean) {
    values.MinValue = xml.Get_MinValue();
    values.MaxValue = xml.Get_MaxValue();
    values.PreserveSignBit = xml.Get_PreserveSignBit();
  }
  return values;
}

// The genes of a GenoType element, read and checked before anything changes: every
// element must be a gene kind, every width within the gene rules and the limits.
struct TGeneElement {
  TGeneValues Values;
  std::vector<std::string> Names;  // of an enumeration gene
};

std::vector<TGeneElement> ReadGenoType(const IXMLGenoType& GenoTypeXML, std::int64_t& Total) {
  std::vector<TGeneElement> genes;
  const std::int32_t limit = Limits().MaxGeneSize;
  Total = 0;
  for (TXMLNode element : GenoTypeXML.Node().ChildNodes()) {
    TGeneElement& gene = genes.emplace_back(TGeneElement{ReadGeneElement(element), {}});
    if (gene.Values.Type == gtEnumeration) {
      const IXMLString_List names = IXMLEnumerationGeneType(element).Get_Enumeration();
      for (int n = 0; n < names.Count(); ++n) gene.Names.push_back(names.Items(n));
      // The names decide the width, whatever the element says.
      gene.Values.Size = BitsRequired(static_cast<std::uint32_t>(gene.Names.size()));
    } else if (gene.Values.Type != gtBoolean && gene.Values.Size > TMXGAGene::MaxNumericSize) {
      throw EXMLDocError("GenoType: gene \"" + gene.Values.Name + "\" of " + std::to_string(gene.Values.Size) +
                         " bits; numeric genes hold at most " + std::to_string(TMXGAGene::MaxNumericSize));
    }
    Total += std::max(0, gene.Values.Size);
    CheckLimit("Genes' total size", Total, limit);
  }
  return genes;
}

// The name and bit text of a Chromosome element whose text must fill Bits bits: only
// '0' and '1', and no fewer characters than bits. (A longer text is the chromosome of a
// component whose GeneSize exceeded its genes; the bits past Bits are dropped.)
std::string ReadBitText(const IXMLChromosome& ChromosomeXML, int Bits) {
  const TXMLNode genes = ChromosomeXML.Node().FindChild("Genes");
  std::string text = genes ? IXMLGenes(genes).Get_Bits() : std::string();
  if (const auto bad = FindNonBitChar(text); bad != std::string::npos) {
    throw EXMLDocError("Chromosome: invalid character '" + std::string(1, text[bad]) + "' at position " +
                       std::to_string(bad) + " of the bit text");
  }
  if (text.size() < static_cast<std::size_t>(Bits)) {
    throw EXMLDocError("Chromosome: bit text of " + std::to_string(text.size()) + " characters for a chromosome of " +
                       std::to_string(Bits) + " bits");
  }
  return text;
}

// Checks every Chromosome element of a list against a chromosome length, and the count
// and total bits against the limits.
void CheckChromosomes(const IXMLChromosomes& ChromosomesXML, int Bits) {
  const int count = ChromosomesXML.Count();
  CheckLimit("Population", count, Limits().MaxPopulation);
  CheckLimit("Population bits", std::int64_t{count} * Bits, Limits().MaxPopulationBits);
  for (int i = 0; i < count; ++i) {
    ReadBitText(ChromosomesXML.Items(i), Bits);
    TMXIndividual::ReadObjectivesXML(ChromosomesXML.Items(i).Node());
  }
}

// Checks a GADomain (or Domain) element: its genes, and every chromosome against the
// gene size the genes will give.
void CheckDomain(const TXMLNode& Domain) {
  const IXMLGenoType genoType(Domain.FindChild("GenoType"));
  std::int64_t total = 0;
  ReadGenoType(genoType, total);
  const std::int64_t geneSize = std::max<std::int64_t>({genoType.Get_Size(), total, 0});
  CheckLimit("GeneSize", geneSize, Limits().MaxGeneSize);
  CheckChromosomes(IXMLChromosomes(Domain.FindChild("Chromosomes")), static_cast<int>(geneSize));
}

// A distribution index of the Reproduction element: the default when the element is
// missing, EGAException when it is negative or NaN.
double ReadDistributionIndex(const TXMLNode& Reproduction, std::string_view Name) {
  const TXMLNode element = Reproduction.FindChild(Name);
  if (!element) return DEFAULT_DISTRIBUTION_INDEX;
  const double value = element.AsFloat();
  if (!(value >= 0)) throw EGAException(std::string(Name) + " must be a number >= 0, not " + FloatToStr(value));
  return value;
}

void WriteNumericGene(const IXMLNumericGeneType& GeneXML, const TMXGAGene& Gene) {
  GeneXML.Set_Name(Gene.Name());
  GeneXML.Set_Size(Gene.Size());
  GeneXML.Set_MinValue(Gene.MinValue());
  GeneXML.Set_MaxValue(Gene.MaxValue());
  GeneXML.Set_PreserveSignBit(Gene.PreserveSignBit());
}

}  // namespace

// --- Genes --------------------------------------------------------------------------------

void TMXGAGene::DeclareProperties(TPropertyRegistry& Reg) {
  Reg.Strings(
         "Enumerations", [this]() -> const TStrings* { return Enumerations(); },
         [this](const TStrings* Value) { SetEnumerations(Value); })
      .Stored([this] { return IsEnumeration(); });
  Reg.Enum("GeneType", &TMXGAGene::GeneType, &TMXGAGene::SetGeneType).NoDefault();
  Reg.String("Name", &TMXGAGene::Name, &TMXGAGene::SetName);
  Reg.Int("Size", &TMXGAGene::Size, &TMXGAGene::SetSize).NoDefault();
  Reg.Float("MaxValue", &TMXGAGene::MaxValue, &TMXGAGene::SetMaxValue);
  Reg.Float("MinValue", &TMXGAGene::MinValue, &TMXGAGene::SetMinValue);
  Reg.Bool("PreserveSignBit", &TMXGAGene::PreserveSignBit, &TMXGAGene::SetPreserveSignBit, false);
}

void TMXGAGenes::SaveToXML(const IXMLGenoType& GenoTypeXML) const {
  for (int i = 0; i < Count(); ++i) {
    const TMXGAGene& gene = *Items(i);
    switch (gene.GeneType()) {
      case gtBoolean: {
        const IXMLBooleanGeneType xml = GenoTypeXML.Get_BooleanGene().Add();
        xml.Set_Name(gene.Name());
        xml.Set_Size(gene.Size());
        break;
      }
      case gtInteger: WriteNumericGene(GenoTypeXML.Get_IntegerGene().Add(), gene); break;
      case gtFloat: WriteNumericGene(GenoTypeXML.Get_FloatGene().Add(), gene); break;
      case gtEnumeration: {
        const IXMLEnumerationGeneType xml = GenoTypeXML.Get_EnumerationGene().Add();
        WriteNumericGene(xml, gene);
        IXMLString_List names = xml.Get_Enumeration();
        if (gene.HasEnumerations())
          for (int n = 0; n < gene.Enumerations()->Count(); ++n) names.Add(gene.Enumerations()->Strings(n));
        break;
      }
      default: break;  // gtUnknown genes are not written
    }
  }
  std::int32_t size = Size();
  if (size == 0 && Owner()) size = Owner()->GeneSize();
  GenoTypeXML.Set_Size(size);
}

void TMXGAGenes::LoadFromXML(const IXMLGenoType& GenoTypeXML) {
  // Everything is read and checked first, so that a bad document changes nothing.
  const int size = GenoTypeXML.Get_Size();
  std::int64_t total = 0;
  const std::vector<TGeneElement> elements = ReadGenoType(GenoTypeXML, total);
  TMXCustomGeneticAlgorithm* component = Owner();
  if (component) {
    const std::int64_t geneSize = std::max<std::int64_t>({size, total, 0});
    CheckLimit("GeneSize", geneSize, Limits().MaxGeneSize);
    CheckLimit("Population bits", geneSize * component->Population()->Count(), Limits().MaxPopulationBits);
  }
  const auto update = UpdateGuard(*this);
  // Cleared before GeneSize is set, which may not fall below the genes' total.
  Clear();
  if (component) component->SetGeneSize(size);
  for (const TGeneElement& element : elements) {
    const TGeneValues& values = element.Values;
    TMXGAGene* gene = Add();
    gene->SetName(values.Name);
    gene->SetSize(values.Size);
    if (values.Type != gtBoolean) {
      gene->SetMinValue(values.MinValue);
      gene->SetMaxValue(values.MaxValue);
      gene->SetPreserveSignBit(values.PreserveSignBit);
    }
    // The type comes last: it recomputes the range from Size and PreserveSignBit (and
    // an enumeration's names set its Size and range).
    gene->SetGeneType(values.Type);
    for (const std::string& name : element.Names) gene->Enumerations()->Add(name);
  }
}

void TMXGAGenes::SaveToXML(const IXMLGenes& GenesXML, TMXGAIndividual* Item) const {
  TMXEncodedBits& bits = *Item->Bits();
  const TXMLNode node = GenesXML.Node();
  // The value elements are appended straight to the element (the typed lists would
  // append them in the same place, at a higher cost per value).
  for (int i = 0; i < Count(); ++i) {
    const TMXGAGene& gene = *Items(i);
    switch (gene.GeneType()) {
      case gtBoolean: node.AddChild("BooleanGeneValue").SetAsBoolean(gene.GeneAsBoolean(bits)); break;
      case gtInteger: node.AddChild("IntegerGeneValue").SetAsInt64(gene.GeneAsInt64(bits)); break;
      case gtFloat: node.AddChild("FloatGeneValue").SetAsSingle(gene.GeneAsFloat(bits)); break;
      case gtEnumeration: node.AddChild("EnumerationGeneValue").SetText(gene.GeneAsEnumeration(bits)); break;
      default: break;
    }
  }
}

// --- Individuals and populations ----------------------------------------------------------

void TMXGAIndividual::SaveToXML(const IXMLChromosome& ChromosomeXML) const {
  ChromosomeXML.Set_Name(DisplayName());
  ChromosomeXML.Set_Fitness(static_cast<float>(Fitness()));
  const IXMLGenes genes = ChromosomeXML.Get_Genes();
  genes.Set_Bits(FBits->ToBitString());
  if (const TMXGAPopulation* population = Collection())
    if (const TMXCustomGeneticAlgorithm* component = population->Owner())
      component->Genes()->SaveToXML(genes, const_cast<TMXGAIndividual*>(this));
  SaveObjectivesToXML(ChromosomeXML.Node());
}

void TMXGAIndividual::LoadFromXML(const IXMLChromosome& ChromosomeXML) {
  const std::string name = ChromosomeXML.Get_Name();
  const std::string text = ReadBitText(ChromosomeXML, FBits->Size());
  const std::vector<double> objectives = ReadObjectivesXML(ChromosomeXML.Node());
  FBits->SetAsBitString(0, FBits->Size(), text);
  SetName(name);
  Modified();
  // Kept by a component without objective handlers; evaluated anew otherwise.
  SetObjectives(objectives);
}

// The generic overloads act on chromosome elements only (a Chromosome, or the
// FittestIndividual of the same shape); any other element is left alone, and so is the
// individual.
void TMXGAIndividual::SaveToXML(const TXMLNode& Node) const {
  if (IsChromosomeElement(Node)) SaveToXML(IXMLChromosome(Node));
}

void TMXGAIndividual::LoadFromXML(const TXMLNode& Node) {
  if (IsChromosomeElement(Node)) LoadFromXML(IXMLChromosome(Node));
}

void TMXGAIndividual::DefineProperties(TFiler& Filer) {
  TMXIndividual::DefineProperties(Filer);
  Filer.DefineProperty(
      "Bits",
      [this](TReader& Reader) {
        const std::string text = Reader.ReadString();
        if (text.size() != static_cast<std::size_t>(FBits->Size())) {
          throw EReadError("Bits: a text of " + std::to_string(text.size()) + " characters for a chromosome of " +
                           std::to_string(FBits->Size()) + " bits");
        }
        FBits->SetAsBitString(0, FBits->Size(), text);
        Modified();
      },
      [this](TWriter& Writer) { Writer.WriteString(FBits->ToBitString()); }, FBits->Size() > 0);
}

void TMXGAPopulation::SaveToXML(const IXMLChromosomes& ChromosomesXML) const {
  IXMLChromosomes list = ChromosomesXML;
  for (int i = 0; i < Count(); ++i) Items(i)->SaveToXML(list.Add());
}

void TMXGAPopulation::LoadFromXML(const IXMLChromosomes& ChromosomesXML) {
  const TMXCustomGeneticAlgorithm* component = Owner();
  CheckChromosomes(ChromosomesXML, component ? component->GeneSize() : 0);
  const auto update = UpdateGuard(*this);
  Clear();
  const int count = ChromosomesXML.Count();
  for (int i = 0; i < count; ++i) Add()->LoadFromXML(ChromosomesXML.Items(i));
}

// As the individual's: a Chromosomes element only.
void TMXGAPopulation::SaveToXML(const TXMLNode& ChromosomesXML) const {
  if (ChromosomesXML && ChromosomesXML.NodeName() == "Chromosomes") SaveToXML(IXMLChromosomes(ChromosomesXML));
}

void TMXGAPopulation::LoadFromXML(const TXMLNode& ChromosomesXML) {
  if (ChromosomesXML && ChromosomesXML.NodeName() == "Chromosomes") LoadFromXML(IXMLChromosomes(ChromosomesXML));
}

// --- The component ------------------------------------------------------------------------

void TMXCustomGeneticAlgorithm::SaveToXML(const IXMLGeneticAlgorithm& GAXML) {
  TMXCustomGeneticComponent::SaveToXML(GAXML);
  const IXMLGAReproductionType reproduction = GAXML.Get_Reproduction();
  reproduction.Set_CrossoverMethod(EnumName(FCrossoverMethod));
  // The real-coded settings are written only when set, so documents of other runs stay
  // as they were.
  const TXMLNode node = reproduction.Node();
  if (FCrossoverDistributionIndex != DEFAULT_DISTRIBUTION_INDEX)
    node.AddChild("CrossoverDistributionIndex").SetAsFloat(FCrossoverDistributionIndex);
  if (FMutationMethod != gmBitFlip) node.AddChild("MutationMethod").SetText(EnumName(FMutationMethod));
  if (FMutationDistributionIndex != DEFAULT_DISTRIBUTION_INDEX)
    node.AddChild("MutationDistributionIndex").SetAsFloat(FMutationDistributionIndex);
  reproduction.Set_CrossoverProbability(static_cast<float>(CrossoverProbability()));
  reproduction.Set_InversionProbability(static_cast<float>(InversionProbability()));
  reproduction.Set_MutationProbability(static_cast<float>(MutationProbability()));
  const IXMLSelectionMethod selection = reproduction.Get_SelectionMethod();
  selection.Set_Method(EnumName(SelectionMethod()));
  selection.Set_ElitistPercent(static_cast<float>(ElitistPct()));
  selection.Set_TournamentField(TournamentField());
  SaveToXML(GAXML.Get_Domain());
}

void TMXCustomGeneticAlgorithm::SaveToXML(const IXMLGADomainType& GAXML) {
  FGenes->SaveToXML(GAXML.Get_GenoType());
  if (const TMXGAIndividual* fittest = FittestIndividual()) fittest->SaveToXML(GAXML.Get_FittestIndividual());
  Population()->SaveToXML(GAXML.Get_Chromosomes());
}

void TMXCustomGeneticAlgorithm::LoadFromXML(const IXMLGeneticAlgorithm& GAXML) {
  // Missing elements are looked up, never created: reading leaves the document alone.
  const IXMLGAReproductionType reproduction(GAXML.Node().FindChild("Reproduction"));
  const IXMLSelectionMethod selection(reproduction.Node().FindChild("SelectionMethod"));
  // Convert every reproduction value before anything is applied.
  const std::string crossoverName = reproduction.Get_CrossoverMethod();
  const int crossoverMethod = crossoverName.empty() ? static_cast<int>(cmGeneBoundary)
                                                    : EnumValue<TGACrossoverMethod>(crossoverName);
  const std::string mutationName = detail::ChildTextOrEmpty(reproduction.Node(), "MutationMethod");
  const int mutationMethod =
      mutationName.empty() ? static_cast<int>(gmBitFlip) : EnumValue<TGAMutationMethod>(mutationName);
  const double crossoverIndex = ReadDistributionIndex(reproduction.Node(), "CrossoverDistributionIndex");
  const double mutationIndex = ReadDistributionIndex(reproduction.Node(), "MutationDistributionIndex");
  const float crossoverProbability = reproduction.Get_CrossoverProbability();
  const float inversionProbability = reproduction.Get_InversionProbability();
  const float mutationProbability = reproduction.Get_MutationProbability();
  const int selectionMethod = EnumValue<TGASelectionMethod>(selection.Get_Method());
  const float elitistPct = selection.Get_ElitistPercent();
  const int tournamentField = selection.Get_TournamentField();
  const TXMLNode domain = GAXML.Node().FindChild("Domain");
  CheckDomain(domain);

  TMXCustomGeneticComponent::LoadFromXML(GAXML);
  if (crossoverMethod >= 0) FCrossoverMethod = static_cast<TGACrossoverMethod>(crossoverMethod);
  if (mutationMethod >= 0) FMutationMethod = static_cast<TGAMutationMethod>(mutationMethod);
  FCrossoverDistributionIndex = crossoverIndex;
  FMutationDistributionIndex = mutationIndex;
  SetCrossoverProbability(crossoverProbability);
  SetInversionProbability(inversionProbability);
  SetMutationProbability(mutationProbability);
  if (selectionMethod >= 0) SetSelectionMethod(static_cast<TGASelectionMethod>(selectionMethod));
  SetElitistPct(elitistPct);
  SetTournamentField(tournamentField);
  LoadFromXML(IXMLGADomainType(domain));
}

void TMXCustomGeneticAlgorithm::LoadFromXML(const IXMLGADomainType& GAXML) {
  const TXMLNode domain = GAXML.Node();
  CheckDomain(domain);
  LoadPopulation([&] {
    FGenes->LoadFromXML(IXMLGenoType(domain.FindChild("GenoType")));
    Population()->LoadFromXML(IXMLChromosomes(domain.FindChild("Chromosomes")));
  });
}

void TMXCustomGeneticAlgorithm::SaveToStream(TStream& Stream) {
  auto doc = NewGeneticAlgorithm();
  SaveToXML(doc.Root());
  detail::WriteXMLDocument(doc.Document(), Stream);
}

void TMXCustomGeneticAlgorithm::LoadFromStream(TStream& Stream) {
  auto doc = NewGeneticAlgorithm();
  doc.Document().LoadFromStream(Stream);
  LoadFromXML(GetGeneticAlgorithm(doc.Document()));
}

void TMXCustomGeneticAlgorithm::LoadFromFile(const std::string& FileName) {
  auto doc = LoadGeneticAlgorithm(FileName);
  LoadFromXML(doc.Root());
}

void TMXGeneticAlgorithm::DeclareProperties(TPropertyRegistry& Reg) {
  using GA = TMXCustomGeneticAlgorithm;
  TMXCustomGeneticAlgorithm::DeclareProperties(Reg);
  DeclareCoreProperties(Reg, {"DiversityLimit"});
  Reg.Float("CrossoverDistributionIndex", &GA::CrossoverDistributionIndex, &GA::SetCrossoverDistributionIndex,
            DEFAULT_DISTRIBUTION_INDEX);
  Reg.Enum("CrossoverMethod", &GA::CrossoverMethod, &GA::SetCrossoverMethod, cmGeneBoundary);
  DeclareCoreProperties(Reg, {"ElitistPct", "FitnessCutoff", "FitnessMethod", "Generation", "GenerationLimit",
                              "UseGenerationLimit"});
  Reg.Collection("Genes", [this] { return Genes(); });
  Reg.Int("GeneSize", &GA::GeneSize, &GA::SetGeneSize).NoDefault();
  DeclareCoreProperties(Reg, {"InitialPopulation", "InitialDuplicatesRetries", "Population", "CrossoverProbability",
                              "InversionProbability", "MutationProbability"});
  Reg.Float("MutationDistributionIndex", &GA::MutationDistributionIndex, &GA::SetMutationDistributionIndex,
            DEFAULT_DISTRIBUTION_INDEX);
  Reg.Enum("MutationMethod", &GA::MutationMethod, &GA::SetMutationMethod, gmBitFlip);
  DeclareCoreProperties(Reg, {"ObjectiveCount", "ObjectiveSenses", "HypervolumeReference"});
  Reg.Event("OnCrossover", &GA::OnCrossover, &GA::SetOnCrossover);
  DeclareCoreProperties(Reg, {"OnEvaluateFitness", "OnReproduction", "OnMutation", "OnEvolve", "OnInitialization",
                              "OnInitializeChild", "Operations", "SelectionMethod", "OnSelection", "TournamentField",
                              "UseFitnessCutoff", "UseDiversityLimit"});
}

}  // namespace evokit
