// evokit-demo: runs a genetic algorithm, or genetic programming, on a classic problem and
// shows its progress.
//
//   evokit-demo onemax    [--bits N]
//   evokit-demo rastrigin [--dimensions N]
//   evokit-demo knapsack  [--data FILE] [--capacity N]
//   evokit-demo symreg    [--data FILE --target COLUMN] [--functions "NAMES"]
//                         [--test FILE | --holdout FRACTION] [--coefficients N] [--bloat NAME]
//   evokit-demo zdt1|zdt2|zdt3   two objectives over 30 variables, by non-dominated sorting
//
// Common options: --population N, --generations N, --seed N, --threads N (0 runs the
// sequential Evolve), --selection NAME, --save FILE, --load FILE, --csv FILE,
// --plot FILE.svg, --help.
// Island model (builds with MPI): mpirun -np 4 evokit-demo onemax --islands
// [--migration-interval N] [--migration-size N] [--topology ring|all].
// Exit status: 0 on success, 1 when a file cannot be read or written, 2 on bad arguments.

#include <evokit/evokit.h>
#include <evokit/ga/ga.h>
#include <evokit/gp/simplify.h>
#ifdef EVOKIT_DEMO_MPI
#include <evokit/mpi/islands.h>
#endif

#include "svg_plot.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <limits>
#include <map>
#include <memory>
#include <numbers>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#ifndef EVOKIT_DEMO_DATA_DIR
#define EVOKIT_DEMO_DATA_DIR "examples/data"
#endif

using namespace evokit;

