// Support of the cursor's blob tests: a table with a memo in the text index
// and a binary blob, whole values set and read through a cursor, and the
// structural check of the blob file against every live record.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "engine/blob/BlobChecker.h"
#include "engine/cursor/DataCursor.h"
#include "engine/files/Bytes.h"
#include "engine/table/DataTable.h"
#include "engine/index/TextParams.h"
#include "tests/engine/cursor/CursorTestSupport.h"

namespace ledra::test {

enum : int { kBlobCode = 1, kBlobMemo = 2, kBlobData = 3, kBlobId = 4 };
// Small blocks, so that a few hundred bytes make chains of several blocks.
constexpr int32_t kTestBlobBlockSize = 64;
constexpr uint32_t kTestPayload = kTestBlobBlockSize - 18;

// Code (string 10, primary), Memo (memo, in the text index), Data (binary
// blob), Id (AutoInc).
inline TTableDefinition BlobDefinition() {
  TTableDefinition definition;
  definition.Fields = {
      MakeField(1, "Code", fldString, 10), MakeField(2, "Memo", fldBlob, 0, kSubTypeMemo),
      MakeField(3, "Data", fldBlob), MakeField(4, "Id", fldInteger, 0, kSubTypeAutoInc)};
  definition.PrimaryIndex.Fields = {kBlobCode};
  definition.TextIndexFields = {kBlobMemo};
  definition.BlobBlockSize = kTestBlobBlockSize;
  return definition;
}

// Creates the table with the text index's parameters: words of letters,
// split at blanks; "the" is a stop word.
inline void CreateBlobTable(TDataDirectory& directory, std::string_view name) {
  TOpenTableResult created = directory.CreateTable(name, false, false, BlobDefinition());
  ASSERT_NE(created.Table, nullptr);
  TTextParams params;
  params.StopWords = {"the"};
  params.SpaceChars[' ' >> 3] = uint8_t(1u << (' ' & 7));
  for (int c = 'A'; c <= 'z'; ++c) {
    if (std::isalpha(c)) params.IncludeChars[size_t(c >> 3)] |= uint8_t(1u << (c & 7));
  }
  std::vector<uint8_t> bodies;
  EncodeTextParams(params, bodies);
  TIndexFile& file = created.Table->IndexFile();
  TPage* page = file.AllocatePage(kTextSlot);
  page->PageType = kPageParam;
  std::memcpy(page->ParamBody(), bodies.data(), kPageBodySize);
  page->Dirty = true;
  file.SetTextParamPage(page->PageNo);
  file.ReleasePage(page);
  directory.CloseTable(*created.Table, false);
}

inline std::vector<uint8_t> Chars(std::string_view text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

// A value of n bytes, different for each seed.
inline std::vector<uint8_t> Pattern(size_t n, int seed) {
  std::vector<uint8_t> value(n);
  for (size_t i = 0; i < n; ++i) value[i] = uint8_t('a' + (i * 7 + size_t(seed)) % 26);
  return value;
}

inline void SetCode(TDataCursor& cursor, uint8_t* image, std::string_view code) {
  uint8_t value[11] = {};
  std::memcpy(value, code.data(), std::min<size_t>(code.size(), 10));
  cursor.SetFieldValue(kBlobCode, image, value, false, false);
}

// Replaces the field's value, as the component layer's blob stream does;
// the blob stays open until the image is posted.
inline void SetBlob(TDataCursor& cursor, uint8_t* image, int fieldNo,
                    const std::vector<uint8_t>& value) {
  uint32_t length = 0;
  ASSERT_EQ(cursor.OpenBlob(fieldNo, image, length, false, TBlobOpenMode::kWrite), 0);
  ASSERT_EQ(cursor.TruncateBlob(fieldNo, image, 0), 0);
  ASSERT_EQ(cursor.WriteBlob(fieldNo, image, 0, uint32_t(value.size()), value.data()), 0);
}

// The field's whole value (opened, read and closed again).
inline std::vector<uint8_t> GetBlob(TDataCursor& cursor, uint8_t* image, int fieldNo) {
  uint32_t length = 0;
  if (cursor.OpenBlob(fieldNo, image, length, false, TBlobOpenMode::kRead) != 0) return {};
  std::vector<uint8_t> value(length);
  uint32_t read = 0;
  EXPECT_EQ(cursor.ReadBlob(fieldNo, image, 0, length, value.data(), read), 0);
  EXPECT_EQ(cursor.CloseBlob(fieldNo, image), 0);
  return value;
}

inline std::vector<uint8_t> NewImage(TDataCursor& cursor, std::string_view code) {
  std::vector<uint8_t> image(cursor.RecordSize());
  cursor.InitRecordBuffer(image.data());
  SetCode(cursor, image.data(), code);
  return image;
}

// The blob references of every live record.
inline std::vector<TBlobReference> LiveBlobReferences(TDataTable& table) {
  std::vector<TBlobReference> references;
  std::vector<TFieldDesc> blobs;
  for (int i = 1; i <= table.DataFile().FieldCount(); ++i) {
    std::optional<TFieldDesc> field = table.DataFile().FieldDescByNo(uint16_t(i));
    if (field && field->IsBlob()) blobs.push_back(*field);
  }
  for (int32_t n = 1; n <= table.DataFile().RecordSlotCount(); ++n) {
    TRecord* record = table.RecordCache().FetchRecord(nullptr, n, kReadForward, false, true);
    const std::vector<uint8_t> image(record->Image(), record->Image() + record->ImageSize());
    table.RecordCache().ReleaseRecord(record);
    if (image[0] != 0) continue;
    for (const TFieldDesc& field : blobs) {
      const int32_t first = int32_t(GetLE32(&image[field.Offset + 1]));
      if (first != 0) references.push_back({first, int32_t(GetLE32(&image[field.Offset + 5])), -1});
    }
  }
  return references;
}

// The blob file's findings against the live records, in words.
inline std::string BlobProblems(TDataTable& table) {
  const std::vector<TBlobReference> references = LiveBlobReferences(table);
  std::ostringstream out;
  for (const TBlobFinding& finding : CheckBlobFile(table.BlobFile(), references)) {
    out << finding.Text << "\n";
  }
  return out.str();
}

}  // namespace ledra::test
