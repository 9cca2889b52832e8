// Sorting a large result list by name: the keyed sort of the sorter chain
// against a plain comparison sort that collates every pair it compares.

#include <benchmark/benchmark.h>
#include <unicode/locid.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "entry/entry.h"
#include "order/collation.h"
#include "order/sorter.h"
#include "tests/bench_summary.h"

namespace orv {
namespace {

constexpr size_t kNames = 100000;

// Names as a share holds them: camera files, long shared prefixes with
// version numbers, accented and CJK words, mixed case, a few hidden and
// system names.
std::vector<Entry> realistic_entries() {
  const char* accented[] = {"\xC3\x89t\xC3\xA9",
                            "caf\xC3\xA9",
                            "\xC3\x85ngstr\xC3\xB6m",
                            "r\xC3\xA9sum\xC3\xA9",
                            "na\xC3\xAFve",
                            "\xC3\x98resund",
                            "\xC3\xBC"
                            "ber",
                            "Stra\xC3\x9F"
                            "e",
                            "\xC3\xA7"
                            "a",
                            "Ma\xC3\xB1"
                            "ana"};
  const char* cjk[] = {"\xE4\xB8\xAD", "\xE6\x96\x87", "\xE6\x97\xA5",
                       "\xE6\x9C\xAC", "\xE8\xAA\x9E", "\xE5\x86\x99",
                       "\xE7\x9C\x9F", "\xE8\xB3\x87", "\xE6\x96\x99",
                       "\xED\x95\x9C", "\xEA\xB8\x80"};
  const char* words[] = {"report", "Invoice", "holiday", "BACKUP", "notes",
                         "Draft",  "photo",   "Budget",  "scan",   "Meeting"};
  const char* extensions[] = {".jpg", ".JPG", ".pdf",    ".docx",
                              ".mp4", ".txt", ".tar.gz", ""};
  std::mt19937 random(2024);
  auto pick = [&random](auto& list) {
    return std::string(list[random() % std::size(list)]);
  };
  auto number = [&random](int digits) {
    std::string text;
    for (int i = 0; i < digits; ++i) text.push_back('0' + random() % 10);
    return text;
  };
  std::vector<Entry> entries;
  entries.reserve(kNames);
  for (size_t i = 0; i < kNames; ++i) {
    std::string name;
    switch (random() % 8) {
      case 0:
        name = "IMG_2021" + number(4) + "_" + number(6) + pick(extensions);
        break;
      case 1:
        name = "Project Phoenix - Quarterly Report - Draft " +
               std::to_string(random() % 500) + pick(extensions);
        break;
      case 2:
        name = pick(accented) + " " + pick(accented) + " " +
               std::to_string(random() % 100) + pick(extensions);
        break;
      case 3:
        for (int n = 2 + random() % 5; n > 0; --n) name += pick(cjk);
        name += number(random() % 3) + pick(extensions);
        break;
      case 4:
        name = pick(words) + "_" + pick(words) +
               std::to_string(random() % 2000) + pick(extensions);
        break;
      case 5:
        name = "DSC" + number(5) + pick(extensions);
        break;
      case 6:
        name = "backup-20" + number(2) + "-" + number(2) + "-" + number(2) +
               "/part" + std::to_string(random() % 40);
        break;
      default:
        name = (random() % 3 == 0 ? ".@"
                : random() % 2    ? "."
                                  : "@") +
               pick(words) + number(random() % 3);
        break;
    }
    Entry entry;
    entry.path = "/share/Public";
    entry.name = name;
    entry.stat.st_size = random() % 100000000;
    entries.push_back(std::move(entry));
  }
  return entries;
}

const std::vector<Entry>& names() {
  static const std::vector<Entry> entries = [] {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale("en_US"), status);
    return realistic_entries();
  }();
  return entries;
}

constexpr char kSummaryFigure[] = "NameSorter, 100,000 names";
constexpr char kSummaryGoal[] = "at least 6x faster";

// Times `sort` on a fresh copy of the names each round; the copy is made
// outside the timed part, which then holds the sort alone. Returns the
// milliseconds of one sort.
template <typename Sort>
double time_sort(benchmark::State& state, Sort sort) {
  const std::vector<Entry>& source = names();
  std::vector<Entry> list;
  std::chrono::steady_clock::duration sorting{};
  for (auto _ : state) {
    state.PauseTiming();
    list = source;
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    sort(&list);
    sorting += std::chrono::steady_clock::now() - start;
    benchmark::DoNotOptimize(list.data());
  }
  state.SetItemsProcessed(state.iterations() * source.size());
  return std::chrono::duration<double, std::milli>(sorting).count() /
         static_cast<double>(state.iterations());
}

// The sorter chain of a default query: head, then names ascending.
void BM_NameSorter(benchmark::State& state) {
  ErrorRecord error;
  std::shared_ptr<Sorter> head = make_sorter<Sorter>(false, &error);
  head->append(make_sorter<NameSorter>(false, &error));
  if (!error.ok()) state.SkipWithError(error.message);
  const double ms =
      time_sort(state, [&](std::vector<Entry>* list) { head->sort(list); });
  bench::Summary::get().add(kSummaryFigure, "ms", ms, -1,
                            bench::RatioKind::kTimesFaster, kSummaryGoal);
}
// A fixed number of sorts (no trial rounds, whose times would reach the
// summary table too), five rounds of them, the table taking their median.
BENCHMARK(BM_NameSorter)
    ->Iterations(5)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

// The baseline: std::sort calling compareUTF8 for every comparison.
void BM_CompareUTF8Sort(benchmark::State& state) {
  ErrorRecord error;
  std::shared_ptr<icu::Collator> collator = make_collator(&error);
  if (!collator) state.SkipWithError(error.message);
  const double ms = time_sort(state, [&](std::vector<Entry>* list) {
    std::sort(list->begin(), list->end(), [&](const Entry& a, const Entry& b) {
      return collate(*collator, a.name, b.name) == UCOL_LESS;
    });
  });
  bench::Summary::get().add(kSummaryFigure, "ms", -1, ms,
                            bench::RatioKind::kTimesFaster, kSummaryGoal);
}
BENCHMARK(BM_CompareUTF8Sort)
    ->Iterations(2)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

// The chain's own comparison (prefix groups, then collation) per pair, for
// comparison with the keyed sort that gives the same order.
void BM_NameSorterCompareSort(benchmark::State& state) {
  ErrorRecord error;
  std::shared_ptr<Sorter> head = make_sorter<Sorter>(false, &error);
  head->append(make_sorter<NameSorter>(false, &error));
  if (!error.ok()) state.SkipWithError(error.message);
  time_sort(state, [&](std::vector<Entry>* list) {
    std::sort(list->begin(), list->end(), [&](const Entry& a, const Entry& b) {
      return head->compare(a, b);
    });
  });
}
BENCHMARK(BM_NameSorterCompareSort)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace orv

BENCHMARK_MAIN();
