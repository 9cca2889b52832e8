#include "order/sorter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "order/cluster.h"
#include "order/test_util.h"

namespace orv {
namespace {

using test::EntryFields;
using test::make_entry;
using test::named;
using test::ScopedLocale;

// A last link that counts how often it is asked and orders by size.
class CountingSorter : public Sorter {
 public:
  using Sorter::Sorter;
  bool compare(const Entry& a, const Entry& b) const override {
    ++calls;
    return a.stat.st_size < b.stat.st_size;
  }
  mutable int calls = 0;

 protected:
  void append_key(const Entry& entry, std::string* key) const override {
    key->append(std::to_string(entry.stat.st_size + 1000000000));
  }
};

class SorterTest : public testing::Test {
 protected:
  // A head and the given links after it, as the query builds a chain.
  static std::shared_ptr<Sorter> chain(
      std::initializer_list<std::shared_ptr<Sorter>> links) {
    ErrorRecord error;
    std::shared_ptr<Sorter> head = make_sorter<Sorter>(false, &error);
    EXPECT_TRUE(error.ok()) << error.message;
    for (const std::shared_ptr<Sorter>& link : links) head->append(link);
    return head;
  }

  template <typename T>
  static std::shared_ptr<Sorter> link(bool desc) {
    ErrorRecord error;
    std::shared_ptr<Sorter> sorter = make_sorter<T>(desc, &error);
    EXPECT_TRUE(error.ok()) << error.message;
    return sorter;
  }

  static std::vector<std::string> names_of(const std::vector<Entry>& list) {
    std::vector<std::string> names;
    for (const Entry& entry : list) names.push_back(entry.name);
    return names;
  }

  static std::vector<Entry> entries_named(std::vector<std::string> names) {
    std::vector<Entry> list;
    for (const std::string& name : names) list.push_back(named(name));
    return list;
  }

