// The .IDX header block and every page type: leaves of each compression,
// inner pages with and without subtree counts, free pages and text-index
// parameter pages.
//
// Input: a section holding the .DAT header and field descriptors (the
// fields the index header is checked against), then the .IDX image.
//
// The header codec keeps every byte, so its encoding of what it decoded must
// be the bytes read. Every page of the image is decoded with the format of
// each slot the header describes. Then the index file handler opens the
// image as a table does and checks the header against the fields; then the
// structural checker runs, and every index is walked through the
// B-tree in both directions, by sequence and by key, and changed once (an
// insert and a delete, written back).
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

#include "engine/files/DataHeader.h"
#include "engine/files/FieldDesc.h"
#include "engine/index/BTree.h"
#include "engine/index/IndexChecker.h"
#include "engine/index/IndexFile.h"
#include "engine/index/IndexHeader.h"
#include "engine/index/PageCodec.h"
#include "fuzz/FuzzSupport.h"

using namespace ledra;
using namespace ledra::fuzz;

namespace {

constexpr std::string_view kTable = "FUZZIDX";
// Pages decoded by the raw sweep, and steps of one walk.
constexpr int32_t kMaxSweepPages = 48;
constexpr int32_t kMaxWalkSteps = 20000;

class TBytes final : public TKeyComparator {
 public:
  explicit TBytes(bool descending) : descending_(descending) {}
  int CompareKeys(const uint8_t* a, const uint8_t* b, size_t n) const override {
    const int c = std::memcmp(a, b, n);
    const int sign = c < 0 ? -1 : (c > 0 ? 1 : 0);
    return descending_ ? -sign : sign;
  }

