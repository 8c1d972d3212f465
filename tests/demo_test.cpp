// Runs evokit-demo as a user would and checks what the program itself adds to the
// library: option wiring, the CSV and SVG it writes, --save then --load, exit codes.
#include <evokit/platform/xml.h>

#include "support.h"

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

using namespace evokit;
namespace fs = std::filesystem;

namespace {

// Runs the program; the exit status, and stdout and stderr together.
std::pair<int, std::string> RunDemo(const std::string& Arguments) {
  FILE* pipe = popen((std::string(EVOKIT_DEMO_PATH) + " " + Arguments + " 2>&1").c_str(), "r");
  std::string output;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

// The generation and average of every CSV row; the header must be the program's.
std::vector<std::array<double, 2>> ReadCsv(const fs::path& File) {
  std::stringstream text;
  text << std::ifstream(File).rdbuf();
  std::vector<std::string> lines = test::Lines(text.str());
  EXPECT_EQ(lines.at(0), "generation,best,average,minimum,maximum,diversity,elapsed");
  std::vector<std::array<double, 2>> rows(lines.size() - 1);
  for (std::size_t i = 1; i < lines.size(); ++i)
    EXPECT_EQ(std::sscanf(lines[i].c_str(), "%lf,%*f,%lf,", &rows[i - 1][0], &rows[i - 1][1]), 2) << lines[i];
  return rows;
}

}  // namespace

// A parallel run writes one CSV row per generation and a plot with two curves, and saves
// the component; a run that loads it resumes at the next generation with the evolved
// population, whose average is far above the first generation's. Then the exit codes: 2
// for a bad command line (with the usage), 1 for a file that cannot be read or written.
TEST(Demo, RunsSavesResumesAndFails) {
  const fs::path dir = fs::temp_directory_path() / ("evokit-demo-test-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string run = "onemax --bits 400 --population 40 --seed 3 --selection tournament --csv ";
  auto [status, output] = RunDemo(run + (dir / "1.csv").string() + " --generations 20 --threads 2 --plot " +
                                  (dir / "1.svg").string() + " --save " + (dir / "ga.xml").string());
  ASSERT_EQ(status, 0) << output;
  const auto rows = ReadCsv(dir / "1.csv");
  ASSERT_EQ(rows.size(), 20u);
  EXPECT_EQ(rows.back()[0], 20);
  TXMLDocument plot;
  plot.LoadFromFile((dir / "1.svg").string());
  const auto children = test::ChildNames(plot.DocumentElement());
  EXPECT_EQ(std::count(children.begin(), children.end(), "polyline"), 2);

  std::tie(status, output) = RunDemo(run + (dir / "2.csv").string() + " --generations 3 --load " + (dir / "ga.xml").string());
  ASSERT_EQ(status, 0) << output;
  const auto resumed = ReadCsv(dir / "2.csv");
  ASSERT_EQ(resumed.size(), 3u);
  EXPECT_EQ(resumed[0][0], 21);
  EXPECT_GT(resumed[0][1], rows[0][1] + 10);

  // Symbolic regression prints the best program and its error, saves, and resumes.
  std::tie(status, output) =
      RunDemo("symreg --population 30 --generations 2 --bloat none --save " + (dir / "gp.xml").string());
  ASSERT_EQ(status, 0) << output;
  EXPECT_NE(output.find("avg size"), std::string::npos) << output;
  EXPECT_NE(output.find("best program: "), std::string::npos) << output;
  EXPECT_NE(output.find("mean squared error on the data: "), std::string::npos) << output;
  EXPECT_NE(output.find("front of error against size over the run:\n  size "), std::string::npos) << output;
  // Row by row, the run is the same: the same best program with the same error.
  const std::size_t best = output.find("best program: ");
  const std::string compiled = output.substr(best, output.find("saved to") - best);
  std::tie(status, output) = RunDemo("symreg --population 30 --generations 2 --bloat none --scalar");
  ASSERT_EQ(status, 0) << output;
  EXPECT_EQ(output.substr(output.find("best program: ")), compiled);
  std::tie(status, output) = RunDemo("symreg --generations 1 --csv " + (dir / "3.csv").string() + " --load " +
                                     (dir / "gp.xml").string());
  ASSERT_EQ(status, 0) << output;
  EXPECT_NE(output.find("resumed from"), std::string::npos) << output;
  EXPECT_LE(ReadCsv(dir / "3.csv").size(), 1u);

  std::ofstream(dir / "bad.xml") << "<GeneticAlgorithm><Domain>";
  std::ofstream(dir / "cells.csv") << "a,y\n1,2\n2,x\n";
  std::ofstream(dir / "header.csv") << "a,y\n";
  const std::string cells = (dir / "cells.csv").string();
  for (const auto& [arguments, expected] : std::vector<std::pair<std::string, int>>{
           {"", 2}, {"fly", 2}, {"onemax --population", 2}, {"onemax --population ten", 2}, {"onemax --threads -1", 2},
           {"onemax --selection best", 2}, {"onemax --frobnicate 1", 2}, {"onemax extra", 2},
           {"onemax --topology star", 2}, {"symreg --islands", 2}, {"onemax --migration-interval 0", 2},
           {"knapsack --data " + (dir / "none.csv").string(), 1}, {"onemax --load " + (dir / "bad.xml").string(), 1},
           {"onemax --generations 2 --csv " + (dir / "no" / "dir.csv").string(), 1}, {"--help", 0},
           {"symreg --data " + cells + " --target y", 1}, {"symreg --data " + cells + " --target z", 1},
           {"symreg --data " + (dir / "header.csv").string() + " --target y", 1}, {"symreg --bloat wobbly", 2},
           {"symreg --target y", 2}}) {
    std::tie(status, output) = RunDemo(arguments);
    EXPECT_EQ(status, expected) << arguments << "\n" << output;
    EXPECT_EQ(output.find("usage:") != std::string::npos, expected != 1) << arguments;
  }
  fs::remove_all(dir);
}
