// The full structural check of a table behind `ledra verify`.
//
// Data file: the header rules against the descriptors and the file length,
// every slot's deleted flag, the free chain (inside the file, only free
// slots, no loop, and in a table with a primary index every free slot on
// it), distinct row ids of the live records, and the live-record count the
// index header keeps.
//
// Index file: the structural checker of every index in use, the deleted-
// records and text indexes included (TIndexChecker: pages, levels, key
// order, separators, subtree counts, sibling links, free lists, the text
// parameter chain, every page owned once), and then the entries against the
// records: every leaf entry of a key index names a live record and holds the
// key built from it, every live record is in every key index exactly once,
// every slot (live or free) is in the deleted-records index exactly once
// under its own key, and the text index holds exactly the words of the
// text-indexed fields of every live record: a string's value, a memo's stored
// value (the same words the record update path indexes).
//
// Blob file: the blob checker over the references of every live record
// (chains, stamps, lengths, the free list, every block accounted for).
//
// The verifier reads through the table's handlers and writes nothing. The
// caller holds the table's read lock (or the table exclusively) so that no
// writer changes it meanwhile.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "engine/table/DataTable.h"

namespace ledra {

class TDataDirectory;

struct TVerifyFinding {
  std::string Area;  // "data", "index" or "blob"
  int Slot = -1;     // index slot, or -1
  int32_t Page = 0;  // index page or blob block, or 0
  int32_t Record = 0;
  std::string Text;
};

// The files of a table that are missing, as findings, looked for without
// opening the table (an open makes a missing index file afresh, and a check
// writes nothing): the index file, and the blob file of a table whose header
// counts blob fields. Nothing when the data file itself is missing or its
// header cannot be read; opening the table reports those.
std::vector<TVerifyFinding> MissingTableFiles(const TDataDirectory& directory,
                                              std::string_view tableName);

class TTableVerifier {
 public:
  // Findings of one kind beyond this many are summed up in one line.
  static constexpr size_t kMaxFindingsPerKind = 20;
  // Tables whose slots take more bytes than this are refused.
  static constexpr int64_t kMaxImageBytes = int64_t(1) << 30;

  explicit TTableVerifier(TDataTable& table);

  std::vector<TVerifyFinding> Run();

  int32_t LiveRecords() const { return liveCount_; }
  int IndexesChecked() const { return indexesChecked_; }

 private:
  struct TTextEntry;

  void Add(const std::string& area, int slot, int32_t page, int32_t record, const std::string& kind,
           const std::string& text);
  void Summarise();
  std::string IndexLabel(int slot) const;

  bool LoadImages();
  const uint8_t* Image(int32_t recordNo) const {
    return images_.data() + size_t(recordNo - 1) * recordSize_;
  }
  bool Live(int32_t recordNo) const { return Image(recordNo)[0] == 0; }

  void CheckDataFile();
  void CheckIndexes();
  void CheckEntries(int slot);
  void CheckTextWords(const std::vector<std::pair<int32_t, std::string>>& entries);
  void CheckBlobs();

  TDataTable& table_;
  std::string name_;
  int32_t slots_ = 0;
  size_t recordSize_ = 0;
  bool imagesLoaded_ = false;
  std::vector<uint8_t> images_;
  int32_t liveCount_ = 0;
  int indexesChecked_ = 0;

  std::vector<TVerifyFinding> findings_;
  // Findings counted per kind, and those left out.
  std::map<std::string, size_t> kindCounts_;
};

}  // namespace ledra
