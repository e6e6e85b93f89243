#include "engine/table/TableVerifier.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <set>
#include <utility>

#include "engine/blob/BlobChain.h"
#include "engine/blob/BlobChecker.h"
#include "engine/files/Bytes.h"
#include "engine/files/DataFile.h"
#include "engine/files/DataHeader.h"
#include "engine/files/LocaleServices.h"
#include "engine/files/TableFileNames.h"
#include "engine/index/CharMaps.h"
#include "engine/index/IndexChecker.h"
#include "engine/index/Keys.h"
#include "engine/index/PageCodec.h"
#include "engine/index/TextIndexWords.h"
#include "engine/index/TextParams.h"
#include "engine/table/DataDirectory.h"
#include "engine/table/TableDescription.h"
#include "platform/Cp1252.h"
#include "platform/File.h"

namespace ledra {

using platform::Cp1252ToUtf8;
using platform::Utf8ToCp1252;

namespace {

// A slot's key comparison for the index checker.
class TKeysComparator final : public TKeyComparator {
 public:
  explicit TKeysComparator(const TIndexKeys& keys) : keys_(keys) {}
  int CompareKeys(const uint8_t* a, const uint8_t* b, size_t n) const override {
    return keys_.CompareKeys(a, b, n);
  }

 private:
  const TIndexKeys& keys_;
};

std::string Quoted(std::string_view stored) {
  return "'" + Cp1252ToUtf8(stored) + "'";
}

std::string Rec(int32_t recordNo) {
  return "record " + std::to_string(recordNo);
}

// The word of a text-index key: its bytes up to the first zero.
std::string KeyWord(const uint8_t* key) {
  size_t length = 0;
  while (length < kTextWordLength && key[kTextWordOffset + length] != 0) ++length;
  return std::string(reinterpret_cast<const char*>(key + kTextWordOffset), length);
}

const char* BlobFaultName(TBlobFault fault) {
  switch (fault) {
    case TBlobFault::ReadFailed:
      return "unreadable";
    case TBlobFault::ReferenceOutOfRange:
    case TBlobFault::LinkOutOfRange:
      return "outside the file";
    case TBlobFault::BlockShared:
      return "shared block";
    case TBlobFault::ChainCycle:
      return "chain loop";
    case TBlobFault::StampMismatch:
      return "stamp";
    case TBlobFault::PrevMismatch:
      return "previous link";
    case TBlobFault::LengthMismatch:
    case TBlobFault::MiddleTotalLength:
    case TBlobFault::UsedCountBad:
    case TBlobFault::ChainLength:
      return "length";
    case TBlobFault::FreeListOutOfRange:
    case TBlobFault::FreeListCycle:
    case TBlobFault::FreeBlockInChain:
      return "free list";
    case TBlobFault::LostBlock:
      return "lost block";
    case TBlobFault::TooManyFindings:
      return "more";
  }
  return "other";
}

}  // namespace

std::vector<TVerifyFinding> MissingTableFiles(const TDataDirectory& directory,
                                              std::string_view tableName) {
  auto fileName = [&](std::string_view extension) {
    return platform::ResolveFileName(TableFileName(directory.Path(), tableName, extension));
  };
  std::vector<TVerifyFinding> missing;
  const std::string dataFile = fileName(kDataFileExt);
  if (!platform::RegularFileExists(dataFile)) return missing;
  const std::string indexFile = fileName(kIndexFileExt);
  if (!platform::RegularFileExists(indexFile)) {
    missing.push_back({"index", -1, 0, 0, "the index file " + indexFile + " is missing"});
  }
  try {
    const auto header = TDataFile::ReadRawHeader(dataFile, false);
    if (DecodeDataHeader(header.data()).BlobFieldCount != 0) {
      const std::string blobFile = fileName(kBlobFileExt);
      if (!platform::RegularFileExists(blobFile)) {
        missing.push_back({"blob", -1, 0, 0, "the blob file " + blobFile + " is missing"});
      }
    }
  } catch (const ELedraEngineError&) {
    // An unreadable header: opening the table reports it.
  }
  return missing;
}

TTableVerifier::TTableVerifier(TDataTable& table) : table_(table) {}

void TTableVerifier::Add(const std::string& area, int slot, int32_t page, int32_t record,
                         const std::string& kind, const std::string& text) {
  if (++kindCounts_[kind] > kMaxFindingsPerKind) return;
  findings_.push_back(TVerifyFinding{area, slot, page, record, text});
}

void TTableVerifier::Summarise() {
  for (const auto& [kind, count] : kindCounts_) {
    if (count <= kMaxFindingsPerKind) continue;
    findings_.push_back(TVerifyFinding{
        "summary", -1, 0, 0,
        std::to_string(count - kMaxFindingsPerKind) + " more findings of the kind '" + kind + "'"});
  }
}

std::string TTableVerifier::IndexLabel(int slot) const {
  switch (slot) {
    case kPrimarySlot:
      return "primary index";
    case kDeletedSlot:
      return "deleted-records index";
    case kTextSlot:
      return "text index";
    default:
      return "index " + Quoted(table_.IndexFile().GetIndexDesc(slot).IndexName());
  }
}

std::vector<TVerifyFinding> TTableVerifier::Run() {
  findings_.clear();
  kindCounts_.clear();
  name_ = table_.TableName();
  slots_ = table_.DataFile().RecordSlotCount();
  recordSize_ = table_.DataFile().RecordSize();
  CheckDataFile();
  CheckIndexes();
  CheckBlobs();
  Summarise();
  return findings_;
}

// ---- Data file ------------------------------------------------------------------

bool TTableVerifier::LoadImages() {
  if (slots_ < 0 || recordSize_ < kSlotPrefixSize) return false;
  if (int64_t(slots_) * int64_t(recordSize_) > kMaxImageBytes) {
    Add("data", -1, 0, 0, "size",
        "the table is too large to check its records here (" + std::to_string(slots_) + " slots)");
    return false;
  }
  images_.assign(size_t(slots_) * recordSize_, 0);
  constexpr int32_t kChunk = 4096;
  try {
    for (int32_t first = 1; first <= slots_; first += kChunk) {
      int32_t count = std::min(kChunk, slots_ - first + 1);
      table_.DataFile().ReadSlots(first, count, images_.data() + size_t(first - 1) * recordSize_);
    }
  } catch (const std::exception& error) {
    Add("data", -1, 0, 0, "read", std::string("the record slots cannot be read: ") + error.what());
    images_.clear();
    return false;
  }
  return true;
}

void TTableVerifier::CheckDataFile() {
  TDataFile& data = table_.DataFile();
  try {
    std::vector<TFieldDesc> descs = data.FieldDescs();
    VerifyDataLayout(data.Header(), descs, {}, data.FileSize(), LocaleInstalled, {}, name_);
  } catch (const std::exception& error) {
    Add("data", -1, 0, 0, "header", std::string("the header breaks a rule: ") + error.what());
    return;
  }
  imagesLoaded_ = LoadImages();
  if (!imagesLoaded_) return;

  liveCount_ = 0;
  std::vector<std::pair<int32_t, int32_t>> rowIds;  // row id, record
  for (int32_t r = 1; r <= slots_; ++r) {
    const uint8_t flag = Image(r)[0];
    if (flag == 0) {
      ++liveCount_;
      rowIds.emplace_back(GetLEInt32(Image(r) + kAutoIncOffset), r);
    } else if (flag != 1) {
      Add("data", -1, 0, r, "flag",
          Rec(r) + ": deleted flag " + std::to_string(flag) + " is neither 0 nor 1");
    }
  }

  // The free chain: inside the file, free slots only, no loop.
  std::vector<uint8_t> onChain(size_t(slots_) + 1, 0);
  int32_t n = data.FirstFreeRecord();
  bool chainWhole = true;
  while (n != 0) {
    if (n < 1 || n > slots_) {
      Add("data", -1, 0, n, "free chain",
          "the free chain leaves the file: it names record " + std::to_string(n));
      chainWhole = false;
      break;
    }
    if (onChain[size_t(n)] != 0) {
      Add("data", -1, 0, n, "free chain", "the free chain loops back to " + Rec(n));
      chainWhole = false;
      break;
    }
    onChain[size_t(n)] = 1;
    if (Image(n)[0] != 1) {
      Add("data", -1, 0, n, "free chain", "the free chain names " + Rec(n) + ", which is live");
      chainWhole = false;
      break;
    }
    n = GetLEInt32(Image(n) + 1);
  }
  // A table with a primary index reuses its free slots, so each must be on
  // the chain; one without keeps appending and drops its chain.
  if (chainWhole && !table_.IndexFile().NoPrimaryIndex()) {
    for (int32_t r = 1; r <= slots_; ++r) {
      if (Image(r)[0] == 1 && onChain[size_t(r)] == 0) {
        Add("data", -1, 0, r, "lost slot", Rec(r) + " is free but not on the free chain");
      }
    }
  }

  // The next insert takes the row id after LastAutoInc: one that a slot
  // already carries (a free slot keeps its record's) would give two
  // entries one key.
  int32_t highest = 0;
  int32_t highestAt = 0;
  for (int32_t r = 1; r <= slots_; ++r) {
    const int32_t rowId = GetLEInt32(Image(r) + kAutoIncOffset);
    if (Image(r)[0] <= 1 && rowId > highest) {
      highest = rowId;
      highestAt = r;
    }
  }
  if (highest > data.LastAutoInc()) {
    Add("data", -1, 0, highestAt, "last row id",
        "LastAutoInc is " + std::to_string(data.LastAutoInc()) + ", but " + Rec(highestAt) +
            " carries row id " + std::to_string(highest));
  }

  std::sort(rowIds.begin(), rowIds.end());
  for (size_t i = 1; i < rowIds.size(); ++i) {
    if (rowIds[i].first == rowIds[i - 1].first) {
      Add("data", -1, 0, rowIds[i].second, "row id",
          Rec(rowIds[i - 1].second) + " and " + Rec(rowIds[i].second) + " share row id " +
              std::to_string(rowIds[i].first));
    }
  }

  const int32_t counted = table_.IndexFile().LiveRecordCount();
  if (counted != liveCount_) {
    Add("index", -1, 0, 0, "live count",
        "the index header counts " + std::to_string(counted) +
            " live records, the data file holds " + std::to_string(liveCount_));
  }
}

// ---- Indexes ----------------------------------------------------------------------

void TTableVerifier::CheckIndexes() {
  TIndexFile& index = table_.IndexFile();
  const TDataFile& data = table_.DataFile();
  TIndexChecker checker(index);
  const std::vector<int> slots = checker.SlotsInUse();

  std::optional<TCharMap> charMap;
  try {
    charMap = GetCharMap(data.LanguageId(), data.SortId());
  } catch (const std::exception& error) {
    Add("index", -1, 0, 0, "locale",
        std::string("the table's collation cannot be used: ") + error.what());
  }
  std::vector<std::unique_ptr<TIndexKeys>> keys(kIndexSlotCount);
  std::vector<std::unique_ptr<TKeysComparator>> comparators(kIndexSlotCount);
  if (charMap) {
    for (int slot : slots) {
      try {
        keys[size_t(slot)] = std::make_unique<TIndexKeys>(
            slot, index.GetIndexDesc(slot), std::span<const TFieldDesc>(data.FieldDescs()),
            data.RecordSize(), data.LanguageId(), data.SortId(), *charMap, name_);
        comparators[size_t(slot)] = std::make_unique<TKeysComparator>(*keys[size_t(slot)]);
        checker.SetComparator(slot, comparators[size_t(slot)].get());
      } catch (const std::exception& error) {
        Add("index", slot, 0, 0, "keys",
            IndexLabel(slot) + ": its keys cannot be built: " + error.what());
      }
    }
  }

  for (const TIndexFinding& finding : checker.CheckFile()) {
    std::string label = finding.Slot >= 0 ? IndexLabel(finding.Slot) + ": " : std::string();
    std::string text = label + finding.Text;
    if (finding.Kind == TIndexFinding::kUnowned) text += " (a lost page)";
    Add("index", finding.Slot, finding.Page, 0,
        finding.Kind == TIndexFinding::kUnowned ? "lost page" : "index structure", text);
  }

  for (int slot : slots) {
    if (!keys[size_t(slot)]) continue;
    ++indexesChecked_;
    if (imagesLoaded_) CheckEntries(slot);
  }
}

void TTableVerifier::CheckEntries(int slot) {
  TIndexFile& index = table_.IndexFile();
  const TDataFile& data = table_.DataFile();
  const TIndexDesc desc = index.GetIndexDesc(slot);
  TIndexKeys keys(slot, desc, std::span<const TFieldDesc>(data.FieldDescs()), data.RecordSize(),
                  data.LanguageId(), data.SortId(), GetCharMap(data.LanguageId(), data.SortId()),
                  name_);
  const size_t k = keys.KeyLength();
  const std::string label = IndexLabel(slot);
  std::vector<uint32_t> seen(size_t(slots_) + 1, 0);
  std::vector<std::pair<int32_t, std::string>> textEntries;
  std::vector<uint8_t> built(kMaxStoredKeyLength + 4, 0);

  auto entry = [&](int32_t page, const uint8_t* key, int32_t r) {
    const std::string where = label + ", page " + std::to_string(page) + ": ";
    if (r < 1 || r > slots_) {
      Add("index", slot, page, r, "entry outside",
          where + "an entry names record " + std::to_string(r) + ", outside the table");
      return;
    }
    ++seen[size_t(r)];
    const uint8_t* image = Image(r);
    if (slot == kDeletedSlot) {
      TIndexKeys::BuildDeletedKey(image, built.data());
      if (std::memcmp(built.data(), key, k) != 0) {
        Add("index", slot, page, r, "deleted key",
            where + "the entry of " + Rec(r) +
                " does not hold the record's deleted flag and row id");
      }
      return;
    }
    if (!Live(r)) {
      Add("index", slot, page, r, "free entry", where + "an entry names free " + Rec(r));
      return;
    }
    if (slot == kTextSlot) {
      textEntries.emplace_back(r, std::string(reinterpret_cast<const char*>(key), k));
      return;
    }
    keys.BuildKey(image, built.data());
    if (std::memcmp(built.data(), key, k) != 0) {
      Add("index", slot, page, r, "key differs",
          where + "the key of " + Rec(r) + " differs from the key built from the record");
    }
  };

  // Level by level from the root through the inner entries, so that a
  // broken sibling link (which the checker reports) does not hide leaves.
  const int32_t root = index.RootPage(slot);
  if (root != 0 && index.IsValidPageNo(slot, root)) {
    std::vector<uint8_t> visited(size_t(std::max<int32_t>(index.NextPageNo(slot), 1)) + 1, 0);
    std::vector<int32_t> level{root};
    std::vector<int32_t> next;
    TPage page;
    for (int depth = 1; depth <= kMaxTreeDepth && !level.empty(); ++depth) {
      next.clear();
      for (int32_t p : level) {
        if (p <= 0 || size_t(p) >= visited.size() || visited[size_t(p)] != 0) continue;
        visited[size_t(p)] = 1;
        try {
          index.LoadPageCopy(slot, p, page);
        } catch (const std::exception&) {
          continue;  // the checker has reported it
        }
        if (page.IsInner()) {
          for (size_t i = 0; i < page.EntryCount(); ++i) {
            int32_t child = page.Entry(i).Pointer;
            if (index.IsValidPageNo(slot, child) && child != 0) next.push_back(child);
          }
        } else if (page.IsLeaf()) {
          for (size_t i = 0; i < page.EntryCount(); ++i)
            entry(p, page.Key(i), page.Entry(i).Pointer);
        }
      }
      level.swap(next);
    }
  }

  if (slot == kTextSlot) {
    CheckTextWords(textEntries);
    return;
  }
  for (int32_t r = 1; r <= slots_; ++r) {
    if (slot != kDeletedSlot && !Live(r)) continue;
    if (seen[size_t(r)] == 0) {
      Add("index", slot, 0, r, "missing entry", label + ": " + Rec(r) + " is missing");
    } else if (seen[size_t(r)] > 1) {
      Add("index", slot, 0, r, "repeated entry",
          label + ": " + Rec(r) + " is in it " + std::to_string(seen[size_t(r)]) + " times");
    }
  }
}

void TTableVerifier::CheckTextWords(const std::vector<std::pair<int32_t, std::string>>& entries) {
  TIndexFile& index = table_.IndexFile();
  const TDataFile& data = table_.DataFile();
  const TIndexDesc desc = index.GetIndexDesc(kTextSlot);
  const std::string label = IndexLabel(kTextSlot);
  std::vector<uint16_t> fields;
  for (size_t i = 0; i < desc.KeyFieldCount && i < size_t(kMaxKeyFields); ++i) {
    fields.push_back(desc.KeyFields[i]);
  }

  // The entries themselves: a text key of a field of the index and of the
  // record's row id.
  std::set<std::pair<int32_t, std::string>> present;
  for (const auto& [r, key] : entries) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(key.data());
    const uint16_t fieldNo = GetBE16(bytes + kTextFieldNoOffset);
    if (bytes[0] != 1 || std::find(fields.begin(), fields.end(), fieldNo) == fields.end()) {
      Add("index", kTextSlot, 0, r, "text key",
          label + ": an entry of " + Rec(r) + " names field " + std::to_string(fieldNo) +
              ", not a field of the text index");
    } else if (GetKeyRowId(bytes + kTextRowIdOffset) != GetLEInt32(Image(r) + kAutoIncOffset)) {
      Add("index", kTextSlot, 0, r, "text key",
          label + ": the entry of word " + Quoted(KeyWord(bytes)) +
              " carries another row id than " + Rec(r));
    }
    if (!present.emplace(r, key).second) {
      Add("index", kTextSlot, 0, r, "repeated entry",
          label + ": word " + Quoted(KeyWord(bytes)) + " of " + Rec(r) + " is in it twice");
    }
  }

