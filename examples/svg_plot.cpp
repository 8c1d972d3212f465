#include "svg_plot.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace evokit::demo {

namespace {

double Pow10(int Exponent) { return std::pow(10.0, Exponent); }

// The exponent of the largest power of ten at or below Value (> 0), safe from log10's
// rounding at exact powers.
int Decade(double Value) {
  int d = static_cast<int>(std::floor(std::log10(Value)));
  if (Pow10(d + 1) <= Value) ++d;
  else if (Pow10(d) > Value) --d;
  return d;
}

int FloorDiv(int A, int B) { return A / B - (A % B != 0 && (A < 0) != (B < 0)); }
int CeilDiv(int A, int B) { return -FloorDiv(-A, B); }

// Value with Decimals digits after the point, whatever the locale; never "-0".
std::string Fixed(double Value, int Decimals) {
  char buffer[128];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, Value, std::chars_format::fixed, Decimals);
  if (result.ec != std::errc()) result = std::to_chars(buffer, buffer + sizeof buffer, Value);
  std::string text(buffer, result.ptr);
  if (text[0] == '-' && text.find_first_not_of("-0.") == std::string::npos) text.erase(0, 1);
  return text;
}

std::string WithoutTrailingZeros(std::string Text) {
  if (Text.find('.') == std::string::npos) return Text;
  Text.erase(Text.find_last_not_of('0') + 1);
  if (Text.back() == '.') Text.pop_back();
  return Text;
}

// Mantissa times ten to a multiple of three, the mantissa with the decimals that a step
// of ten to StepExponent needs: "250e3", "1.5e6", "20e-6".
std::string Engineering(double Value, int StepExponent) {
  if (Value == 0) return "0";
  const int exponent = 3 * FloorDiv(Decade(std::abs(Value)), 3);
  const std::string mantissa =
      WithoutTrailingZeros(Fixed(Value / Pow10(exponent), std::max(0, exponent - StepExponent)));
  return mantissa + "e" + std::to_string(exponent);
}

// Multiple times ten to Exponent, as a log axis labels it: plain from a thousandth to below
// a million, else "1e28", "5e-9".
std::string PowerLabel(int Multiple, int Exponent) {
  const double value = Multiple * Pow10(Exponent);
  if (value >= 1e-3 && value < 1e6) return Fixed(value, std::max(0, -Exponent));
  return std::to_string(Multiple) + "e" + std::to_string(Exponent);
}

// Advance widths of the sans-serif font (DejaVu Sans, the widest common one) in ems,
// rounded up, so that estimates err on the wide side.
double TextWidth(const std::string& Text, double Size) {
  double ems = 0;
  for (unsigned char c : Text) {
    if (c >= 0x80) ems += (c & 0xC0) == 0xC0 ? 0.8 : 0;  // one per UTF-8 sequence
    else if (std::string_view(" .,:;'|!ijl").find(static_cast<char>(c)) != std::string_view::npos) ems += 0.33;
    else if (std::string_view("()[]{}-frt/\\\"").find(static_cast<char>(c)) != std::string_view::npos) ems += 0.42;
    else if (std::string_view("mwMW%@").find(static_cast<char>(c)) != std::string_view::npos) ems += 1.0;
    else if (std::string_view("+=<>^~#&").find(static_cast<char>(c)) != std::string_view::npos) ems += 0.84;
    else if (c >= 'A' && c <= 'Z') ems += 0.77;
    else ems += 0.64;
  }
  return ems * Size;
}

struct TFitted {
  std::string Text;
  double Size;
};

