// Hostile input and unlucky circumstances: saves that fail half way keep the old file,
// loaders refuse what is not a file, and state changed between generations does not
// break the next one.
#include "support.h"

#include <evokit/evokit.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace evokit;
using namespace evokit::test;
namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& Path) {
  std::ifstream in(Path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class SafeSaveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() /
          ("evokit_hardening_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(Dir);
    fs::create_directories(Dir);
  }
  void TearDown() override { fs::remove_all(Dir); }
  // The names in Dir, to see that no temporary file is left behind.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(Dir)) names.push_back(entry.path().filename().string());
    return names;
  }
  fs::path Dir;
};

// A component whose document fails after part of it has been written.
class TFailingSave : public TMXGeneticAlgorithm {
 public:
  void SaveToStream(TStream& Stream) override {
    Stream.WriteString("<?xml version=\"1.0\"?><GeneticAlgorithm>");
    throw EStreamError("disk full");
  }
};

}  // namespace

TEST_F(SafeSaveTest, AFailedSaveKeepsTheOldFileAndLeavesNoTemporary) {
  const fs::path file = Dir / "run.xml";
  TMXGeneticAlgorithm ga;
  AddGene(ga, gtInteger, 8);
  ga.SaveToFile(file.string());
  const std::string before = ReadFile(file);
  ASSERT_NE(before.find("GeneticAlgorithm"), std::string::npos);

  TFailingSave failing;
  EXPECT_THROW(failing.SaveToFile(file.string()), EStreamError);
  EXPECT_EQ(ReadFile(file), before);
  EXPECT_EQ(Names(), std::vector<std::string>{"run.xml"});

  // The other savers share the mechanism: a list, a document and a memory stream all
  // replace the file whole, and keep its permissions.
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  TStringList lines;
  lines.Add("one");
  lines.SaveToFile(file.string());
  EXPECT_EQ(ReadFile(file), "one\n");
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  TXMLDocument doc;
  doc.CreateDocumentElement("Root");
  doc.SaveToFile(file.string());
  EXPECT_NE(ReadFile(file).find("<Root"), std::string::npos);
  EXPECT_EQ(Names(), std::vector<std::string>{"run.xml"});
}

TEST_F(SafeSaveTest, SavingWhereNoFileCanBeMadeNamesThePath) {
  const std::string file = (Dir / "missing" / "run.xml").string();
  TMXGeneticAlgorithm ga;
  try {
    ga.SaveToFile(file);
    FAIL() << "no error";
  } catch (const EFCreateError& e) {
    EXPECT_NE(e.Message().find(file), std::string::npos) << e.Message();
    EXPECT_NE(e.Message().find("No such file or directory"), std::string::npos) << e.Message();
  }
}

TEST_F(SafeSaveTest, LoadersRefuseFoldersAndDevices) {
  TMXGeneticAlgorithm ga;
  TStringList lines;
  TXMLDocument doc;
  for (const std::string& path : {Dir.string(), std::string("/dev/zero")}) {
    SCOPED_TRACE(path);
    EXPECT_THROW(ga.LoadFromFile(path), EFOpenError);
    EXPECT_THROW(lines.LoadFromFile(path), EFOpenError);
    EXPECT_THROW(doc.LoadFromFile(path), EFOpenError);
  }
}

TEST(GenerationStateTest, DeletingIndividualsBetweenGenerationsKeepsRouletteSelectionInRange) {
  for (const bool parallel : {false, true}) {
    SCOPED_TRACE(parallel);
    TMXGeneticAlgorithm ga;
    AddGene(ga, gtInteger, 16);
    ga.SetOnEvaluateFitness(CountBits);
    ga.SetFitnessMethod(fmMaximize);
    ga.SetSelectionMethod(smRoulette);
    ga.SetInitialPopulation(20);
    RandSeed(3);
    ga.Evolve(2);
    for (int i = 0; i < 15; ++i) ga.Population()->Delete(0);
    EXPECT_NO_THROW(parallel ? ga.ParallelEvolve(3) : ga.Evolve(3));
    EXPECT_EQ(ga.Generation(), 5);
  }
}

TEST(GenerationStateTest, ElementsOfAnotherKindLeaveIndividualsAndPopulationsAlone) {
  TMXGeneticAlgorithm ga;
  AddGene(ga, gtInteger, 8);
  ga.SetOnEvaluateFitness(CountBits);
  ga.SetInitialPopulation(4);
  RandSeed(5);
  ga.Initialize();
  const std::vector<std::string> before = Chromosomes(*ga.Population());
  TXMLDocument doc;
  const TXMLNode other = doc.CreateDocumentElement("GenoType");
  other.AddChild("Chromosome");

  ga.Population()->LoadFromXML(other);
  ga.Population()->Items(0)->LoadFromXML(other);
  ga.Population()->SaveToXML(other);
  ga.Population()->Items(0)->SaveToXML(other);
  EXPECT_EQ(Chromosomes(*ga.Population()), before);
  EXPECT_EQ(ChildNames(other), std::vector<std::string>{"Chromosome"});

  // The right kinds still go through: a Chromosomes element round trips the population.
  const TXMLNode list = other.AddChild("Chromosomes");
  ga.Population()->SaveToXML(list);
  ga.Population()->Clear();
  ga.Population()->LoadFromXML(list);
  EXPECT_EQ(Chromosomes(*ga.Population()), before);
}