  // The words themselves need the index's parameters, kept in its chain of
  // parameter pages; without a chain no word was ever indexed.
  const int32_t first = index.TextParamPage();
  if (fields.empty()) return;
  if (first == 0) {
    if (!entries.empty()) {
      Add("index", kTextSlot, 0, 0, "text params",
          label + ": it holds words but has no parameter pages");
    }
    return;
  }
  TTextParams params;
  try {
    params = *ReadTextParams(table_);
  } catch (const std::exception& error) {
    Add("index", kTextSlot, 0, 0, "text params",
        label + ": its parameters cannot be read: " + error.what());
    return;
  }

  const uint32_t lcid = TableLocale(data.LanguageId(), data.SortId());
  TTextIndexWords splitter(params, lcid);
  TIndexKeys keys(kTextSlot, desc, std::span<const TFieldDesc>(data.FieldDescs()),
                  data.RecordSize(), data.LanguageId(), data.SortId(),
                  GetCharMap(data.LanguageId(), data.SortId()), name_);
  std::set<std::pair<int32_t, std::string>> expected;
  std::vector<uint8_t> key(kTextKeyLength);
  std::vector<uint8_t> memo;
  // Fields of records whose words cannot be known: their entries are not
  // counted as stray.
  std::set<std::pair<int32_t, uint16_t>> unknown;
  for (int32_t r = 1; r <= slots_; ++r) {
    if (!Live(r)) continue;
    const uint8_t* image = Image(r);
    for (uint16_t fieldNo : fields) {
      std::optional<TFieldDesc> field = data.FieldDescByNo(fieldNo);
      if (!field) continue;
      // The words of a field as the record update path indexes them: a
      // string's value up to its first zero, a memo's stored value.
      std::string_view value;
      if (field->FieldType == fldBlob && field->SubType == kSubTypeMemo) {
        if (size_t(field->Offset) + 9 > recordSize_) continue;
        const int32_t reference = GetLEInt32(image + field->Offset + 1);
        if (reference < 0) {
          // A negative reference on disk is the blob check's finding; the
          // field's words are unknown.
          unknown.emplace(r, fieldNo);
          continue;
        }
        if (reference == 0) continue;
        try {
          LoadBlobValue(table_.BlobFile(), reference, GetLEInt32(image + field->Offset + 5), memo,
                        nullptr);
        } catch (const std::exception& error) {
          Add("index", kTextSlot, 0, r, "text words",
              label + ": the memo " + Quoted(field->FieldName) + " of " + Rec(r) +
                  " cannot be read for its words: " + error.what());
          unknown.emplace(r, fieldNo);
          continue;
        }
        value = std::string_view(reinterpret_cast<const char*>(memo.data()), memo.size());
      } else if (field->FieldType == fldString && image[field->Offset] != 0) {
        const char* chars = reinterpret_cast<const char*>(image + field->Offset + 1);
        size_t length = 0;
        while (length < field->Size && chars[length] != 0) ++length;
        value = std::string_view(chars, length);
      } else {
        continue;
      }
      std::vector<std::string> words;
      try {
        words = splitter.Extract(value);
      } catch (const std::exception& error) {
        Add("index", kTextSlot, 0, r, "text words",
            label + ": the words of " + Rec(r) + " cannot be found: " + error.what());
        continue;
      }
      for (const std::string& word : words) {
        keys.BuildTextKey(fieldNo, word, GetLEInt32(image + kAutoIncOffset), key.data());
        expected.emplace(r, std::string(reinterpret_cast<const char*>(key.data()), key.size()));
      }
    }
  }
  for (const auto& item : expected) {
    if (present.count(item) == 0) {
      const uint8_t* bytes = reinterpret_cast<const uint8_t*>(item.second.data());
      Add("index", kTextSlot, 0, item.first, "missing word",
          label + ": word " + Quoted(KeyWord(bytes)) + " of " + Rec(item.first) + " is missing");
    }
  }
  for (const auto& item : present) {
    if (expected.count(item) == 0) {
      const uint8_t* bytes = reinterpret_cast<const uint8_t*>(item.second.data());
      if (unknown.count({item.first, GetBE16(bytes + kTextFieldNoOffset)}) != 0) continue;
      Add("index", kTextSlot, 0, item.first, "stray word",
          label + ": word " + Quoted(KeyWord(bytes)) + " is not a word of " + Rec(item.first));
    }
  }
}

