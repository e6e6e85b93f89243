// What the fuzz targets share: cutting one fuzz input into the images of a
// table's files, in-memory files holding those images, and the rule that an
// engine error is an expected outcome of a damaged file while anything else
// (another exception, a crash, a sanitizer report, a leak) is a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "engine/errors/EngineError.h"
#include "engine/files/FileList.h"

namespace ledra::fuzz {

// Reads an input front to back; a read past the end yields zeros, so every
// input is usable however short it is.
class TInputReader {
 public:
  TInputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t Left() const { return size_ - pos_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t LE16() { return uint16_t(Byte() | (unsigned(Byte()) << 8)); }
  uint32_t LE32() {
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) v |= uint32_t(Byte()) << (8 * k);
    return v;
  }
  // The next `n` bytes (fewer at the end of the input).
  std::span<const uint8_t> Take(size_t n) {
    if (n > Left()) n = Left();
    std::span<const uint8_t> part(data_ + pos_, n);
    pos_ += n;
    return part;
  }
  std::span<const uint8_t> Rest() { return Take(Left()); }
  // A section: a 4-byte length, then that many bytes (cut at the end).
  std::span<const uint8_t> Section() { return Take(LE32()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Appends a section as TInputReader::Section reads it (for the seed maker).
inline void AppendSection(std::vector<uint8_t>& out, std::span<const uint8_t> bytes) {
  const uint32_t n = uint32_t(bytes.size());
  for (int k = 0; k < 4; ++k) out.push_back(uint8_t(n >> (8 * k)));
  out.insert(out.end(), bytes.begin(), bytes.end());
}

// An in-memory file of the registry holding `bytes`, deleted again when this
// goes out of scope (after every handler on it has closed). Without a file
// nothing is created, as for a table file that is missing.
class TMemoryImage {
 public:
  TMemoryImage(std::string name, std::span<const uint8_t> bytes, bool present = true)
      : name_(std::move(name)) {
    if (!present) return;
    TFileList& files = TFileList::Instance();
    const TFileOpenResult created = files.Create(name_, true, false);
    if (created.result < 0 || created.file == nullptr) std::abort();
    const uint32_t handle = uint32_t(created.result);
    if (!bytes.empty() && created.file->Write(handle, bytes.data(), uint32_t(bytes.size())) !=
                              int64_t(bytes.size())) {
      std::abort();
    }
    files.Close(created.file, true, handle);
    made_ = true;
  }
  ~TMemoryImage() {
    if (made_) TFileList::Instance().Delete(name_, true);
  }
  TMemoryImage(const TMemoryImage&) = delete;
  TMemoryImage& operator=(const TMemoryImage&) = delete;

  const std::string& Name() const { return name_; }

 private:
  std::string name_;
  bool made_ = false;
};

// Runs one step over damaged data: an engine error is the answer a damaged
// file deserves and ends the step; any other exception escapes to libFuzzer
// as a finding. True when the step ran to its end.
// With OSTREVO_FUZZ_TRACE set, each such error is printed (to see how far a
// seed gets).
template <typename F>
bool Step(F&& step) {
  try {
    step();
    return true;
  } catch (const ELedraEngineError& error) {
    static const bool trace = std::getenv("OSTREVO_FUZZ_TRACE") != nullptr;
    if (trace)
      std::fprintf(stderr, "engine error %u: %s\n", unsigned(error.ErrorCode), error.what());
    return false;
  }
}

// A broken invariant of the engine itself (not of the input): a finding.
[[noreturn]] inline void Finding(const char* what) {
  std::fprintf(stderr, "FINDING: %s\n", what);
  std::abort();
}

}  // namespace ledra::fuzz
