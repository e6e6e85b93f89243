#include "tools/ledra/Importer.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <optional>

#include <nlohmann/json.hpp>

#include "engine/cursor/BlobBuffer.h"
#include "engine/errors/EngineError.h"
#include "engine/table/DataDirectory.h"
#include "engine/table/TableDescription.h"
#include "platform/Cp1252.h"
#include "tools/ledra/BlobValue.h"
#include "tools/ledra/Csv.h"
#include "tools/ledra/ToolError.h"
#include "tools/ledra/ValueText.h"

namespace ledra::tool {

using platform::Cp1252ToUtf8;
using platform::Utf8ToCp1252;

namespace {

// Refusals of one row by the table; any other engine error ends the import.
bool RowRefused(TEngineErrorCode code) {
  switch (code) {
    case LEDRA_KEYVIOL:
    case LEDRA_REQDERR:
    case LEDRA_MINVALERR:
    case LEDRA_MAXVALERR:
      return true;
    default:
      return false;
  }
}

std::string EngineErrorText(const ELedraEngineError& error) {
  const std::string name = EngineErrorName(error.ErrorCode);
  return std::string(error.what()) + (name.empty() ? "" : " (" + name + ")");
}

std::string FieldText(const TFieldDesc& desc) {
  return "field '" + Cp1252ToUtf8(desc.FieldName) + "'";
}

// A stream buffer that counts the lines of what has been taken from it, so
// that the JSON reader can say where an object begins.
class TLineCounter : public std::streambuf {
 public:
  explicit TLineCounter(std::streambuf* source) : source_(source) {
    setg(buffer_, buffer_, buffer_);
  }

  // The line of the next byte, from 1.
  uint64_t Line() {
    lines_ += uint64_t(std::count(counted_, gptr(), '\n'));
    counted_ = gptr();
    return lines_ + 1;
  }

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    Line();
    const std::streamsize got = source_->sgetn(buffer_, sizeof buffer_);
    if (got <= 0) return traits_type::eof();
    setg(buffer_, buffer_, buffer_ + got);
    counted_ = buffer_;
    return traits_type::to_int_type(*gptr());
  }

 private:
  std::streambuf* source_;
  char buffer_[65536];
  char* counted_ = buffer_;
  uint64_t lines_ = 0;
};

}  // namespace

// The rows of a JSON array of objects, one object at a time, as the parser
// reads them: the whole document is never held, and a key given twice in
// one object is seen (a document model would keep only one of them).
class TJsonRows : public nlohmann::json_sax<nlohmann::ordered_json> {
 public:
  TJsonRows(TImporter& importer, TLineCounter& lines) : importer_(importer), lines_(lines) {}

  // Why the input is not a JSON array of objects, when it is not.
  const std::string& Failure() const { return failure_; }

  bool null() override { return Scalar(std::string()); }
  bool boolean(bool value) override { return Scalar(value ? "TRUE" : "FALSE"); }
  bool number_integer(number_integer_t value) override { return Scalar(std::to_string(value)); }
  bool number_unsigned(number_unsigned_t value) override { return Scalar(std::to_string(value)); }
  bool number_float(number_float_t value, const string_t& written) override {
    if (depth_ == 2 && skip_ == 0 && field_ != 0) {
      return Scalar(JsonNumberText(importer_.cursor_.Layout().FieldDesc(field_), value, written));
    }
    return Scalar(JsonValueText(nlohmann::ordered_json(value)));
  }
  bool string(string_t& value) override { return Scalar(std::move(value)); }
  bool binary(binary_t&) override { return Scalar(std::string()); }

  bool start_object(std::size_t) override { return Open(true); }
  bool start_array(std::size_t) override { return Open(false); }
  bool key(string_t& name) override {
    if (skip_ > 0) return true;
    names_.push_back(name);
    field_ = importer_.FieldNamed(name);
    return true;
  }
  bool end_object() override { return Close(); }
  bool end_array() override { return Close(); }

  bool parse_error(std::size_t, const std::string&,
                   const nlohmann::detail::exception& error) override {
    failure_ = "the input is not JSON: " + PrintableUtf8(error.what());
    return false;
  }

 private:
  // depth_: 0 outside the array, 1 in it, 2 in one of its objects; skip_
  // counts the levels of a value that is passed over.
  bool Open(bool object) {
    if (skip_ > 0) {
      ++skip_;
      return true;
    }
    switch (depth_) {
      case 0:
        if (object) return NotAnArray();
        depth_ = 1;
        return true;
      case 1:
        place_ = {lines_.Line(), ++records_};
        names_.clear();
        values_.clear();
        problems_.clear();
        if (!object) {
          importer_.Report(place_, "not a JSON object");
          ++importer_.badRows_;
          ++importer_.rows_;
          skip_ = 1;
          return true;
        }
        depth_ = 2;
        return true;
      default:
        // A value of an object that is an object or an array itself.
        problems_.push_back("field '" + names_.back() + "': a value is a string, a number, " +
                            "a boolean or null, not " + (object ? "an object" : "an array"));
        values_.emplace_back();
        skip_ = 1;
        return true;
    }
  }

