// The words that the text index ("Sys Text", slot 32) keeps for one field
// value, and the change of words between two values of a field.
//
// A value is split with the two character sets of the text index parameters
// (TextParams.h). Character code c is a member of a set when bit c % 8 of set
// byte c / 8 is 1, bits counted from the least significant (value 1 << (c % 8)).
//   - a character of the space set ends the current word;
//   - any other character joins the word when it is in the include set and
//     the word holds fewer than 61 characters, and is passed over otherwise
//     (so a longer run keeps its first 61 characters). A zero byte never joins
//     a word: the locale functions and the key end a word at its first zero;
//   - a non-empty word is collected at a space character and at the end of
//     the value.
// Collected words that are equal in the table's locale with case ignored
// (LocaleCompare with ignoreCase, i.e. flags 0x1003: string sort, marks and
// case ignored) are one word; the first occurrence is the one kept. That is
// the equality under which the B-tree finds text keys, so a value never
// yields two keys the tree would take for one. Words in the stop-word list
// (same comparison) are dropped, the rest are upper-cased with LocaleUpper:
// those are the words that make keys (Keys.h, BuildTextKey).
//
// An edit is told apart on the upper-cased words, byte for byte as the keys
// hold them. Comparing the words as the value holds them would take an edit
// that only changes case ("Main" to "MAIN") for a removal and an addition of
// the same key, and in the wrong order that deletes a key the new value still
// needs. Callers remove the keys of Removed first, then add those of Added.
//
// Values may be long (memo fields): splitting is one pass over the value and
// duplicates are merged by sorting, so the work grows as n log n in the
// number of words and the memory with the number of distinct words.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/index/LanguageStringList.h"
#include "engine/index/TextParams.h"

namespace ledra {

class TTextIndexWords {
 public:
  // The splitting rules of one text index in locale `lcid` (TableLocale of
  // the table: 1033 for a table without a locale). The stop words are sorted
  // once here.
  TTextIndexWords(const TTextParams& params, uint32_t lcid);

  uint32_t Lcid() const { return lcid_; }

  // The distinct upper-cased words of a value, in byte order. Raises
  // LEDRA_CANNOTLOADLDDRV when the locale has no comparison or case mapping.
  std::vector<std::string> Extract(std::string_view value) const;

 private:
  static bool InSet(const std::array<uint8_t, kCharSetSize>& set, uint8_t c) {
    return (set[c >> 3] >> (c & 7)) & 1;
  }
  bool Before(const std::string& a, const std::string& b) const;
  // Merges the words from `sortedCount` on into the sorted, distinct words
  // before them, keeping the earliest of equal words.
  void MergeWords(std::vector<std::string>& words, size_t sortedCount) const;

  uint32_t lcid_;
  std::array<uint8_t, kCharSetSize> spaceChars_;
  std::array<uint8_t, kCharSetSize> includeChars_;
  TLanguageStringList stopWords_;
};

// The words of a value under a text index's parameters (one-off use of
// TTextIndexWords).
std::vector<std::string> ExtractWords(std::string_view value, const TTextParams& params,
                                      uint32_t lcid);

struct TWordChanges {
  std::vector<std::string> Removed;  // old words the new value lacks
  std::vector<std::string> Added;    // new words the old value lacked
};

// The words that left and the words that arrived between the words of an old
// and a new value (as Extract gives them), compared byte for byte. Both
// results are in byte order and hold each word once.
TWordChanges DiffWords(std::span<const std::string> oldWords,
                       std::span<const std::string> newWords);

}  // namespace ledra