namespace {

struct TUsageError {
  std::string Message;
};
struct TFileError {
  std::string Message;
};

const char* const kUsage =
    "usage: evokit-demo <onemax|rastrigin|knapsack|symreg|zdt1|zdt2|zdt3> [options]\n"
    "  --population N     individuals per generation (default 100; symreg 300)\n"
    "  --generations N    generations to run at most (default 300; symreg 100)\n"
    "  --seed N           seed of the random source (default 1)\n"
    "  --threads N        worker threads for ParallelEvolve; 0 runs Evolve (default 0)\n"
    "  --selection NAME   roulette, random, tournament, stochastic or elitist\n"
    "                     (default tournament)\n"
    "  --save FILE        save the component (settings, genes or instructions,\n"
    "                     population) at the end\n"
    "  --load FILE        resume from a component saved with --save\n"
    "  --csv FILE         write one row per generation\n"
    "  --plot FILE.svg    write a convergence plot of best and average fitness\n"
    "                     (symreg: best and median error; zdt: the final front\n"
    "                     against the true one)\n"
    "  --bits N           onemax: chromosome length (default 200)\n"
    "  --dimensions N     rastrigin: number of dimensions (default 5)\n"
    "  --data FILE        knapsack: CSV of name,weight,value (default the shipped one);\n"
    "                     symreg: CSV with a header row of column names (default the\n"
    "                     quartic x^4 + x^3 + x^2 + x over 20 points of [-1, 1))\n"
    "  --capacity N       knapsack: weight limit (default 750)\n"
    "  --islands          one island per MPI process, run under mpirun (needs a build\n"
    "                     with MPI); island 0 prints and writes the files\n"
    "  --migration-interval N  generations between migrations (default 10)\n"
    "  --migration-size N individuals sent to each neighbour (default 2)\n"
    "  --topology NAME    ring or all (default ring)\n"
    "  --target COLUMN    symreg: the column to model; the other columns are the variables\n"
    "  --functions NAMES  symreg: the primitives, such as \"Add Sub Mul Div Sin\"\n"
    "                     (default \"Add Sub Mul AQ\", AQ the analytic quotient)\n"
    "  --test FILE        symreg: CSV with the same columns, scored but never trained on\n"
    "  --holdout FRACTION symreg: hold this part of the rows out of training, to score\n"
    "  --coefficients N   symreg: Levenberg-Marquardt iterations on each new program's\n"
    "                     constants and variable weights, 0 for none (default 1)\n"
    "  --patience N       symreg: stop once N generations in a row have not improved\n"
    "                     the front of error against size, 0 for never (default 20)\n"
    "  --ephemeral RANGE  symreg: add the constant ERC, each new leaf of it drawn from\n"
    "                     [-RANGE, RANGE) (default: none)\n"
    "  --bloat NAME       symreg: bloat control, a strategy name such as unfitsize,\n"
    "                     depthlimit, tarpeiansize, none (default unfitsize: programs\n"
    "                     above 50 nodes are unfit)\n"
    "  --scalar           symreg: run programs row by row instead of compiled over\n"
    "                     blocks of rows (the same results, slower; for comparison)\n"
    "  zdt1, zdt2, zdt3   two objectives to minimise over 30 variables in [0, 1]\n"
    "                     (convex, concave and disconnected fronts), always under\n"
    "                     smNSGA2; each line shows the front's size and hypervolume\n"
    "                     against (1.1, 1.1)\n"
    "  --help             show this text\n";

struct TOptions {
  std::string Problem;
  int Population = 100;
  int Generations = 300;
  std::uint64_t Seed = 1;
  int Threads = 0;
  TGASelectionMethod Selection = smTournament;
  std::string CsvFile, PlotFile, SaveFile, LoadFile;
  int Bits = 200;
  int Dimensions = 5;
  std::string DataFile = std::string(EVOKIT_DEMO_DATA_DIR) + "/knapsack.csv";
  bool DataGiven = false;
  int Capacity = 750;
  bool Islands = false;
  int MigrationInterval = 10;
  int MigrationSize = 2;
  bool AllToAll = false;
  std::string Target;
  std::optional<std::string> Functions;
  std::string TestFile;
  double Holdout = 0;
  std::optional<int> Coefficients;
  std::optional<int> Patience;
  std::optional<double> Ephemeral;
  std::optional<TGPBloatStrategy> Bloat;
  bool Scalar = false;
  bool PopulationGiven = false, GenerationsGiven = false;
};

long ParseInteger(const std::string& option, const std::string& text, long low, long high) {
  std::int64_t parsed = 0;
  if (!TryStrToInt64(text, parsed) || parsed < low || parsed > high)
    throw TUsageError{option + " needs an integer from " + std::to_string(low) + " to " + std::to_string(high) +
                      ", not '" + text + "'"};
  return static_cast<long>(parsed);
}

// A number strictly between 0 and 1.
double ParseFraction(const std::string& option, const std::string& text) {
  double value = 0;
  if (!TryStrToFloat(text, value) || !(value > 0 && value < 1))
    throw TUsageError{option + " needs a number between 0 and 1, not '" + text + "'"};
  return value;
}

double ParseNumber(const std::string& option, const std::string& text) {
  double value = 0;
  if (!TryStrToFloat(text, value)) throw TUsageError{option + " needs a number, not '" + text + "'"};
  return value;
}

TGASelectionMethod ParseSelection(const std::string& text) {
  static const std::map<std::string, TGASelectionMethod> names = {
      {"roulette", smRoulette}, {"random", smRandom}, {"tournament", smTournament},
      {"stochastic", smStochasticTournament}, {"elitist", smElitist}};
  const auto found = names.find(LowerCase(text));
  if (found != names.end()) return found->second;
  const int ordinal = EnumValue<TGASelectionMethod>(text);
  if (ordinal >= 0 && ordinal != smCustom) return static_cast<TGASelectionMethod>(ordinal);
  throw TUsageError{"unknown selection method '" + text + "'"};
}

// A bloat strategy by its name, with or without the "bs" prefix, case ignored.
TGPBloatStrategy ParseBloat(const std::string& text) {
  for (int s = bsNone; s <= bsLexicographicParsimonyPressure; ++s) {
    const std::string name = EnumName(static_cast<TGPBloatStrategy>(s));
    if (SameText(text, name) || SameText(text, name.substr(2))) return static_cast<TGPBloatStrategy>(s);
  }
  throw TUsageError{"unknown bloat strategy '" + text + "'"};
}

TOptions ParseArguments(int argc, char** argv) {
  TOptions o;
  std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") throw TUsageError{};
    if (a == "--islands") {
#ifndef EVOKIT_DEMO_MPI
      throw TUsageError{"--islands needs a build with MPI (EVOKIT_WITH_MPI)"};
#endif
      o.Islands = true;
      continue;
    }
    if (a.rfind("--", 0) != 0) {
      if (!o.Problem.empty()) throw TUsageError{"unexpected argument '" + a + "'"};
      o.Problem = a;
      continue;
    }
    if (a == "--scalar") {
      o.Scalar = true;
      continue;
    }
    if (i + 1 >= args.size()) throw TUsageError{a + " needs a value"};
    const std::string& v = args[++i];
    if (a == "--population") o.Population = static_cast<int>(ParseInteger(a, v, 2, 1000000)), o.PopulationGiven = true;
    else if (a == "--generations")
      o.Generations = static_cast<int>(ParseInteger(a, v, 1, 100000000)), o.GenerationsGiven = true;
    else if (a == "--seed") o.Seed = static_cast<std::uint64_t>(ParseInteger(a, v, 0, 0x7FFFFFFFFFFFFFFFL));
    else if (a == "--threads") o.Threads = static_cast<int>(ParseInteger(a, v, 0, 1024));
    else if (a == "--selection") o.Selection = ParseSelection(v);
    else if (a == "--save") o.SaveFile = v;
    else if (a == "--load") o.LoadFile = v;
    else if (a == "--csv") o.CsvFile = v;
    else if (a == "--plot") o.PlotFile = v;
    else if (a == "--bits") o.Bits = static_cast<int>(ParseInteger(a, v, 1, 1000000));
    else if (a == "--dimensions") o.Dimensions = static_cast<int>(ParseInteger(a, v, 1, 1000));
    else if (a == "--data") o.DataFile = v, o.DataGiven = true;
    else if (a == "--target") o.Target = v;
    else if (a == "--bloat") o.Bloat = ParseBloat(v);
    else if (a == "--functions") o.Functions = v;
    else if (a == "--test") o.TestFile = v;
    else if (a == "--holdout") o.Holdout = ParseFraction(a, v);
    else if (a == "--coefficients") o.Coefficients = static_cast<int>(ParseInteger(a, v, 0, 1000));
    else if (a == "--patience") o.Patience = static_cast<int>(ParseInteger(a, v, 0, 100000000));
    else if (a == "--ephemeral") o.Ephemeral = ParseNumber(a, v);
    else if (a == "--capacity") o.Capacity = static_cast<int>(ParseInteger(a, v, 1, 1000000000));
    else if (a == "--migration-interval") o.MigrationInterval = static_cast<int>(ParseInteger(a, v, 1, 1000000));
    else if (a == "--migration-size") o.MigrationSize = static_cast<int>(ParseInteger(a, v, 0, 1000000));
    else if (a == "--topology" && (v == "ring" || v == "all")) o.AllToAll = v == "all";
    else if (a == "--topology") throw TUsageError{"unknown topology '" + v + "' (ring or all)"};
    else throw TUsageError{"unknown option '" + a + "'"};
  }
  if (o.Problem.empty()) throw TUsageError{"missing problem name"};
  if (o.Problem != "onemax" && o.Problem != "rastrigin" && o.Problem != "knapsack" && o.Problem != "symreg" &&
      o.Problem != "zdt1" && o.Problem != "zdt2" && o.Problem != "zdt3")
    throw TUsageError{"unknown problem '" + o.Problem + "'"};
  if (o.Problem.rfind("zdt", 0) == 0 && o.Islands) throw TUsageError{"--islands runs the single-objective GA problems"};
  if (o.Problem == "symreg" && o.DataGiven != !o.Target.empty())
    throw TUsageError{"symreg: --data and --target go together"};
  if (o.Problem == "symreg" && !o.PopulationGiven) o.Population = TMXGPRegressionSettings{}.Population;
  if (o.Problem == "symreg" && !o.GenerationsGiven) o.Generations = TMXGPRegressionSettings{}.Generations;
  if (o.Problem == "symreg" && o.Islands) throw TUsageError{"--islands runs the GA problems, not symreg"};
  if (!o.TestFile.empty() && o.Holdout > 0) throw TUsageError{"--test and --holdout exclude each other"};
  return o;
}