  // Every later entry is not before any earlier one under `head`: checks all
  // neighbours and a sample of other pairs.
  static void expect_ordered(const Sorter& head,
                             const std::vector<Entry>& list) {
    for (size_t i = 1; i < list.size(); ++i) {
      ASSERT_FALSE(head.compare(list[i], list[i - 1]))
          << "at " << i << ": " << testing::PrintToString(list[i].name)
          << " before " << testing::PrintToString(list[i - 1].name);
    }
    std::mt19937 random(7);
    for (int n = 0; n < 20000 && list.size() > 1; ++n) {
      size_t i = random() % list.size();
      size_t j = random() % list.size();
      if (i > j) std::swap(i, j);
      ASSERT_FALSE(head.compare(list[j], list[i]))
          << testing::PrintToString(list[j].name) << " at " << j
          << " goes before " << testing::PrintToString(list[i].name) << " at "
          << i;
    }
  }
};

struct NameOrderCase {
  bool desc;
  std::vector<std::string> input;
  std::vector<std::string> expected;
};

TEST_F(SorterTest, NameOrderWithPrefixGroups) {
  ScopedLocale locale("en_US");
  const NameOrderCase cases[] = {
      {false, {"a10", "a2", "B", "b"}, {"a2", "a10", "b", "B"}},
      {true, {"a10", "a2", "B", "b"}, {"B", "b", "a10", "a2"}},
      {false,
       {"Zeta", "@Recycle", "alpha", ".config", ".@__thumb"},
       {".@__thumb", ".config", "@Recycle", "alpha", "Zeta"}},
      {true,
       {"alpha", ".config", "Zeta", ".@__thumb", "@Recycle"},
       {".@__thumb", ".config", "@Recycle", "Zeta", "alpha"}},
      {false,
       {".b", ".@z", "@b", ".a", ".@a", "@a", "c"},
       {".@a", ".@z", ".a", ".b", "@a", "@b", "c"}},
      {true,
       {".b", ".@z", "@b", ".a", ".@a", "@a", "c"},
       {".@z", ".@a", ".b", ".a", "@b", "@a", "c"}},
      {false,
       {"f", "\xC3\xA9", "e", "file10", "file2"},
       {"e", "\xC3\xA9", "f", "file2", "file10"}},
  };
  for (const NameOrderCase& c : cases) {
    std::shared_ptr<Sorter> head = chain({link<NameSorter>(c.desc)});
    std::vector<Entry> list = entries_named(c.input);
    head->sort(&list);
    EXPECT_EQ(names_of(list), c.expected) << (c.desc ? "desc" : "asc");
  }
}

TEST_F(SorterTest, CollationTiesDoNotAskTheNextLink) {
  ScopedLocale locale("en_US");
  for (bool desc : {false, true}) {
    std::shared_ptr<Sorter> name = link<NameSorter>(desc);
    auto counter = std::make_shared<CountingSorter>(false, nullptr);
    name->append(counter);
    Entry a01 = named("a01");
    Entry a1 = named("a1");
    EXPECT_FALSE(name->compare(a01, a1));
    EXPECT_FALSE(name->compare(a1, a01));
    EXPECT_EQ(counter->calls, 0);

    // Equal names are handed on.
    EntryFields small{"x.txt", 1};
    EntryFields large{"x.txt", 2};
    EXPECT_TRUE(name->compare(make_entry(small), make_entry(large)));
    EXPECT_FALSE(name->compare(make_entry(large), make_entry(small)));
    EXPECT_EQ(counter->calls, 2);
  }
}

TEST_F(SorterTest, AppendGoesToTheEndAndAnswersTheReceiver) {
  std::shared_ptr<Sorter> head = link<Sorter>(false);
  std::shared_ptr<Sorter> name = link<NameSorter>(false);
  std::shared_ptr<Sorter> size = link<SizeSorter>(true);
  EXPECT_EQ(head->append(name), head);
  EXPECT_EQ(head->append(size), head);
  EXPECT_EQ(head->next(), name);
  EXPECT_EQ(name->next(), size);
  EXPECT_EQ(size->next(), nullptr);
}

TEST_F(SorterTest, KeyedSortersInBothDirections) {
  ScopedLocale locale("en_US");
  // One entry per row, in ascending order of every key at once.
  std::vector<EntryFields> rows = {
      {"d", -5, -86400, S_IFREG | 0007, 0, 0},
      {"b", 0, 0, S_IFREG | 0640, 7, 3},
      {"a", 4096, 1600000000, S_IFDIR | 0755, 1000, 100},
      {"c", int64_t{1} << 40, int64_t{1} << 40, S_IFREG | 0777, 4000000000u,
       4000000000u},
  };
  const std::vector<std::string> ascending = {"d", "b", "a", "c"};
  std::vector<std::string> descending(ascending.rbegin(), ascending.rend());
  struct Keyed {
    const char* label;
    std::shared_ptr<Sorter> (*make)(bool);
  } keyed[] = {
      {"date", link<DateSorter>},
      {"size", link<SizeSorter>},
      {"owner", link<OwnerSorter>},
      {"group", link<GroupSorter>},
      {"permission", link<PermissionSorter>},
  };
  for (const Keyed& k : keyed) {
    for (bool desc : {false, true}) {
      std::shared_ptr<Sorter> head = chain({k.make(desc)});
      std::vector<Entry> list;
      for (const EntryFields& fields : rows) list.push_back(make_entry(fields));
      std::shuffle(list.begin(), list.end(), std::mt19937(3));
      head->sort(&list);
      EXPECT_EQ(names_of(list), desc ? descending : ascending)
          << k.label << (desc ? " desc" : " asc");
    }
  }
}

TEST_F(SorterTest, TypePutsFoldersAndBareNamesFirst) {
  ScopedLocale locale("en_US");
  std::vector<Entry> list = {
      make_entry({"notes.txt"}),
      make_entry({"b.PNG"}),
      make_entry({"photos", 0, 0, S_IFDIR | 0755}),
      make_entry({"README"}),
      make_entry({"a.jpg"}),
      make_entry({"c.png"}),
  };
  // Equal extensions are ordered by name.
  std::shared_ptr<Sorter> head =
      chain({link<TypeSorter>(false), link<NameSorter>(false)});
  head->sort(&list);
  EXPECT_EQ(names_of(list),
            (std::vector<std::string>{"photos", "README", "a.jpg", "c.png",
                                      "b.PNG", "notes.txt"}));
}

TEST_F(SorterTest, SizeBandsThenNames) {
  ScopedLocale locale("en_US");
  SizeCluster bands;
  const std::vector<std::pair<std::string, int64_t>> files = {
      {"k", 10737418240}, {"j", 104857599}, {"i", 50},
      {"h", 5000},        {"g", 500000},    {"f", 99},
      {"e", 100},         {"d", 1048575},   {"c", 10737418239}};
  std::vector<Entry> list;
  for (const auto& [name, size] : files) {
    Entry entry = make_entry({name, size});
    entry.cluster = bands.key(entry);
    list.push_back(entry);
  }
  std::shared_ptr<Sorter> head =
      chain({link<SizeClusterSorter>(false), link<NameSorter>(false)});
  head->sort(&list);
  std::vector<std::string> keys;
  for (const Entry& entry : list)
    keys.push_back(entry.cluster + ":" + entry.name);
  EXPECT_EQ(keys, (std::vector<std::string>{"xs:f", "xs:i", "s:e", "s:h", "m:d",
                                            "m:g", "l:j", "xl:c", "xxl:k"}));
}

TEST_F(SorterTest, NewestMonthFirstNamesAscending) {
  ScopedLocale locale("en_US");
  const std::vector<Entry> files = {
      make_entry({"b", 0, 1612137600}),  // 2021-02-01
      make_entry({"a", 0, 1614556800}),  // 2021-03-01
      make_entry({"c", 0, 1612224000}),  // 2021-02-02
      make_entry({"d", 0, 1614643200}),  // 2021-03-02
  };
  DateCluster months;
  std::vector<Entry> list;
  for (Entry entry : files) {
    entry.stat.st_mtim.tv_sec += 43200;  // noon, the same month anywhere
    entry.cluster = months.key(entry);
    list.push_back(entry);
  }
  std::shared_ptr<Sorter> head =
      chain({link<ClusterSorter>(true), link<NameSorter>(false)});
  head->sort(&list);
  EXPECT_EQ(names_of(list), (std::vector<std::string>{"a", "d", "b", "c"}));
}

TEST_F(SorterTest, GroupsThatCollateEqualStayContiguous) {
  ScopedLocale locale("en_US");
  std::vector<Entry> list;
  for (const char* name : {"a", "b", "c", "d", "e", "f"}) {
    Entry entry = named(name);
    entry.cluster = (name[0] - 'a') % 2 ? "user01" : "user1";
    list.push_back(entry);
  }
  std::shared_ptr<Sorter> head =
      chain({link<ClusterSorter>(false), link<NameSorter>(false)});
  head->sort(&list);
  for (size_t i = 2; i < list.size(); ++i) {
    EXPECT_FALSE(list[i].cluster == list[i - 2].cluster &&
                 list[i].cluster != list[i - 1].cluster)
        << "group " << list[i].cluster << " split at " << i;
  }
  expect_ordered(*head, list);
}

// Random byte strings over an alphabet that makes ties and trouble likely.
std::vector<Entry> random_entries(size_t count, unsigned seed) {
  const std::string pieces[] = {
      "a",    "B",    "b",    "0",    "1",        "01",        "2",
      "10",   ".",    "@",    ".@",   "\xC3\xA9", "e\xCC\x81", "\xE4\xB8\xAD",
      "\xFF", "\x80", "\xC3", "\xF8", " ",        "_"};
  std::mt19937 random(seed);
  std::vector<Entry> list;
  for (size_t i = 0; i < count; ++i) {
    std::string name;
    int length = random() % 5;
    for (int j = 0; j < length; ++j) name += pieces[random() % 20];
    Entry entry = make_entry({name, static_cast<int64_t>(random() % 4)});
    entry.cluster = pieces[random() % 20];
    list.push_back(entry);
  }
  return list;
}

TEST_F(SorterTest, RandomBytesSortWithEveryLinkRespected) {
  ScopedLocale locale("en_US");
  for (bool desc : {false, true}) {
    std::shared_ptr<Sorter> head =
        chain({link<ClusterSorter>(desc), link<NameSorter>(desc),
               link<SizeSorter>(!desc)});
    std::vector<Entry> list = random_entries(10000, desc ? 2 : 1);
    std::vector<std::string> before = names_of(list);
    head->sort(&list);
    std::vector<std::string> after = names_of(list);
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    ASSERT_EQ(after, before) << "entries lost or duplicated";
    expect_ordered(*head, list);
  }
}

TEST_F(SorterTest, KeyedSortMatchesPlainComparison) {
  // With the name link last, compare() is itself a strict weak ordering, so
  // a plain comparison sort is a reference: position by position the two
  // results must hold equivalent entries.
  for (const char* language : {"en_US", "sv_SE", "ja_JP"}) {
    ScopedLocale locale(language);
    for (bool desc : {false, true}) {
      std::shared_ptr<Sorter> head = chain({link<NameSorter>(desc)});
      std::vector<Entry> keyed = random_entries(3000, 5);
      std::vector<Entry> plain = keyed;
      head->sort(&keyed);
      std::sort(plain.begin(), plain.end(),
                [&head](const Entry& a, const Entry& b) {
                  return head->compare(a, b);
                });
      for (size_t i = 0; i < keyed.size(); ++i) {
        ASSERT_FALSE(head->compare(keyed[i], plain[i]) ||
                     head->compare(plain[i], keyed[i]))
            << language << (desc ? " desc" : " asc") << " at " << i << ": "
            << testing::PrintToString(keyed[i].name) << " vs "
            << testing::PrintToString(plain[i].name);
      }
    }
  }
}

}  // namespace
}  // namespace orv