// Text at Size, or smaller down to MinSize, or at MinSize with its middle replaced by
// "..." (whole UTF-8 sequences only), so that it is at most MaxWidth wide.
TFitted Fit(const std::string& Text, double Size, double MaxWidth, double MinSize) {
  const double width = TextWidth(Text, Size);
  if (width <= MaxWidth) return {Text, Size};
  const double size = std::max(MinSize, std::floor(2 * Size * MaxWidth / width) / 2);
  if (TextWidth(Text, size) <= MaxWidth) return {Text, size};
  std::vector<std::string> glyphs;
  for (unsigned char c : Text) {
    if ((c & 0xC0) == 0x80 && !glyphs.empty()) glyphs.back() += static_cast<char>(c);
    else glyphs.emplace_back(1, static_cast<char>(c));
  }
  for (std::size_t keep = glyphs.size(); keep-- > 0;) {
    std::string elided;
    for (std::size_t i = 0; i < (keep + 1) / 2; ++i) elided += glyphs[i];
    elided += "...";
    for (std::size_t i = glyphs.size() - keep / 2; i < glyphs.size(); ++i) elided += glyphs[i];
    if (TextWidth(elided, size) <= MaxWidth) return {elided, size};
  }
  return {"", size};
}

std::string Escape(const std::string& Text) {
  std::string out;
  for (char c : Text) {
    if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else if (c == '&') out += "&amp;";
    else if (c == '"') out += "&quot;";
    else out += c;
  }
  return out;
}

std::string Px(double Value) { return Fixed(Value, 1); }

}  // namespace

TPlotAxis LinearAxis(double Low, double High, int MaxIntervals, bool Extend, bool Integral) {
  if (!std::isfinite(Low) || !std::isfinite(High) || Low > High || MaxIntervals < 1)
    throw std::invalid_argument("LinearAxis needs finite Low <= High and MaxIntervals >= 1");
  if (High - Low <= std::max(std::abs(Low), std::abs(High)) * 1e-12) {
    const double middle = Low / 2 + High / 2;
    const double pad = Integral || middle == 0 ? 1 : std::abs(middle) / 10;
    Low = middle - pad, High = middle + pad;
  }
  // The step: 1, 2 or 5 times ten to exponent, the smallest that keeps to MaxIntervals.
  const double raw = High / MaxIntervals - Low / MaxIntervals;
  int exponent = Decade(raw);
  const double fraction = raw / Pow10(exponent);
  int multiple = fraction <= 1 ? 1 : fraction <= 2 ? 2 : fraction <= 5 ? 5 : 10;
  if (multiple == 10) multiple = 1, ++exponent;
  if (Integral && exponent < 0) multiple = 1, exponent = 0;
  // Divide by an exact power of ten rather than multiply by an inexact one: 3 * 0.1 is
  // not 0.3, 3 / 10 is.
  auto tick = [&](double i) {
    return exponent >= 0 ? i * multiple * Pow10(exponent) : i * multiple / Pow10(-exponent);
  };
  const double step = tick(1);
  double first = Extend ? std::floor(Low / step + 1e-9) : std::ceil(Low / step - 1e-9);
  double last = Extend ? std::ceil(High / step - 1e-9) : std::floor(High / step + 1e-9);
  if (Extend) {
    if (!std::isfinite(tick(first))) ++first;
    if (!std::isfinite(tick(last))) --last;
    Low = std::min(Low, tick(first)), High = std::max(High, tick(last));
  }
  TPlotAxis axis;
  axis.Low = Low, axis.High = High;
  for (double i = first; i <= last; ++i) axis.Ticks.push_back(tick(i));
  // Plain up to six characters, else whichever is shorter: "400000" and "1000000" for a
  // generation, but "2.5e9" rather than "2500000000" and "50e-6" rather than "0.00005".
  std::vector<std::string> plain, engineering;
  std::size_t plainWidth = 0, engineeringWidth = 0;
  for (double t : axis.Ticks) {
    plain.push_back(Fixed(t, std::max(0, -exponent)));
    engineering.push_back(Engineering(t, exponent));
    plainWidth = std::max(plainWidth, plain.back().size());
    engineeringWidth = std::max(engineeringWidth, engineering.back().size());
  }
  axis.Labels = plainWidth > 6 && engineeringWidth < plainWidth ? engineering : plain;
  return axis;
}

