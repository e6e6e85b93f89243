#include "tools/ledra/Csv.h"

#include "tools/ledra/ToolError.h"

namespace ledra::tool {

int TCsvReader::Get() {
  return in_.get();
}

int TCsvReader::Peek() {
  return in_.peek();
}

std::optional<TCsvRecord> TCsvReader::Next() {
  constexpr int kEnd = std::char_traits<char>::eof();
  for (;;) {
    if (Peek() == kEnd) return std::nullopt;
    TCsvRecord record;
    record.Line = line_;
    std::string field;
    bool quoted = false;      // the current field began with a quote
    bool afterQuote = false;  // its closing quote has been read
    bool anything = false;    // the record holds more than one empty field
    for (;;) {
      int c = Get();
      if (quoted && !afterQuote) {
        if (c == kEnd) {
          throw EToolError("line " + std::to_string(record.Line) +
                           ": a quoted field is not closed before the end of the input");
        }
        if (c == '"') {
          if (Peek() == '"') {
            Get();
            field += '"';
          } else {
            afterQuote = true;
          }
        } else {
          if (c == '\n') ++line_;
          field += char(c);
        }
        continue;
      }
      if (c == ',' || c == '\n' || c == '\r' || c == kEnd) {
        if (c == '\r' && Peek() == '\n') Get();
        anything = anything || c == ',' || quoted || !field.empty();
        record.Fields.push_back(std::move(field));
        field.clear();
        quoted = false;
        afterQuote = false;
        if (c == ',') continue;
        if (c != kEnd) ++line_;
        break;
      }
      if (afterQuote) {
        throw EToolError("line " + std::to_string(line_) +
                         ": only a comma or a line end may follow a closing quote");
      }
      if (c == '"') {
        if (!field.empty()) {
          throw EToolError("line " + std::to_string(line_) +
                           ": a quote inside an unquoted field (quote the field and double "
                           "the quote)");
        }
        quoted = true;
        continue;
      }
      field += char(c);
    }
    if (anything) return record;
  }
}

std::string CsvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

std::string CsvLine(const std::vector<std::string>& fields) {
  std::string out;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out += ',';
    out += CsvField(fields[i]);
  }
  out += "\r\n";
  return out;
}

}  // namespace ledra::tool
