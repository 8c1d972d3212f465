// Persistence of the genetic algorithm: the XML forms of genes, gene values,
// chromosomes, populations and the GA component (the GeneticAlgorithm and GADomain
// documents), the component's stream and file operations, and the published properties
// that component streaming writes for the component, its genes and its individuals.
#include <string>

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
  const int size = GenoTypeXML.Get_Size();
  if (TMXCustomGeneticAlgorithm* component = Owner()) component->SetGeneSize(size);
  const auto update = UpdateGuard(*this);
  Clear();
  for (TXMLNode element : GenoTypeXML.Node().ChildNodes()) {
    const TGeneValues values = ReadGeneElement(element);
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
    if (values.Type == gtEnumeration) {
      const IXMLString_List names = IXMLEnumerationGeneType(element).Get_Enumeration();
      for (int n = 0; n < names.Count(); ++n) gene->Enumerations()->Add(names.Items(n));
    }
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
      case gtInteger: node.AddChild("IntegerGeneValue").SetAsInteger(gene.GeneAsInteger(bits)); break;
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
}

void TMXGAIndividual::LoadFromXML(const IXMLChromosome& ChromosomeXML) {
  const std::string name = ChromosomeXML.Get_Name();
  const TXMLNode genes = ChromosomeXML.Node().FindChild("Genes");
  const std::string text = genes ? IXMLGenes(genes).Get_Bits() : std::string();
  // The bits first: bad bit text raises before anything changes.
  FBits->SetAsBitString(0, FBits->Size(), text);
  SetName(name);
  Modified();
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
  const float crossoverProbability = reproduction.Get_CrossoverProbability();
  const float inversionProbability = reproduction.Get_InversionProbability();
  const float mutationProbability = reproduction.Get_MutationProbability();
  const int selectionMethod = EnumValue<TGASelectionMethod>(selection.Get_Method());
  const float elitistPct = selection.Get_ElitistPercent();
  const int tournamentField = selection.Get_TournamentField();

  TMXCustomGeneticComponent::LoadFromXML(GAXML);
  if (crossoverMethod >= 0) FCrossoverMethod = static_cast<TGACrossoverMethod>(crossoverMethod);
  SetCrossoverProbability(crossoverProbability);
  SetInversionProbability(inversionProbability);
  SetMutationProbability(mutationProbability);
  if (selectionMethod >= 0) SetSelectionMethod(static_cast<TGASelectionMethod>(selectionMethod));
  SetElitistPct(elitistPct);
  SetTournamentField(tournamentField);
  LoadFromXML(IXMLGADomainType(GAXML.Node().FindChild("Domain")));
}

void TMXCustomGeneticAlgorithm::LoadFromXML(const IXMLGADomainType& GAXML) {
  if (!Initialized()) {
    // Initialise with an empty population: the document brings the individuals.
    const int initialPopulation = InitialPopulation();
    SetInitialPopulation(0);
    const TScopeExit restore([&] { SetInitialPopulation(initialPopulation); });
    Initialize();
  }
  const TXMLNode domain = GAXML.Node();
  FGenes->LoadFromXML(IXMLGenoType(domain.FindChild("GenoType")));
  Population()->LoadFromXML(IXMLChromosomes(domain.FindChild("Chromosomes")));
  SetPreviousGeneration(Population());
  // Statistics, fittest individual and selection tables of the loaded population, as the
  // last generation left them: the next Evolve breeds from it.
  EvaluateFitness();
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
  Reg.Enum("CrossoverMethod", &GA::CrossoverMethod, &GA::SetCrossoverMethod, cmGeneBoundary);
  DeclareCoreProperties(Reg, {"ElitistPct", "FitnessCutoff", "FitnessMethod", "Generation", "GenerationLimit",
                              "UseGenerationLimit"});
  Reg.Collection("Genes", [this] { return Genes(); });
  Reg.Int("GeneSize", &GA::GeneSize, &GA::SetGeneSize).NoDefault();
  DeclareCoreProperties(Reg, {"InitialPopulation", "InitialDuplicatesRetries", "Population", "CrossoverProbability",
                              "InversionProbability", "MutationProbability"});
  Reg.Event("OnCrossover", &GA::OnCrossover, &GA::SetOnCrossover);
  DeclareCoreProperties(Reg, {"OnEvaluateFitness", "OnReproduction", "OnMutation", "OnEvolve", "OnInitialization",
                              "OnInitializeChild", "Operations", "SelectionMethod", "OnSelection", "TournamentField",
                              "UseFitnessCutoff", "UseDiversityLimit"});
}

}  // namespace evokit