TPlotAxis LogAxis(double Low, double High, int MaxIntervals) {
  if (!std::isfinite(Low) || !std::isfinite(High) || !(Low > 0) || Low > High || MaxIntervals < 1)
    throw std::invalid_argument("LogAxis needs finite 0 < Low <= High and MaxIntervals >= 1");
  // The powers of ten a double holds, subnormals aside; values beyond sit on the edges.
  constexpr int kBottom = -307, kTop = 308;
  Low = std::max(Low, Pow10(kBottom));
  High = std::max(High, Low);
  const int a = Decade(Low);
  int b = Decade(High);
  if (Pow10(b) < High) ++b;
  TPlotAxis axis;
  axis.Log = true;
  if (b - a <= 2) {
    // 1, 2 and 5 times the powers of ten, from the last at or below Low to the first at
    // or above High; a single value gets its neighbours.
    std::vector<std::pair<int, int>> marks;  // (multiple, exponent)
    for (int e = a - 1; e <= b; ++e)
      for (int m : {1, 2, 5})
        if (std::isfinite(m * Pow10(e))) marks.emplace_back(m, e);
    auto value = [](const std::pair<int, int>& m) { return m.first * Pow10(m.second); };
    std::size_t lo = 0, hi = marks.size() - 1;
    while (lo + 1 < marks.size() && value(marks[lo + 1]) <= Low * (1 + 1e-12)) ++lo;
    while (hi > 0 && value(marks[hi - 1]) >= High * (1 - 1e-12)) --hi;
    if (hi <= lo) lo = lo > 0 ? lo - 1 : lo, hi = std::min(marks.size() - 1, lo + 2);
    for (std::size_t i = lo; i <= hi; ++i) {
      axis.Ticks.push_back(value(marks[i]));
      axis.Labels.push_back(PowerLabel(marks[i].first, marks[i].second));
    }
  } else {
    // Every step decades, step from 1, 2, 5, 10, 20, 50...
    int step = 1;
    for (int k = 0;; ++k) {
      step = (k % 3 == 0 ? 1 : k % 3 == 1 ? 2 : 5) * static_cast<int>(Pow10(k / 3));
      if (CeilDiv(b, step) - FloorDiv(a, step) <= MaxIntervals) break;
    }
    const int first = std::max(FloorDiv(a, step), CeilDiv(kBottom, step));
    const int last = std::min(CeilDiv(b, step), FloorDiv(kTop, step));
    for (int i = first; i <= last; ++i) {
      axis.Ticks.push_back(Pow10(i * step));
      axis.Labels.push_back(PowerLabel(1, i * step));
    }
  }
  axis.Low = axis.Ticks.front(), axis.High = axis.Ticks.back();
  return axis;
}

