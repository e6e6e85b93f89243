#include "tools/ledra/KeyCommands.h"

#include <optional>

#include <nlohmann/json.hpp>

#include "engine/errors/EngineError.h"
#include "engine/table/TableDescription.h"
#include "platform/Cp1252.h"
#include "tools/ledra/BlobValue.h"
#include "tools/ledra/ToolError.h"
#include "tools/ledra/ValueText.h"

namespace ledra::tool {

using platform::Cp1252ToUtf8;
using platform::Utf8ToCp1252;

TKeyCommands::TKeyCommands(TToolSession& session, std::vector<std::string> keyValues)
    : session_(session), keyValues_(std::move(keyValues)) {}

std::string TKeyCommands::KeyText() const {
  std::string text;
  for (const std::string& value : keyValues_) text += (text.empty() ? "" : ", ") + value;
  return "(" + text + ")";
}

void TKeyCommands::SetField(int fieldNo, const std::string& text, std::vector<uint8_t>& image,
                            bool checkOnly) {
  TDataCursor& cursor = session_.OpenCursor();
  const TFieldDesc& desc = cursor.Layout().FieldDesc(fieldNo);
  try {
    if (desc.IsBlob()) {
      // An edit changes a blob only through its buffer: the empty text
      // empties the value rather than nulling the reference.
      std::vector<uint8_t> bytes = ParseBlobText(desc, text);
      if (!checkOnly) PutBlobValue(cursor, fieldNo, image.data(), bytes);
      return;
    }
    if (text.empty()) {
      cursor.SetFieldValue(fieldNo, image.data(), nullptr, false, false);
      return;
    }
    std::vector<uint8_t> value(kFieldValueBufferSize);
    ParseFieldValue(desc, text, value.data());
    cursor.SetFieldValue(fieldNo, image.data(), value.data(), false, false);
  } catch (const EToolError& error) {
    throw EToolError("field '" + Cp1252ToUtf8(desc.FieldName) + "': " + error.what());
  }
}

bool TKeyCommands::Locate(bool whole) {
  TDataCursor& cursor = session_.OpenCursor();
  const TIndexDescription primary = DescribeIndex(cursor.Table(), kPrimaryIndexSlot);
  if (primary.Fields.empty()) throw EToolError("the table has no primary index");
  const size_t keyFields = primary.Fields.size();
  if (keyValues_.empty() || keyValues_.size() > keyFields) {
    throw EToolError("the primary key has " + std::to_string(keyFields) +
                     " fields; give one to that many values");
  }
  if (whole && keyValues_.size() != keyFields) {
    throw EToolError("give all " + std::to_string(keyFields) + " fields of the primary key");
  }
  cursor.SetIndexNo(0);
  // The search image holds the given key fields; FindByKey builds the key.
  std::vector<uint8_t> source(cursor.RecordSize(), 0);
  for (size_t i = 0; i < keyValues_.size(); ++i) SetField(primary.Fields[i], keyValues_[i], source);
  image_.assign(cursor.RecordSize(), 0);
  return cursor.FindByKey(false, source.data(), image_.data(), 0, false, int(keyValues_.size()));
}

bool TKeyCommands::Find(std::ostream& out, bool asJson) {
  if (!Locate(false)) return false;
  TDataCursor& cursor = session_.OpenCursor();
  const TRecordLayout& layout = cursor.Layout();
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  std::vector<uint8_t> value(kFieldValueBufferSize);
  std::vector<uint8_t> blob;
  size_t width = 0;
  for (int f = 1; f <= layout.FieldCount(); ++f) {
    width = std::max(width, Cp1252ToUtf8(layout.FieldDesc(f).FieldName).size());
  }
  for (int f = 1; f <= layout.FieldCount(); ++f) {
    const TFieldDesc& desc = layout.FieldDesc(f);
    const std::string name = Cp1252ToUtf8(desc.FieldName);
    bool isNull = false;
    layout.GetFieldValue(f, image_.data(), isNull, value.data());
    std::string text;
    if (desc.IsBlob()) {
      if (!isNull) ReadBlobValue(cursor, f, image_, blob);
      if (!isNull) text = FormatBlobValue(desc, blob);
      if (asJson)
        object[name] = isNull ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(text);
    } else if (asJson) {
      object[name] = JsonFieldValue(desc, value.data(), isNull);
    } else if (!isNull) {
      text = FormatFieldValue(desc, value.data());
    }
    if (!asJson) out << name << std::string(width + 2 - name.size(), ' ') << text << "\n";
  }
  if (asJson) out << object.dump(2) << "\n";
  session_.CloseCursor();
  return true;
}

bool TKeyCommands::Update(const std::vector<std::string>& assignments, std::ostream& out) {
  TDataCursor& cursor = session_.OpenCursor();
  // The assignments first, so that a bad one locks nothing.
  std::vector<std::pair<int, std::string>> changes;
  for (const std::string& assignment : assignments) {
    const size_t equals = assignment.find('=');
    if (equals == std::string::npos || equals == 0) {
      throw EToolError("'" + assignment + "': --set takes FIELD=VALUE");
    }
    const std::string name = assignment.substr(0, equals);
    std::optional<std::string> stored = Utf8ToCp1252(name);
    int fieldNo = 0;
    for (int f = 1; stored && f <= cursor.FieldCount(); ++f) {
      if (SameFieldName(cursor.Layout().FieldDesc(f).FieldName, *stored)) fieldNo = f;
    }
    if (fieldNo == 0) throw EToolError("the table has no field named '" + name + "'");
    if (cursor.Layout().FieldDesc(fieldNo).IsAutoInc()) {
      throw EToolError("field '" + name + "' is an AutoInc field; its value cannot change");
    }
    std::vector<uint8_t> probe(cursor.RecordSize(), 0);
    SetField(fieldNo, assignment.substr(equals + 1), probe, true);
    changes.emplace_back(fieldNo, assignment.substr(equals + 1));
  }
  if (changes.empty()) throw EToolError("nothing to change: give --set FIELD=VALUE");
  if (!Locate(true)) return false;

  // The edit: the record is read again under its record lock, changed and
  // written back; the lock is released on every path.
  if (cursor.ReadCurrent(image_.data(), true) != 0) return false;
  try {
    for (const auto& [fieldNo, text] : changes) SetField(fieldNo, text, image_);
    cursor.PostEdit(image_.data(), true, true);
  } catch (...) {
    try {
      cursor.CancelEdit();
      cursor.DiscardNewBlobs(image_.data());
    } catch (...) {
    }
    throw;
  }
  session_.CloseCursor();
  out << "Updated the record " << KeyText() << ".\n";
  return true;
}

bool TKeyCommands::Delete(std::ostream& out) {
  if (!Locate(true)) return false;
  TDataCursor& cursor = session_.OpenCursor();
  cursor.DeleteCurrent(image_.data(), true);
  session_.CloseCursor();
  out << "Deleted the record " << KeyText() << ".\n";
  return true;
}

}  // namespace ledra::tool
