#include "engine/table/TableDescription.h"

#include <algorithm>

#include "engine/errors/EngineError.h"
#include "engine/files/DataHeader.h"
#include "engine/index/IndexFile.h"
#include "engine/index/PageCodec.h"

namespace ledra {

TIndexDefinition ToIndexDefinition(const TIndexDescription& index) {
  TIndexDefinition definition;
  if (index.Slot != kPrimarySlot) definition.Name = index.Name;
  definition.Fields = index.Fields;
  definition.Unique = index.Unique;
  definition.Descending = index.Descending;
  if (!index.Descending) definition.FieldDescending = index.FieldDescending;
  definition.CaseInsensitive = index.CaseInsensitive;
  definition.Compression = index.Compression;
  definition.NoEntryCounts = !index.EntryCounts;
  return definition;
}

TIndexDescription DescribeIndex(const TDataTable& table, int slot) {
  TIndexDescription index;
  index.Slot = slot;
  if (slot == kPrimarySlot && table.IndexFile().NoPrimaryIndex()) return index;
  const TIndexDesc desc = table.IndexFile().GetIndexDesc(slot);
  if (slot != kPrimarySlot) index.Name = desc.IndexName();
  for (size_t i = 0; i < desc.KeyFieldCount && i < size_t(kMaxKeyFields); ++i) {
    index.Fields.push_back(desc.KeyFields[i]);
    index.FieldDescending.push_back(desc.FieldDescending[i] != 0);
  }
  index.KeyLength = desc.KeyLength;
  index.Unique = desc.Unique != 0;
  index.Descending = desc.Descending != 0;
  index.CaseInsensitive = desc.CaseInsensitive != 0;
  index.Compression = desc.Compression;
  index.EntryCounts = SlotHasEntryCounts(slot, desc);
  index.RootPage = desc.RootPage;
  index.FirstFreePage = desc.FirstFreePage;
  return index;
}

std::optional<TTextParams> ReadTextParams(TDataTable& table) {
  TIndexFile& file = table.IndexFile();
  int32_t pageNo = file.TextParamPage();
  if (pageNo == 0) return std::nullopt;
  auto corrupt = [&] {
    RaiseEngineError(LEDRA_INDEXCORRUPT, {.Index = kTextIndexName, .Table = table.TableName()});
  };
  std::vector<uint8_t> bodies;
  TPage page;
  const int32_t pages = file.NextPageNo(kTextSlot);
  for (int32_t steps = 0; pageNo != 0; ++steps) {
    // A chain longer than the pages there are loops.
    if (steps >= pages || !file.IsValidPageNo(kTextSlot, pageNo)) corrupt();
    file.LoadPageCopy(kTextSlot, pageNo, page);
    if (!page.IsParam()) corrupt();
    bodies.insert(bodies.end(), page.ParamBody(), page.ParamBody() + kPageBodySize);
    pageNo = page.NextPage;
  }
  return DecodeTextParams(bodies, table.TableName());
}

TTableDescription DescribeTable(TDataTable& table, bool textParams) {
  const TDataFile& data = table.DataFile();
  const TIndexFile& index = table.IndexFile();
  TTableDescription d;
  d.TableName = table.TableName();
  d.DataFileName = data.FileName();

  d.ChangeCount = data.ChangeCount();
  d.FormatVersion = data.FormatVersion();
  d.WriterVersion = data.WriterVersion();
  d.RecordSlots = data.RecordSlotCount();
  d.NextRecordNo = data.NextRecordNo();
  d.FirstFreeRecord = data.FirstFreeRecord();
  d.LastAutoInc = data.LastAutoInc();
  d.RecordSize = data.RecordSize();
  d.FieldCount = data.FieldCount();
  d.BlobFieldCount = data.BlobFieldCount();
  d.BlobBlockSize = data.BlobBlockSize();
  d.BlobStampCounter = data.BlobStampCounter();
  d.LastUpdated = data.LastUpdated() + kLastUpdatedDelta;
  d.Description = data.TableDescription();
  d.Encrypted = data.Encrypted();
  d.LanguageId = data.LanguageId();
  d.SortId = data.SortId();
  d.Locale = data.LanguageId() == 0 ? 0 : data.Header().Lcid();
  d.UserMajorVersion = data.UserMajorVersion();
  d.UserMinorVersion = data.UserMinorVersion();

  d.IndexChangeCount = index.IdxChangeCount();
  d.NextPageNo = index.NextPageNo();
  d.SecondaryIndexCount = index.SecondaryIndexCount();
  d.NoPrimaryIndex = index.NoPrimaryIndex();
  d.LiveRecordCount = index.LiveRecordCount();

  d.Fields = data.FieldDescs();
  if (!index.NoPrimaryIndex()) d.Indexes.push_back(DescribeIndex(table, kPrimarySlot));
  const int secondary = std::min<int>(index.SecondaryIndexCount(), kMaxSecondary);
  for (int slot = 1; slot <= secondary; ++slot) d.Indexes.push_back(DescribeIndex(table, slot));
  d.Indexes.push_back(DescribeIndex(table, kDeletedSlot));
  TIndexDescription text = DescribeIndex(table, kTextSlot);
  if (!text.Fields.empty()) {
    d.Indexes.push_back(std::move(text));
    if (textParams) d.TextParams = ReadTextParams(table);
  }
  return d;
}

bool SameFieldName(std::string_view a, std::string_view b) {
  return FieldNameKey(a) == FieldNameKey(b);
}

int FindFieldByName(const std::vector<TFieldDesc>& fields, std::string_view name) {
  const std::string key = FieldNameKey(name);
  for (size_t i = 0; i < fields.size(); ++i) {
    if (FieldNameKey(fields[i].FieldName) == key) return int(i + 1);
  }
  return 0;
}

}  // namespace ledra