// ---- Blobs ----------------------------------------------------------------------------

void TTableVerifier::CheckBlobs() {
  if (!table_.HasBlobs() || !imagesLoaded_) return;
  const std::vector<TFieldDesc>& fields = table_.DataFile().FieldDescs();
  std::vector<TBlobReference> references;
  std::vector<std::pair<int32_t, const TFieldDesc*>> owners;
  for (int32_t r = 1; r <= slots_; ++r) {
    if (!Live(r)) continue;
    const uint8_t* image = Image(r);
    for (const TFieldDesc& field : fields) {
      if (!field.IsBlob() || size_t(field.Offset) + 9 > recordSize_) continue;
      const uint8_t flag = image[field.Offset];
      const int32_t reference = GetLEInt32(image + field.Offset + 1);
      const int32_t stamp = GetLEInt32(image + field.Offset + 5);
      const std::string where = Rec(r) + ", field " + Quoted(field.FieldName) + ": ";
      if (reference < 0) {
        Add("blob", -1, 0, r, "blob reference", where + "a negative blob reference on disk");
        continue;
      }
      if ((reference > 0) != (flag != 0)) {
        Add("blob", -1, 0, r, "blob null flag",
            where + "the null flag " + std::to_string(flag) + " disagrees with reference " +
                std::to_string(reference));
      }
      if (reference == 0) continue;
      references.push_back(TBlobReference{reference, stamp, -1});
      owners.emplace_back(r, &field);
    }
  }
  // The checker names blobs by their place in the list of references; the
  // findings name them by record and field.
  auto describe = [&](size_t k) {
    const auto& [r, field] = owners[k];
    return Rec(r) + " (field " + Quoted(field->FieldName) + ")";
  };
  for (const TBlobFinding& finding : CheckBlobFile(table_.BlobFile(), references)) {
    std::string text;
    const std::string_view raw = finding.Text;
    constexpr std::string_view kReference = "reference ";
    size_t at = 0;
    while (at < raw.size()) {
      size_t found = raw.find(kReference, at);
      size_t digits = found == std::string_view::npos ? found : found + kReference.size();
      size_t end = digits;
      while (end != std::string_view::npos && end < raw.size() && raw[end] >= '0' &&
             raw[end] <= '9') {
        ++end;
      }
      if (found == std::string_view::npos || end == digits) {
        text += raw.substr(at);
        break;
      }
      size_t k = std::stoul(std::string(raw.substr(digits, end - digits)));
      text += raw.substr(at, found - at);
      text += k < owners.size() ? describe(k) : std::string(raw.substr(found, end - found));
      at = end;
    }
    int32_t record = 0;
    if (finding.Reference >= 0 && size_t(finding.Reference) < owners.size()) {
      record = owners[size_t(finding.Reference)].first;
    }
    Add("blob", -1, finding.Block, record, "blob " + std::string(BlobFaultName(finding.Fault)),
        "blob file: " + text);
  }
}

}  // namespace ledra
