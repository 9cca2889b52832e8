// The cache database under a full list: writing 100,000 entries into a slot,
// and reading the page of 500 entries at offset 50,000, both bare (the page
// statement alone on the slot file) and as fetch.cache reads it (opening the
// slot, checking the uuid, counting, formatting every entry).
//
// Two shapes of list: entries grouped by folder (one folder row per 100
// entries) and entries sorted by name across 1,000 folders, as a recursive
// search sorted by name gives them (nearly one folder row per entry).

#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "cache/bare_page.h"
#include "cache/cache_folder.h"
#include "cache/cache_store.h"
#include "common/log.h"
#include "common/platform/session_store.h"
#include "format/formatter.h"

namespace orv {
namespace {

constexpr size_t kEntries = 100000;
constexpr size_t kFolders = 1000;
constexpr int64_t kPageOffset = 50000;
constexpr int64_t kPageLimit = 500;

// Names as a share holds them; none of them makes the formatter run an
// external tool (no videos, no lower-case JPEG names).
std::string realistic_name(std::mt19937& random, size_t i) {
  const char* words[] = {"report",
                         "Invoice",
                         "holiday",
                         "BACKUP",
                         "notes",
                         "Draft",
                         "Budget",
                         "scan",
                         "Meeting",
                         "R\xC3\xA9sum\xC3\xA9",
                         "\xC3\x85ngstr\xC3\xB6m",
                         "\xE4\xB8\xAD\xE6\x96\x87"};
  const char* extensions[] = {".JPG", ".pdf",  ".docx",   ".txt",
                              ".png", ".xlsx", ".tar.gz", ""};
  std::string name;
  switch (random() % 4) {
    case 0:
      name = "IMG_2021" + std::to_string(1000 + random() % 9000) + "_" +
             std::to_string(100000 + random() % 900000);
      break;
    case 1:
      name = "Project Phoenix - Quarterly Report - Draft " +
             std::to_string(random() % 500);
      break;
    default:
      name = std::string(words[random() % std::size(words)]) + " " +
             words[random() % std::size(words)] + " " +
             std::to_string(random() % 2000);
  }
  // Unique within the list, as names of one folder are.
  return name + "-" + std::to_string(i) + extensions[random() % 8];
}

// A sandbox root with a live session, a default volume with its cache
// folder, and the folders of the list under the volume. Made once.
struct Fixture {
  std::string root;
  std::string sid;
  std::string volume;
  std::vector<Entry> grouped;  // folder by folder
  std::vector<Entry> sorted;   // by name across folders

  Fixture() {
    char name[] = "/tmp/orv-cache-bench-XXXXXX";
    if (mkdtemp(name) == nullptr) std::abort();
    root = name;
    setenv("ORV_ROOT", root.c_str(), 1);
    log_level = 3;  // No info line per write.
    volume = root + "/volume";
    std::filesystem::create_directories(root + "/etc/config");
    std::ofstream(root + "/etc/config/def_share.info")
        << "[SHARE_DEF]\ndefVolMP = " << volume << "\n";
    std::ofstream(root + "/etc/config/tvk2.conf")
        << "[global]\n[Public]\npath = " << volume << "/Public\n";
    std::filesystem::create_directories(volume);
    CacheStore::prepare_directory(volume);
    std::string error;
    if (!platform::create_session("root", 0, &sid, &error)) {
      std::fprintf(stderr, "session: %s\n", error.c_str());
      std::filesystem::remove_all(root);
      std::exit(1);
    }

    struct stat model {};
    lstat(volume.c_str(), &model);
    model.st_mode = S_IFREG | 0644;
    std::mt19937 random(2024);
    const std::string share = volume + "/Public";
    grouped.reserve(kEntries);
    for (size_t i = 0; i < kEntries; ++i) {
      char folder[32];
      std::snprintf(folder, sizeof(folder), "/d%04zu",
                    i / (kEntries / kFolders));
      Entry item = Entry::folder_item(share, folder, "/Public");
      struct stat st = model;
      st.st_size = random() % 10000000;
      st.st_mtime = 1600000000 + random() % 100000000;
      grouped.push_back(Entry::from_item(item, realistic_name(random, i), st));
    }
    sorted = grouped;
    std::sort(sorted.begin(), sorted.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    // The page's files exist, so the formatter's look-ups find what they
    // would find on a share.
    for (const std::vector<Entry>* list : {&grouped, &sorted}) {
      for (int64_t i = kPageOffset; i < kPageOffset + kPageLimit; ++i) {
        const Entry& e = (*list)[i];
        std::filesystem::create_directories(e.folder_path());
        std::ofstream(e.full_path()) << "x";
      }
    }
  }
  ~Fixture() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }

  const std::vector<Entry>& list(int shape) const {
    return shape == 0 ? grouped : sorted;
  }
};

Fixture& fixture() {
  static Fixture instance;
  return instance;
}

// Writes the list of `shape` into slot 1 and returns its uuid.
std::string write_slot(int shape) {
  const std::vector<Entry>& list = fixture().list(shape);
  CacheStore store(fixture().volume, fixture().sid, 1, true);
  ErrorRecord error;
  store.set(list, &error);
  if (!error.ok()) {
    std::fprintf(stderr, "set: %s\n", error.message);
    std::exit(1);  // Leaves the sandbox to the fixture's destructor.
  }
  return store.uuid();
}

void BM_SetSlot(benchmark::State& state) {
  const std::vector<Entry>& list = fixture().list(state.range(0));
  for (auto _ : state) {
    CacheStore store(fixture().volume, fixture().sid, 1, true);
    ErrorRecord error;
    Json made = store.set(list, &error);
    if (!error.ok()) state.SkipWithError(error.message);
    benchmark::DoNotOptimize(made.get());
  }
  state.SetItemsProcessed(state.iterations() * list.size());
}
BENCHMARK(BM_SetSlot)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The page statement alone on a fresh connection to the slot file, every
// column of every row touched.
void BM_PageStatement(benchmark::State& state) {
  const std::string uuid = write_slot(state.range(0));
  const std::string file = cache_file_name(fixture().volume, fixture().sid, 1);
  for (auto _ : state) {
    size_t bytes = 0;
    const int rows =
        bench::read_bare_page(file, uuid, kPageLimit, kPageOffset, &bytes);
    if (rows != kPageLimit) state.SkipWithError("short page");
    benchmark::DoNotOptimize(bytes);
  }
}
BENCHMARK(BM_PageStatement)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The page as fetch.cache reads it: open the slot, check and count the list,
// read the page and format it.
void BM_FetchPage(benchmark::State& state) {
  const std::string uuid = write_slot(state.range(0));
  const bool format = state.range(1) != 0;
  for (auto _ : state) {
    CacheStore store(fixture().volume, fixture().sid, 1, false);
    std::shared_ptr<Formatter> formatter;
    if (format) {
      formatter =
          std::make_shared<LegacyFormatter>("root", "orv-" + fixture().sid);
    }
    ErrorRecord error;
    Json page = store.fetch(uuid, kPageOffset, kPageLimit, formatter, &error);
    if (!error.ok()) state.SkipWithError(error.message);
    benchmark::DoNotOptimize(page.get());
  }
}
BENCHMARK(BM_FetchPage)
    ->Args({0, 1})
    ->Args({1, 1})
    ->Args({1, 0})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace orv

BENCHMARK_MAIN();
