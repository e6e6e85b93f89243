// The recently-used order of a cache: an intrusive doubly linked chain from
// the most to the least recently used item.
//
// The record cache and the blob block cache keep their items in a list sorted
// by number (for lookups by halving) and, through two link fields of each
// item, in this chain (for the most recent look-ups first and for finding the
// least recently used clean item to reuse). The chain owns nothing.
#pragma once

namespace ledra {

template <class T, T* T::*Older, T* T::*Newer>
class TRecentlyUsedChain {
 public:
  T* Newest() const { return newest_; }
  T* Oldest() const { return oldest_; }

  void LinkFront(T* item) {
    item->*Older = newest_;
    item->*Newer = nullptr;
    if (newest_) newest_->*Newer = item;
    newest_ = item;
    if (!oldest_) oldest_ = item;
  }

  void Unlink(T* item) {
    if (item->*Newer) {
      (item->*Newer)->*Older = item->*Older;
    } else {
      newest_ = item->*Older;
    }
    if (item->*Older) {
      (item->*Older)->*Newer = item->*Newer;
    } else {
      oldest_ = item->*Newer;
    }
    item->*Older = nullptr;
    item->*Newer = nullptr;
  }

  void MoveToFront(T* item) {
    if (item == newest_) return;
    Unlink(item);
    LinkFront(item);
  }

  // Forgets every item without touching their links (the items are gone).
  void Clear() {
    newest_ = nullptr;
    oldest_ = nullptr;
  }

 private:
  T* newest_ = nullptr;
  T* oldest_ = nullptr;
};

}  // namespace ledra
