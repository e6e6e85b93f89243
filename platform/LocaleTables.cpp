// Case mapping and collation of code page 1252 text for English (United
// States).
//
// How text is ordered
//
// Each byte stands for nothing (an ignorable byte), or for one collation
// element, or for two (æ is "ae", œ "oe", ß "ss", þ "th", ™ "TM"). An element
// carries three weights:
//   - primary: which character it is. Lowest first: the punctuation that word
//     sort sets aside (control characters, apostrophe, hyphen, dashes), then
//     blanks, symbols, digits and letters. Accented forms of a letter share
//     the letter's primary weight, as do both cases.
//   - mark: the accent (kNoMark for none).
//   - case: lower case 0, upper case 2, plus 1 for the small or raised forms
//     ª º ¹ ² ³ ™, which stay apart from their plain letter even when case is
//     ignored.
// Two strings are compared one level at a time over their whole length: the
// primary weights first, then the marks (unless non-spacing marks are
// ignored), then the case weights (without the upper-case bit when case is
// ignored) and last, in word sort, the punctuation passed over before. The
// first difference decides; a string that runs out first is the smaller. So
// "a" < "B" (primary), "a" < "A" (case decides only when all else is equal),
// "é" = "e" and "æ" = "ae" when marks are ignored.
//
// The whole order lives in the lists below, from which one 256-entry weight
// table is built while compiling; to correct the order, move a byte in the
// lists. The primary order, the expansions and the case forms reproduce every
// single-byte comparison and every recorded word comparison for the flags the
// engine passes (string sort with marks ignored, with and without case). The
// order among the marks themselves is not recorded; it follows the usual
// order of accents and matters only to callers that compare marks.

#include "platform/LocaleTables.h"

#include <string_view>

#include "platform/Locale.h"