// A problem sets up the genes and the fitness of a GA and describes a solution.
struct TProblem {
  std::string Title;
  std::string Measure;  // what the fitness measures, for the plot's y axis
  TGAFitnessMethod Method = fmMaximize;
  std::function<TGAFitness(TMXCustomGeneticAlgorithm&, TMXGAIndividual&)> Fitness;
  std::function<void(TMXCustomGeneticAlgorithm&, TMXGAIndividual&, std::ostream&)> Describe;
};

TProblem OneMax(TMXGeneticAlgorithm& ga, const TOptions& o) {
  ga.SetGeneSize(o.Bits);
  ga.SetCrossoverMethod(cmBitBoundary);
  ga.SetMutationProbability(1.0 / o.Bits);
  ga.SetUseFitnessCutoff(true);
  ga.SetFitnessCutoff(o.Bits);
  TProblem p;
  p.Title = "OneMax over " + std::to_string(o.Bits) + " bits (maximise the set bits)";
  p.Measure = "fitness: set bits";
  p.Fitness = [](TMXCustomGeneticAlgorithm&, TMXGAIndividual& item) {
    return static_cast<TGAFitness>(item.Bits()->CountSetBits());
  };
  p.Describe = [](TMXCustomGeneticAlgorithm&, TMXGAIndividual& item, std::ostream& out) {
    const std::string text = item.Bits()->ToString();
    out << "  bits: " << (text.size() > 100 ? text.substr(0, 100) + "..." : text) << "\n";
  };
  return p;
}

// Each dimension is a 16-bit integer gene mapped linearly onto [-5.12, 5.12].
TProblem Rastrigin(TMXGeneticAlgorithm& ga, const TOptions& o) {
  constexpr int kBits = 16;
  constexpr double kMax = (1 << kBits) - 1;
  for (int d = 0; d < o.Dimensions; ++d) {
    TMXGAGene* gene = ga.Genes()->Add();
    gene->SetName(std::string(1, 'x').append(std::to_string(d + 1)));  // not "x" + ...: GCC 12 -Wrestrict
    gene->SetGeneType(gtInteger);
    gene->SetSize(kBits);
  }
  ga.SetMutationProbability(0.02);
  auto value = [](TMXCustomGeneticAlgorithm& g, TMXGAIndividual& item, int d) {
    return -5.12 + 10.24 * g.Genes()->Items(d)->GeneAsInteger(*item.Bits()) / kMax;
  };
  TProblem p;
  p.Title = "Rastrigin in " + std::to_string(o.Dimensions) + " dimensions (minimise; optimum 0 at the origin)";
  p.Measure = "fitness: Rastrigin function";
  p.Method = fmMinimize;
  p.Fitness = [value](TMXCustomGeneticAlgorithm& g, TMXGAIndividual& item) {
    double sum = 10.0 * g.Genes()->Count();
    for (int d = 0; d < g.Genes()->Count(); ++d) {
      const double x = value(g, item, d);
      sum += x * x - 10.0 * std::cos(2 * std::numbers::pi * x);
    }
    return sum;
  };
  p.Describe = [value](TMXCustomGeneticAlgorithm& g, TMXGAIndividual& item, std::ostream& out) {
    for (int d = 0; d < g.Genes()->Count(); ++d)
      out << "  " << g.Genes()->Items(d)->Name() << " = " << FloatToStrF(value(g, item, d), ffFixed, 15, 4)
          << "\n";
  };
  return p;
}

struct TItem {
  std::string Name;
  double Weight = 0, Value = 0;
};

std::vector<TItem> ReadKnapsack(const std::string& file) {
  std::ifstream in(file);
  if (!in) throw TFileError{"cannot read '" + file + "'"};
  std::vector<TItem> items;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    std::stringstream fields(line);
    std::string name, weight, value;
    std::getline(fields, name, ',');
    std::getline(fields, weight, ',');
    std::getline(fields, value, ',');
    TItem item{Trim(name), 0, 0};
    if (item.Name.empty() || !TryStrToFloat(weight, item.Weight) || !TryStrToFloat(value, item.Value))
      throw TFileError{file + ":" + std::to_string(number) + ": expected name,weight,value"};
    items.push_back(item);
  }
  if (items.empty()) throw TFileError{"'" + file + "' holds no items"};
  return items;
}

