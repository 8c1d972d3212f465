// Runs evokit-demo as a user would and checks what the program itself adds to the
// library: option wiring, the CSV and SVG it writes, --save then --load, exit codes; and
// drives its SVG plot writer directly with synthetic series.
#include <evokit/platform/xml.h>

#include "support.h"
#include "svg_plot.h"

#include <sys/wait.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
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
  std::vector<std::string> lines = test::Lines(test::ReadFile(File));
  EXPECT_EQ(lines.at(0), "generation,best,average,minimum,maximum,diversity,elapsed");
  std::vector<std::array<double, 2>> rows(lines.size() - 1);
  for (std::size_t i = 1; i < lines.size(); ++i)
    EXPECT_EQ(std::sscanf(lines[i].c_str(), "%lf,%*f,%lf,", &rows[i - 1][0], &rows[i - 1][1]), 2) << lines[i];
  return rows;
}

// What a plot shows, read back from its SVG: the canvas, the plot area, every text with an
// estimated box, and each series' line points, the unbroken runs they form, and its dots.
struct TBox {
  double Left, Top, Right, Bottom;
};
struct TText {
  std::string Class, Text;
  double X, Y, Size;
  TBox Box;
};
using TPoints = std::vector<std::array<double, 2>>;
struct TShownPlot {
  double Width = 0, Height = 0;
  TBox Frame{};
  std::vector<TText> Texts;
  std::map<std::string, TPoints> Lines, Dots;
  std::map<std::string, int> Runs;
  std::vector<TText> Of(const std::string& Class) const {
    std::vector<TText> texts;
    for (const TText& t : Texts)
      if (t.Class == Class) texts.push_back(t);
    return texts;
  }
};

// The layout every plot keeps: each text on the canvas and clear of the others; title and
// legend above the plot area, tick labels beside it, the turned y label left of the tick
// labels; lines inside.
void ExpectReadable(const TShownPlot& Plot) {
  const TBox& f = Plot.Frame;
  double tickLeft = f.Left;
  for (const TText& t : Plot.Texts)
    if (t.Class == "ytick") tickLeft = std::min(tickLeft, t.Box.Left);
  for (const TText& t : Plot.Texts) {
    const TBox& b = t.Box;
    for (const TText& other : Plot.Texts) {
      const TBox& o = other.Box;
      EXPECT_TRUE(&t == &other || b.Right <= o.Left || o.Right <= b.Left || b.Bottom <= o.Top || o.Bottom <= b.Top)
          << t.Text << " overlaps " << other.Text;
    }
    EXPECT_TRUE(b.Left >= 0 && b.Top >= 0 && b.Right <= Plot.Width && b.Bottom <= Plot.Height) << t.Text;
    const bool above = t.Class == "title" || t.Class == "legend", below = t.Class == "xtick" || t.Class == "xlabel";
    EXPECT_TRUE(!above || b.Bottom <= f.Top) << t.Text;
    EXPECT_TRUE(!below || b.Top >= f.Bottom) << t.Text;
    EXPECT_TRUE(t.Class != "ytick" || b.Right <= f.Left) << t.Text;
    EXPECT_TRUE(t.Class != "ylabel" || b.Right <= tickLeft) << t.Text;
  }
  for (const auto& [name, points] : Plot.Lines)
    for (const auto& [x, y] : points)
      EXPECT_TRUE(x >= f.Left - 0.1 && x <= f.Right + 0.1 && y >= f.Top - 0.1 && y <= f.Bottom + 0.1) << name;
}

