// CSV data tables: the input is read by TMXDataTable::FromCSVText. It either gives a table
// or raises EDataTableError naming the line and column; a table has distinct, non-empty
// names and finite columns of one length, and written back as CSV (names quoted, numbers
// with 17 significant digits) reads back to the same table.
#include "fuzz_support.h"

#include <evokit/gp/data_table.h>
#include <evokit/platform/convert.h>

#include <cmath>

using namespace evokit;

namespace {

// Table as CSV: every name quoted with its quotes doubled, "\r\n" line ends.
std::string WriteCSV(const TMXDataTable& Table) {
  std::string text;
  for (int c = 0; c < Table.ColumnCount(); ++c) {
    if (c > 0) text += ',';
    text += '"';
    for (const char ch : Table.ColumnName(c)) text += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    text += '"';
  }
  text += "\r\n";
  for (int r = 0; r < Table.RowCount(); ++r) {
    for (int c = 0; c < Table.ColumnCount(); ++c)
      text += (c > 0 ? "," : "") + FloatToStrF(Table.Column(c)[static_cast<std::size_t>(r)], ffGeneral, 17, 0);
    text += "\r\n";
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::string text = fuzz::Text(Data, Size);
  TMXDataTable table;
  try {
    table = TMXDataTable::FromCSVText(text);
  } catch (const EDataTableError& e) {
    fuzz::Require(e.Message().rfind("CSV line ", 0) == 0 && e.Message().find(", column ") != std::string::npos,
                  "an error names its line and column", e.Message());
    return 0;
  }
  fuzz::Require(table.ColumnCount() > 0, "a table has a column", text);
  for (int c = 0; c < table.ColumnCount(); ++c) {
    fuzz::Require(!table.ColumnName(c).empty() && table.IndexOf(table.ColumnName(c)) == c, "names", text);
    fuzz::Require(table.Column(c).size() == static_cast<std::size_t>(table.RowCount()), "column length", text);
    for (const double value : table.Column(c)) fuzz::Require(std::isfinite(value), "finite values", text);
  }
  const std::string written = WriteCSV(table);
  TMXDataTable reread;
  try {
    reread = TMXDataTable::FromCSVText(written);
  } catch (const EDataTableError& e) {
    fuzz::Require(false, std::string("a written table does not read back: ") + e.Message(), written);
  }
  fuzz::Require(reread.ColumnCount() == table.ColumnCount() && reread.RowCount() == table.RowCount(), "shape", written);
  for (int c = 0; c < table.ColumnCount(); ++c) {
    fuzz::Require(reread.ColumnName(c) == table.ColumnName(c), "names read back", written);
    for (int r = 0; r < table.RowCount(); ++r)
      fuzz::Require(reread.Column(c)[static_cast<std::size_t>(r)] == table.Column(c)[static_cast<std::size_t>(r)],
                    "values read back", written);
  }
  return 0;
}
