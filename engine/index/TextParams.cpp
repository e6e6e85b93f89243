#include "engine/index/TextParams.h"

#include <cstring>

#include "engine/errors/EngineError.h"
#include "engine/files/Bytes.h"
#include "engine/index/IndexHeader.h"

namespace ledra {

namespace {

constexpr size_t kBody = kPageBodySize;

// Writes items into consecutive bodies, moving an item that would not end
// within the current body to the start of the next.
class TParamWriter {
 public:
  explicit TParamWriter(std::vector<uint8_t>& bodies) : bodies_(bodies) {
    bodies_.assign(kBody, 0);
  }
  void Put(const void* bytes, size_t length) {
    if (pos_ + length > kBody) {
      base_ += kBody;
      pos_ = 0;
      bodies_.resize(base_ + kBody, 0);
    }
    if (length > 0) std::memcpy(bodies_.data() + base_ + pos_, bytes, length);
    pos_ += length;
  }
  void PutLength(int32_t value) {
    uint8_t bytes[4];
    PutLE32(bytes, uint32_t(value));
    Put(bytes, sizeof bytes);
  }

 private:
  std::vector<uint8_t>& bodies_;
  size_t base_ = 0;
  size_t pos_ = 0;
};

class TParamReader {
 public:
  TParamReader(std::span<const uint8_t> bodies, std::string_view tableName)
      : bodies_(bodies), tableName_(tableName) {
    if (bodies_.empty() || bodies_.size() % kBody != 0) Fail();
  }
  // The next item of `length` bytes, following the placement rule.
  const uint8_t* Take(size_t length) {
    if (length > kBody) Fail();
    if (pos_ + length > kBody) {
      base_ += kBody;
      pos_ = 0;
    }
    if (base_ + kBody > bodies_.size()) Fail();
    const uint8_t* item = bodies_.data() + base_ + pos_;
    pos_ += length;
    return item;
  }
  int32_t TakeLength() { return GetLEInt32(Take(4)); }
  // Bytes left from the current position to the end of the last body: an
  // upper bound on what the rest of the stream can hold.
  size_t Remaining() const { return bodies_.size() - base_ - pos_; }
  [[noreturn]] void Fail() const { RaiseTableError(LEDRA_INDEXCORRUPT, tableName_); }

 private:
  std::span<const uint8_t> bodies_;
  std::string_view tableName_;
  size_t base_ = 0;
  size_t pos_ = 0;
};

}  // namespace

void EncodeTextParams(const TTextParams& params, std::vector<uint8_t>& bodies) {
  for (const std::string& word : params.StopWords) {
    if (word.size() > kBody) RaiseEngineError(LEDRA_INTERNALLIMIT);
  }
  TParamWriter writer(bodies);
  writer.PutLength(int32_t(params.StopWords.size()));
  for (const std::string& word : params.StopWords) {
    writer.PutLength(int32_t(word.size()));
    writer.Put(word.data(), word.size());
  }
  writer.PutLength(int32_t(kCharSetSize));
  writer.Put(params.SpaceChars.data(), kCharSetSize);
  writer.PutLength(int32_t(kCharSetSize));
  writer.Put(params.IncludeChars.data(), kCharSetSize);
}

TTextParams DecodeTextParams(std::span<const uint8_t> bodies, std::string_view tableName) {
  TParamReader reader(bodies, tableName);
  TTextParams params;
  int32_t count = reader.TakeLength();
  // Each stop word takes at least its 4-byte length.
  if (count < 0 || size_t(count) > reader.Remaining() / 4) reader.Fail();
  params.StopWords.reserve(size_t(count));
  for (int32_t i = 0; i < count; ++i) {
    int32_t length = reader.TakeLength();
    if (length < 0 || size_t(length) > kBody) reader.Fail();
    const uint8_t* chars = reader.Take(size_t(length));
    params.StopWords.emplace_back(reinterpret_cast<const char*>(chars), size_t(length));
  }
  if (reader.TakeLength() != int32_t(kCharSetSize)) reader.Fail();
  std::memcpy(params.SpaceChars.data(), reader.Take(kCharSetSize), kCharSetSize);
  if (reader.TakeLength() != int32_t(kCharSetSize)) reader.Fail();
  std::memcpy(params.IncludeChars.data(), reader.Take(kCharSetSize), kCharSetSize);
  return params;
}

}  // namespace ledra