// Text boxes are estimated at 0.6 em a character, a little under a sans-serif digit, from
// one em above the baseline to a quarter below, turned with the text. Every plot read is
// checked for the layout every plot keeps.
TShownPlot ReadPlot(const std::string& Svg) {
  TXMLDocument document;
  document.LoadFromXML(Svg);
  const TXMLNode svg = document.DocumentElement();
  TShownPlot plot;
  plot.Width = svg.AttributeAsFloat("width"), plot.Height = svg.AttributeAsFloat("height");
  for (TXMLNode e : svg.ChildNodes()) {
    const std::string name = e.NodeName();
    auto at = [&](const char* attribute) { return e.AttributeAsFloat(attribute, std::nan("")); };
    if (name == "rect" && e.Attribute("class") == "frame") {
      plot.Frame = {at("x"), at("y"), at("x") + at("width"), at("y") + at("height")};
    } else if (name == "text") {
      TText t{e.Attribute("class"), e.Text(), at("x"), at("y"), at("font-size"), {}};
      const double width = 0.6 * t.Size * static_cast<double>(t.Text.size());  // the tests' texts are ASCII
      const std::string anchor = e.Attribute("text-anchor");
      const double left = anchor == "end" ? t.X - width : anchor == "middle" ? t.X - width / 2 : t.X;
      t.Box = {left, t.Y - t.Size, left + width, t.Y + t.Size / 4};
      if (e.HasAttribute("transform")) {
        double a = 0, b = 0;
        EXPECT_EQ(std::sscanf(e.Attribute("transform").c_str(), "rotate(-90 %lf %lf)", &a, &b), 2);
        t.Box = {a + t.Box.Top - b, b - t.Box.Right + a, a + t.Box.Bottom - b, b - t.Box.Left + a};
      }
      plot.Texts.push_back(t);
    } else if (name == "path" || name == "circle") {
      TPoints& points = (name == "path" ? plot.Lines : plot.Dots)[e.Attribute("aria-label")];
      if (name == "circle") points.push_back({at("cx"), at("cy")});
      std::string d = e.Attribute("d");
      plot.Runs[e.Attribute("aria-label")] += static_cast<int>(std::count(d.begin(), d.end(), 'M'));
      std::replace_if(d.begin(), d.end(), [](char c) { return c == 'M' || c == 'L' || c == ','; }, ' ');
      std::istringstream numbers(d);
      for (double x, y; numbers >> x >> y;) points.push_back({x, y});
    }
  }
  ExpectReadable(plot);
  return plot;
}

bool OneTwoFive(double Value) {
  const double m = Value / std::pow(10.0, std::floor(std::log10(Value) + 1e-12));
  return std::abs(m - 1) < 1e-9 || std::abs(m - 2) < 1e-9 || std::abs(m - 5) < 1e-9;
}

// Tick labels are short numbers, ascending, a 1-2-5 step apart on a linear axis, each a
// 1-2-5 value on a log one.
std::vector<double> ExpectNiceTicks(const std::vector<TText>& Ticks, bool Log) {
  std::vector<double> values;
  for (const TText& tick : Ticks) {
    std::size_t used = 0;
    values.push_back(std::stod(tick.Text, &used));
    EXPECT_EQ(used, tick.Text.size()) << tick.Text;
    EXPECT_LE(tick.Text.size(), 7u) << tick.Text;
  }
  EXPECT_GE(values.size(), 2u);
  for (std::size_t i = 1; i < values.size(); ++i) {
    EXPECT_GT(values[i], values[i - 1]);
    const double step = values[1] - values[0];
    const bool even = std::abs(values[i] - values[i - 1] - step) < step * 1e-9;
    EXPECT_TRUE(Log ? OneTwoFive(values[i]) : OneTwoFive(step) && even) << Ticks[i].Text;
  }
  return values;
}

}  // namespace