// One boolean gene per item; an overweight selection scores its value minus a penalty.
TProblem Knapsack(TMXGeneticAlgorithm& ga, const TOptions& o) {
  auto items = std::make_shared<std::vector<TItem>>(ReadKnapsack(o.DataFile));
  for (const TItem& item : *items) {
    TMXGAGene* gene = ga.Genes()->Add();
    gene->SetName(item.Name);
    gene->SetGeneType(gtBoolean);
    gene->SetSize(1);
  }
  ga.SetMutationProbability(0.05);
  const double capacity = o.Capacity;
  TProblem p;
  p.Title = "0/1 knapsack of " + std::to_string(items->size()) + " items, capacity " + std::to_string(o.Capacity);
  p.Measure = "fitness: value packed, less any overweight penalty";
  p.Fitness = [items, capacity](TMXCustomGeneticAlgorithm& g, TMXGAIndividual& ind) {
    double weight = 0, value = 0;
    for (std::size_t i = 0; i < items->size(); ++i)
      if (g.Genes()->Items(static_cast<int>(i))->GeneAsBoolean(*ind.Bits())) {
        weight += (*items)[i].Weight;
        value += (*items)[i].Value;
      }
    return weight <= capacity ? value : std::max(0.0, value - 10.0 * (weight - capacity));
  };
  p.Describe = [items](TMXCustomGeneticAlgorithm& g, TMXGAIndividual& ind, std::ostream& out) {
    double weight = 0;
    for (std::size_t i = 0; i < items->size(); ++i)
      if (g.Genes()->Items(static_cast<int>(i))->GeneAsBoolean(*ind.Bits())) {
        weight += (*items)[i].Weight;
        out << "  + " << (*items)[i].Name << " (weight " << FloatToStr((*items)[i].Weight) << ", value "
            << FloatToStr((*items)[i].Value) << ")\n";
      }
    out << "  total weight " << FloatToStr(weight) << "\n";
  };
  return p;
}

struct TRow {
  int Generation;
  double Best, Average, Minimum, Maximum, Diversity, Elapsed;
  double Median;  // plotted for symreg only, not in the CSV
};

// Replaces file with Text only once all of it is on disk; a failed write keeps the old file.
void SaveText(const std::string& file, const std::string& text) {
  try {
    SaveFileSafely(file, [&](TStream& stream) { stream.WriteString(text); });
  } catch (const Exception& e) {
    throw TFileError{e.Message()};
  }
}

void WriteCsv(const std::string& file, const std::vector<TRow>& rows) {
  std::ostringstream out;
  out << "generation,best,average,minimum,maximum,diversity,elapsed\n";
  for (const TRow& r : rows)
    out << r.Generation << ',' << FloatToStr(r.Best) << ',' << FloatToStr(r.Average) << ','
        << FloatToStr(r.Minimum) << ',' << FloatToStr(r.Maximum) << ',' << FloatToStr(r.Diversity) << ','
        << FloatToStrF(r.Elapsed, ffFixed, 15, 6) << '\n';
  SaveText(file, out.str());
}

// The convergence plot: best fitness and the population's average per generation, or
// its median where a few wild individuals would swamp the mean. A minimised fitness that
// spans decades gets a log scale.
void WritePlot(const std::string& file, const std::string& title, const std::string& measure, bool minimise,
               bool median, const std::vector<TRow>& rows) {
  demo::TPlot plot;
  plot.Title = title;
  plot.XLabel = "generation";
  plot.YLabel = measure;
  plot.YScale = minimise ? demo::psAuto : demo::psLinear;
  demo::TPlotSeries best{"best", "#c0392b", {}}, population{median ? "median" : "average", "#2e86c1", {}};
  for (const TRow& r : rows) {
    plot.X.push_back(r.Generation);
    best.Values.push_back(r.Best);
    population.Values.push_back(median ? r.Median : r.Average);
  }
  plot.Series = {best, population};
  SaveText(file, demo::PlotToSvg(plot));
}

// The median fitness of Population, NaN left out; NaN when nothing is left.
double MedianFitness(const TMXPopulation& population) {
  std::vector<double> values;
  for (int i = 0; i < population.Count(); ++i)
    if (const double f = population.Items(i)->Fitness(); !std::isnan(f)) values.push_back(f);
  if (values.empty()) return std::numeric_limits<double>::quiet_NaN();
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  if (values.size() % 2 != 0) return *middle;
  return *middle / 2 + *std::max_element(values.begin(), middle) / 2;
}

// --- Symbolic regression -------------------------------------------------------------------

// The data a program is fitted to: the Target column is modelled from the Variables.
struct TDataSet {
  std::string Title;
  TMXDataTable Table;
  std::string Target;
  std::vector<std::string> Variables;
};

// x^4 + x^3 + x^2 + x over 20 points spread over [-1, 1).
TDataSet QuarticData() {
  std::vector<double> xs, ys;
  for (int i = 0; i < 20; ++i) {
    const double x = -1 + i / 10.0;
    xs.push_back(x);
    ys.push_back(x * (1 + x * (1 + x * (1 + x))));
  }
  TDataSet data{"Symbolic regression of x^4 + x^3 + x^2 + x over 20 points", {}, "target", {"x"}};
  data.Table.AddColumn("x", xs);
  data.Table.AddColumn(data.Target, ys);
  return data;
}

// A CSV file whose header names the columns (read by TMXDataTable, which names the line
// and column of anything wrong); Target is modelled from the other columns.
TDataSet ReadDataSet(const std::string& file, const std::string& target) {
  TDataSet data;
  try {
    data.Table = TMXDataTable::LoadFromCSVFile(file);
  } catch (const Exception& e) {
    throw TFileError{e.Message()};
  }
  if (data.Table.IndexOf(target) < 0) throw TFileError{"'" + file + "' has no column '" + target + "'"};
  if (data.Table.RowCount() == 0) throw TFileError{"'" + file + "' holds no rows"};
  data.Target = target;
  for (int c = 0; c < data.Table.ColumnCount(); ++c)
    if (data.Table.ColumnName(c) != target) data.Variables.push_back(data.Table.ColumnName(c));
  data.Title = "Symbolic regression of " + target + " over " + std::to_string(data.Table.RowCount()) + " rows of " + file;
  return data;
}

