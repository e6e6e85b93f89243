// Comma-separated values as RFC 4180 has them: fields separated by commas,
// records by CRLF or LF, a field in double quotes when it holds a comma, a
// quote or a line break, a quote inside it doubled.
#pragma once

#include <cstddef>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ledra::tool {

struct TCsvRecord {
  // The line the record starts on, from 1.
  size_t Line = 0;
  std::vector<std::string> Fields;
};

// Reads records one at a time. Bad quoting (a quote inside an unquoted
// field, anything but a comma or a line end after a closing quote, a quoted
// field that never ends) raises EToolError naming the line. Blank lines are
// passed over.
class TCsvReader {
 public:
  explicit TCsvReader(std::istream& in) : in_(in) {}

  // The next record, or nothing at the end of the input.
  std::optional<TCsvRecord> Next();

 private:
  int Get();
  int Peek();

  std::istream& in_;
  size_t line_ = 1;
};

// One field as written: quoted when it must be.
std::string CsvField(std::string_view text);
// A record of fields, ending with CRLF.
std::string CsvLine(const std::vector<std::string>& fields);

}  // namespace ledra::tool
