#include "engine/index/CharMaps.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/engine/index/IndexTestSupport.h"

namespace ledra {
namespace {

constexpr uint16_t kEnglishUS = 1033;

TEST(CharMapsTest, NoLocaleIsCodeOrder) {
  TCharMap map = BuildCharMap(0, 0);
  for (int c = 0; c < 256; ++c) EXPECT_EQ(map[c], c);
  EXPECT_EQ(GetCharMap(0, 0), map);
}

// The recorded single-character comparisons of locale 1033 (string sort,
// marks ignored): result[a][b] is -1, 0 or 1 for the bytes 1..255.
std::vector<std::vector<int>> RecordedComparisons() {
  std::vector<std::vector<int>> result(256, std::vector<int>(256, 2));
  std::ifstream in(std::string(OSTREVO_TEST_DATA_DIR) + "/locale-1033-cp1252.txt");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("cmp 1002 ", 0) != 0) continue;
    std::istringstream fields(line.substr(9));
    std::string a, results;
    fields >> a >> results;
    int code = std::stoi(a, nullptr, 16);
    for (size_t b = 1; b <= results.size() && b < 256; ++b) {
      result[code][b] = results[b - 1] == '-' ? -1 : results[b - 1] == '=' ? 0 : 1;
    }
  }
  return result;
}

TEST(CharMapsTest, EnglishOrderFollowsTheRecordedComparisons) {
  TCharMap map = BuildCharMap(kEnglishUS, 0);
  TCharMap sorted = map;
  std::sort(sorted.begin(), sorted.end());
  for (int c = 0; c < 256; ++c) ASSERT_EQ(sorted[c], c) << "not a permutation";

  // The terminator weighs nothing and stays first; the last letters are z, ž,
  // Z, Ž (case orders lower before upper, marks only break ties by code).
  EXPECT_EQ(map[0], 0x00);
  EXPECT_EQ(std::vector<uint8_t>(map.end() - 4, map.end()),
            (std::vector<uint8_t>{0x7A, 0x9E, 0x5A, 0x8E}));
  auto position = [&](uint8_t c) { return std::find(map.begin(), map.end(), c) - map.begin(); };
  EXPECT_LT(position('a'), position('A'));
  EXPECT_LT(position('A'), position('b'));
  EXPECT_LT(position('9'), position('a'));
  EXPECT_LT(position('e'), position(0xE9));  // é equals e: code order

  std::vector<std::vector<int>> recorded = RecordedComparisons();
  ASSERT_EQ(recorded['a']['b'], -1) << "reference data not found";
  for (int i = 1; i + 1 < 256; ++i) {
    int a = map[i];
    int b = map[i + 1];
    if (a == 0 || b == 0) continue;
    EXPECT_LE(recorded[a][b], 0) << std::hex << a << " " << b;
    if (recorded[a][b] == 0) {
      EXPECT_LT(a, b) << "equal characters keep their code order";
    }
  }
}

TEST(CharMapsTest, CacheBuildsEachMapOnce) {
  TLanguageCharMapsList list;
  EXPECT_EQ(list.Count(), 0u);
  TCharMap english = list.Get(kEnglishUS, 0);
  EXPECT_EQ(english, BuildCharMap(kEnglishUS, 0));
  EXPECT_EQ(list.Get(kEnglishUS, 0), english);
  EXPECT_EQ(list.Get(0, 0), BuildCharMap(0, 0));
  EXPECT_EQ(list.Count(), 2u);

#ifndef _WIN32  // Windows compares in every locale it has
  // A locale without a comparison fails and adds nothing.
  EXPECT_EQ(test::CodeOf([&] { list.Get(1031, 1); }), LEDRA_CANNOTLOADLDDRV);
  EXPECT_EQ(list.Count(), 2u);
#endif

  // Threads asking for the same map at once leave one entry.
  TLanguageCharMapsList shared;
  std::vector<std::thread> threads;
  std::vector<TCharMap> maps(4);
  for (size_t i = 0; i < maps.size(); ++i) {
    threads.emplace_back([&, i] { maps[i] = shared.Get(kEnglishUS, 0); });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(shared.Count(), 1u);
  for (const TCharMap& map : maps) EXPECT_EQ(map, english);
}

}  // namespace
}  // namespace ledra
