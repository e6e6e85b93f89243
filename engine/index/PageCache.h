// The page cache of one index slot: which pages of the slot are in memory,
// in which order they were last used, and how many the slot may keep.
//
// The pages are held in a list sorted by page number, searched by halving,
// and form a recently-used chain through their cache links (head = most
// recently used). A lookup looks at the two most recently used pages first,
// so fetching again a page just used costs no search. The least recently used
// page that is neither dirty nor pinned is found by walking the chain from its
// tail; in the common case that is the tail itself.
//
// The capacity counts the root and the leaves. The inner pages between them
// (type 1), the middle levels of a tree of three levels or more, are kept
// besides, up to kKeptUpperPages of them: a lookup in such a tree then reads
// only its leaf, where a cache of two pages would read most of the path
// again each time (the root and one leaf are what two pages hold). A page
// makes room for one of its own kind: a leaf or root evicts the least
// recently used of those, a middle inner page beyond that allowance the
// least recently used middle inner page; when no page of its kind can go,
// any page that can go does. The kind of a page is taken when room is made,
// so a page whose type changed since it was cached (a root that split)
// counts as what it is now. A tree of two levels has no middle pages and is
// cached exactly as it would be without them.
//
// A dirty page is never evicted; it leaves the cache only once written. To
// make room the index file writes dirty pages, except while the table holds
// its transaction lock or a change holds the write lock: the change's pages
// then stay, and the cache grows past its capacity (in steps of 4) for the
// duration of that change, bounded by the pages the change touches. Its
// commit writes them in the order a program dying half way can recover
// from, and the table's flush trims the cache back afterwards.
//
// This class only keeps the structure; reading, writing, evicting and the
// pool of spare buffers are the index file's (TIndexFile).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/index/PageCodec.h"

namespace ledra {

class TPageCache {
 public:
  // The cached page with this number, moved to the head of the chain, or
  // null.
  TPage* Find(int32_t pageNo);
  // The cached page with this number, or null; the chain is left alone.
  const TPage* Peek(int32_t pageNo) const;
  bool Contains(int32_t pageNo) const { return Peek(pageNo) != nullptr; }
  // Adds a page that is not cached yet, at the head of the chain.
  void Insert(std::unique_ptr<TPage> page);
  // Takes a cached page out of the list and the chain.
  std::unique_ptr<TPage> Remove(TPage* page);
  // Takes every page out; the cache is empty afterwards.
  void TakeAll(std::vector<std::unique_ptr<TPage>>& into);
  // The least recently used page that is neither dirty nor pinned, or null.
  TPage* LeastRecentEvictable() const;

  // Middle inner pages kept beyond the capacity.
  static constexpr size_t kKeptUpperPages = 4;
  // Whether a page is a middle inner page in use (not the root).
  static bool IsUpper(const TPage& page) { return page.PageType == kPageInner && !page.Freed; }
  // Cached middle inner pages, and the other pages (which the capacity
  // counts).
  size_t UpperCount() const;
  size_t LowerCount() const { return pages_.size() - UpperCount(); }
  // Whether a page of the given kind can come in without another leaving.
  bool HasRoomFor(bool upper) const;
  // The page to evict for an incoming page of the given kind: the least
  // recently used evictable page of that kind, else of any kind; null when
  // every page is dirty or pinned.
  TPage* EvictionCandidate(bool upper) const;
  // The page to evict while trimming, or null when the slot holds no more
  // than `capacity` other pages and kKeptUpperPages middle inner pages, or
  // no page over its allowance can go.
  TPage* TrimCandidate(size_t capacity) const;
  // More than `capacity` other pages, or more than kKeptUpperPages middle
  // inner pages.
  bool OverAllowance(size_t capacity) const;

  size_t Count() const { return pages_.size(); }
  size_t Capacity() const { return capacity_; }
  void SetCapacity(size_t capacity) { capacity_ = capacity; }

  // The pages sorted by page number.
  const std::vector<std::unique_ptr<TPage>>& Pages() const { return pages_; }
  // The chain from the most to the least recently used page.
  TPage* MostRecent() const { return head_; }
  TPage* LeastRecent() const { return tail_; }

 private:
  // The position of the first page whose number is not below `pageNo`.
  size_t LowerBound(int32_t pageNo) const;
  void Unlink(TPage* page);
  void LinkAtHead(TPage* page);
  // The least recently used evictable page of one kind.
  TPage* LeastRecentEvictable(bool upper) const;

  std::vector<std::unique_ptr<TPage>> pages_;
  TPage* head_ = nullptr;
  TPage* tail_ = nullptr;
  size_t capacity_ = 2;
};

}  // namespace ledra