// R^2 of Entry's predictions (with its scaling) for Table's rows against its Target column.
double RSquared(const TMXGPRegressionArchive::TEntry& Entry, const TMXDataTable& Table, const std::string& Target) {
  const std::vector<double> predictions = TMXGPRegressionArchive::Predict(Entry, Table);
  const std::span<const double> y = Table.Column(Target);
  double mean = 0, residual = 0, total = 0;
  for (const double value : y) mean += value / static_cast<double>(y.size());
  for (std::size_t i = 0; i < y.size(); ++i)
    residual += (y[i] - predictions[i]) * (y[i] - predictions[i]), total += (y[i] - mean) * (y[i] - mean);
  return 1 - residual / total;
}

int RunSymreg(const TOptions& o) {
  TDataSet data = o.DataGiven ? ReadDataSet(o.DataFile, o.Target) : QuarticData();
  // Rows the run never trains on: another file's, or a seeded part of the data.
  TMXDataTable held;
  if (!o.TestFile.empty()) {
    held = ReadDataSet(o.TestFile, data.Target).Table;
    for (const std::string& name : data.Variables)
      if (held.IndexOf(name) < 0) throw TFileError{"'" + o.TestFile + "' has no column '" + name + "'"};
  } else if (o.Holdout > 0) {
    TMXDataTable training;
    try {
      SplitRows(data.Table, o.Holdout, o.Seed, training, held);
    } catch (const EDataTableError& e) {
      throw TFileError{e.Message()};
    }
    data.Title += ", " + std::to_string(held.RowCount()) + " of them held out";
    data.Table = std::move(training);
  }
  RandSeed(o.Seed);
  TParallel::SetMaxThreads(o.Threads);
  TMXGPRegressionProgramming gp;
  const int otherLimit = gp.BloatLimit();  // the limit strategies other than the library's keep
  // The library's regression set-up (its function set, a variable per input column, its
  // initial depth and size limit) with the demo's own choices.
  TMXGPRegressionSettings settings;
  settings.Population = o.Population;
  settings.MutationProbability = MUTATION_PROBABILITY;
  settings.Constants = o.DataGiven ? "1" : "";
  settings.StoppingError = 1e-9;
  if (o.Functions) settings.FunctionSet = *o.Functions;
  if (o.Coefficients) settings.CoefficientIterations = *o.Coefficients;
  if (o.Patience) settings.Patience = *o.Patience;
  if (o.Ephemeral) settings.EphemeralConstants = true, settings.EphemeralRange = *o.Ephemeral;
  try {
    ApplyRegressionSettings(gp, settings, data.Variables);
  } catch (const ERegressionSettingsError& e) {
    throw TUsageError{e.Message()};
  }
  gp.SetSelectionMethod(o.Selection);
  if (o.Bloat && *o.Bloat != gp.BloatStrategy())
    gp.SetBloatStrategy(*o.Bloat), gp.SetBloatLimit(*o.Bloat == bsDepthLimit ? settings.DepthLimit : otherLimit);
  // The mean squared error over the data after linear scaling and the fit of each new
  // program's constants (as the settings have them), programs compiled and run over
  // blocks of rows (row by row with --scalar).
  auto fitness = std::make_shared<TMXGPRegressionFitness>(data.Table, data.Target, rmMeanSquaredError,
                                                          settings.LinearScaling);
  fitness->SetCoefficientFitting(settings.CoefficientIterations, settings.Lamarckian, settings.VariableWeights);
  fitness->SetBatch(!o.Scalar);
  SetRegressionFitness(gp, fitness);
  TMXGPRegressionArchive archive(fitness);  // the run's front of error against program size
  if (!o.LoadFile.empty()) {
    // The instructions above keep their handlers: loading merges the saved ones by name.
    gp.LoadFromFile(o.LoadFile);
    std::cout << "resumed from " << o.LoadFile << " at generation " << gp.Generation() << "\n";
  } else if (settings.LinearSeed) {
    // A fresh run starts with the linear model among its programs, as the Python regressor's does.
    gp.Initialize();
    SeedLinearModel(gp, data.Variables);
  }

  const bool terminal = isatty(STDOUT_FILENO) != 0;
  const auto start = std::chrono::steady_clock::now();
  std::vector<TRow> rows;
  bool stalled = false;
  gp.SetOnEvolve([&](TObject*) {
    archive.Update(gp);
    if (archive.Stalled(settings.Patience)) stalled = true, gp.SetHalt(true);
    TMXIndividual* best = gp.FittestIndividual();
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    TRow row{gp.Generation(), best ? best->Fitness() : 0.0, gp.AvgFitness(), gp.MinFitness(), gp.MaxFitness(),
             gp.Diversity(), elapsed, MedianFitness(*gp.Population())};
    if (!rows.empty() && rows.back().Generation == row.Generation) return;
    rows.push_back(row);
    char line[160];
    std::snprintf(line, sizeof line, "gen %5d  error %12s  avg size %7.1f  %8.3fs", row.Generation,
                  FloatToStrF(row.Best, ffGeneral, 8, 0).c_str(), static_cast<double>(gp.AvgProgramSize()), row.Elapsed);
    if (terminal) std::cout << "\r\033[K" << line << std::flush;
    else std::cout << line << "\n";
  });

  std::cout << data.Title << "\n"
            << "population " << std::max(gp.Population()->Count(), gp.InitialPopulation()) << ", selection "
            << EnumName(gp.SelectionMethod()) << ", bloat " << EnumName(gp.BloatStrategy()) << ", "
            << (o.Threads > 0 ? "ParallelEvolve on " + std::to_string(o.Threads) + " threads" : std::string("Evolve"))
            << ", seed " << o.Seed << (o.Scalar ? ", row by row" : "") << "\n";
  const int done = o.Threads > 0 ? gp.ParallelEvolve(o.Generations) : gp.Evolve(o.Generations);
  if (terminal) std::cout << "\n";

  std::cout << "finished after " << done << " generations"
            << (gp.IsFinished() ? " (termination condition reached)"
                : stalled       ? " (no better program in " + std::to_string(settings.Patience) + " generations)"
                                : "")
            << "\n";
  if (TMXGPIndividual<double>* best = gp.FittestIndividual()) {
    std::cout << "best program: " << best->DNA()->ToString() << "\n"
              << "mean squared error on the data: " << FloatToStr(best->Fitness()) << "\n";
  }
  // An archived program, scaled, simplified over the column names, its weights shown; a
  // scaling that differs from none by rounding alone is left out.
  const auto shown = [](const TMXGPRegressionArchive::TEntry& Entry) {
    TMXExpression expression = TMXExpression::FromProgram(Entry.Program.get(), Entry.Weighted);
    const double slope = std::fabs(Entry.Slope - 1) < 1e-12 ? 1 : Entry.Slope;
    const double intercept = std::fabs(Entry.Intercept) < 1e-12 ? 0 : Entry.Intercept;
    expression = TMXExpression::Function(
        fpAdd, TMXExpression::Constant(intercept),
        TMXExpression::Function(fpMul, TMXExpression::Constant(slope), std::move(expression)));
    return Simplify(expression).ToString();
  };
  if (const TMXGPRegressionArchive::TEntry* model = archive.Best()) {
    std::cout << "model: " << data.Target << " = " << shown(*model) << "\n"
              << "R^2 on the training data: " << FloatToStrF(RSquared(*model, data.Table, data.Target), ffFixed, 15, 4)
              << "\n";
    if (held.RowCount() > 0)
      std::cout << "R^2 on the held-out data (" << held.RowCount()
                << " rows): " << FloatToStrF(RSquared(*model, held, data.Target), ffFixed, 15, 4) << "\n";
  }
  std::cout << "front of error against size over the run:\n";
  for (const TMXGPRegressionArchive::TEntry& entry : archive.Front())
    std::cout << "  size " << entry.Size << "  error " << FloatToStr(entry.Error) << "  " << shown(entry) << "\n";
  if (!o.SaveFile.empty()) {
    gp.SaveToFile(o.SaveFile);
    std::cout << "saved to " << o.SaveFile << "\n";
  }
  if (!o.CsvFile.empty()) WriteCsv(o.CsvFile, rows);
  if (!o.PlotFile.empty()) WritePlot(o.PlotFile, data.Title, "mean squared error", true, true, rows);
  return 0;
}

