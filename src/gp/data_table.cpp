#include <evokit/gp/data_table.h>

#include <atomic>
#include <charconv>
#include <climits>
#include <cmath>
#include <fstream>
#include <istream>
#include <sstream>

#include <evokit/platform/convert.h>

namespace evokit {

namespace {

std::uint64_t NewLayoutStamp() noexcept {
  static std::atomic<std::uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

std::string_view TrimBlanks(std::string_view Text) {
  const std::size_t start = Text.find_first_not_of(" \t");
  if (start == std::string_view::npos) return {};
  return Text.substr(start, Text.find_last_not_of(" \t") - start + 1);
}

// The fields of one line, split at commas and trimmed.
std::vector<std::string_view> Fields(std::string_view Line) {
  std::vector<std::string_view> out;
  for (std::size_t start = 0;;) {
    const std::size_t comma = Line.find(',', start);
    out.push_back(TrimBlanks(Line.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start)));
    if (comma == std::string_view::npos) return out;
    start = comma + 1;
  }
}

// 'Text', built by appending (GCC 12 warns wrongly about overlap for '"'" + text').
std::string Quoted(std::string_view Text) {
  std::string out(1, '\'');
  out.append(Text).push_back('\'');
  return out;
}

[[noreturn]] void CSVError(int Line, std::size_t Column, const std::string& Name, const std::string& What) {
  throw EDataTableError("CSV line " + std::to_string(Line) + ", column " + std::to_string(Column + 1) + " (\"" + Name +
                        "\"): " + What);
}

}  // namespace

TMXDataTable::TMXDataTable() : FLayoutStamp(NewLayoutStamp()) {}

void TMXDataTable::AddColumn(const std::string& Name, std::span<const double> Values) {
  if (Name.empty()) throw EDataTableError("A column needs a name");
  if (IndexOf(Name) >= 0) throw EDataTableError("Column \"" + Name + "\" is already in the table");
  if (!FNames.empty() && Values.size() != static_cast<std::size_t>(FRows))
    throw EDataTableError("Column \"" + Name + "\" has " + std::to_string(Values.size()) + " rows, the table " +
                          std::to_string(FRows));
  if (Values.size() > static_cast<std::size_t>(INT_MAX))
    throw EDataTableError("Column \"" + Name + "\" has more rows than a table holds");
  for (std::size_t row = 0; row < Values.size(); ++row)
    if (!std::isfinite(Values[row]))
      throw EDataTableError("Column \"" + Name + "\" holds " + FloatToStr(Values[row]) + " in row " +
                            std::to_string(row) + ": the table holds finite numbers only");
  FColumns.emplace_back(Values.begin(), Values.end());
  FNames.push_back(Name);
  FRows = static_cast<int>(Values.size());
  FLayoutStamp = NewLayoutStamp();
}

const std::string& TMXDataTable::ColumnName(int Index) const {
  if (Index < 0 || Index >= ColumnCount()) throw EListError("List index out of bounds (" + std::to_string(Index) + ")");
  return FNames[static_cast<std::size_t>(Index)];
}

int TMXDataTable::IndexOf(std::string_view Name) const noexcept {
  for (std::size_t i = 0; i < FNames.size(); ++i)
    if (FNames[i] == Name) return static_cast<int>(i);
  return -1;
}

std::span<const double> TMXDataTable::Column(int Index) const {
  ColumnName(Index);  // the range check
  return FColumns[static_cast<std::size_t>(Index)];
}

std::span<const double> TMXDataTable::Column(std::string_view Name) const {
  const int index = IndexOf(Name);
  if (index < 0) throw EDataTableError("No column \"" + std::string(Name) + "\"");
  return FColumns[static_cast<std::size_t>(index)];
}

TMXDataTable TMXDataTable::FromCSV(std::istream& Stream) {
  std::vector<std::string> names;
  std::vector<std::vector<double>> columns;
  std::string line;
  for (int number = 1; std::getline(Stream, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (TrimBlanks(line).empty()) continue;
    const std::vector<std::string_view> fields = Fields(line);
    if (names.empty()) {
      for (std::size_t i = 0; i < fields.size(); ++i) {
        std::string_view name = fields[i];
        if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
        if (name.empty()) CSVError(number, i, "", "a column needs a name");
        for (const std::string& other : names)
          if (other == name) CSVError(number, i, other, "the name is already taken");
        names.emplace_back(name);
      }
      columns.resize(names.size());
      continue;
    }
    if (fields.size() != names.size())
      throw EDataTableError("CSV line " + std::to_string(number) + ": " + std::to_string(fields.size()) +
                            " fields, the header has " + std::to_string(names.size()));
    for (std::size_t i = 0; i < fields.size(); ++i) {
      std::string_view text = fields[i];
      if (text.empty()) CSVError(number, i, names[i], "empty field");
      if (text.size() > 1 && text.front() == '+' && text[1] != '-') text.remove_prefix(1);
      double value = 0;
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
      if (error == std::errc::result_out_of_range || (error == std::errc() && !std::isfinite(value)))
        CSVError(number, i, names[i], Quoted(fields[i]).append(" is not a finite number"));
      if (error != std::errc() || end != text.data() + text.size())
        CSVError(number, i, names[i], Quoted(fields[i]).append(" is not a number"));
      columns[i].push_back(value);
    }
    if (columns.front().size() > static_cast<std::size_t>(INT_MAX))
      throw EDataTableError("CSV line " + std::to_string(number) + ": more rows than a table holds");
  }
  if (names.empty()) throw EDataTableError("CSV text without a header row");
  TMXDataTable table;
  for (std::size_t i = 0; i < names.size(); ++i) table.AddColumn(names[i], columns[i]);
  return table;
}

TMXDataTable TMXDataTable::FromCSVText(std::string_view Text) {
  std::istringstream stream{std::string(Text)};
  return FromCSV(stream);
}

TMXDataTable TMXDataTable::LoadFromCSVFile(const std::string& FileName) {
  std::ifstream stream(FileName, std::ios::binary);
  if (!stream) throw EFOpenError("Cannot open file \"" + FileName + "\"");
  return FromCSV(stream);
}

}  // namespace evokit
