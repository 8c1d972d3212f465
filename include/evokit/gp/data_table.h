// TMXDataTable: the data a regression program is evaluated over, as named columns of
// doubles stored column by column (each column contiguous, so an evaluator reads a block
// of rows of one variable as one run of memory). Built column by column from spans or
// vectors, or read from CSV text. Program variables bind to columns by name (batch.h).
//
// The table holds finite numbers only: NaN and infinities are refused where they enter,
// so a non-finite program output always comes from the program.
//
// Thread safety: a value type; several threads may read one table at once.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <evokit/platform/exceptions.h>

namespace evokit {

// A table that cannot be built as asked, or CSV text that is no table; the message
// names the column (and for CSV the line and column number).
EVOKIT_DECLARE_EXCEPTION(EDataTableError, Exception);

class TMXDataTable {
 public:
  TMXDataTable();

  int RowCount() const noexcept { return FRows; }
  int ColumnCount() const noexcept { return static_cast<int>(FNames.size()); }
  // Appends a column with a copy of Values. EDataTableError, the table unchanged, for an
  // empty name, a name the table holds (compared exactly), a length other than RowCount()
  // (any length for the first column), more than 2^31 - 1 rows, or a non-finite value
  // (the message names the row, counted from 0).
  void AddColumn(const std::string& Name, std::span<const double> Values);
  void AddColumn(const std::string& Name, const std::vector<double>& Values) {
    AddColumn(Name, std::span<const double>(Values));
  }
  // The name of column Index; EListError outside 0..ColumnCount()-1.
  const std::string& ColumnName(int Index) const;
  // The column named Name exactly (names are case-sensitive, as program variables), or -1.
  int IndexOf(std::string_view Name) const noexcept;
  // The values of column Index (EListError outside the range), or of the column named
  // Name (EDataTableError "No column "Name""). Valid until the table changes or goes.
  std::span<const double> Column(int Index) const;
  std::span<const double> Column(std::string_view Name) const;
  // Changes whenever the columns' names or order change, and is unique in the process for
  // each such layout made by AddColumn; copies share it. Compiled programs bound to one
  // table are reused for any table with the same stamp.
  std::uint64_t LayoutStamp() const noexcept { return FLayoutStamp; }

  // Reads CSV (RFC 4180): a header row of column names, then one row of numbers per record.
  // A quoted field may hold commas, doubled quotes and line breaks; a UTF-8 byte-order
  // mark, "\r\n" line ends, blanks around fields, blank lines and a last line without a
  // line break are accepted; numbers are read with a full stop whatever the locale.
  // A header whose first name is empty, followed by named columns, has a row index in its
  // first column (as pandas writes it): that column is skipped and its fields not read.
  // EDataTableError "CSV [file "SourceName", ]line L, column C ("name"): ..." (the line
  // from 1, the header on line 1, the line a field starts on; the column from 1, counting
  // an index column) for a field that is empty, no number or not finite, a row with more
  // or fewer fields than the header, an unclosed quote, a quote inside an unquoted field,
  // text after a closing quote, no header, and an empty or repeated name. A header
  // without rows gives a table without rows.
  static TMXDataTable FromCSV(std::istream& Stream, const std::string& SourceName = std::string());
  static TMXDataTable FromCSVText(std::string_view Text);
  // The same from a file, whose name the errors give; EFOpenError when it cannot be
  // opened or is a folder.
  static TMXDataTable LoadFromCSVFile(const std::string& FileName);

 private:
  std::vector<std::string> FNames;
  std::vector<std::vector<double>> FColumns;
  int FRows = 0;
  std::uint64_t FLayoutStamp;
};

}  // namespace evokit