// A parallel run writes one CSV row per generation and a plot with two curves, and saves
// the component; a run that loads it resumes at the next generation with the evolved
// population, whose average is far above the first generation's. Then the exit codes: 2
// for a bad command line (with the usage), 1 for a file that cannot be read or written.
TEST(Demo, RunsSavesResumesAndFails) {
  const fs::path dir = fs::temp_directory_path() / ("evokit-demo-test-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const auto file = [&](const char* Name) { return (dir / Name).string(); };
  const std::string run = "onemax --bits 400 --population 40 --seed 3 --selection tournament --csv ";
  auto [status, output] = RunDemo(run + file("1.csv") + " --generations 20 --threads 2 --plot " + file("1.svg") +
                                  " --save " + file("ga.xml"));
  ASSERT_EQ(status, 0) << output;
  const auto rows = ReadCsv(dir / "1.csv");
  ASSERT_EQ(rows.size(), 20u);
  const TShownPlot plot = ReadPlot(test::ReadFile(dir / "1.svg"));
  EXPECT_EQ(plot.Lines.at("best").size(), 20u);
  EXPECT_EQ(plot.Lines.at("average").size(), 20u);

  std::tie(status, output) = RunDemo(run + file("2.csv") + " --generations 3 --load " + file("ga.xml"));
  ASSERT_EQ(status, 0) << output;
  const auto resumed = ReadCsv(dir / "2.csv");
  ASSERT_EQ(resumed.size(), 3u);
  EXPECT_EQ(resumed[0][0], 21);
  EXPECT_GT(resumed[0][1], rows[0][1] + 10);

  // Symbolic regression prints the best program and its error, scores held-out rows,
  // saves, and resumes.
  std::tie(status, output) = RunDemo("symreg --population 30 --generations 2 --bloat none --holdout 0.25 --ephemeral 2 "
                                     "--save " + file("gp.xml"));
  ASSERT_EQ(status, 0) << output;
  for (const char* shown : {"avg size", "best program: ", "mean squared error on the data: ",
                            "front of error against size over the run:\n  size ", "R^2 on the held-out data (5 rows): "})
    EXPECT_NE(output.find(shown), std::string::npos) << output;
  // Rows of another file are scored, never trained on; the model reads over the column names.
  std::ofstream train(dir / "train.csv"), test(dir / "test.csv");
  train << "x,y\n", test << "x,y\n";
  for (int i = 0; i < 30; ++i) (i % 3 ? train : test) << i / 10.0 - 1.5 << ',' << 2.5 * (i / 10.0 - 1.5) * (i / 10.0 - 1.5) + 0.7 << '\n';
  train.close(), test.close();
  // Its plot shows the error falling over decades on a log scale.
  std::tie(status, output) = RunDemo("symreg --population 100 --generations 5 --functions \"Mul Sin\" --data " +
                                     file("train.csv") + " --target y --test " + file("test.csv") + " --plot " + file("2.svg"));
  ASSERT_EQ(status, 0) << output;
  EXPECT_NE(output.find("model: y = 2.5 * x^2 + 0.7\n"), std::string::npos) << output;
  EXPECT_NE(output.find("R^2 on the training data: 1.0000\nR^2 on the held-out data (10 rows): 1.0000\n"), std::string::npos)
      << output;
  EXPECT_EQ(ReadPlot(test::ReadFile(dir / "2.svg")).Of("ylabel").at(0).Text, "mean squared error (log scale)");
  std::tie(status, output) = RunDemo("symreg --generations 1 --csv " + file("3.csv") + " --load " + file("gp.xml"));
  ASSERT_EQ(status, 0) << output;
  EXPECT_NE(output.find("resumed from"), std::string::npos) << output;
  EXPECT_LE(ReadCsv(dir / "3.csv").size(), 1u);

  std::ofstream(dir / "bad.xml") << "<GeneticAlgorithm><Domain>";
  std::ofstream(dir / "cells.csv") << "a,y\n1,2\n2,x\n";
  std::ofstream(dir / "header.csv") << "a,y\n";
  const std::string cells = file("cells.csv");
  for (const auto& [arguments, expected] : std::vector<std::pair<std::string, int>>{
           {"", 2}, {"fly", 2}, {"onemax --population", 2}, {"onemax --threads -1", 2}, {"onemax --threads ten", 2},
           {"onemax --selection best", 2}, {"onemax --frobnicate 1", 2}, {"onemax extra", 2}, {"symreg --islands", 2},
           {"knapsack --data " + file("none.csv"), 1}, {"onemax --load " + file("bad.xml"), 1}, {"--help", 0},
           {"onemax --generations 2 --csv " + (dir / "no" / "dir.csv").string(), 1}, {"symreg --target y", 2},
           {"symreg --data " + cells + " --target y", 1}, {"symreg --data " + cells + " --target z", 1},
           {"symreg --data " + file("header.csv") + " --target y", 1}, {"symreg --functions Sine", 2},
           {"symreg --ephemeral 0", 2}, {"symreg --holdout 0.5 --test " + cells, 2}}) {
    std::tie(status, output) = RunDemo(arguments);
    EXPECT_EQ(status, expected) << arguments << "\n" << output;
    EXPECT_EQ(output.find("usage:") != std::string::npos, expected != 1) << arguments;
  }
  // A bad cell is named by file, line and column.
  output = RunDemo("symreg --target y --data " + cells).second;
  EXPECT_NE(output.find(cells + "\", line 3, column 2 (\"y\"): 'x' is not a number"), std::string::npos) << output;

  // A two-objective problem: the hypervolume climbs to near the true front's without
  // passing it, and the plot shows the final front as one dot per member
  // beside the true front's line, broken where ZDT3's front has its gaps.
  std::tie(status, output) =
      RunDemo("zdt3 --population 60 --generations 250 --seed 2 --csv " + file("zdt.csv") + " --plot " + file("zdt.svg"));
  ASSERT_EQ(status, 0) << output;
  const std::vector<std::string> lines = test::Lines(test::ReadFile(dir / "zdt.csv"));
  ASSERT_EQ(lines.size(), 251u);
  EXPECT_EQ(lines[0], "generation,front_size,hypervolume,elapsed");
  double last = 0, found = 0, truth = 0;
  int members = 0;
  EXPECT_EQ(std::sscanf(lines[250].c_str(), "250,%d,%lf,", &members, &last), 2) << lines[250];
  const std::size_t at = std::min(output.find("individuals, hypervolume "), output.size());
  ASSERT_EQ(std::sscanf(output.c_str() + at, "individuals, hypervolume %lf of the true front's %lf", &found, &truth), 2)
      << output;
  EXPECT_NEAR(found, last, 5e-5);  // printed with four decimals
  EXPECT_GT(found, 0.95 * truth);
  EXPECT_LE(found, truth);
  const TShownPlot front = ReadPlot(test::ReadFile(dir / "zdt.svg"));
  EXPECT_EQ(front.Dots.at("front found").size(), static_cast<std::size_t>(members));
  EXPECT_EQ(front.Runs.at("true front"), 5);
  fs::remove_all(dir);
}

// The plot writer on synthetic series. Each case keeps the layout and labels its ticks at
// 1-2-5 steps; the axes reach exactly the generations run and the outer y ticks; every
// point sits where the tick labels say (a value a log axis cannot show on its bottom edge).
TEST(Plot, SyntheticSeriesStayReadableAndTrue) {
  const double nan = std::nan("");
  struct TCase {
    const char* Name;
    std::vector<double> X, Best, Other;
    demo::TPlotScale Scale;
    bool Log;
    std::string Title = "a plot";
    double Width = 800, Height = 450;
  };
  std::vector<TCase> cases = {
      {"flat", {1, 2, 3, 4}, {5, 5, 5, 5}, {5, 5, 5, 5}, demo::psAuto, false},
      {"outlier", {}, {}, {}, demo::psAuto, true},
      {"negative", {0, 1, 2, 3, 4, 5}, {2.5, 1, -0.5, -1.5, -3, -3.5}, {20, 3, -12, -7, -50, -31}, demo::psAuto, false},
      {"decades", {}, {}, {}, demo::psAuto, true},
      {"single", {7}, {3}, {4}, demo::psLinear, false},
      {"large", {999980, 999990, 1000000}, {3.4e9, 2.1e9, 1.05e9}, {3.5e9, 3e9, 2e9}, demo::psLinear, false},
      {"cramped", {1, 2, 3}, {1.2e-4, 8e-5, 2.5e-5}, {1.3e-4, 1.1e-4, 9e-5}, demo::psLinear, false,
       "Symbolic regression of a_rather_long_column_name over 12345 rows of /home/someone/" + std::string(90, 'x') +
           "/measurements.csv",
       300, 200},
  };
  for (int g = 1; g <= 40; ++g) {
    cases[1].X.push_back(g), cases[1].Best.push_back(1e6 * std::pow(0.7, g)), cases[1].Other.push_back(3e6 / g);
    cases[3].X.push_back(g), cases[3].Best.push_back(std::pow(10.0, -g / 4.0)), cases[3].Other.push_back(100.0 / g);
  }
  cases[1].Other[12] = 2e28;
  cases[3].Best.back() = 0, cases[3].Other[20] = nan, cases[3].Other[22] = nan;  // a dot between two gaps
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    demo::TPlot input{c.Title, "generation", "error", c.X, {{"best", "#c00", c.Best}, {"other", "#00c", c.Other}},
                      c.Scale, c.Width, c.Height};
    const TShownPlot plot = ReadPlot(demo::PlotToSvg(input));
    const std::vector<TText> yTicks = plot.Of("ytick"), xTicks = plot.Of("xtick");
    const std::vector<double> y = ExpectNiceTicks(yTicks, c.Log), x = ExpectNiceTicks(xTicks, false);
    EXPECT_EQ(plot.Of("ylabel").at(0).Text.find("log scale") != std::string::npos, c.Log);

    // Pixel positions from the first and last tick labels, centred half an x-height up.
    auto scale = [&](double v) { return c.Log ? std::log10(v) : v; };
    const double yBottom = yTicks.front().Y - 0.35 * yTicks.front().Size;
    const double yTop = yTicks.back().Y - 0.35 * yTicks.back().Size;
    EXPECT_NEAR(yBottom, plot.Frame.Bottom, 1);
    EXPECT_NEAR(yTop, plot.Frame.Top, 1);
    auto yPixel = [&](double v) {
      if (c.Log && v <= 0) return plot.Frame.Bottom;
      return yBottom + (scale(v) - scale(y.front())) * (yTop - yBottom) / (scale(y.back()) - scale(y.front()));
    };
    auto xPixel = [&](double v) {
      return xTicks.front().X + (v - x.front()) * (xTicks.back().X - xTicks.front().X) / (x.back() - x.front());
    };
    EXPECT_NEAR(xPixel(c.X.front()), c.X.size() > 1 ? plot.Frame.Left : (plot.Frame.Left + plot.Frame.Right) / 2, 1);
    EXPECT_NEAR(xPixel(c.X.back()), c.X.size() > 1 ? plot.Frame.Right : (plot.Frame.Left + plot.Frame.Right) / 2, 1);
    for (const auto& [name, values] : {std::pair{"best", c.Best}, std::pair{"other", c.Other}}) {
      const TPoints& points = plot.Lines.at(name);
      std::size_t j = 0;
      for (std::size_t i = 0; i < values.size(); ++i) {
        if (!std::isfinite(values[i])) continue;
        ASSERT_LT(j, points.size()) << name;
        EXPECT_NEAR(points[j][0], xPixel(c.X[i]), 1.5) << name << " " << i;
        EXPECT_NEAR(points[j][1], yPixel(values[i]), 1.5) << name << " " << i;
        ++j;
      }
      EXPECT_EQ(j, points.size()) << name;
    }
    const std::size_t dots = plot.Dots.count("other") ? plot.Dots.at("other").size() : 0;
    EXPECT_EQ(dots, c.X.size() == 1 || c.Name == std::string("decades") ? 1u : 0u);
  }

  // No generations yet: an empty frame. Bad input.
  const TShownPlot empty = ReadPlot(demo::PlotToSvg({"t", "x", "y", {}, {{"best", "red", {}}}}));
  EXPECT_TRUE(empty.Lines.empty() && empty.Dots.empty());
  demo::TPlot bad{"t", "x", "y", {1, 2}, {{"best", "red", {1}}}};
  EXPECT_THROW(demo::PlotToSvg(bad), std::invalid_argument);
  bad.Series[0].Values = {1, 2}, bad.X = {2, 1};
  EXPECT_THROW(demo::PlotToSvg(bad), std::invalid_argument);
  bad.X = {1, 2}, bad.Width = 100;
  EXPECT_THROW(demo::PlotToSvg(bad), std::invalid_argument);
}