namespace ledra::platform {

// Sixteen bytes a row: row n maps the bytes 0xn0 to 0xnF.
// clang-format off
constexpr std::array<uint8_t, 256> kUpperCase1252 = {
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,
    0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F,
    0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F,
    0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F,
    0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F,
    0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x5B, 0x5C, 0x5D, 0x5E, 0x5F,
    0x60, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F,
    0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x7B, 0x7C, 0x7D, 0x7E, 0x7F,
    0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x8B, 0x8C, 0x8D, 0x8E, 0x8F,
    0x90, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x8A, 0x9B, 0x8C, 0x9D, 0x8E, 0x9F,
    0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF,
    0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xBB, 0xBC, 0xBD, 0xBE, 0xBF,
    0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE, 0xCF,
    0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xDB, 0xDC, 0xDD, 0xDE, 0xDF,
    0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE, 0xCF,
    0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xF7, 0xD8, 0xD9, 0xDA, 0xDB, 0xDC, 0xDD, 0xDE, 0x9F,
};

constexpr std::array<uint8_t, 256> kLowerCase1252 = {
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,
    0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F,
    0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F,
    0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F,
    0x40, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F,
    0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x5B, 0x5C, 0x5D, 0x5E, 0x5F,
    0x60, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F,
    0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x7B, 0x7C, 0x7D, 0x7E, 0x7F,
    0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x9A, 0x8B, 0x9C, 0x8D, 0x9E, 0x8F,
    0x90, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0x9B, 0x9C, 0x9D, 0x9E, 0xFF,
    0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF,
    0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xBB, 0xBC, 0xBD, 0xBE, 0xBF,
    0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xEB, 0xEC, 0xED, 0xEE, 0xEF,
    0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xD7, 0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xDF,
    0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xEB, 0xEC, 0xED, 0xEE, 0xEF,
    0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF,
};
// clang-format on

namespace {

// Bytes that weigh nothing at any level: the zero byte (so that zero-padded
// key fields equal their text) and the soft hyphen (recorded below every
// other byte; whether it also vanishes inside longer strings is not recorded).
constexpr std::string_view kIgnorable = std::string_view("\x00\xAD", 2);

// Primary weights, lowest first. Each string holds the bytes that share one
// weight.
//
// First the punctuation that word sort sets aside; string sort orders it here,
// before everything else.
// clang-format off
constexpr std::string_view kPunctuationOrder[] = {
    // Control characters.
    "\x01", "\x02", "\x03", "\x04", "\x05", "\x06", "\x07", "\x08", "\x0E", "\x0F", "\x10",
    "\x11", "\x12", "\x13", "\x14", "\x15", "\x16", "\x17", "\x18", "\x19", "\x1A", "\x1B",
    "\x1C", "\x1D", "\x1E", "\x1F", "\x7F",
    // Apostrophe, hyphen, en dash, em dash.
    "\x27", "\x2D", "\x96", "\x97",
};

// Then, in ascending order, everything else that has a weight.
constexpr std::string_view kPrimaryOrder[] = {
    // Blanks.
    "\x20",  // space
    "\xA0",  // no-break space
    "\x09",  // tab
    "\x0A",  // line feed
    "\x0B",  // vertical tab
    "\x0C",  // form feed
    "\x0D",  // carriage return
    // Symbols.
    "\x21", "\x22", "\x23", "\x24", "\x25", "\x26",  // ! " # $ % &
    "\x28", "\x29", "\x2A", "\x2C", "\x2E", "\x2F",  // ( ) * , . /
    "\x3A", "\x3B", "\x3F", "\x40",                  // : ; ? @
    "\x5B", "\x5C", "\x5D",                          // [ \ ]
    "\x5E\x88",                                      // ^ and the modifier circumflex ˆ
    "\x5F", "\x60", "\x7B", "\x7C", "\x7D", "\x7E",  // _ ` { | } ~
    "\xA1", "\xA6", "\xA8", "\xAF", "\xB4", "\xB8",  // ¡ ¦ ¨ ¯ ´ ¸
    "\xBF", "\x98",                                  // ¿ ˜
    "\x91", "\x92", "\x82", "\x93", "\x94", "\x84",  // ‘ ’ ‚ “ ” „
    "\x8B", "\x9B",                                  // ‹ ›
    "\xA2", "\xA3", "\xA4", "\xA5", "\x80",          // ¢ £ ¤ ¥ €
    "\x2B", "\x3C", "\x3D", "\x3E", "\xB1",          // + < = > ±
    "\xAB", "\xBB", "\xD7", "\xF7",                  // « » × ÷
    "\xA7", "\xA9", "\xAC", "\xAE", "\xB0", "\xB5",  // § © ¬ ® ° µ
    "\xB6", "\xB7", "\x85", "\x86", "\x87", "\x95",  // ¶ · … † ‡ •
    "\x89",                                          // ‰
    "\x81\x8D\x8F\x90\x9D",                          // the five unassigned bytes
    // Digits; the fractions sort between 0 and 1, the raised digits with
    // their digit.
    "\x30",                                          // 0
    "\xBC", "\xBD", "\xBE",                          // ¼ ½ ¾
    "\x31\xB9",                                      // 1 ¹
    "\x32\xB2",                                      // 2 ²
    "\x33\xB3",                                      // 3 ³
    "\x34", "\x35", "\x36", "\x37", "\x38", "\x39",  // 4 5 6 7 8 9
    // Letters, each with its accented, small and raised forms.
    "\x61\x41\xAA\xE0\xE1\xE2\xE3\xE4\xE5\xC0\xC1\xC2\xC3\xC4\xC5",  // a A ª à á â ã ä å À-Å
    "\x62\x42",                                                      // b B
    "\x63\x43\xE7\xC7",                                              // c C ç Ç
    "\x64\x44\xF0\xD0",                                              // d D ð Ð
    "\x65\x45\xE8\xE9\xEA\xEB\xC8\xC9\xCA\xCB",                      // e E è é ê ë È-Ë
    "\x66\x46\x83",                                                  // f F ƒ
    "\x67\x47",                                                      // g G
    "\x68\x48",                                                      // h H
    "\x69\x49\xEC\xED\xEE\xEF\xCC\xCD\xCE\xCF",                      // i I ì í î ï Ì-Ï
    "\x6A\x4A",                                                      // j J
    "\x6B\x4B",                                                      // k K
    "\x6C\x4C",                                                      // l L
    "\x6D\x4D",                                                      // m M
    "\x6E\x4E\xF1\xD1",                                              // n N ñ Ñ
    "\x6F\x4F\xBA\xF2\xF3\xF4\xF5\xF6\xF8\xD2\xD3\xD4\xD5\xD6\xD8",  // o O º ò ó ô õ ö ø Ò-Ø
    "\x70\x50",                                                      // p P
    "\x71\x51",                                                      // q Q
    "\x72\x52",                                                      // r R
    "\x73\x53\x9A\x8A",                                              // s S š Š
    "\x74\x54",                                                      // t T
    "\x75\x55\xF9\xFA\xFB\xFC\xD9\xDA\xDB\xDC",                      // u U ù ú û ü Ù-Ü
    "\x76\x56",                                                      // v V
    "\x77\x57",                                                      // w W
    "\x78\x58",                                                      // x X
    "\x79\x59\xFD\xFF\xDD\x9F",                                      // y Y ý ÿ Ý Ÿ
    "\x7A\x5A\x9E\x8E",                                              // z Z ž Ž
};
// clang-format on

// Characters that stand for two letters and take their weights.
struct TExpansion {
  uint8_t byte;
  std::string_view letters;
};
constexpr TExpansion kExpansions[] = {
    {0xE6, "ae"}, {0xC6, "AE"},  // æ Æ
    {0x9C, "oe"}, {0x8C, "OE"},  // œ Œ
    {0xDF, "ss"},                // ß
    {0xFE, "th"}, {0xDE, "TH"},  // þ Þ
    {0x99, "TM"},                // ™ (raised)
};

// Small or raised forms: their case weight adds kCaseRaised.
constexpr std::string_view kRaisedForms = "\xAA\xBA\xB9\xB2\xB3\x99";  // ª º ¹ ² ³ ™

// The accents, in the order in which they sort when marks are compared.
enum TMark : uint8_t {
  kNoMark = 0,
  kAcute,
  kGrave,
  kCircumflex,
  kCaron,
  kRing,
  kDiaeresis,
  kTilde,
  kCedilla,
  kStroke,
  kHook,
};

struct TMarkedLetters {
  std::string_view bytes;
  TMark mark;
};
constexpr TMarkedLetters kMarks[] = {
    {"\xE1\xC1\xE9\xC9\xED\xCD\xF3\xD3\xFA\xDA\xFD\xDD", kAcute},      // á é í ó ú ý
    {"\xE0\xC0\xE8\xC8\xEC\xCC\xF2\xD2\xF9\xD9", kGrave},              // à è ì ò ù
    {"\xE2\xC2\xEA\xCA\xEE\xCE\xF4\xD4\xFB\xDB", kCircumflex},         // â ê î ô û
    {"\x9A\x8A\x9E\x8E", kCaron},                                      // š ž
    {"\xE5\xC5", kRing},                                               // å
    {"\xE4\xC4\xEB\xCB\xEF\xCF\xF6\xD6\xFC\xDC\xFF\x9F", kDiaeresis},  // ä ë ï ö ü ÿ
    {"\xE3\xC3\xF1\xD1\xF5\xD5", kTilde},                              // ã ñ õ
    {"\xE7\xC7", kCedilla},                                            // ç
    {"\xF8\xD8\xF0\xD0", kStroke},                                     // ø ð
    {"\x83", kHook},                                                   // ƒ
};

constexpr uint8_t kCaseUpper = 2;
constexpr uint8_t kCaseRaised = 1;

struct TCollationElement {
  uint8_t primary = 0;
  uint8_t mark = kNoMark;
  uint8_t caseWeight = 0;
};

struct TCollationWeight {
  // 0 for an ignorable byte, 2 for a character that stands for two letters.
  uint8_t count = 0;
  // Set aside by word sort; weighs only at the last level there.
  bool wordSortPunctuation = false;
  std::array<TCollationElement, 2> elements{};
};

using TWeightTable = std::array<TCollationWeight, 256>;

constexpr uint8_t Byte(char c) {
  return static_cast<uint8_t>(c);
}

constexpr bool Contains(std::string_view bytes, uint8_t c) {
  for (char b : bytes) {
    if (Byte(b) == c) return true;
  }
  return false;
}

// Builds the weight table from the lists above. A byte left without a weight,
// or given two, stops the build.
consteval TWeightTable BuildWeightTable() {
  TWeightTable table{};
  std::array<bool, 256> done{};
  uint8_t primary = 0;
  auto assign = [&](std::string_view group, bool punctuation) {
    ++primary;
    for (char b : group) {
      uint8_t c = Byte(b);
      if (done[c]) throw "byte listed twice";
      done[c] = true;
      TCollationWeight& weight = table[c];
      weight.count = 1;
      weight.wordSortPunctuation = punctuation;
      weight.elements[0].primary = primary;
    }
  };
  for (std::string_view group : kPunctuationOrder) assign(group, true);
  for (std::string_view group : kPrimaryOrder) assign(group, false);

  // Case and marks of the single characters.
  for (int c = 0; c < 256; ++c) {
    TCollationElement& element = table[c].elements[0];
    if (kLowerCase1252[c] != c) element.caseWeight |= kCaseUpper;
    if (Contains(kRaisedForms, static_cast<uint8_t>(c))) element.caseWeight |= kCaseRaised;
    for (const TMarkedLetters& marked : kMarks) {
      if (Contains(marked.bytes, static_cast<uint8_t>(c))) element.mark = marked.mark;
    }
  }

  // Two-letter characters copy the elements of their letters.
  for (const TExpansion& expansion : kExpansions) {
    if (done[expansion.byte]) throw "byte listed twice";
    done[expansion.byte] = true;
    TCollationWeight& weight = table[expansion.byte];
    weight.count = 2;
    for (size_t i = 0; i < 2; ++i) {
      weight.elements[i] = table[Byte(expansion.letters[i])].elements[0];
      if (Contains(kRaisedForms, expansion.byte)) weight.elements[i].caseWeight |= kCaseRaised;
    }
  }

  for (char b : kIgnorable) {
    if (done[Byte(b)]) throw "byte listed twice";
    done[Byte(b)] = true;
  }
  for (bool listed : done) {
    if (!listed) throw "byte without a weight";
  }
  return table;
}

constexpr TWeightTable kWeights = BuildWeightTable();

// Walks the collation elements of a string that take part in the first three
// levels, passing over ignorable bytes and, in word sort, punctuation.
class TElementReader {
 public:
  TElementReader(const uint8_t* text, size_t length, bool stringSort)
      : text_(text), length_(length), stringSort_(stringSort) {}

