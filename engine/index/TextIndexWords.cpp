#include "engine/index/TextIndexWords.h"

#include <algorithm>
#include <iterator>

#include "engine/files/LocaleServices.h"
#include "engine/index/Keys.h"

namespace ledra {
namespace {

// Words collected before the first merge of duplicates; after each merge the
// next one waits until the list has doubled, so merging stays n log n overall
// while a long value of few distinct words holds little memory.
constexpr size_t kFirstMerge = 1024;

// Sorted by bytes, each word once: the order of Extract's result.
bool SortedDistinct(std::span<const std::string> words) {
  return std::adjacent_find(words.begin(), words.end(),
                            [](const std::string& a, const std::string& b) { return !(a < b); }) ==
         words.end();
}

std::vector<std::string_view> SortedViews(std::span<const std::string> words) {
  std::vector<std::string_view> views(words.begin(), words.end());
  std::sort(views.begin(), views.end());
  views.erase(std::unique(views.begin(), views.end()), views.end());
  return views;
}

template <typename TWord>
TWordChanges Diff(std::span<const TWord> oldWords, std::span<const TWord> newWords) {
  TWordChanges changes;
  auto asString = [](const TWord& word) { return std::string(word); };
  auto removed = std::back_inserter(changes.Removed);
  auto added = std::back_inserter(changes.Added);
  auto o = oldWords.begin();
  auto n = newWords.begin();
  while (o != oldWords.end() || n != newWords.end()) {
    if (n == newWords.end() || (o != oldWords.end() && *o < *n)) {
      *removed++ = asString(*o++);
    } else if (o == oldWords.end() || *n < *o) {
      *added++ = asString(*n++);
    } else {
      ++o;
      ++n;
    }
  }
  return changes;
}

}  // namespace

TTextIndexWords::TTextIndexWords(const TTextParams& params, uint32_t lcid)
    : lcid_(lcid),
      spaceChars_(params.SpaceChars),
      includeChars_(params.IncludeChars),
      stopWords_(uint16_t(lcid & 0xFFFF), uint16_t(lcid >> 16)) {
  for (const std::string& word : params.StopWords) stopWords_.Add(word);
}

bool TTextIndexWords::Before(const std::string& a, const std::string& b) const {
  // Words hold no zero byte, so both compare whole as zero-terminated texts.
  return LocaleCompare(lcid_, true, a.c_str(), b.c_str(), 0) < 0;
}

void TTextIndexWords::MergeWords(std::vector<std::string>& words, size_t sortedCount) const {
  auto before = [this](const std::string& a, const std::string& b) { return Before(a, b); };
  auto middle = words.begin() + std::ptrdiff_t(sortedCount);
  // Both steps are stable: equal words keep their order of collection, and
  // std::unique keeps the first of each run.
  std::stable_sort(middle, words.end(), before);
  std::inplace_merge(words.begin(), middle, words.end(), before);
  auto same = [this](const std::string& a, const std::string& b) {
    return LocaleCompare(lcid_, true, a.c_str(), b.c_str(), 0) == 0;
  };
  words.erase(std::unique(words.begin(), words.end(), same), words.end());
}

std::vector<std::string> TTextIndexWords::Extract(std::string_view value) const {
  std::vector<std::string> words;
  char word[kTextWordLength];
  size_t length = 0;
  size_t sortedCount = 0;
  size_t nextMerge = kFirstMerge;

  auto collect = [&] {
    if (length == 0) return;
    words.emplace_back(word, length);
    length = 0;
    if (words.size() >= nextMerge) {
      MergeWords(words, sortedCount);
      sortedCount = words.size();
      nextMerge = std::max(2 * sortedCount, kFirstMerge);
    }
  };

  for (char ch : value) {
    uint8_t c = uint8_t(ch);
    if (InSet(spaceChars_, c)) {
      collect();
    } else if (c != 0 && length < kTextWordLength && InSet(includeChars_, c)) {
      word[length++] = ch;
    }
  }
  collect();
  MergeWords(words, sortedCount);

  std::erase_if(words, [this](const std::string& w) { return stopWords_.IndexOf(w) >= 0; });
  for (std::string& w : words) LocaleUpper(lcid_, w);
  // Words distinct with case ignored stay distinct once upper-cased; unique
  // only guards the byte order the result promises.
  std::sort(words.begin(), words.end());
  words.erase(std::unique(words.begin(), words.end()), words.end());
  return words;
}

std::vector<std::string> ExtractWords(std::string_view value, const TTextParams& params,
                                      uint32_t lcid) {
  return TTextIndexWords(params, lcid).Extract(value);
}

TWordChanges DiffWords(std::span<const std::string> oldWords,
                       std::span<const std::string> newWords) {
  if (SortedDistinct(oldWords) && SortedDistinct(newWords)) return Diff(oldWords, newWords);
  std::vector<std::string_view> oldViews = SortedViews(oldWords);
  std::vector<std::string_view> newViews = SortedViews(newWords);
  return Diff(std::span<const std::string_view>(oldViews),
              std::span<const std::string_view>(newViews));
}

}  // namespace ledra
