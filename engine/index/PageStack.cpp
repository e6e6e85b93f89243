#include "engine/index/PageStack.h"

#include <utility>

namespace ledra {

std::unique_ptr<TPage> TPageStack::Take() {
  std::unique_ptr<TPage> page;
  if (count_ > 0) {
    page = std::move(spares_[--count_]);
  } else {
    page = std::make_unique<TPage>();
  }
  page->Reset(0, 0, TPageFormat{});
  page->PageType = kPageRootInner;
  page->CachePrev = nullptr;
  page->CacheNext = nullptr;
  page->Orphaned = false;
  return page;
}

void TPageStack::Return(std::unique_ptr<TPage> page) {
  if (!page) return;
  if (count_ < kSpares) spares_[count_++] = std::move(page);
}

}  // namespace ledra