  bool Close() {
    if (skip_ > 0) {
      --skip_;
      return true;
    }
    if (depth_ == 2) {
      depth_ = 1;
      std::vector<int> fields;
      for (const std::string& name : names_) fields.push_back(importer_.FieldNamed(name));
      // Unknown and repeated names are problems of this row.
      std::vector<int> good;
      std::vector<std::string> goodValues;
      for (size_t i = 0; i < names_.size(); ++i) {
        if (fields[i] == 0) {
          problems_.push_back("the table has no field named '" + names_[i] + "'");
          continue;
        }
        if (std::find(fields.begin(), fields.begin() + long(i), fields[i]) !=
            fields.begin() + long(i)) {
          problems_.push_back("field '" + names_[i] + "' is given twice");
          continue;
        }
        good.push_back(fields[i]);
        goodValues.push_back(std::move(values_[i]));
      }
      importer_.CheckRow(place_, good, goodValues, std::move(problems_));
      problems_.clear();
      return true;
    }
    depth_ = 0;
    return true;
  }

  bool Scalar(std::string text) {
    if (skip_ > 0) return true;
    switch (depth_) {
      case 0:
        return NotAnArray();
      case 1:
        place_ = {lines_.Line(), ++records_};
        importer_.Report(place_, "not a JSON object");
        ++importer_.badRows_;
        ++importer_.rows_;
        return true;
      default:
        values_.push_back(std::move(text));
        return true;
    }
  }

  bool NotAnArray() {
    failure_ = "the input is not a JSON array of objects";
    return false;
  }

  TImporter& importer_;
  TLineCounter& lines_;
  std::string failure_;
  int depth_ = 0;
  int skip_ = 0;
  uint64_t records_ = 0;
  TImporter::TPlace place_;
  std::vector<std::string> names_;
  std::vector<std::string> values_;
  std::vector<std::string> problems_;
  int field_ = 0;
};

TImporter::TImporter(TDataCursor& cursor, std::ostream& err)
    : cursor_(cursor), err_(err), image_(cursor.RecordSize()), value_(kFieldValueBufferSize) {}

std::string TImporter::Where(const TPlace& place) const {
  if (place.Label != 0) return labels_[place.Label - 1];
  if (place.Record == 0) return "line " + std::to_string(place.Line);
  return "record " + std::to_string(place.Record) + " (line " + std::to_string(place.Line) + ")";
}

void TImporter::Report(const TPlace& place, const std::string& why) {
  if (++problems_ <= kMaxReported) err_ << Where(place) << ": " << why << "\n";
}

void TImporter::FinishReport() {
  if (problems_ > kMaxReported) {
    err_ << "... and " << problems_ - kMaxReported << " more problems\n";
  }
}

void TImporter::Progress(int64_t done, int64_t total) {
  if (total > kProgressStep && (done % kProgressStep == 0 || done == total)) {
    err_ << "ledra: " << done << " of " << total << " rows\n";
    err_.flush();
  }
}

int TImporter::FieldNamed(const std::string& name) const {
  const TRecordLayout& layout = cursor_.Layout();
  std::optional<std::string> stored = Utf8ToCp1252(name);
  for (int f = 1; stored && f <= layout.FieldCount(); ++f) {
    if (SameFieldName(layout.FieldDesc(f).FieldName, *stored)) return f;
  }
  return 0;
}

void TImporter::SetColumns(const std::vector<std::string>& names) {
  const TRecordLayout& layout = cursor_.Layout();
  columns_.clear();
  for (const std::string& name : names) {
    const int found = FieldNamed(name);
    if (found == 0) {
      throw EToolError("line 1: the table has no field named '" + std::string(name.substr(0, 60)) +
                       (name.size() > 60 ? "..." : "") + "'");
    }
    if (std::find(columns_.begin(), columns_.end(), found) != columns_.end()) {
      throw EToolError("line 1: field '" + name + "' is named twice");
    }
    columns_.push_back(found);
  }
  // A required field no row gives and the table gives no default for would
  // refuse every row.
  for (int f = 1; f <= layout.FieldCount(); ++f) {
    const TFieldDesc& desc = layout.FieldDesc(f);
    if (desc.Required == 0 || desc.IsAutoInc() || !desc.DefaultValue.empty()) continue;
    if (std::find(columns_.begin(), columns_.end(), f) == columns_.end()) {
      throw EToolError("line 1: the header has no column for the required " + FieldText(desc));
    }
  }
}