// --- Two objectives: ZDT1, ZDT2, ZDT3 ------------------------------------------------------
// f1 = x1 and f2 = g h(f1 / g), g = 1 + 9 mean(x2 .. x30), every x in [0, 1]: the true
// front is g = 1, convex (ZDT1), concave (ZDT2) or in five pieces (ZDT3).

constexpr int kZdtVariables = 30;

double ZdtH(int Which, double F1, double G) {
  const double r = F1 / G;
  if (Which == 1) return 1 - std::sqrt(r);
  if (Which == 2) return 1 - r * r;
  return 1 - std::sqrt(r) - r * std::sin(10 * std::numbers::pi * F1);
}

// The true front: f2 as a function of f1, NaN where a smaller f1 reaches a value as small
// (ZDT3's gaps), judged on a fine grid.
class TZdtFront {
 public:
  explicit TZdtFront(int Which) : FWhich(Which) {
    double lowest = std::numeric_limits<double>::infinity();
    for (int i = 0; i <= kSteps; ++i) {
      lowest = std::min(lowest, ZdtH(Which, static_cast<double>(i) / kSteps, 1));
      FPrefixMin.push_back(lowest);
    }
  }
  double operator()(double F1) const {
    const double f2 = ZdtH(FWhich, F1, 1);
    const auto below = static_cast<int>(std::ceil(F1 * kSteps)) - 1;  // the grid points left of F1
    return below >= 0 && FPrefixMin[static_cast<std::size_t>(below)] <= f2 ? std::numeric_limits<double>::quiet_NaN()
                                                                            : f2;
  }
  // The front's points on the grid, as rows (f1, f2).
  std::vector<double> Points() const {
    std::vector<double> points;
    for (int i = 0; i <= kSteps; ++i)
      if (const double f1 = static_cast<double>(i) / kSteps, f2 = (*this)(f1); !std::isnan(f2))
        points.insert(points.end(), {f1, f2});
    return points;
  }

 private:
  static constexpr int kSteps = 4000;
  int FWhich;
  std::vector<double> FPrefixMin;
};

// The plot of the front found (dots) against the true front (a line).
void WriteFrontPlot(const std::string& file, const std::string& title, const TZdtFront& truth,
                    const std::vector<double>& found) {
  struct TPoint {
    double X, Found;
  };
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<TPoint> points;
  for (int i = 0; i <= 400; ++i) points.push_back({i / 400.0, nan});
  // Each found point after a gap of its own, so that no two of them are joined.
  for (std::size_t i = 0; i + 1 < found.size(); i += 2)
    points.push_back({found[i], nan}), points.push_back({found[i], found[i + 1]});
  std::stable_sort(points.begin(), points.end(), [](const TPoint& a, const TPoint& b) { return a.X < b.X; });
  demo::TPlot plot;
  plot.Title = title;
  plot.XLabel = "f1";
  plot.YLabel = "f2";
  demo::TPlotSeries front{"front found", "#c0392b", {}}, optimum{"true front", "#2e86c1", {}};
  for (const TPoint& p : points) {
    plot.X.push_back(p.X);
    front.Values.push_back(p.Found);
    optimum.Values.push_back(truth(p.X));
  }
  plot.Series = {optimum, front};  // the first series lies on top: the line over the dots
  SaveText(file, demo::PlotToSvg(plot));
}

