// Marks the run of records or blocks being read from disk for the duration
// of the read, and clears the mark when the run has been loaded or the read
// has failed. The record cache and the blob block cache both keep such a
// window, so that a change check during the read knows what is in flight.
#pragma once

#include <cstdint>

namespace ledra {

class TReadWindowGuard {
 public:
  TReadWindowGuard(int32_t& first, int32_t& count, int32_t runFirst, int32_t runCount)
      : first_(first), count_(count) {
    first_ = runFirst;
    count_ = runCount;
  }
  ~TReadWindowGuard() {
    first_ = 0;
    count_ = 0;
  }
  TReadWindowGuard(const TReadWindowGuard&) = delete;
  TReadWindowGuard& operator=(const TReadWindowGuard&) = delete;

 private:
  int32_t& first_;
  int32_t& count_;
};

}  // namespace ledra
