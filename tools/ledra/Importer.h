// `ledra import`: appends records given as CSV with a header row, or as a
// JSON array of objects, converting each value by its field's type.
//
// The whole input is read and its syntax checked before anything is
// written, so that badly quoted CSV or malformed JSON changes nothing. Then
// each row is added with the record update path: a row with a value that
// does not convert, or that a required, minimum or maximum check or a unique
// index refuses, is reported with its line (JSON: its position in the array)
// and skipped without writing any part of it. AutoInc values are the
// table's to give and are not read. Blob and memo values are written with
// their record: memos as text, other blobs in hexadecimal, as export gives
// them; a value the cursor's blob buffer refuses skips the row whole.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "engine/cursor/DataCursor.h"
#include "tools/ledra/Exporter.h"

namespace ledra::tool {

class TImporter {
 public:
  // Progress lines on the error stream every this many rows, for inputs
  // longer than that.
  static constexpr int64_t kProgressStep = 1000;

  TImporter(TDataCursor& cursor, std::ostream& err);

  // The fields of the columns, by name without regard to case. An unknown or
  // repeated name raises EToolError.
  void SetColumns(const std::vector<std::string>& names);
  // Adds one row of texts, one per column (the empty text is null). False
  // when it was skipped (and reported as coming from `where`).
  bool AddRow(const std::string& where, const std::vector<std::string>& values);

  // Reads a whole input in the format and adds its rows.
  void Run(std::istream& in, TTextFormat format);

  int64_t Added() const { return added_; }
  int64_t Skipped() const { return skipped_; }

 private:
  void Skip(const std::string& where, const std::string& why);
  void Progress(int64_t done, int64_t total);

  TDataCursor& cursor_;
  std::ostream& err_;
  std::vector<int> columns_;
  std::vector<uint8_t> image_;
  std::vector<uint8_t> value_;
  int64_t added_ = 0;
  int64_t skipped_ = 0;
};

}  // namespace ledra::tool
