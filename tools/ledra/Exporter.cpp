#include "tools/ledra/Exporter.h"

#include <vector>

#include <nlohmann/json.hpp>

#include "platform/Cp1252.h"
#include "tools/ledra/Csv.h"
#include "tools/ledra/ValueText.h"

namespace ledra::tool {

using platform::Cp1252ToUtf8;
using platform::Utf8ToCp1252;

TExporter::TExporter(TToolSession& session, TExportOptions options)
    : session_(session), options_(std::move(options)) {}

int64_t TExporter::Run(std::ostream& out) {
  TDataCursor& cursor = session_.OpenCursor();
  if (options_.Natural) {
    cursor.SetIndexNo(TDataCursor::kNaturalOrder);
  } else if (!options_.IndexName.empty()) {
    std::optional<std::string> name = Utf8ToCp1252(options_.IndexName);
    cursor.SetIndexName(name ? *name : options_.IndexName);
  }
  const TRecordLayout& layout = cursor.Layout();
  const int fieldCount = layout.FieldCount();
  std::vector<std::string> names;
  for (int f = 1; f <= fieldCount; ++f)
    names.push_back(Cp1252ToUtf8(layout.FieldDesc(f).FieldName));

  if (options_.Format == TTextFormat::Csv) {
    out << CsvLine(names);
  } else {
    out << "[";
  }
  std::vector<uint8_t> image(layout.RecordSize());
  std::vector<uint8_t> blob;
  std::vector<uint8_t> value(kFieldValueBufferSize);
  std::vector<std::string> texts(static_cast<size_t>(fieldCount));
  int64_t written = 0;
  cursor.MoveToStart();
  while (cursor.ReadNext(image.data()) == 0) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    for (int f = 1; f <= fieldCount; ++f) {
      const TFieldDesc& desc = layout.FieldDesc(f);
      bool isNull = false;
      layout.GetFieldValue(f, image.data(), isNull, value.data());
      std::string& text = texts[size_t(f - 1)];
      if (desc.IsBlob()) {
        if (!isNull) ReadBlobValue(cursor, f, image, blob);
        text = isNull ? std::string() : FormatBlobValue(desc, blob);
        if (options_.Format == TTextFormat::Json) {
          object[names[size_t(f - 1)]] =
              isNull ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(text);
        }
        continue;
      }
      if (options_.Format == TTextFormat::Json) {
        object[names[size_t(f - 1)]] = JsonFieldValue(desc, value.data(), isNull);
      } else {
        text = isNull ? std::string() : FormatFieldValue(desc, value.data());
      }
    }
    if (options_.Format == TTextFormat::Csv) {
      out << CsvLine(texts);
    } else {
      out << (written == 0 ? "\n" : ",\n") << object.dump();
    }
    ++written;
  }
  if (options_.Format == TTextFormat::Json) out << (written == 0 ? "]\n" : "\n]\n");
  out.flush();
  session_.CloseCursor();
  return written;
}

}  // namespace ledra::tool
