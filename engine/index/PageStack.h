// The spare page buffers of one index file.
//
// Page buffers enter and leave the page caches of the file's slots all the
// time; the stack keeps up to four spare ones so that a page entering a cache
// seldom needs a new buffer. A buffer keeps the capacity of its entry areas
// when it is put back, so reusing it for a slot of the same key length
// allocates nothing.
#pragma once

#include <array>
#include <cstddef>
#include <memory>

#include "engine/index/PageCodec.h"

namespace ledra {

class TPageStack {
 public:
  static constexpr size_t kSpares = 4;

  // The last spare, cleared (no entries, header fields, flags and pins zero,
  // out of any chain), or a new buffer when there is none.
  std::unique_ptr<TPage> Take();
  // Keeps the buffer as a spare while fewer than four are held, else frees it.
  void Return(std::unique_ptr<TPage> page);

  size_t SpareCount() const { return count_; }

 private:
  std::array<std::unique_ptr<TPage>, kSpares> spares_;
  size_t count_ = 0;
};

}  // namespace ledra