int RunZdt(const TOptions& o) {
  const int which = o.Problem.back() - '0';
  RandSeed(o.Seed);
  TParallel::SetMaxThreads(o.Threads);
  TMXGeneticAlgorithm ga;
  for (int d = 0; d < kZdtVariables; ++d) {
    TMXGAGene* gene = ga.Genes()->Add();
    gene->SetName(std::string(1, 'x').append(std::to_string(d + 1)));
    gene->SetGeneType(gtFloat);
    gene->SetSize(32);
    gene->SetMaxValue(1);  // a single in [0, 1]
  }
  ga.SetInitialPopulation(o.Population);
  ga.SetSelectionMethod(smNSGA2);
  // Real-coded variation: the numbers are crossed and mutated as numbers.
  ga.SetCrossoverMethod(cmSimulatedBinary);
  ga.SetMutationMethod(gmPolynomial);
  ga.SetCrossoverProbability(0.9);
  ga.SetMutationProbability(1.0 / kZdtVariables);
  ga.SetOperations({goCrossover, goMutate});
  ga.SetObjectiveCount(2);
  const std::vector<double> reference{1.1, 1.1};
  ga.SetHypervolumeReference(reference);
  ga.SetOnEvaluateObjectives([which](TObject* Sender, TMXIndividual* Item, std::span<double> F) {
    auto& g = *static_cast<TMXCustomGeneticAlgorithm*>(Sender);
    auto& bits = *static_cast<TMXGAIndividual*>(Item)->Bits();
    double sum = 0;
    for (int d = 1; d < kZdtVariables; ++d) sum += g.Genes()->Items(d)->GeneAsFloat(bits);
    const double x1 = g.Genes()->Items(0)->GeneAsFloat(bits);
    const double gValue = 1 + 9 * sum / (kZdtVariables - 1);
    F[0] = x1;
    F[1] = gValue * ZdtH(which, x1, gValue);
  });
  if (!o.LoadFile.empty()) {
    ga.SetInitialPopulation(0);
    ga.Initialize();
    ga.LoadFromFile(o.LoadFile);
    std::cout << "resumed from " << o.LoadFile << " at generation " << ga.Generation() << "\n";
  }

  const TZdtFront truth(which);
  const std::vector<double> truePoints = truth.Points();
  const double trueVolume = Hypervolume(truePoints, 2, reference);
  const char* const shape = which == 1 ? "convex" : which == 2 ? "concave" : "disconnected";
  const std::string title =
      "ZDT" + std::to_string(which) + " (" + shape + " front, " + std::to_string(kZdtVariables) + " variables)";
  std::cout << title << "\npopulation " << std::max(ga.Population()->Count(), ga.InitialPopulation())
            << ", selection smNSGA2, "
            << (o.Threads > 0 ? "ParallelEvolve on " + std::to_string(o.Threads) + " threads" : std::string("Evolve"))
            << ", seed " << o.Seed << "\n";
  const bool terminal = isatty(STDOUT_FILENO) != 0;
  const auto start = std::chrono::steady_clock::now();
  std::ostringstream csv;
  csv << "generation,front_size,hypervolume,elapsed\n";
  int last = -1;
  ga.SetOnEvolve([&](TObject*) {
    if (ga.Generation() == last) return;
    last = ga.Generation();
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    csv << last << ',' << ga.FrontSize() << ',' << FloatToStr(ga.FrontHypervolume()) << ','
        << FloatToStrF(elapsed, ffFixed, 15, 6) << '\n';
    char line[120];
    std::snprintf(line, sizeof line, "gen %5d  front %5d  hypervolume %10s  %8.3fs", last, ga.FrontSize(),
                  FloatToStrF(ga.FrontHypervolume(), ffFixed, 15, 4).c_str(), elapsed);
    if (terminal) std::cout << "\r\033[K" << line << std::flush;
    else std::cout << line << "\n";
  });
  const int done = o.Threads > 0 ? ga.ParallelEvolve(o.Generations) : ga.Evolve(o.Generations);
  if (terminal) std::cout << "\n";
  std::cout << "finished after " << done << " generations\n"
            << "front of " << ga.FrontSize() << " individuals, hypervolume "
            << FloatToStrF(ga.FrontHypervolume(), ffFixed, 15, 4)
            << " of the true front's " << FloatToStrF(trueVolume, ffFixed, 15, 4) << "\n";
  if (!o.SaveFile.empty()) {
    ga.SaveToFile(o.SaveFile);
    std::cout << "saved to " << o.SaveFile << "\n";
  }
  if (!o.CsvFile.empty()) SaveText(o.CsvFile, csv.str());
  if (!o.PlotFile.empty()) WriteFrontPlot(o.PlotFile, title, truth, ga.ParetoFrontObjectives());
  return 0;
}

