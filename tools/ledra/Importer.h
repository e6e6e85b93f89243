// `ledra import`: appends records given as CSV with a header row, or as a
// JSON array of objects, converting each value by its field's type.
//
// An import adds every row or none. It runs in two passes:
//  1. The whole input is read, and every row converted into a record image
//     and checked (values of the field's type and size, text in the table's
//     code page, required fields, minimum and maximum). Each bad row is
//     reported with its line (JSON: its place in the array and the line its
//     object begins on) and every bad field in it, up to kMaxReported
//     problems. Input that is wrong as a whole (bad quoting, a header naming
//     an unknown field twice or no field, text that is not JSON or not an
//     array) raises EToolError (exit code 2). Nothing is written yet.
//  2. Only when no row is bad, all of them are posted inside one
//     transaction of the table's directory: records, index entries and blob
//     values stay in memory until the commit writes them. A row the table
//     refuses (a key that exists, also one an earlier row of the input
//     took) is reported with its line, the remaining rows are still tried so
//     that every such row is named, and the transaction is rolled back. Any
//     other engine failure rolls back at once and raises EToolError (exit
//     code 2) naming the row's line.
// So a failed import leaves the table's files as they were.
//
// AutoInc values are the table's to give: a column for one is checked to be
// a number and otherwise not read. Blob and memo values are written with
// their record: memos as text, other blobs in hexadecimal, as export gives
// them.
//
// Reading takes time and memory in proportion to the input: a text meant
// for a field that is not a blob is kept only up to kFieldTextLimit bytes
// and refused when longer; blob and memo values are kept whole.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "engine/cursor/DataCursor.h"
#include "tools/ledra/Exporter.h"

namespace ledra::tool {

class TJsonRows;

class TImporter {
 public:
  // Progress lines on the error stream every this many rows, for inputs
  // longer than that.
  static constexpr int64_t kProgressStep = 1000;
  // Problems listed one by one; the rest are counted.
  static constexpr int64_t kMaxReported = 100;
  // The longest text kept for a field that is not a blob or memo: far more
  // than any such field holds, with room for blanks around it.
  static constexpr size_t kFieldTextLimit = 65536;

  TImporter(TDataCursor& cursor, std::ostream& err);

  // Reads and checks the whole input, then writes its rows when all are good.
  void Run(std::istream& in, TTextFormat format);

  // The same for rows made by a program: the fields of the columns (by
  // name, EToolError as for a CSV header), then each row checked and kept
  // (false when it is bad, reported as coming from `where`), then Write.
  void SetColumns(const std::vector<std::string>& names);
  bool AddRow(const std::string& where, const std::vector<std::string>& values);
  // Writes the rows kept when none was bad (Run does this itself).
  void Write();

  // Rows written (0 unless the whole import was).
  int64_t Added() const { return added_; }
  // Rows read, and those that were bad or that the table refused.
  int64_t Rows() const { return rows_; }
  int64_t BadRows() const { return badRows_; }

 private:
  friend class TJsonRows;

  // Where a row came from: its line, and in JSON its place in the array.
  struct TPlace {
    uint64_t Line = 0;
    uint64_t Record = 0;  // from 1; 0 for CSV
    uint32_t Label = 0;   // from 1, in labels_, for rows given by AddRow
  };
  struct TBlobPart {
    size_t Row;
    int FieldNo;
    std::vector<uint8_t> Bytes;
  };

  void RunCsv(std::istream& in);
  void RunJson(std::istream& in);

  // The field of a column name (without regard to case), or 0.
  int FieldNamed(const std::string& name) const;
  // Converts and checks one row of texts for `fields`; a good row joins the
  // rows to write, each problem of a bad one is reported. `problems` are
  // found while reading (as "field 'X': why" texts).
  void CheckRow(const TPlace& place, const std::vector<int>& fields,
                const std::vector<std::string>& values, std::vector<std::string> problems);
  // Posts every row in one transaction.
  void WriteRows();

  std::string Where(const TPlace& place) const;
  void Report(const TPlace& place, const std::string& why);
  void Progress(int64_t done, int64_t total);
  // Ends the list of problems.
  void FinishReport();

  TDataCursor& cursor_;
  std::ostream& err_;
  std::vector<int> columns_;
  // The rows to write: their images one after the other, where each came
  // from, and their blob values in row order.
  std::vector<uint8_t> images_;
  std::vector<TPlace> places_;
  std::vector<TBlobPart> blobs_;
  std::vector<std::string> labels_;
  std::vector<uint8_t> image_;
  std::vector<uint8_t> value_;
  int64_t rows_ = 0;
  int64_t added_ = 0;
  int64_t badRows_ = 0;
  int64_t problems_ = 0;
};

}  // namespace ledra::tool
