#include <evokit/gp/data_table.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
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

// 'Text', built by appending (GCC 12 warns wrongly about overlap for '"'" + text').
std::string Quoted(std::string_view Text) {
  std::string out(1, '\'');
  out.append(Text).push_back('\'');
  return out;
}

// "1 field", "2 fields".
std::string Count(std::size_t N, const char* What) {
  return std::to_string(N) + " " + What + (N == 1 ? "" : "s");
}

// One field of a CSV record: its text (without the quotes, a doubled quote made single,
// blanks around an unquoted field trimmed) and the line it starts on.
struct TCSVField {
  std::string Text;
  bool Quoted = false;
  int Line = 0;
};

// A reader of CSV as RFC 4180 has it, with some leniency: a record ends at "\r\n", "\n" or
// a lone "\r"; a quoted field may hold commas, quotes (doubled) and line breaks; blanks
// before an opening or after a closing quote are ignored; a UTF-8 byte-order mark at the
// start is skipped; the last record may or may not end with a line break; blank lines are
// skipped. A quote inside an unquoted field, text after a closing quote and an unclosed
// quote are errors. Errors name the source, line and column (Fail).
class TCSVReader {
 public:
  TCSVReader(std::istream& Stream, const std::string& Source)
      : FStream(Stream), FSource(Source), FBuffer(1 << 16, '\0') {
    Fill();
    if (FEnd - FNext >= 3 && std::string_view(FNext, 3) == "\xEF\xBB\xBF") FNext += 3;
  }

  // The next record into Fields; false at the end of the text. EndLine is the line the
  // record ends on.
  bool Next(std::vector<TCSVField>& Fields, int& EndLine) {
    for (;;) {
      Fields.clear();
      if (Peek() == kEnd) return false;
      for (;;) {
        TCSVField& field = Fields.emplace_back();
        const int stop = ReadField(field, Fields.size());
        if (stop == ',') continue;
        EndLine = FLine;
        if (stop == '\r' && Peek() == '\n') Get();
        if (stop != kEnd) ++FLine;
        break;
      }
      if (Fields.size() > 1 || Fields[0].Quoted || !Fields[0].Text.empty()) return true;  // else a blank line
    }
  }

  // Throws EDataTableError "CSV [file "Source", ]line L, column C[ ("Name")]: What".
  [[noreturn]] void Fail(int Line, std::size_t Column, const std::string* Name, const std::string& What) const {
    std::string where = "CSV ";
    if (!FSource.empty()) where += "file \"" + FSource + "\", ";
    where += "line " + std::to_string(Line) + ", column " + std::to_string(Column);
    if (Name) where += " (\"" + *Name + "\")";
    throw EDataTableError(where + ": " + What);
  }

  int Line() const noexcept { return FLine; }

 private:
  static constexpr int kEnd = -1;

  void Fill() {
    FStream.read(FBuffer.data(), static_cast<std::streamsize>(FBuffer.size()));
    FNext = FBuffer.data();
    FEnd = FNext + FStream.gcount();
  }
  int Peek() {
    if (FNext == FEnd) Fill();
    return FNext == FEnd ? kEnd : static_cast<unsigned char>(*FNext);
  }
  int Get() {
    const int c = Peek();
    if (c != kEnd) ++FNext;
    return c;
  }
  void SkipBlanks() {
    while (Peek() == ' ' || Peek() == '\t') Get();
  }

  // Reads one field (Column counted from 1) and returns what ended it: ',', '\n', '\r' or
  // kEnd.
  int ReadField(TCSVField& Field, std::size_t Column) {
    SkipBlanks();
    Field.Line = FLine;
    if (Peek() != '"') {
      for (;;) {
        const int c = Get();
        if (c == ',' || c == '\n' || c == '\r' || c == kEnd) {
          Field.Text.erase(Field.Text.find_last_not_of(" \t") + 1);
          return c;
        }
        if (c == '"') Fail(FLine, Column, nullptr, "a quote inside an unquoted field (quote the whole field)");
        Field.Text.push_back(static_cast<char>(c));
      }
    }
    Get();
    Field.Quoted = true;
    for (;;) {
      const int c = Get();
      if (c == kEnd) Fail(Field.Line, Column, nullptr, "the quoted field is not closed");
      if (c == '"') {
        if (Peek() != '"') break;
        Get();
      } else if (c == '\n' || (c == '\r' && Peek() != '\n')) {
        ++FLine;
      }
      Field.Text.push_back(static_cast<char>(c));
    }
    SkipBlanks();
    const int c = Get();
    if (c != ',' && c != '\n' && c != '\r' && c != kEnd) Fail(FLine, Column, nullptr, "text after the closing quote");
    return c;
  }