int Run(const TOptions& o) {
  if (o.Problem == "symreg") return RunSymreg(o);
  if (o.Problem.rfind("zdt", 0) == 0) return RunZdt(o);
  RandSeed(o.Seed);
  TParallel::SetMaxThreads(o.Threads);
  TMXGeneticAlgorithm ga;
  TProblem problem = o.Problem == "onemax" ? OneMax(ga, o) : o.Problem == "rastrigin" ? Rastrigin(ga, o) : Knapsack(ga, o);
  ga.SetFitnessMethod(problem.Method);
  ga.SetInitialPopulation(o.Population);
  ga.SetSelectionMethod(o.Selection);
  ga.SetTournamentField(3);
  ga.SetOnEvaluateFitness([&](TObject*, TMXIndividual* item, TGAFitness& fitness) {
    fitness = problem.Fitness(ga, *static_cast<TMXGAIndividual*>(item));
  });

  if (!o.LoadFile.empty()) {
    // The saved settings, genes and population replace those set up above. Loading
    // into a component that was never initialised initialises it, which restarts the
    // generation count; initialising an empty population first keeps the saved count.
    ga.SetInitialPopulation(0);
    ga.Initialize();
    ga.LoadFromFile(o.LoadFile);
    std::cout << "resumed from " << o.LoadFile << " at generation " << ga.Generation() << "\n";
  }

#ifdef EVOKIT_DEMO_MPI
  // One island per process; the others stay quiet (their errors still reach stderr).
  std::optional<TMXMPISession> session;
  std::optional<TMXIslandModel> islands;
  if (o.Islands) {
    session.emplace();
    islands.emplace(ga);
    islands->SetMigrationInterval(o.MigrationInterval);
    islands->SetMigrationSize(o.MigrationSize);
    islands->SetTopology(o.AllToAll ? mtAllToAll : mtRing);
    islands->Seed(o.Seed);
  }
  const bool speaks = !islands || islands->Island() == 0;
  if (!speaks) std::cout.setstate(std::ios::badbit);
#else
  const bool speaks = true;
#endif
  const bool terminal = speaks && isatty(STDOUT_FILENO) != 0;
  const auto start = std::chrono::steady_clock::now();
  std::vector<TRow> rows;
  ga.SetOnEvolve([&](TObject*) {
    TMXIndividual* best = ga.FittestIndividual();
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    TRow row{ga.Generation(), best ? best->Fitness() : 0.0, ga.AvgFitness(), ga.MinFitness(), ga.MaxFitness(),
             ga.Diversity(), elapsed, std::numeric_limits<double>::quiet_NaN()};
    if (!rows.empty() && rows.back().Generation == row.Generation) return;  // no new generation
    rows.push_back(row);
    char line[160];
    std::snprintf(line, sizeof line, "gen %5d  best %12s  avg %12s  diversity %8s  %8.3fs", row.Generation,
                  FloatToStrF(row.Best, ffGeneral, 8, 0).c_str(), FloatToStrF(row.Average, ffGeneral, 8, 0).c_str(),
                  FloatToStrF(row.Diversity, ffFixed, 4, 4).c_str(), row.Elapsed);
    if (terminal) std::cout << "\r\033[K" << line << std::flush;
    else std::cout << line << "\n";
  });

  std::cout << problem.Title << "\n"
            << "population " << std::max(ga.Population()->Count(), ga.InitialPopulation()) << ", selection " << EnumName(ga.SelectionMethod()) << ", "
            << (o.Threads > 0 ? "ParallelEvolve on " + std::to_string(o.Threads) + " threads" : std::string("Evolve"))
            << ", seed " << o.Seed << "\n";
#ifdef EVOKIT_DEMO_MPI
  if (islands)
    std::cout << islands->IslandCount() << " islands, " << (o.AllToAll ? "all-to-all" : "ring") << " migration of "
              << o.MigrationSize << " every " << o.MigrationInterval << " generations\n";
  const int done = islands ? (o.Threads > 0 ? islands->ParallelEvolve(o.Generations) : islands->Evolve(o.Generations))
                   : o.Threads > 0 ? ga.ParallelEvolve(o.Generations)
                                   : ga.Evolve(o.Generations);
#else
  const int done = o.Threads > 0 ? ga.ParallelEvolve(o.Generations) : ga.Evolve(o.Generations);
#endif
  if (terminal) std::cout << "\n";
#ifdef EVOKIT_DEMO_MPI
  if (islands && speaks) {
    std::cout << "island  generations          best       average   (" << islands->Migrations() << " migrations, "
              << FloatToStrF(islands->MigrationSeconds(), ffFixed, 15, 3) << "s on island 0)\n";
    for (const TMXIslandSummary& s : islands->Summaries()) {
      char line[100];
      std::snprintf(line, sizeof line, "%6d  %11d  %12s  %12s", s.Island, s.Generations,
                    FloatToStrF(s.Best, ffGeneral, 8, 0).c_str(), FloatToStrF(s.Average, ffGeneral, 8, 0).c_str());
      std::cout << line << "\n";
    }
  }
#endif

  TMXGAIndividual* best = ga.FittestIndividual();
  std::cout << "finished after " << done << " generations"
            << (ga.IsFinished() ? " (termination condition reached)" : "") << "\n";
  if (best) {
    std::cout << "fittest individual" << (o.Islands ? " of all islands" : "") << ": fitness "
              << FloatToStr(best->Fitness()) << "\n";
    problem.Describe(ga, *best, std::cout);
  }
  if (!speaks) return 0;
  if (!o.SaveFile.empty()) {
    ga.SaveToFile(o.SaveFile);
    std::cout << "saved to " << o.SaveFile << "\n";
  }
  if (!o.CsvFile.empty()) WriteCsv(o.CsvFile, rows);
  if (!o.PlotFile.empty())
    WritePlot(o.PlotFile, problem.Title, problem.Measure, problem.Method == fmMinimize, false, rows);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(ParseArguments(argc, argv));
  } catch (const TUsageError& e) {
    if (e.Message.empty()) {
      std::cout << kUsage;
      return 0;
    }
    std::cerr << "evokit-demo: " << e.Message << "\n" << kUsage;
    return 2;
  } catch (const TFileError& e) {
    std::cerr << "evokit-demo: " << e.Message << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "evokit-demo: " << e.what() << "\n";
    return 1;
  }
}