void TImporter::CheckRow(const TPlace& place, const std::vector<int>& fields,
                         const std::vector<std::string>& values,
                         std::vector<std::string> problems) {
  ++rows_;
  const TRecordLayout& layout = cursor_.Layout();
  const size_t row = places_.size();
  const size_t firstBlob = blobs_.size();
  cursor_.InitRecordBuffer(image_.data());
  std::vector<int> blobFields;
  for (size_t c = 0; c < fields.size() && c < values.size(); ++c) {
    const int fieldNo = fields[c];
    if (fieldNo == 0) continue;  // already reported
    const TFieldDesc& desc = layout.FieldDesc(fieldNo);
    const std::string& text = values[c];
    try {
      if (desc.IsAutoInc()) {
        // The table numbers the records; the value must still be one.
        if (!text.empty()) ParseFieldValue(desc, text, value_.data());
      } else if (text.empty()) {
        layout.SetFieldValue(fieldNo, image_.data(), nullptr, false, false);
      } else if (desc.IsBlob()) {
        std::vector<uint8_t> bytes = ParseBlobText(desc, text);
        if (bytes.size() > TBlobBuffer::kMaxLength) {
          throw EToolError("the value is " + std::to_string(bytes.size()) +
                               " bytes long; a blob holds at most " +
                               std::to_string(TBlobBuffer::kMaxLength),
                           kExitFindings);
        }
        layout.SetFieldValue(fieldNo, image_.data(), nullptr, false, false);
        blobFields.push_back(fieldNo);
        blobs_.push_back({row, fieldNo, std::move(bytes)});
      } else {
        ParseFieldValue(desc, text, value_.data());
        layout.SetFieldValue(fieldNo, image_.data(), value_.data(), false, false);
      }
    } catch (const EToolError& error) {
      problems.push_back(FieldText(desc) + ": " + error.what());
    }
  }
  if (problems.empty()) {
    // Required, minimum and maximum, as the post would check them; a blob
    // with a value counts as given although its bytes are not written yet.
    std::vector<uint8_t> checked(image_);
    const uint8_t given[kFieldValueBufferSize] = {1};
    for (int fieldNo : blobFields) {
      layout.SetFieldValue(fieldNo, checked.data(), given, false, false);
    }
    try {
      cursor_.ValidateRecord(checked.data());
    } catch (const ELedraEngineError& error) {
      if (!RowRefused(error.ErrorCode)) throw;
      problems.push_back(EngineErrorText(error));
    }
  }
  if (!problems.empty()) {
    blobs_.erase(blobs_.begin() + long(firstBlob), blobs_.end());
    if (badRows_++ == 0) {
      // Nothing will be written now: the rows kept so far can go.
      images_ = {};
      places_ = {};
      blobs_ = {};
    }
    for (const std::string& problem : problems) Report(place, problem);
    return;
  }
  if (badRows_ == 0) {
    images_.insert(images_.end(), image_.begin(), image_.end());
    places_.push_back(place);
  } else {
    blobs_.erase(blobs_.begin() + long(firstBlob), blobs_.end());
  }
}

void TImporter::RunCsv(std::istream& in) {
  TCsvReader reader(in);
  reader.SetFieldLimits({}, kFieldTextLimit);
  std::optional<TCsvRecord> header = reader.Next();
  if (!header) throw EToolError("the input is empty: a header row names the fields");
  if (header->BadUtf8) {
    throw EToolError("line 1, byte " + std::to_string(header->BadUtf8->Byte) +
                     ": the header is not UTF-8 there");
  }
  SetColumns(header->Fields);
  const TRecordLayout& layout = cursor_.Layout();
  std::vector<size_t> limits;
  for (int fieldNo : columns_) {
    limits.push_back(layout.FieldDesc(fieldNo).IsBlob() ? TCsvReader::kNoLimit : kFieldTextLimit);
  }
  reader.SetFieldLimits(limits, kFieldTextLimit);

  while (std::optional<TCsvRecord> record = reader.Next()) {
    const TPlace place{record->Line, 0};
    std::vector<std::string> problems;
    std::vector<int> fields = columns_;
    if (record->Fields.size() != columns_.size()) {
      problems.push_back(std::to_string(record->Fields.size()) + " values for " +
                         std::to_string(columns_.size()) + " columns");
      fields.clear();
    }
    const auto fieldName = [&](size_t index) {
      return index < columns_.size() ? FieldText(layout.FieldDesc(columns_[index]))
                                     : "value " + std::to_string(index + 1);
    };
    if (record->BadUtf8 && record->BadUtf8Field < fields.size()) {
      const TCsvSpot& spot = *record->BadUtf8;
      problems.push_back(fieldName(record->BadUtf8Field) + ": byte " + std::to_string(spot.Byte) +
                         " of line " + std::to_string(spot.Line) +
                         " is not UTF-8 (is the input in another encoding?)");
      fields[record->BadUtf8Field] = 0;
    }
    for (const auto& [index, length] : record->Cut) {
      if (index >= fields.size()) continue;
      const TFieldDesc& desc = layout.FieldDesc(columns_[index]);
      problems.push_back(fieldName(index) + ": the value is " + std::to_string(length) +
                         " bytes long, far more than " + FieldKindText(desc) + " holds");
      fields[index] = 0;
    }
    CheckRow(place, fields, record->Fields, std::move(problems));
  }
}