  const TCollationElement* Next() {
    while (position_ < length_) {
      const TCollationWeight& weight = kWeights[text_[position_]];
      if (weight.count == 0 || (weight.wordSortPunctuation && !stringSort_)) {
        ++position_;
        continue;
      }
      const TCollationElement* element = &weight.elements[part_];
      if (++part_ == weight.count) {
        part_ = 0;
        ++position_;
      }
      return element;
    }
    return nullptr;
  }

 private:
  const uint8_t* text_;
  size_t length_;
  size_t position_ = 0;
  uint8_t part_ = 0;
  bool stringSort_;
};

template <typename Level>
int CompareLevel(const uint8_t* a, size_t lengthA, const uint8_t* b, size_t lengthB,
                 bool stringSort, Level level) {
  TElementReader readerA(a, lengthA, stringSort);
  TElementReader readerB(b, lengthB, stringSort);
  for (;;) {
    const TCollationElement* elementA = readerA.Next();
    const TCollationElement* elementB = readerB.Next();
    if (elementA == nullptr || elementB == nullptr) {
      return elementA != nullptr ? 1 : elementB != nullptr ? -1 : 0;
    }
    int weightA = level(*elementA);
    int weightB = level(*elementB);
    if (weightA != weightB) return weightA < weightB ? -1 : 1;
  }
}

// The last level of word sort: the punctuation passed over, compared by
// position in the string and then by weight.
size_t NextPunctuation(const uint8_t* text, size_t length, size_t from) {
  while (from < length && !kWeights[text[from]].wordSortPunctuation) ++from;
  return from;
}

int ComparePunctuation(const uint8_t* a, size_t lengthA, const uint8_t* b, size_t lengthB) {
  size_t positionA = NextPunctuation(a, lengthA, 0);
  size_t positionB = NextPunctuation(b, lengthB, 0);
  for (;;) {
    bool endA = positionA == lengthA;
    bool endB = positionB == lengthB;
    if (endA || endB) return endA == endB ? 0 : endA ? -1 : 1;
    if (positionA != positionB) return positionA < positionB ? -1 : 1;
    uint8_t weightA = kWeights[a[positionA]].elements[0].primary;
    uint8_t weightB = kWeights[b[positionB]].elements[0].primary;
    if (weightA != weightB) return weightA < weightB ? -1 : 1;
    positionA = NextPunctuation(a, lengthA, positionA + 1);
    positionB = NextPunctuation(b, lengthB, positionB + 1);
  }
}

}  // namespace

int CompareText1252(uint32_t flags, const uint8_t* a, size_t lengthA, const uint8_t* b,
                    size_t lengthB) {
  bool stringSort = (flags & kCompareStringSort) != 0;
  int result = CompareLevel(a, lengthA, b, lengthB, stringSort,
                            [](const TCollationElement& e) { return e.primary; });
  if (result == 0 && (flags & kCompareIgnoreNonSpace) == 0) {
    result = CompareLevel(a, lengthA, b, lengthB, stringSort,
                          [](const TCollationElement& e) { return e.mark; });
  }
  if (result == 0) {
    uint8_t caseMask = (flags & kCompareIgnoreCase) != 0 ? ~kCaseUpper & 0xFF : 0xFF;
    result =
        CompareLevel(a, lengthA, b, lengthB, stringSort,
                     [caseMask](const TCollationElement& e) { return e.caseWeight & caseMask; });
  }
  if (result == 0 && !stringSort) result = ComparePunctuation(a, lengthA, b, lengthB);
  return result;
}

}  // namespace ledra::platform
