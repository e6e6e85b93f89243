// Cuts the files of a sound table into one seed for each fuzz target, in the
// input layout that target reads (see each fuzz_*.cpp).
//
// Usage: fuzz_make_seeds DIR TABLE CORPUS_DIR
// writes CORPUS_DIR/<target>/<TABLE> for every target the table can feed.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/blob/BlobHeader.h"
#include "engine/files/Bytes.h"
#include "engine/files/DataHeader.h"
#include "engine/files/FieldDesc.h"
#include "engine/index/IndexHeader.h"
#include "fuzz/FuzzSupport.h"

using namespace ledra;
namespace fs = std::filesystem;
using TBytes = std::vector<uint8_t>;

namespace {

TBytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return TBytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteSeed(const fs::path& corpus, const char* target, const std::string& name,
               const TBytes& bytes) {
  const fs::path dir = corpus / target;
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  std::printf("%s/%s: %zu bytes\n", target, name.c_str(), bytes.size());
}

void PutLE(TBytes& out, uint32_t v, int width) {
  for (int k = 0; k < width; ++k) out.push_back(uint8_t(v >> (8 * k)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s DIR TABLE CORPUS_DIR\n", argv[0]);
    return 2;
  }
  const fs::path dir = argv[1];
  const std::string table = argv[2];
  const fs::path corpus = argv[3];
  const TBytes dat = ReadFile(dir / (table + ".DAT"));
  const TBytes idx = ReadFile(dir / (table + ".IDX"));
  const bool hasBlb = fs::exists(dir / (table + ".BLB"));
  const TBytes blb = hasBlb ? ReadFile(dir / (table + ".BLB")) : TBytes();
  if (dat.size() < kDataHeaderSize || idx.size() < kIndexHeaderSize) {
    std::fprintf(stderr, "%s: not a table\n", table.c_str());
    return 1;
  }
  const TDataHeader header = DecodeDataHeader(dat.data());
  if (header.Encrypted != 0) {
    std::fprintf(stderr, "%s: enciphered tables make no seeds\n", table.c_str());
    return 1;
  }
  const size_t definitionEnd = size_t(header.SlotsOffset());

  WriteSeed(corpus, "fuzz_data_header", table, dat);

  TBytes indexSeed;
  fuzz::AppendSection(indexSeed, std::span(dat.data(), definitionEnd));
  indexSeed.insert(indexSeed.end(), idx.begin(), idx.end());
  WriteSeed(corpus, "fuzz_index_pages", table, indexSeed);

  TBytes tableSeed{uint8_t(hasBlb ? 3 : 1)};
  fuzz::AppendSection(tableSeed, dat);
  fuzz::AppendSection(tableSeed, idx);
  tableSeed.insert(tableSeed.end(), blb.begin(), blb.end());
  WriteSeed(corpus, "fuzz_table", table, tableSeed);
  tableSeed[0] |= 4;  // and change a record
  WriteSeed(corpus, "fuzz_table", table + "-changed", tableSeed);

  // The text index's parameter chain, page by page through NextPage.
  TIndexHeader indexHeader;
  DecodeIndexHeader(idx.data(), indexHeader);
  TBytes params;
  int32_t page = indexHeader.Descs[kTextSlot].TextParamPage;
  for (int hops = 0; page > 0 && hops < 16; ++hops) {
    const size_t at = size_t(page) * kIndexPageSize;
    if (at + kIndexPageSize > idx.size()) break;
    params.insert(params.end(), idx.begin() + long(at + kPageHeaderSize),
                  idx.begin() + long(at + kIndexPageSize));
    page = GetLEInt32(idx.data() + at + 7);
  }
  if (!params.empty()) WriteSeed(corpus, "fuzz_text_params", table, params);

  if (hasBlb) {
    // The references of the live records' blob fields (null flag, first
    // block, stamp), their lengths unknown.
    std::vector<std::pair<int32_t, int32_t>> refs;
    for (int32_t n = 1; n < header.NextRecordNo && refs.size() < 16; ++n) {
      const size_t slot = definitionEnd + size_t(n - 1) * header.RecordSize;
      if (slot + header.RecordSize > dat.size() || dat[slot] != 0) continue;
      for (uint16_t f = 0; f < header.FieldCount && refs.size() < 16; ++f) {
        const TFieldDesc desc = DecodeFieldDesc(dat.data() + kDataHeaderSize + f * kFieldDescSize);
        if (!desc.IsBlob() || size_t(desc.Offset) + 9 > header.RecordSize) continue;
        const int32_t first = GetLEInt32(dat.data() + slot + desc.Offset + 1);
        if (first > 0) refs.push_back({first, GetLEInt32(dat.data() + slot + desc.Offset + 5)});
      }
    }
    TBytes blobSeed;
    PutLE(blobSeed, uint32_t(header.BlobBlockSize), 2);
    blobSeed.push_back(uint8_t(refs.size()));
    for (const auto& [first, stamp] : refs) {
      PutLE(blobSeed, uint32_t(first), 4);
      PutLE(blobSeed, uint32_t(stamp), 4);
      PutLE(blobSeed, 0xFFFFFFFFu, 4);
    }
    blobSeed.insert(blobSeed.end(), blb.begin(), blb.end());
    WriteSeed(corpus, "fuzz_blob_file", table, blobSeed);
  }
  return 0;
}
