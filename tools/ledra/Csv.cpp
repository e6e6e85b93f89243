#include "tools/ledra/Csv.h"

#include "tools/ledra/ToolError.h"

namespace ledra::tool {

namespace {

constexpr int kEnd = std::char_traits<char>::eof();

std::string At(const TCsvSpot& spot) {
  return "line " + std::to_string(spot.Line);
}

}  // namespace

TCsvReader::TCsvReader(std::istream& in) : in_(in.rdbuf()) {}

void TCsvReader::SetFieldLimits(std::vector<size_t> limits, size_t others) {
  limits_ = std::move(limits);
  otherLimit_ = others;
}

int TCsvReader::Get() {
  const int c = in_->sbumpc();
  last_ = {line_, byte_};
  if (c == '\n' || (c == '\r' && in_->sgetc() != '\n')) {
    ++line_;
    byte_ = 1;
  } else if (c != kEnd) {
    ++byte_;
  }
  return c;
}

int TCsvReader::Peek() {
  return in_->sgetc();
}

void TCsvReader::Keep(TCsvRecord& record, std::string& field, uint64_t& length, char c,
                      const TCsvSpot& here) {
  const size_t index = record.Fields.size();
  const size_t limit = index < limits_.size() ? limits_[index] : otherLimit_;
  if (length < limit) field += c;
  ++length;

  const uint8_t b = uint8_t(c);
  bool bad = false;
  TCsvSpot badAt = here;
  if (utf8Due_ > 0) {
    // The second byte of some leads has a narrower range: no overlong
    // forms, no surrogates, nothing above U+10FFFF.
    uint8_t low = 0x80, high = 0xBF;
    if (utf8Length_ == 1) {
      if (utf8Point_ == 0xE0) low = 0xA0;
      if (utf8Point_ == 0xED) high = 0x9F;
      if (utf8Point_ == 0xF0) low = 0x90;
      if (utf8Point_ == 0xF4) high = 0x8F;
    }
    if (b < low || b > high) {
      bad = true;
      badAt = utf8Start_;
      utf8Due_ = 0;
    } else {
      --utf8Due_;
      ++utf8Length_;
    }
  } else if (b >= 0x80) {
    utf8Start_ = here;
    utf8Point_ = b;
    utf8Length_ = 1;
    if (b >= 0xC2 && b <= 0xDF) {
      utf8Due_ = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
      utf8Due_ = 2;
    } else if (b >= 0xF0 && b <= 0xF4) {
      utf8Due_ = 3;
    } else {
      bad = true;
    }
  }
  if (bad && !record.BadUtf8) {
    record.BadUtf8 = badAt;
    record.BadUtf8Field = index;
  }
}

void TCsvReader::EndField(TCsvRecord& record, std::string& field, uint64_t length) {
  if (utf8Due_ > 0 && !record.BadUtf8) {
    record.BadUtf8 = utf8Start_;
    record.BadUtf8Field = record.Fields.size();
  }
  utf8Due_ = 0;
  if (length > field.size()) record.Cut.emplace_back(record.Fields.size(), length);
  record.Fields.push_back(std::move(field));
  field.clear();
}

std::optional<TCsvRecord> TCsvReader::Next() {
  if (!started_) {
    started_ = true;
    // A byte order mark some programs write at the start of UTF-8 files.
    const std::string_view mark = "\xEF\xBB\xBF";
    while (pending_.size() < mark.size() && Peek() == int(uint8_t(mark[pending_.size()]))) {
      pending_ += char(Get());
    }
    if (pending_.size() == mark.size()) {
      pending_.clear();
      byte_ = 1;
    }
    // Otherwise the bytes read begin the first field.
  }
  for (;;) {
    if (Peek() == kEnd && pending_.empty()) return std::nullopt;
    TCsvRecord record;
    record.Line = line_;
    std::string field;
    uint64_t length = 0;
    TCsvSpot fieldStart{line_, byte_};
    bool quoted = false;      // the current field began with a quote
    bool afterQuote = false;  // its closing quote has been read
    bool anything = false;    // the record holds more than one empty field
    for (size_t i = 0; i < pending_.size(); ++i) {
      Keep(record, field, length, pending_[i], {1, i + 1});
    }
    pending_.clear();
    for (;;) {
      const int c = Get();
      if (quoted && !afterQuote) {
        if (c == kEnd) {
          throw EToolError(At(fieldStart) +
                           ": a quoted field begins here and is not closed before the end of "
                           "the input");
        }
        if (c == '"') {
          if (Peek() == '"') {
            Get();
            Keep(record, field, length, '"', last_);
          } else {
            afterQuote = true;
          }
        } else {
          Keep(record, field, length, char(c), last_);
        }
        continue;
      }
      if (c == ',' || c == '\n' || c == '\r' || c == kEnd) {
        if (c == '\r' && Peek() == '\n') Get();
        anything = anything || c == ',' || quoted || length > 0;
        EndField(record, field, length);
        length = 0;
        fieldStart = {line_, byte_};
        quoted = false;
        afterQuote = false;
        if (c == ',') continue;
        break;
      }
      if (afterQuote) {
        throw EToolError(At(last_) + ": only a comma or a line end may follow a closing quote");
      }
      if (c == '"') {
        if (length > 0) {
          throw EToolError(At(last_) +
                           ": a quote inside an unquoted field (quote the field and double "
                           "the quote)");
        }
        quoted = true;
        continue;
      }
      Keep(record, field, length, char(c), last_);
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
