// A small writer of line plots as SVG text: a few series over shared x values, ticks at
// 1-2-5 steps with a grid, labelled axes, a linear or logarithmic y axis and a legend above
// the plot area. It needs the standard library only; the demo feeds it one point per
// generation. Plain functions over plain values: safe to call from several threads.
#pragma once

#include <string>
#include <vector>

namespace evokit::demo {

// psAuto picks the log scale when no value is negative and the positive values span two
// decades or more (an error curve whose worst generations dwarf the best ones).
enum TPlotScale { psLinear, psLog, psAuto };

struct TPlotSeries {
  std::string Name;            // shown in the legend
  std::string Colour;          // an SVG colour such as "#c0392b"
  std::vector<double> Values;  // one per x value; NaN and infinities leave a gap
};

struct TPlot {
  std::string Title, XLabel, YLabel;
  std::vector<double> X;  // ascending; when all are whole numbers the x ticks are too
  std::vector<TPlotSeries> Series;
  TPlotScale YScale = psLinear;
  double Width = 800, Height = 450;  // the canvas, in pixels
};

// An axis: the range it shows and its ticks, as data values, with their labels.
struct TPlotAxis {
  double Low = 0, High = 1;
  bool Log = false;
  std::vector<double> Ticks;
  std::vector<std::string> Labels;
};

// Ticks over [Low, High] at the finest step of 1, 2 or 5 times a power of ten that cuts
// the range into at most MaxIntervals; Extend then widens the range to whole steps, and
// Integral keeps the step at 1 or more. An empty range is widened around its value.
// Labels are plain, or in engineering notation ("250e3", "1.5e6", "20e-6") where plain
// ones would pass six characters and that is shorter. Throws std::invalid_argument for a
// non-finite bound, Low > High or MaxIntervals < 1.
TPlotAxis LinearAxis(double Low, double High, int MaxIntervals, bool Extend, bool Integral);

// A logarithmic axis over [Low, High], widened to ticks: powers of ten every 1, 2, 5, 10...
// decades, at most MaxIntervals apart, or 1, 2 and 5 times the powers of ten when the range
// spans two decades or less. Labels are plain from a thousandth to below a million, else
// "1e28", "5e-9". Throws std::invalid_argument unless 0 < Low <= High, both
// finite, and MaxIntervals >= 1.
TPlotAxis LogAxis(double Low, double High, int MaxIntervals);

// The plot as an SVG document. No text reaches past the canvas: long titles and labels
// shrink, then lose their middle. On a log axis values at or below zero sit on its
// bottom edge. Throws std::invalid_argument when X is not ascending, a series does not
// hold one value per x value, or the canvas is smaller than 200 by 150 pixels.
std::string PlotToSvg(const TPlot& Plot);

}  // namespace evokit::demo
