#include "tools/ledra/Importer.h"

#include <exception>
#include <optional>

#include <nlohmann/json.hpp>

#include "engine/errors/EngineError.h"
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

// Refusals of one row; any other engine error ends the import.
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

}  // namespace

TImporter::TImporter(TDataCursor& cursor, std::ostream& err)
    : cursor_(cursor), err_(err), image_(cursor.RecordSize()), value_(kFieldValueBufferSize) {}

void TImporter::SetColumns(const std::vector<std::string>& names) {
  const TRecordLayout& layout = cursor_.Layout();
  columns_.clear();
  for (const std::string& name : names) {
    std::optional<std::string> stored = Utf8ToCp1252(name);
    int found = 0;
    for (int f = 1; stored && f <= layout.FieldCount(); ++f) {
      if (SameFieldName(layout.FieldDesc(f).FieldName, *stored)) found = f;
    }
    if (found == 0) throw EToolError("the table has no field named '" + name + "'");
    for (int taken : columns_) {
      if (taken == found) throw EToolError("field '" + name + "' is named twice");
    }
    columns_.push_back(found);
  }
}

void TImporter::Skip(const std::string& where, const std::string& why) {
  ++skipped_;
  err_ << where << ": " << why << " (skipped)\n";
}

bool TImporter::AddRow(const std::string& where, const std::vector<std::string>& values) {
  if (values.size() != columns_.size()) {
    Skip(where, std::to_string(values.size()) + " values for " + std::to_string(columns_.size()) +
                    " columns");
    return false;
  }
  const TRecordLayout& layout = cursor_.Layout();
  cursor_.InitRecordBuffer(image_.data());
  for (size_t c = 0; c < columns_.size(); ++c) {
    const int fieldNo = columns_[c];
    const TFieldDesc& desc = layout.FieldDesc(fieldNo);
    if (desc.IsAutoInc()) continue;
    const std::string& text = values[c];
    try {
      if (text.empty()) {
        layout.SetFieldValue(fieldNo, image_.data(), nullptr, false, false);
      } else if (desc.IsBlob()) {
        PutBlobValue(cursor_, fieldNo, image_.data(), ParseBlobText(desc, text));
      } else {
        ParseFieldValue(desc, text, value_.data());
        layout.SetFieldValue(fieldNo, image_.data(), value_.data(), false, false);
      }
    } catch (const EToolError& error) {
      cursor_.DiscardNewBlobs(image_.data());
      Skip(where, "field '" + Cp1252ToUtf8(desc.FieldName) + "': " + error.what());
      return false;
    }
  }
  try {
    cursor_.PostInsert(image_.data(), false);
  } catch (const ELedraEngineError& error) {
    // A refused insert keeps its blob buffers open for another try; this
    // row has none.
    cursor_.DiscardNewBlobs(image_.data());
    if (!RowRefused(error.ErrorCode)) throw;
    Skip(where, error.what());
    return false;
  }
  ++added_;
  return true;
}

void TImporter::Progress(int64_t done, int64_t total) {
  if (total > kProgressStep && (done % kProgressStep == 0 || done == total)) {
    err_ << "ledra: " << done << " of " << total << " rows\n";
    err_.flush();
  }
}

void TImporter::Run(std::istream& in, TTextFormat format) {
  if (format == TTextFormat::Csv) {
    // Every record first: bad quoting anywhere stops the import before it
    // writes anything.
    TCsvReader reader(in);
    std::optional<TCsvRecord> header = reader.Next();
    if (!header) throw EToolError("the input is empty: a header row names the fields");
    SetColumns(header->Fields);
    std::vector<TCsvRecord> rows;
    while (std::optional<TCsvRecord> row = reader.Next()) rows.push_back(std::move(*row));
    const int64_t total = int64_t(rows.size());
    for (int64_t i = 0; i < total; ++i) {
      AddRow("line " + std::to_string(rows[size_t(i)].Line), rows[size_t(i)].Fields);
      Progress(i + 1, total);
    }
    return;
  }

  nlohmann::ordered_json input;
  try {
    input = nlohmann::ordered_json::parse(in);
  } catch (const nlohmann::json::exception& error) {
    throw EToolError(std::string("the input is not JSON: ") + error.what());
  }
  if (!input.is_array()) throw EToolError("the input is not a JSON array of objects");
  const int64_t total = int64_t(input.size());
  for (int64_t i = 0; i < total; ++i) {
    const std::string where = "record " + std::to_string(i + 1);
    const nlohmann::ordered_json& object = input[size_t(i)];
    if (!object.is_object()) {
      Skip(where, "not a JSON object");
      continue;
    }
    std::vector<std::string> names;
    std::vector<std::string> values;
    bool usable = true;
    for (const auto& [name, value] : object.items()) {
      names.push_back(name);
      try {
        values.push_back(JsonValueText(value));
      } catch (const EToolError& error) {
        Skip(where, "field '" + name + "': " + error.what());
        usable = false;
        break;
      }
    }
    if (usable) {
      try {
        SetColumns(names);
      } catch (const EToolError& error) {
        Skip(where, error.what());
        usable = false;
      }
    }
    if (usable) AddRow(where, values);
    Progress(i + 1, total);
  }
}

}  // namespace ledra::tool