void TImporter::RunJson(std::istream& in) {
  TLineCounter counter(in.rdbuf());
  std::istream counted(&counter);
  TJsonRows rows(*this, counter);
  const bool parsed = nlohmann::ordered_json::sax_parse(counted, &rows);
  if (!parsed || !rows.Failure().empty()) {
    throw EToolError(rows.Failure().empty() ? "the input is not JSON" : rows.Failure());
  }
}

void TImporter::Run(std::istream& in, TTextFormat format) {
  if (format == TTextFormat::Csv) {
    RunCsv(in);
  } else {
    RunJson(in);
  }
  Write();
}

bool TImporter::AddRow(const std::string& where, const std::vector<std::string>& values) {
  const int64_t bad = badRows_;
  labels_.push_back(where);
  const TPlace place{0, 0, uint32_t(labels_.size())};
  std::vector<std::string> problems;
  std::vector<int> fields = columns_;
  if (values.size() != columns_.size()) {
    problems.push_back(std::to_string(values.size()) + " values for " +
                       std::to_string(columns_.size()) + " columns");
    fields.clear();
  }
  CheckRow(place, fields, values, std::move(problems));
  return badRows_ == bad;
}

void TImporter::Write() {
  if (badRows_ == 0) WriteRows();
  FinishReport();
}

void TImporter::WriteRows() {
  const size_t recordSize = image_.size();
  const int64_t total = int64_t(places_.size());
  TDataDirectory& directory = cursor_.Directory();
  directory.StartTransaction();
  size_t nextBlob = 0;
  int64_t added = 0;
  std::optional<TPlace> failedAt;
  try {
    for (size_t row = 0; row < places_.size(); ++row) {
      failedAt = places_[row];
      std::memcpy(image_.data(), images_.data() + row * recordSize, recordSize);
      try {
        for (; nextBlob < blobs_.size() && blobs_[nextBlob].Row == row; ++nextBlob) {
          PutBlobValue(cursor_, blobs_[nextBlob].FieldNo, image_.data(), blobs_[nextBlob].Bytes);
        }
        cursor_.PostInsert(image_.data(), false);
        ++added;
      } catch (const EToolError& error) {
        for (; nextBlob < blobs_.size() && blobs_[nextBlob].Row == row; ++nextBlob) {
        }
        cursor_.DiscardNewBlobs(image_.data());
        ++badRows_;
        Report(places_[row], error.what());
      } catch (const ELedraEngineError& error) {
        // A refused insert keeps its blob buffers open for another try;
        // this row has none.
        for (; nextBlob < blobs_.size() && blobs_[nextBlob].Row == row; ++nextBlob) {
        }
        cursor_.DiscardNewBlobs(image_.data());
        if (!RowRefused(error.ErrorCode)) throw;
        ++badRows_;
        Report(places_[row], EngineErrorText(error));
      }
      Progress(int64_t(row) + 1, total);
    }
    failedAt.reset();
    if (badRows_ == 0) {
      directory.Commit(false);
      added_ = added;
      return;
    }
  } catch (const std::exception& error) {
    std::string why = dynamic_cast<const ELedraEngineError*>(&error) != nullptr
                          ? EngineErrorText(static_cast<const ELedraEngineError&>(error))
                          : std::string(error.what());
    try {
      directory.Rollback();
    } catch (const std::exception& rollback) {
      why += "; rolling back failed too: " + std::string(rollback.what());
    }
    throw EToolError((failedAt ? Where(*failedAt) + ": the row cannot be written: "
                               : std::string("the rows cannot be written: ")) +
                     why + "; nothing was imported");
  }
  directory.Rollback();
}

}  // namespace ledra::tool