  std::istream& FStream;
  const std::string& FSource;
  std::string FBuffer;
  const char* FNext = nullptr;
  const char* FEnd = nullptr;
  int FLine = 1;
};

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

TMXDataTable TMXDataTable::FromCSV(std::istream& Stream, const std::string& SourceName) {
  TCSVReader reader(Stream, SourceName);
  std::vector<TCSVField> fields;
  int endLine = 0;
  if (!reader.Next(fields, endLine)) reader.Fail(reader.Line(), 1, nullptr, "text without a header row");

  // The header. An empty first name before named columns marks a row index (as pandas
  // writes it): that column is not read.
  const std::size_t first = fields.size() > 1 && fields[0].Text.empty() ? 1 : 0;
  std::vector<std::string> names;
  for (std::size_t i = first; i < fields.size(); ++i) {
    const std::string& name = fields[i].Text;
    if (name.empty()) reader.Fail(fields[i].Line, i + 1, &name, "a column needs a name");
    for (const std::string& other : names)
      if (other == name) reader.Fail(fields[i].Line, i + 1, &name, "the name is already taken");
    names.push_back(name);
  }
  const std::size_t width = fields.size();
  std::vector<std::vector<double>> columns(names.size());

  while (reader.Next(fields, endLine)) {
    if (fields.size() < width)
      reader.Fail(endLine, fields.size() + 1, &names[fields.size() - first],
                  "the row ends after " + Count(fields.size(), "field") + ", the header has " + std::to_string(width));
    if (fields.size() > width)
      reader.Fail(fields[width].Line, width + 1, nullptr,
                  "the row has " + Count(fields.size(), "field") + ", the header " + std::to_string(width));
    for (std::size_t i = first; i < width; ++i) {
      const std::string& name = names[i - first];
      const std::string_view field = fields[i].Text;
      std::string_view text = TrimBlanks(field);
      if (text.empty()) reader.Fail(fields[i].Line, i + 1, &name, "empty field");
      if (text.size() > 1 && text.front() == '+' && text[1] != '-') text.remove_prefix(1);
      double value = 0;
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
      if (error == std::errc::result_out_of_range || (error == std::errc() && !std::isfinite(value)))
        reader.Fail(fields[i].Line, i + 1, &name, Quoted(field).append(" is not a finite number"));
      if (error != std::errc() || end != text.data() + text.size())
        reader.Fail(fields[i].Line, i + 1, &name, Quoted(field).append(" is not a number"));
      columns[i - first].push_back(value);
    }
    if (!columns.empty() && columns.front().size() > static_cast<std::size_t>(INT_MAX))
      reader.Fail(fields.front().Line, 1, nullptr, "more rows than a table holds");
  }
  TMXDataTable table;
  for (std::size_t i = 0; i < names.size(); ++i) table.AddColumn(names[i], columns[i]);
  return table;
}

TMXDataTable TMXDataTable::FromCSVText(std::string_view Text) {
  std::istringstream stream{std::string(Text)};
  return FromCSV(stream);
}

TMXDataTable TMXDataTable::LoadFromCSVFile(const std::string& FileName) {
  errno = 0;
  std::ifstream stream(FileName, std::ios::binary);
  // A folder opens but reads as nothing: refuse it like a missing file.
  std::error_code ignored;
  const int error = !stream ? errno : std::filesystem::is_directory(FileName, ignored) ? EISDIR : 0;
  if (!stream || error != 0)
    throw EFOpenError("Cannot open file \"" + FileName + "\"" + (error != 0 ? ". " + std::string(std::strerror(error)) : ""));
  return FromCSV(stream, FileName);
}

}  // namespace evokit
