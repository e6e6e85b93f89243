#include "tools/ledra/TableInfo.h"

#include <cstdio>
#include <string>
#include <vector>

#include "platform/Cp1252.h"
#include "tools/ledra/ValueText.h"

namespace ledra::tool {

using platform::Cp1252ToUtf8;
using platform::Utf8ToCp1252;

namespace {

using json = nlohmann::ordered_json;

constexpr const char* kCompressionNames[] = {"none", "dup", "trail", "full"};
constexpr const char* kCharCaseNames[] = {"unchanged", "lower", "upper"};

std::string Text(const std::string& stored) {
  return Cp1252ToUtf8(stored);
}

json FieldInfo(const TFieldDesc& desc) {
  json field = {
      {"number", desc.FieldNo},
      {"name", Text(desc.FieldName)},
      {"type", FieldTypeName(desc)},
      {"typeCode", desc.FieldType},
      {"subType", desc.SubType},
      {"size", desc.Size},
      {"scale", desc.Scale},
      {"dataSize", desc.DataSize},
      {"offset", desc.Offset},
      {"required", desc.Required != 0},
      {"charCase", desc.CharCase < 3 ? kCharCaseNames[desc.CharCase] : "unknown"},
      {"minimum", Text(desc.MinValue)},
      {"maximum", Text(desc.MaxValue)},
      {"default", Text(desc.DefaultValue)},
      {"description", Text(desc.Description)},
  };
  return field;
}

std::string FieldNameOf(const std::vector<TFieldDesc>& fields, uint16_t number) {
  for (const TFieldDesc& field : fields) {
    if (field.FieldNo == number) return Text(field.FieldName);
  }
  return "#" + std::to_string(number);
}

json IndexInfo(const TIndexDescription& index, const std::vector<TFieldDesc>& fields) {
  json keyFields = json::array();
  for (size_t i = 0; i < index.Fields.size(); ++i) {
    keyFields.push_back({{"name", FieldNameOf(fields, index.Fields[i])},
                         {"number", index.Fields[i]},
                         {"descending", bool(index.FieldDescending[i])}});
  }
  std::string name = index.Slot == kPrimaryIndexSlot ? "(primary)" : Text(index.Name);
  return {
      {"slot", index.Slot},
      {"name", name},
      {"fields", keyFields},
      {"keyLength", index.KeyLength},
      {"unique", index.Unique},
      {"descending", index.Descending},
      {"caseInsensitive", index.CaseInsensitive},
      {"compression", index.Compression < 4 ? kCompressionNames[index.Compression] : "unknown"},
      {"entryCounts", index.EntryCounts},
      {"rootPage", index.RootPage},
      {"firstFreePage", index.FirstFreePage},
  };
}

std::string Pad(std::string text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

std::string Right(const std::string& text, size_t width) {
  return text.size() < width ? std::string(width - text.size(), ' ') + text : text;
}

std::string YesNo(const json& value) {
  return value.get<bool>() ? "yes" : "no";
}

}  // namespace

json TableInfoJson(const TTableDescription& t) {
  json header = {
      {"changeCount", t.ChangeCount},
      {"formatVersion", t.FormatVersion},
      {"writerVersion", t.WriterVersion},
      {"recordSlots", t.RecordSlots},
      {"nextRecordNo", t.NextRecordNo},
      {"firstFreeRecord", t.FirstFreeRecord},
      {"lastAutoInc", t.LastAutoInc},
      {"recordSize", t.RecordSize},
      {"fieldCount", t.FieldCount},
      {"blobFieldCount", t.BlobFieldCount},
      {"blobBlockSize", t.BlobBlockSize},
      {"blobStampCounter", t.BlobStampCounter},
      {"lastUpdated", DateTimeText(t.LastUpdated)},
      {"description", Text(t.Description)},
      {"encrypted", t.Encrypted},
      {"languageId", t.LanguageId},
      {"sortId", t.SortId},
      {"locale", t.LanguageId == 0 ? std::string("none") : std::to_string(t.Locale)},
      {"userMajorVersion", t.UserMajorVersion},
      {"userMinorVersion", t.UserMinorVersion},
  };
  json indexHeader = {
      {"changeCount", t.IndexChangeCount},
      {"nextPageNo", t.NextPageNo},
      {"secondaryIndexCount", t.SecondaryIndexCount},
      {"noPrimaryIndex", t.NoPrimaryIndex},
      {"liveRecordCount", t.LiveRecordCount},
  };

  json fieldList = json::array();
  for (const TFieldDesc& desc : t.Fields) fieldList.push_back(FieldInfo(desc));

  json indexes = json::array();
  for (const TIndexDescription& index : t.Indexes) indexes.push_back(IndexInfo(index, t.Fields));

  return {
      {"table", t.TableName},
      {"dataFile", t.DataFileName},
      {"header", header},
      {"indexHeader", indexHeader},
      {"fields", fieldList},
      {"indexes", indexes},
      {"liveRecords", t.LiveRecordCount},
  };
}

void PrintTableInfo(const json& info, std::ostream& out) {
  const json& h = info["header"];
  const json& x = info["indexHeader"];
  auto line = [&](const std::string& label, const std::string& value) {
    out << Pad(label, 18) << value << "\n";
  };
  line("Table",
       info["table"].get<std::string>() + " (" + info["dataFile"].get<std::string>() + ")");
  line("Description", h["description"].get<std::string>());
  line("Live records", std::to_string(info["liveRecords"].get<int>()));
  line("Record slots", std::to_string(h["recordSlots"].get<int>()) + " (next record " +
                           std::to_string(h["nextRecordNo"].get<int>()) + ", first free " +
                           std::to_string(h["firstFreeRecord"].get<int>()) + ")");
  line("Record size", std::to_string(h["recordSize"].get<int>()) + " bytes, " +
                          std::to_string(h["fieldCount"].get<int>()) + " fields");
  line("Last AutoInc", std::to_string(h["lastAutoInc"].get<int>()));
  line("Blobs", std::to_string(h["blobFieldCount"].get<int>()) + " fields, block size " +
                    std::to_string(h["blobBlockSize"].get<int>()) + ", last stamp " +
                    std::to_string(h["blobStampCounter"].get<int>()));
  line("Encrypted", YesNo(h["encrypted"]));
  line("Locale", h["locale"].get<std::string>());
  line("Versions", "format " + std::to_string(h["formatVersion"].get<int>()) + ", writer " +
                       std::to_string(h["writerVersion"].get<int64_t>()) + ", user " +
                       std::to_string(h["userMajorVersion"].get<int>()) + "." +
                       std::to_string(h["userMinorVersion"].get<int>()));
  line("Change counters", "data " + std::to_string(h["changeCount"].get<int>()) + ", index " +
                              std::to_string(x["changeCount"].get<uint32_t>()));
  line("Index pages", std::to_string(x["nextPageNo"].get<int>() - 1));
  line("Last updated", h["lastUpdated"].get<std::string>());

  out << "\nFields\n";
  out << "  " << Right("No", 4) << "  " << Pad("Name", 31) << Pad("Type", 10) << Right("Size", 5)
      << Right("Scale", 6) << Right("Offset", 7) << Right("Bytes", 6) << "  Checks\n";
  for (const json& f : info["fields"]) {
    std::string checks;
    auto add = [&](const std::string& text) { checks += (checks.empty() ? "" : ", ") + text; };
    if (f["required"].get<bool>()) add("required");
    if (f["charCase"] != "unchanged") add(f["charCase"].get<std::string>());
    if (!f["default"].get<std::string>().empty()) add("default=" + f["default"].get<std::string>());
    if (!f["minimum"].get<std::string>().empty()) add("min=" + f["minimum"].get<std::string>());
    if (!f["maximum"].get<std::string>().empty()) add("max=" + f["maximum"].get<std::string>());
    out << "  " << Right(std::to_string(f["number"].get<int>()), 4) << "  "
        << Pad(f["name"].get<std::string>(), 31) << Pad(f["type"].get<std::string>(), 10)
        << Right(std::to_string(f["size"].get<int>()), 5)
        << Right(std::to_string(f["scale"].get<int>()), 6)
        << Right(std::to_string(f["offset"].get<int>()), 7)
        << Right(std::to_string(f["dataSize"].get<int>()), 6) << "  " << checks << "\n";
  }

  out << "\nIndexes\n";
  out << "  " << Right("Slot", 4) << "  " << Pad("Name", 31) << Right("Key", 4) << "  "
      << Pad("Fields", 32) << "Options\n";
  for (const json& i : info["indexes"]) {
    std::string fields;
    for (const json& f : i["fields"]) {
      fields += (fields.empty() ? "" : ",") + f["name"].get<std::string>();
      if (f["descending"].get<bool>() && !i["descending"].get<bool>()) fields += " desc";
    }
    std::string options;
    auto add = [&](const std::string& text) { options += (options.empty() ? "" : " ") + text; };
    if (i["unique"].get<bool>()) add("unique");
    if (i["descending"].get<bool>()) add("desc");
    if (i["caseInsensitive"].get<bool>()) add("nocase");
    if (i["compression"] != "none") add("compress=" + i["compression"].get<std::string>());
    if (!i["entryCounts"].get<bool>()) add("nocounts");
    out << "  " << Right(std::to_string(i["slot"].get<int>()), 4) << "  "
        << Pad(i["name"].get<std::string>(), 31)
        << Right(std::to_string(i["keyLength"].get<int>()), 4) << "  " << Pad(fields, 32) << options
        << "\n";
  }
}

}  // namespace ledra::tool
