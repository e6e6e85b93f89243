#include "engine/index/PageCache.h"

#include <utility>

namespace ledra {

size_t TPageCache::LowerBound(int32_t pageNo) const {
  size_t low = 0;
  size_t high = pages_.size();
  while (low < high) {
    size_t mid = low + (high - low) / 2;
    if (pages_[mid]->PageNo < pageNo) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}

void TPageCache::Unlink(TPage* page) {
  if (page->CachePrev != nullptr) {
    page->CachePrev->CacheNext = page->CacheNext;
  } else {
    head_ = page->CacheNext;
  }
  if (page->CacheNext != nullptr) {
    page->CacheNext->CachePrev = page->CachePrev;
  } else {
    tail_ = page->CachePrev;
  }
  page->CachePrev = nullptr;
  page->CacheNext = nullptr;
}

void TPageCache::LinkAtHead(TPage* page) {
  page->CachePrev = nullptr;
  page->CacheNext = head_;
  if (head_ != nullptr) head_->CachePrev = page;
  head_ = page;
  if (tail_ == nullptr) tail_ = page;
}

TPage* TPageCache::Find(int32_t pageNo) {
  TPage* found = nullptr;
  if (head_ != nullptr && head_->PageNo == pageNo) return head_;
  if (head_ != nullptr && head_->CacheNext != nullptr && head_->CacheNext->PageNo == pageNo) {
    found = head_->CacheNext;
  } else {
    size_t at = LowerBound(pageNo);
    if (at == pages_.size() || pages_[at]->PageNo != pageNo) return nullptr;
    found = pages_[at].get();
  }
  Unlink(found);
  LinkAtHead(found);
  return found;
}

const TPage* TPageCache::Peek(int32_t pageNo) const {
  size_t at = LowerBound(pageNo);
  return (at < pages_.size() && pages_[at]->PageNo == pageNo) ? pages_[at].get() : nullptr;
}

void TPageCache::Insert(std::unique_ptr<TPage> page) {
  TPage* raw = page.get();
  size_t at = LowerBound(raw->PageNo);
  pages_.insert(pages_.begin() + std::ptrdiff_t(at), std::move(page));
  LinkAtHead(raw);
}

std::unique_ptr<TPage> TPageCache::Remove(TPage* page) {
  size_t at = LowerBound(page->PageNo);
  while (at < pages_.size() && pages_[at].get() != page) ++at;
  if (at == pages_.size()) return nullptr;
  Unlink(page);
  std::unique_ptr<TPage> out = std::move(pages_[at]);
  pages_.erase(pages_.begin() + std::ptrdiff_t(at));
  return out;
}

void TPageCache::TakeAll(std::vector<std::unique_ptr<TPage>>& into) {
  for (std::unique_ptr<TPage>& page : pages_) {
    page->CachePrev = nullptr;
    page->CacheNext = nullptr;
    into.push_back(std::move(page));
  }
  pages_.clear();
  head_ = nullptr;
  tail_ = nullptr;
}

TPage* TPageCache::LeastRecentEvictable() const {
  for (TPage* page = tail_; page != nullptr; page = page->CachePrev) {
    if (!page->Dirty && page->Pins == 0) return page;
  }
  return nullptr;
}

TPage* TPageCache::LeastRecentEvictable(bool upper) const {
  for (TPage* page = tail_; page != nullptr; page = page->CachePrev) {
    if (!page->Dirty && page->Pins == 0 && IsUpper(*page) == upper) return page;
  }
  return nullptr;
}

size_t TPageCache::UpperCount() const {
  size_t count = 0;
  for (const std::unique_ptr<TPage>& page : pages_) {
    if (IsUpper(*page)) ++count;
  }
  return count;
}

bool TPageCache::HasRoomFor(bool upper) const {
  const size_t inner = UpperCount();
  return upper ? inner < kKeptUpperPages : pages_.size() - inner < capacity_;
}

TPage* TPageCache::EvictionCandidate(bool upper) const {
  TPage* page = LeastRecentEvictable(upper);
  return page != nullptr ? page : LeastRecentEvictable();
}

bool TPageCache::OverAllowance(size_t capacity) const {
  const size_t inner = UpperCount();
  return inner > kKeptUpperPages || pages_.size() - inner > capacity;
}

TPage* TPageCache::TrimCandidate(size_t capacity) const {
  const size_t inner = UpperCount();
  if (inner > kKeptUpperPages) {
    if (TPage* page = LeastRecentEvictable(true)) return page;
  }
  if (pages_.size() - inner > capacity) return LeastRecentEvictable(false);
  return nullptr;
}

}  // namespace ledra
