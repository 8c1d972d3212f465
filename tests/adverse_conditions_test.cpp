// Hostile input and unlucky circumstances: saves that fail half way keep the old file,
// loaders refuse what is not a file, and state changed between generations does not
// break the next one.
#include "gp_test_support.h"
#include "support.h"

#include <evokit/evokit.h>
#include <evokit/platform/filer.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace evokit;
using namespace evokit::test;
namespace fs = std::filesystem;

namespace {

class SafeSaveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() /
          Cat("evokit_adverse_", std::to_string(::getpid()), "_",
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
  }
  void TearDown() override { fs::remove_all(Dir); }
  // No temporary file is left behind in Dir or its folders.
  void ExpectNoTemporary() const {
    for (const auto& entry : fs::recursive_directory_iterator(Dir))
      EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
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

// A save through a symbolic link replaces the file at the end of the chain, in its own
// folder, and keeps every link; a relative target is read from the link's folder. A save
// that fails half way keeps the old file; one where no file can be made names the path
// and the reason.
TEST_F(SafeSaveTest, ASaveThroughLinksReplacesTheFileTheyNameAndKeepsTheLinks) {
  const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read;
  const struct {
    const char* Name;
    std::vector<std::pair<const char*, std::string>> Links;  // link, target
    const char* Saved;                                        // the name saved to
    const char* File;                                         // the file that must change
    bool Exists;
  } cases[] = {
      {"relative", {{"link.xml", "real.xml"}}, "link.xml", "real.xml", true},
      {"chain", {{"a.xml", "b.xml"}, {"b.xml", "sub/real.xml"}}, "a.xml", "sub/real.xml", true},
      {"from the link's folder", {{"sub/up.xml", "../real.xml"}}, "sub/up.xml", "real.xml", true},
      {"absolute", {{"abs.xml", (Dir / "sub" / "real.xml").string()}}, "abs.xml", "sub/real.xml", true},
      {"dangling", {{"new-link.xml", "sub/new.xml"}}, "new-link.xml", "sub/new.xml", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::remove_all(Dir);
    fs::create_directories(Dir / "sub");
    for (const char* file : {"real.xml", "sub/real.xml"}) {
      std::ofstream(Dir / file) << "old";
      fs::permissions(Dir / file, mode);
    }
    for (const auto& [link, target] : c.Links) fs::create_symlink(target, Dir / link);

    TStringStream("new").SaveToFile((Dir / c.Saved).string());
    EXPECT_EQ(ReadFile(Dir / c.File), "new");
    for (const auto& [link, target] : c.Links) EXPECT_TRUE(fs::is_symlink(Dir / link)) << link;
    for (const char* file : {"real.xml", "sub/real.xml"}) {
      if (std::string(file) != c.File) {
        EXPECT_EQ(ReadFile(Dir / file), "old") << file;
      }
    }
    if (c.Exists) {
      EXPECT_EQ(fs::status(Dir / c.File).permissions() & fs::perms::all, mode);
    }
    ExpectNoTemporary();
  }
  EXPECT_THROW(TFailingSave().SaveToFile((Dir / "real.xml").string()), EStreamError);
  EXPECT_EQ(ReadFile(Dir / "real.xml"), "old");
  ExpectNoTemporary();

  fs::create_symlink("loop-b", Dir / "loop-a");
  fs::create_symlink("loop-a", Dir / "loop-b");
  for (const auto& c : {std::pair{Dir / "loop-a", ELOOP}, {Dir / "missing" / "run.xml", ENOENT}}) {
    const std::string path = c.first.string();
    const std::string message = ErrorOf<EFCreateError>([&] { TMXGeneticAlgorithm().SaveToFile(path); });
    EXPECT_NE(message.find(path), std::string::npos) << message;
    EXPECT_NE(message.find(std::strerror(c.second)), std::string::npos) << message;
  }
  EXPECT_TRUE(fs::is_symlink(Dir / "loop-a"));
}

// What cannot be replaced by a file is written in place: a FIFO receives the data, a full
// device reports the failed write, a folder refuses; each stays what it was.
TEST_F(SafeSaveTest, ADeviceOrFIFOIsWrittenInPlaceAndItsErrorsReported) {
  const fs::path fifo = Dir / "pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << std::strerror(errno);
  // Held open at both ends, so the save neither blocks nor meets a closed pipe.
  const int reader = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(reader, 0) << std::strerror(errno);
  TStringStream("through the pipe").SaveToFile(fifo.string());
  char buffer[64] = {};
  const ssize_t n = read(reader, buffer, sizeof buffer);
  close(reader);
  EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0), "through the pipe");
  EXPECT_TRUE(fs::is_fifo(fifo));

  // A node of our own for the full device where we may make one (root), so that a faulty
  // save cannot replace the system's.
  fs::path full = Dir / "full";
  if (mknod(full.c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) full = "/dev/full";
  const std::string message = ErrorOf<EFCreateError>([&] { TStringStream("data").SaveToFile(full.string()); });
  EXPECT_NE(message.find("Cannot write file \"" + full.string() + "\""), std::string::npos) << message;
  EXPECT_NE(message.find(std::strerror(ENOSPC)), std::string::npos) << message;
  EXPECT_TRUE(fs::is_character_file(full));

  fs::create_directory(Dir / "folder");
  EXPECT_THROW(TStringStream("data").SaveToFile((Dir / "folder").string()), EFCreateError);
  EXPECT_TRUE(fs::is_directory(Dir / "folder"));
  ExpectNoTemporary();
}

// --- Hostile documents ------------------------------------------------------------------

enum THostileLoader { hlLines, hlXML, hlGA, hlGP, hlComponent, hlProgram, hlExecutor };

// Loads the file through Loader and returns what the loaded object saves.
std::string LoadAndSave(THostileLoader Loader, const std::string& Path) {
  const auto resaved = [&](auto&& Object) {
    Object.LoadFromFile(Path);
    TStringStream out;
    Object.SaveToStream(out);
    return out.DataString();
  };
  TMXGeneticAlgorithm ga;
  ga.SetOnEvaluateFitness(CountBits);
  switch (Loader) {
    case hlLines: { TStringList lines; lines.LoadFromFile(Path); return lines.Text(); }
    case hlXML: { TXMLDocument doc; doc.LoadFromFile(Path); return doc.XML(); }
    case hlGA: return resaved(ga);
    case hlProgram: return resaved(TMXGeneticProgramming());  // a GeneticProgram document
    case hlExecutor: return resaved(TMXGeneticProgrammingExecutor());
    case hlGP: {
      const std::string text = TFileStream(Path, fmOpenRead).ReadAll();
      gptest::TTestEngine engine;
      return gptest::SaveDomain(engine, gptest::LoadDomain(engine, text));
    }
    case hlComponent: break;
  }
  TFileStream in(Path, fmOpenRead);
  ReadComponent(in, &ga);
  TStringStream out;
  WriteComponent(out, &ga);
  return out.DataString();
}

// tests/data/hostile: each row names a document, its loader, and the class of the error it
// must raise, or "" when it must load; then what it saves must load and save the same text
// again, and be no blown-up copy of it. A row with a Nesting count names a five-line
// template whose second and fourth lines repeat that many times. "" names the folder itself.
TEST_F(SafeSaveTest, HostileDocuments) {
  struct THostile {
    const char* File;
    THostileLoader Loader;
    const char* Raises;
    int Nesting = 0;
  };
  const THostile cases[] = {
      {"billion_laughs.xml", hlGA, ""},  // entities are neither expanded nor fetched
      {"deep_elements.xml", hlXML, "", 100000},
      {"deep_dna.xml", hlGP, "", 100000},
      {"deep_program.xml", hlProgram, "", 100000},
      {"deep_program.xml", hlExecutor, "", 100000},
      {"deep_objects.txt", hlComponent, "EReadError", 100000},
      {"deep_lists.txt", hlComponent, "EReadError", 100000},
      {"constant_near_largest_double.xml", hlGP, ""},  // saved with 17 digits: 15 would overflow
      // Sizes beyond the limits: refused before anything is allocated.
      {"genotype_size_2g.xml", hlGA, "EGAException"},
      {"genotype_100m_bits.xml", hlGA, "EGAException"},
      {"gene_sizes_sum_overflow.xml", hlGA, "EGAException"},
      {"genesize_2g.txt", hlComponent, "EReadError"},
      {"gene_sizes_sum_overflow.txt", hlComponent, "EReadError"},
      {"population_100m.txt", hlComponent, "EReadError"},
      {"retries_200m.txt", hlComponent, "EReadError"},
  };
  const std::string folder = EVOKIT_TEST_DATA "/hostile/";
  std::vector<THostile> rows(std::begin(cases), std::end(cases));
  for (THostileLoader loader : {hlLines, hlXML, hlGA, hlGP, hlComponent, hlProgram, hlExecutor})
    for (const char* file : {"", "/dev/zero"}) rows.push_back({file, loader, "EFOpenError"});
  const std::string copy = (Dir / "document").string();
  for (const THostile& row : rows) {
    SCOPED_TRACE(std::string(row.File) + " through loader " + std::to_string(row.Loader));
    std::string path = row.File[0] == '/' ? row.File : folder + row.File;
    std::string text = fs::is_regular_file(path) ? ReadFile(path) : "";
    if (row.Nesting > 0) {
      std::istringstream in(text);
      std::vector<std::string> lines;
      for (std::string line; std::getline(in, line);) lines.push_back(line);
      ASSERT_GE(lines.size(), 5u);
      text.clear();
      for (const std::size_t part : {0, 1, 2, 3, 4})
        for (int n = part % 2 ? row.Nesting : 1; n > 0; --n) text += lines[part];
      std::ofstream(path = copy, std::ios::binary) << text;
    }
    std::string saved;
    try {
      saved = LoadAndSave(row.Loader, path);
      EXPECT_STREQ(row.Raises, "") << "loaded";
    } catch (const Exception& e) {
      EXPECT_STREQ(e.ClassName(), row.Raises) << e.Message();
      continue;
    }
    std::ofstream(copy, std::ios::binary) << saved;
    EXPECT_EQ(LoadAndSave(row.Loader, copy), saved);
    EXPECT_LT(saved.size(), 4 * text.size() + 4096);
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
}

// Sizes beyond the limits are refused before anything is allocated and leave the object as
// it was. (The population, retries and gene-size limits are met through documents in
// HostileDocuments, whose readers go through the same setters.)
TEST(LimitsTest, SizesBeyondTheLimitsAreRefusedAndChangeNothing) {
  TMXGeneticAlgorithm ga;
  TMXGAGene* small = AddGene(ga, gtInteger, 1);
  TMXGAGene* wide = AddGene(ga, gtBoolean, 8);
  ga.SetOnEvaluateFitness(CountBits);
  const std::string before = ga.ToString();
  const std::vector<std::pair<const char*, std::function<void()>>> refused = {
      {"below the genes", [&] { ga.SetGeneSize(8); }},
      {"total", [&] { wide->SetSize(1 << 24); }},
      {"numeric width", [&] { small->SetSize(65); }},
      {"numeric type", [&] { wide->SetSize(65), wide->SetGeneType(gtFloat); }},
      {"population bits", [&] { ga.SetGeneSize(1 << 20), ga.SetInitialPopulation(10'000), ga.Initialize(); }},
  };
  for (const auto& [what, action] : refused) {
    SCOPED_TRACE(what);
    EXPECT_THROW(action(), EGAException);
    EXPECT_EQ(ga.Population()->Count(), 0);
    wide->SetSize(8), wide->SetGeneType(gtBoolean), ga.SetGeneSize(9), ga.SetInitialPopulation(100);
    EXPECT_EQ(ga.ToString(), before);
  }
  TMXEncodedBits bits;
  EXPECT_THROW(bits.SetSize(TMXEncodedBits::MaxSize + 1), EListError);
  EXPECT_THROW(bits.SetBits(TMXEncodedBits::MaxSize, true), EListError);
  EXPECT_EQ(bits.Size(), 0);

  // Raised limits let the same settings through; bad limits are refused.
  const TMXLimits defaults = Limits();
  TMXLimits raised = defaults;
  raised.MaxPopulation = 200'000'000;
  SetLimits(raised);
  EXPECT_NO_THROW(ga.SetInitialPopulation(100'000'000));
  SetLimits(defaults);
  raised.MaxGeneSize = TMXEncodedBits::MaxSize + 1;
  EXPECT_THROW(SetLimits(raised), EArgumentOutOfRangeException);
  EXPECT_EQ(Limits().MaxPopulation, defaults.MaxPopulation);
}

// Every setting that loads also saves: integer genes over 32 bits and float genes of
// other widths write their values, and bit text must fill the chromosome.
TEST(LimitsTest, WhatLoadsCanBeSaved) {
  TMXGeneticAlgorithm ga;
  AddGene(ga, gtInteger, 40, true);
  AddGene(ga, gtFloat, 16);
  ga.SetOnEvaluateFitness(CountBits);
  ga.SetInitialPopulation(1);
  ga.Initialize();
  ga.Genes()->Items(0)->SetAsInt64(0, -(std::int64_t{1} << 38));
  ga.Genes()->Items(1)->SetAsFloat(0, 1234.0f);
  TStringStream saved;
  ga.SaveToStream(saved);
  TMXGeneticAlgorithm copy;
  copy.SetOnEvaluateFitness(CountBits);
  saved.SetPosition(0);
  copy.LoadFromStream(saved);
  EXPECT_EQ(Chromosomes(*copy.Population()), Chromosomes(*ga.Population()));
}