std::string PlotToSvg(const TPlot& Plot) {
  const double W = Plot.Width, H = Plot.Height;
  if (!(W >= 200) || !(H >= 150) || !std::isfinite(W) || !std::isfinite(H))
    throw std::invalid_argument("a plot needs a canvas of at least 200 by 150 pixels");
  for (std::size_t i = 0; i < Plot.X.size(); ++i)
    if (!std::isfinite(Plot.X[i]) || (i > 0 && Plot.X[i] < Plot.X[i - 1]))
      throw std::invalid_argument("the x values of a plot must be finite and ascending");
  for (const TPlotSeries& s : Plot.Series)
    if (s.Values.size() != Plot.X.size())
      throw std::invalid_argument("series '" + s.Name + "' has " + std::to_string(s.Values.size()) +
                                  " values for " + std::to_string(Plot.X.size()) + " x values");

  // The y range over the finite values; the smallest positive one bounds a log axis.
  double low = std::numeric_limits<double>::infinity(), high = -low, lowPositive = low;
  for (const TPlotSeries& s : Plot.Series)
    for (double v : s.Values)
      if (std::isfinite(v)) {
        low = std::min(low, v), high = std::max(high, v);
        if (v > 0) lowPositive = std::min(lowPositive, v);
      }
  if (!(low <= high)) low = 0, high = 1;
  // psLog with nothing positive to show falls back to linear.
  const bool log = std::isfinite(lowPositive) &&
                   (Plot.YScale == psLog || (Plot.YScale == psAuto && low >= 0 && high / lowPositive >= 100));

  // Layout, top down: the title, the legend, the plot area, its x ticks, the x label;
  // left to right: the y label (turned), the y ticks, the plot area.
  constexpr double kTitleSize = 16, kLegendSize = 12, kTickSize = 11, kLabelSize = 12, kMinSize = 8;
  constexpr double kSwatch = 22;
  const double top = 64, bottom = H - 46;
  const int yIntervals = std::max(2, static_cast<int>((bottom - top) / 45));
  const TPlotAxis yAxis = log ? LogAxis(lowPositive, high, yIntervals) : LinearAxis(low, high, yIntervals, true, false);
  const bool integral =
      std::all_of(Plot.X.begin(), Plot.X.end(), [](double x) { return x == std::floor(x) && std::abs(x) < 1e15; });
  const double xLow = Plot.X.empty() ? 0 : Plot.X.front(), xHigh = Plot.X.empty() ? 1 : Plot.X.back();
  const TPlotAxis xAxis = LinearAxis(xLow, xHigh, std::max(2, static_cast<int>((W - 120) / 90)), false, integral);

  double yTickWidth = 0, xTickWidth = 0;
  for (const std::string& label : yAxis.Labels) yTickWidth = std::max(yTickWidth, TextWidth(label, kTickSize));
  for (const std::string& label : xAxis.Labels) xTickWidth = std::max(xTickWidth, TextWidth(label, kTickSize));
  const double yLabelBaseline = 10 + kLabelSize;  // turned, the glyphs reach left of it
  const double left = yLabelBaseline + 0.3 * kLabelSize + 8 + yTickWidth + 6;
  const double right = W - std::max(16.0, xTickWidth / 2 + 6);
  if (right - left < 40) throw std::invalid_argument("the plot's canvas is too narrow for its tick labels");

  auto xPixel = [&](double x) { return left + (right - left) * (x - xAxis.Low) / (xAxis.High - xAxis.Low); };
  auto yPixel = [&](double v) {
    double f = 0;
    if (!yAxis.Log) f = (v / 2 - yAxis.Low / 2) / (yAxis.High / 2 - yAxis.Low / 2);
    else if (v > 0) f = (std::log10(v) - std::log10(yAxis.Low)) / (std::log10(yAxis.High) - std::log10(yAxis.Low));
    return bottom - (bottom - top) * std::clamp(f, 0.0, 1.0);
  };
  auto text = [](const char* Class, double X, double Y, const char* Anchor, const TFitted& Text,
                 const std::string& Extra = "") {
    return "<text class=\"" + std::string(Class) + "\" x=\"" + Px(X) + "\" y=\"" + Px(Y) + "\" text-anchor=\"" +
           Anchor + "\" font-size=\"" + WithoutTrailingZeros(Fixed(Text.Size, 1)) + "\"" + Extra + ">" +
           Escape(Text.Text) + "</text>\n";
  };

  std::ostringstream out;
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << Px(W) << "\" height=\"" << Px(H) << "\" viewBox=\"0 0 "
      << Px(W) << ' ' << Px(H) << "\" font-family=\"DejaVu Sans, Verdana, sans-serif\">\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
      << text("title", W / 2, 26, "middle", Fit(Plot.Title, kTitleSize, W - 20, kMinSize));

  // The legend, a row of swatches and names between the title and the plot area.
  {
    std::vector<TFitted> names;
    double size = kLegendSize, width = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
      names.clear(), width = 0;
      const double share = (W - 20) / std::max<std::size_t>(1, Plot.Series.size()) - kSwatch - 26;
      for (const TPlotSeries& s : Plot.Series) {
        names.push_back(Fit(s.Name, size, std::max(share, 10.0), kMinSize));
        width += kSwatch + 6 + TextWidth(names.back().Text, names.back().Size) + 20;
      }
      if (width <= W - 20) break;
      size = kMinSize;
    }
    double x = (W - width + 20) / 2;
    for (std::size_t i = 0; i < Plot.Series.size(); ++i) {
      out << "<line class=\"legend\" x1=\"" << Px(x) << "\" y1=\"46\" x2=\"" << Px(x + kSwatch)
          << "\" y2=\"46\" stroke=\"" << Escape(Plot.Series[i].Colour) << "\" stroke-width=\"2.5\"/>\n"
          << text("legend", x + kSwatch + 6, 50, "start", names[i]);
      x += kSwatch + 6 + TextWidth(names[i].Text, names[i].Size) + 20;
    }
  }

  // Grid and ticks, then the frame over the grid.
  for (std::size_t i = 0; i < yAxis.Ticks.size(); ++i) {
    const double y = yPixel(yAxis.Ticks[i]);
    out << "<line x1=\"" << Px(left) << "\" y1=\"" << Px(y) << "\" x2=\"" << Px(right) << "\" y2=\"" << Px(y)
        << "\" stroke=\"#e2e2e2\"/>\n"
        << text("ytick", left - 6, y + 4, "end", {yAxis.Labels[i], kTickSize});
  }
  for (std::size_t i = 0; i < xAxis.Ticks.size(); ++i) {
    const double x = xPixel(xAxis.Ticks[i]);
    out << "<line x1=\"" << Px(x) << "\" y1=\"" << Px(top) << "\" x2=\"" << Px(x) << "\" y2=\"" << Px(bottom)
        << "\" stroke=\"#e2e2e2\"/>\n"
        << text("xtick", x, bottom + 19, "middle", {xAxis.Labels[i], kTickSize});
  }
  out << "<rect class=\"frame\" x=\"" << Px(left) << "\" y=\"" << Px(top) << "\" width=\"" << Px(right - left)
      << "\" height=\"" << Px(bottom - top) << "\" fill=\"none\" stroke=\"#444\"/>\n"
      << text("xlabel", (left + right) / 2, H - 10, "middle", Fit(Plot.XLabel, kLabelSize, W - 20, kMinSize));
  const std::string yLabel = Plot.YLabel + (yAxis.Log ? (Plot.YLabel.empty() ? "log scale" : " (log scale)") : "");
  const double middle = (top + bottom) / 2;
  out << text("ylabel", yLabelBaseline, middle, "middle", Fit(yLabel, kLabelSize, bottom - top, kMinSize),
              " transform=\"rotate(-90 " + Px(yLabelBaseline) + " " + Px(middle) + ")\"");

  // The curves, the first series last so that it lies on top; a point without a finite
  // neighbour is a dot.
  for (std::size_t n = Plot.Series.size(); n-- > 0;) {
    const TPlotSeries& s = Plot.Series[n];
    const std::string common = " aria-label=\"" + Escape(s.Name) + "\"";
    std::string path, dots;
    const std::vector<double>& v = s.Values;
    for (std::size_t i = 0; i < v.size(); ++i) {
      if (!std::isfinite(v[i])) continue;
      const bool joinsPrevious = i > 0 && std::isfinite(v[i - 1]);
      const std::string point = Px(xPixel(Plot.X[i])) + "," + Px(yPixel(v[i]));
      path += (joinsPrevious ? " L" : path.empty() ? "M" : " M") + point;
      if (!joinsPrevious && (i + 1 == v.size() || !std::isfinite(v[i + 1])))
        dots += "<circle" + common + " cx=\"" + Px(xPixel(Plot.X[i])) + "\" cy=\"" + Px(yPixel(v[i])) +
                "\" r=\"3\" fill=\"" + Escape(s.Colour) + "\"/>\n";
    }
    if (!path.empty())
      out << "<path" << common << " d=\"" << path << "\" fill=\"none\" stroke=\"" << Escape(s.Colour)
          << "\" stroke-width=\"2\" stroke-linejoin=\"round\"/>\n";
    out << dots;
  }
  out << "</svg>\n";
  return out.str();
}

}  // namespace evokit::demo
