// Comma-separated values as RFC 4180 has them: fields separated by commas,
// records by CRLF or LF, a field in double quotes when it holds a comma, a
// quote or a line break, a quote inside it doubled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ledra::tool {

// A place in the input: its line and the byte in that line, both from 1.
struct TCsvSpot {
  size_t Line = 0;
  size_t Byte = 0;
};

struct TCsvRecord {
  // The line the record starts on, from 1.
  size_t Line = 0;
  std::vector<std::string> Fields;
  // The first byte that is not UTF-8, and the field (from 0) it is in.
  std::optional<TCsvSpot> BadUtf8;
  size_t BadUtf8Field = 0;
  // Fields longer than their limit (SetFieldLimits): the field (from 0) and
  // its whole length in bytes. Such a field holds only its first bytes.
  std::vector<std::pair<size_t, uint64_t>> Cut;
};

// Reads records one at a time, in time and memory that grow with the input
// (a field longer than its limit is counted, not kept). Bad quoting (a quote
// inside an unquoted field, anything but a comma or a line end after a
// closing quote, a quoted field that never ends) raises EToolError naming
// the line; a byte that is not UTF-8 is noted in its record. Blank lines are
// passed over, and so is a byte order mark at the very start.
class TCsvReader {
 public:
  static constexpr size_t kNoLimit = std::numeric_limits<size_t>::max();

  explicit TCsvReader(std::istream& in);

  // The most bytes kept of field i of every following record (from 0); a
  // field past the end of the list is kept up to `others` bytes.
  void SetFieldLimits(std::vector<size_t> limits, size_t others);

  // The next record, or nothing at the end of the input.
  std::optional<TCsvRecord> Next();

 private:
  int Get();
  int Peek();
  // Adds one byte of a field to the record, checking the UTF-8 it belongs to.
  void Keep(TCsvRecord& record, std::string& field, uint64_t& length, char c, const TCsvSpot& here);
  // The field is complete: a UTF-8 sequence it leaves open is bad.
  void EndField(TCsvRecord& record, std::string& field, uint64_t length);

  std::streambuf* in_;
  size_t line_ = 1;
  size_t byte_ = 1;  // of the next byte in its line
  TCsvSpot last_;    // of the byte Get() gave last
  bool started_ = false;
  // Bytes read at the start that turned out not to be a byte order mark.
  std::string pending_;
  std::vector<size_t> limits_;
  size_t otherLimit_ = kNoLimit;
  // UTF-8 of the current field: continuation bytes still due, the code
  // point so far, and where its sequence began.
  int utf8Due_ = 0;
  int utf8Length_ = 0;
  uint32_t utf8Point_ = 0;
  TCsvSpot utf8Start_;
};

// One field as written: quoted when it must be.
std::string CsvField(std::string_view text);
// A record of fields, ending with CRLF.
std::string CsvLine(const std::vector<std::string>& fields);

}  // namespace ledra::tool
