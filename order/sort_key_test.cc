#include "order/sort_key.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace orv {
namespace {

class SortKeyTest : public testing::Test {
 protected:
  // The order() of `keys`, as the keys themselves.
  static std::vector<std::string> sorted_by_order(
      const std::vector<std::string>& keys) {
    SortKeys sort_keys(keys.size(), 0);
    for (const std::string& key : keys) {
      sort_keys.buffer()->append(key);
      sort_keys.finish_key();
    }
    std::vector<size_t> order = sort_keys.order();
    std::vector<std::string> sorted;
    for (size_t position : order) sorted.push_back(keys.at(position));
    return sorted;
  }

  static int sign(int value) { return (value > 0) - (value < 0); }
};

TEST_F(SortKeyTest, BytesOrderAsTextsAndDelimitThemselves) {
  const std::string texts[] = {"",
                               std::string(1, '\0'),
                               std::string("\0\0", 2),
                               std::string("a\0", 2),
                               "a",
                               "ab",
                               "b",
                               "\xFF",
                               "\xFF\xFF"};
  for (const std::string& a : texts) {
    for (const std::string& b : texts) {
      for (bool desc : {false, true}) {
        std::string ka;
        std::string kb;
        put_bytes(a, desc, &ka);
        put_bytes(b, desc, &kb);
        int expected = sign(a.compare(b));
        if (desc) expected = -expected;
        EXPECT_EQ(sign(ka.compare(kb)), expected)
            << testing::PrintToString(a) << " vs " << testing::PrintToString(b);
        // A following part never changes the answer between different
        // texts.
        if (a != b) {
          EXPECT_EQ(sign((ka + "\xFF").compare(kb + std::string(1, '\0'))),
                    expected);
        }
      }
    }
  }
}

TEST_F(SortKeyTest, OrderSortsManySharedPrefixes) {
  // Keys from a four-byte alphabet, each made self-delimiting by
  // put_bytes: long shared prefixes, runs of equal keys and ends on both
  // sides of every eight-byte boundary.
  const char alphabet[] = {'\0', '\x01', 'a', '\xFF'};
  std::mt19937 random(11);
  for (size_t count : {0, 1, 2, 17, 20000}) {
    std::vector<std::string> keys;
    for (size_t i = 0; i < count; ++i) {
      std::string text(random() % 3 == 0 ? 12 : 0, 'a');
      for (int length = random() % 20; length > 0; --length) {
        text.push_back(alphabet[random() % 4]);
      }
      std::string key;
      put_bytes(text, false, &key);
      keys.push_back(key);
    }
    std::vector<std::string> expected = keys;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(sorted_by_order(keys), expected) << count << " keys";
  }
}

TEST_F(SortKeyTest, OrderSortsAllEqualAndPresortedLists) {
  std::string key;
  put_bytes("same name", false, &key);
  std::vector<std::string> equal(5000, key);
  EXPECT_EQ(sorted_by_order(equal), equal);

  std::vector<std::string> ascending;
  for (int i = 0; i < 5000; ++i) {
    std::string k;
    put_i64(i / 3, false, &k);
    ascending.push_back(k);
  }
  std::vector<std::string> descending(ascending.rbegin(), ascending.rend());
  EXPECT_EQ(sorted_by_order(ascending), ascending);
  EXPECT_EQ(sorted_by_order(descending), ascending);
}

TEST_F(SortKeyTest, LongListsSortAsShortOnes) {
  // Long enough to be split between threads: keys that differ early, keys
  // sharing their first words (a third of them one and the same key, so the
  // splitter may fall among them), keys ending within the first word.
  std::mt19937 random(5);
  std::vector<std::string> keys;
  for (int i = 0; i < 70000; ++i) {
    std::string text;
    switch (random() % 3) {
      case 0:
        text = std::to_string(random());
        break;
      case 1:
        text = "shared prefix";
        break;
      default:
        text = "shared prefix " + std::to_string(random() % 500);
    }
    std::string key;
    put_bytes(text, i % 2 == 0, &key);
    keys.push_back(key);
  }
  std::vector<std::string> expected = keys;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(sorted_by_order(keys), expected);

  // Equal keys end in no particular order, but in the same one whether the
  // list is sorted on one core or on two: a page lists them as before.
  SortKeys made(keys.size(), 0);
  for (const std::string& key : keys) {
    made.buffer()->append(key);
    made.finish_key();
  }
  cpu_set_t all;
  ASSERT_EQ(sched_getaffinity(0, sizeof(all), &all), 0);
  if (CPU_COUNT(&all) < 2) GTEST_SKIP() << "one core: nothing to compare";
  const std::vector<size_t> on_all = made.order();
  cpu_set_t one;
  CPU_ZERO(&one);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &all)) {
      CPU_SET(cpu, &one);
      break;
    }
  }
  ASSERT_EQ(sched_setaffinity(0, sizeof(one), &one), 0);
  const std::vector<size_t> on_one = made.order();
  ASSERT_EQ(sched_setaffinity(0, sizeof(all), &all), 0);
  EXPECT_EQ(on_all, on_one);
}

TEST_F(SortKeyTest, AppendedKeysFollowAsTheirOwn) {
  const std::vector<std::string> texts = {"b", "a", "", "ab", "a", "c"};
  SortKeys first(0, 0);
  SortKeys second(0, 0);
  for (size_t i = 0; i < texts.size(); ++i) {
    SortKeys* keys = i < 2 ? &first : &second;
    put_bytes(texts[i], false, keys->buffer());
    keys->finish_key();
  }
  first.append(&second);
  EXPECT_EQ(second.size(), 0u);
  ASSERT_EQ(first.size(), texts.size());
  std::vector<std::string> sorted;
  for (size_t position : first.order()) sorted.push_back(texts[position]);
  EXPECT_EQ(sorted, (std::vector<std::string>{"", "a", "a", "ab", "b", "c"}));
}

}  // namespace
}  // namespace orv