 private:
  bool descending_;
};

// The table's fields from the .DAT part, checked as a table's first open
// checks them; empty when they do not pass.
std::vector<TFieldDesc> FieldsOf(std::span<const uint8_t> dat) {
  std::vector<TFieldDesc> fields;
  if (dat.size() < kDataHeaderSize) return fields;
  const TDataHeader header = DecodeDataHeader(dat.data());
  if (!Step([&] { CheckDataHeaderImage(header, kTable); })) return fields;
  if (dat.size() < kDataHeaderSize + size_t(header.FieldCount) * kFieldDescSize) return fields;
  for (size_t i = 0; i < header.FieldCount; ++i) {
    fields.push_back(DecodeFieldDesc(dat.data() + kDataHeaderSize + i * kFieldDescSize));
  }
  // The slots need not be part of the input: the length is the one the
  // header implies.
  const int64_t length =
      header.SlotsOffset() + int64_t(header.NextRecordNo - 1) * int64_t(header.RecordSize);
  if (!Step([&] {
        VerifyDataLayout(
            header, fields, {}, length, [](uint32_t) { return true; }, {}, kTable);
      })) {
    fields.clear();
  }
  return fields;
}

void SweepPages(std::span<const uint8_t> idx) {
  if (idx.size() < kIndexHeaderSize) return;
  TIndexHeader header;
  DecodeIndexHeader(idx.data(), header);
  std::array<uint8_t, kIndexHeaderSize> again{};
  EncodeIndexHeader(header, again.data());
  if (std::memcmp(again.data(), idx.data(), kIndexHeaderSize) != 0) {
    Finding("index header: encoding what was decoded changed the bytes");
  }

  std::set<std::pair<int, std::array<uint16_t, 4>>> seen;
  std::vector<std::pair<int, TPageFormat>> formats;
  for (int slot = 0; slot < kIndexSlotCount; ++slot) {
    const TPageFormat f = PageFormatOf(slot, header.Descs[size_t(slot)]);
    if (!IsUsableFormat(f)) continue;
    if (!seen.insert({slot == kTextSlot, {f.KeyLength, f.Unique, f.Compression, f.EntryCounts}})
             .second) {
      continue;
    }
    formats.push_back({slot, f});
  }
  const int32_t pages = int32_t(std::min<size_t>(idx.size() / kIndexPageSize - 1, kMaxSweepPages));
  TPage page;
  std::array<uint8_t, kIndexPageSize> encoded{};
  for (int32_t n = 1; n <= pages; ++n) {
    const uint8_t* bytes = idx.data() + size_t(n) * kIndexPageSize;
    for (const auto& [slot, format] : formats) {
      page.Reset(n, uint8_t(slot), format);
      if (!Step([&] { DecodePage(bytes, page, false, kTable); })) continue;
      // A page that decoded is one the engine may write back.
      Step([&] { EncodePage(page, encoded.data(), kTable); });
    }
  }
}

void Walk(TIndexFile& file, int slot, std::span<const uint8_t> keySource) {
  const TIndexDesc desc = file.GetIndexDesc(slot);
  TBytes comparator(desc.Descending != 0);
  TBTree tree(file, slot, comparator, desc.IndexName());
  TIndexPosition pos;
  Step([&] {
    int32_t steps = 0;
    if (tree.FirstEntry(pos)) {
      while (++steps < kMaxWalkSteps && tree.NextEntry(pos)) {
      }
    }
    pos.Clear();
    if (tree.LastEntry(pos)) {
      while (++steps < 2 * kMaxWalkSteps && tree.PrevEntry(pos)) {
      }
    }
  });
  Step([&] {
    const int32_t count = tree.EntryCount();
    pos.Clear();
    if (count > 0 && tree.EntryAtSequence(count / 2 + 1, pos)) {
      tree.SequenceNumber(pos);
      tree.ConsecutiveRun(pos, 64, 1);
      tree.ConsecutiveRun(pos, 64, -1);
    }
  });
  std::array<uint8_t, kMaxStoredKeyLength> key{};
  const size_t keyLength = std::min<size_t>(desc.KeyLength, key.size());
  std::memcpy(key.data(), keySource.data(), std::min(keyLength, keySource.size()));
  Step([&] {
    pos.Clear();
    tree.FirstNotBelow(key.data(), pos);
    pos.Clear();
    tree.LastNotAbove(key.data(), pos, keyLength / 2);
  });
  if (keyLength == 0) return;
  Step([&] {
    if (!tree.IndexContains(key.data())) tree.IndexInsert(key.data(), 1);
    tree.IndexDelete(key.data());
    file.WriteDirtyPages(false);
  });
}

void OpenAsIndexFile(const std::vector<TFieldDesc>& fields, std::span<const uint8_t> idx,
                     std::span<const uint8_t> keySource) {
  TMemoryImage image("FUZZIDX.IDX", idx);
  TIndexFile file(image.Name());
  file.SetInMemory(true);
  TIndexFileSettings settings;
  settings.Fields = &fields;
  settings.TableName = std::string(kTable);
  settings.PageCacheCapacity = 2;
  settings.StrictChangeDetection = true;
  file.SetSettings(settings);
  if (!Step([&] { file.OpenIndexFile(); })) return;
  // A header that fails the check is refused at a table's first open, but
  // one re-read after another user's change is taken over with only its
  // index count and its pages checked: the checker and the trees must cope
  // with such a header too.
  if (!Step([&] { file.VerifyIndexHeader(); }) &&
      int64_t(idx.size()) < int64_t(file.NextPageNo()) * int64_t(kIndexPageSize)) {
    // Refused on a re-read as well: the file lacks pages the header counts.
    file.CloseIndexFile();
    return;
  }
  Step([&] {
    TIndexChecker checker(file);
    checker.CheckFile();
    for (int slot : checker.SlotsInUse()) Walk(file, slot, keySource);
    checker.CheckFile();
  });
  file.CloseIndexFile();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TInputReader input(data, size);
  const std::span<const uint8_t> dat = input.Section();
  const std::span<const uint8_t> idx = input.Rest();
  SweepPages(idx);
  const std::vector<TFieldDesc> fields = FieldsOf(dat);
  // Keys for the searches and changes come from the end of the input.
  const std::span<const uint8_t> keySource =
      idx.size() > kMaxStoredKeyLength ? idx.subspan(idx.size() - kMaxStoredKeyLength) : idx;
  OpenAsIndexFile(fields, idx, keySource);
  return 0;
}
