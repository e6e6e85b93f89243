// A sorted list of strings ordered by a locale's comparison, ignoring case.
//
// The text index keeps its stop words in one: a word is looked up by halving
// the list, so the list must be ordered by exactly the comparison used to
// search it, that of the table's locale with case ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ledra {

class TLanguageStringList {
 public:
  // The locale of a table: LanguageId 0 stands for English (United States).
  TLanguageStringList(uint16_t languageId, uint16_t sortId);

  uint32_t Lcid() const { return lcid_; }
  size_t Count() const { return strings_.size(); }
  const std::string& operator[](size_t index) const { return strings_[index]; }

  // Inserts the string in order and returns its index. A string equal to one
  // already listed (in the list's comparison) is not added again; the index
  // of the listed one is returned.
  size_t Add(const std::string& text);
  // Whether an equal string is listed; `index` is then its position, else the
  // position where it would be inserted.
  bool Find(const std::string& text, size_t& index) const;
  // The position of an equal string, or -1.
  long IndexOf(const std::string& text) const;
  void Delete(size_t index);
  void Clear() { strings_.clear(); }

  // -1, 0 or 1: the list's comparison of two strings. Each string ends at its
  // first zero byte, as the locale comparison reads it.
  int Compare(const std::string& a, const std::string& b) const;

 private:
  uint32_t lcid_;
  std::vector<std::string> strings_;
};

}  // namespace ledra
