// Runs evokit-demo as a user would and checks what it writes and how it exits.
#include <evokit/platform/convert.h>
#include <evokit/platform/xml.h>

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace evokit;

namespace {

struct TRunResult {
  int Status;
  std::string Output;  // stdout and stderr together
};

TRunResult RunDemo(const std::string& arguments) {
  const std::string command = std::string(EVOKIT_DEMO_PATH) + " " + arguments + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return {-1, "popen failed"};
  std::string output;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

std::vector<std::string> ReadLines(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream s(line);
  for (std::string f; std::getline(s, f, ',');) fields.push_back(f);
  return fields;
}

class Demo : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = std::filesystem::temp_directory_path() /
          ("evokit-demo-test-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(Dir);
  }
  void TearDown() override { std::filesystem::remove_all(Dir); }
  std::filesystem::path Dir;
};

}  // namespace

TEST_F(Demo, OneMaxWritesAConsistentCsvAndAWellFormedPlot) {
  const auto csv = Dir / "run.csv", svg = Dir / "run.svg";
  const auto r = RunDemo("onemax --bits 64 --population 30 --generations 40 --seed 3 --csv " + csv.string() +
                         " --plot " + svg.string());
  ASSERT_EQ(r.Status, 0) << r.Output;
  EXPECT_NE(r.Output.find("fittest individual"), std::string::npos) << r.Output;

  const auto lines = ReadLines(csv);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "generation,best,average,minimum,maximum,diversity,elapsed");
  int previousGeneration = 0;
  double previousElapsed = 0;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const auto f = Split(lines[i]);
    ASSERT_EQ(f.size(), 7u) << lines[i];
    const int generation = StrToInt(f[0]);
    const double best = StrToFloat(f[1]), average = StrToFloat(f[2]), minimum = StrToFloat(f[3]),
                 maximum = StrToFloat(f[4]), elapsed = StrToFloat(f[6]);
    EXPECT_EQ(generation, previousGeneration + 1);
    EXPECT_LE(minimum, average);
    EXPECT_LE(average, maximum);
    EXPECT_EQ(best, maximum);  // maximising: the fittest has the largest fitness
    EXPECT_LE(best, 64);
    EXPECT_GE(elapsed, previousElapsed);
    previousGeneration = generation;
    previousElapsed = elapsed;
  }

  TXMLDocument plot;
  ASSERT_NO_THROW(plot.LoadFromFile(svg.string()));
  EXPECT_EQ(plot.DocumentElement().NodeName(), "svg");
  int polylines = 0;
  for (TXMLNode child : plot.DocumentElement().ChildNodes()) polylines += child.NodeName() == "polyline";
  EXPECT_EQ(polylines, 2);
}

TEST_F(Demo, SeededRunsRepeatWhateverTheThreadCount) {
  auto finalRow = [&](const std::string& options) {
    const auto csv = Dir / "r.csv";
    const auto r = RunDemo("rastrigin --dimensions 3 --population 40 --generations 15 --seed 9 " + options +
                           " --csv " + csv.string());
    EXPECT_EQ(r.Status, 0) << r.Output;
    auto lines = ReadLines(csv);
    if (lines.empty()) return std::string();
    auto f = Split(lines.back());
    f.pop_back();  // elapsed time differs
    std::string joined;
    for (const auto& x : f) joined += x + ",";
    return joined;
  };
  const std::string two = finalRow("--threads 2");
  EXPECT_FALSE(two.empty());
  EXPECT_EQ(two, finalRow("--threads 1"));
  EXPECT_EQ(two, finalRow("--threads 3"));
}

TEST_F(Demo, KnapsackSolutionRespectsTheCapacity) {
  const auto r = RunDemo("knapsack --population 60 --generations 60 --capacity 400 --seed 5");
  ASSERT_EQ(r.Status, 0) << r.Output;
  const auto at = r.Output.find("total weight ");
  ASSERT_NE(at, std::string::npos) << r.Output;
  EXPECT_LE(StrToFloat(r.Output.substr(at + 13, r.Output.find('\n', at) - at - 13)), 400);
}

TEST_F(Demo, SavedRunResumesFromItsGenerationAndPopulation) {
  const auto saved = Dir / "ga.xml", first = Dir / "first.csv", second = Dir / "second.csv";
  auto r = RunDemo("onemax --bits 400 --population 40 --generations 20 --seed 4 --save " + saved.string() +
                   " --csv " + first.string());
  ASSERT_EQ(r.Status, 0) << r.Output;
  r = RunDemo("onemax --bits 400 --population 40 --generations 5 --seed 8 --load " + saved.string() + " --csv " +
              second.string());
  ASSERT_EQ(r.Status, 0) << r.Output;
  EXPECT_NE(r.Output.find("resumed from"), std::string::npos) << r.Output;
  const auto before = ReadLines(first), after = ReadLines(second);
  ASSERT_EQ(before.size(), 21u);
  ASSERT_EQ(after.size(), 6u);
  EXPECT_EQ(Split(after[1])[0], "21");
  EXPECT_EQ(Split(after[5])[0], "25");
  // The resumed population is the evolved one, not a fresh random one.
  EXPECT_GT(StrToFloat(Split(after[1])[2]), StrToFloat(Split(before[1])[2]) + 10);

  const auto garbage = Dir / "garbage.xml";
  std::ofstream(garbage) << "<GeneticAlgorithm><Domain>";
  r = RunDemo("onemax --load " + garbage.string());
  EXPECT_EQ(r.Status, 1) << r.Output;
  r = RunDemo("onemax --load " + (Dir / "absent.xml").string());
  EXPECT_EQ(r.Status, 1) << r.Output;
  r = RunDemo("onemax --generations 2 --save " + (Dir / "no" / "dir.xml").string());
  EXPECT_EQ(r.Status, 1) << r.Output;
}

TEST_F(Demo, BadArgumentsExitWithStatusTwoAndFileErrorsWithOne) {
  for (const char* args : {"", "fly", "onemax --population", "onemax --population ten", "onemax --threads -1",
                           "onemax --selection best", "onemax --frobnicate 1", "onemax extra"}) {
    const auto r = RunDemo(args);
    EXPECT_EQ(r.Status, 2) << args << "\n" << r.Output;
    EXPECT_NE(r.Output.find("usage:"), std::string::npos) << args;
  }
  const auto missing = RunDemo("knapsack --data " + (Dir / "missing.csv").string());
  EXPECT_EQ(missing.Status, 1) << missing.Output;
  EXPECT_EQ(std::count(missing.Output.begin(), missing.Output.end(), '\n'), 1) << missing.Output;
  const auto unwritable = RunDemo("onemax --generations 2 --csv " + (Dir / "no" / "such" / "dir.csv").string());
  EXPECT_EQ(unwritable.Status, 1) << unwritable.Output;
  const auto help = RunDemo("--help");
  EXPECT_EQ(help.Status, 0);
  EXPECT_NE(help.Output.find("--generations"), std::string::npos);
}
