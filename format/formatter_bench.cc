// Cost of formatting one page of entries that start no external tool: the
// stat calls, share and snapshot look-ups, name look-ups and JSON building
// that every entry pays.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "format/formatter.h"
#include "format/probe_test_util.h"
#include "query/file_type.h"

namespace orv {
namespace {

constexpr int kPageSize = 200;

// A page of `kPageSize` entries named name0.<extension>, ... on an ordinary
// share of a fresh sandbox.
class Page {
 public:
  explicit Page(const std::string& extension) {
    build_file_type_index();
    std::string folder = sandbox_.path("share/Public");
    sandbox_.write_file(
        "etc/config/tvk2.conf",
        "[global]\nworkgroup = x\n[Public]\npath = " + folder + "\n");
    for (int i = 0; i < kPageSize; ++i) {
      std::string name = "name" + std::to_string(i) + "." + extension;
      test::write_at(folder + "/" + name, "content");
      Entry scanned = Entry::from_path(folder, name);
      entries_.push_back(
          Entry::from_cache(folder, name, scanned.stat, "/Public"));
    }
  }
  const std::vector<Entry>& entries() const { return entries_; }

 private:
  test::Sandbox sandbox_;
  std::vector<Entry> entries_;
};

void format_page(benchmark::State& state, const std::string& extension) {
  Page page(extension);
  for (auto _ : state) {
    LegacyFormatter formatter("root", "orv-bench");
    Json datas = Json::adopt(json_array());
    for (const Entry& entry : page.entries()) {
      json_array_append_new(datas.get(),
                            formatter.format_entry(entry).release());
    }
    Json reply = Json::adopt(json_object());
    json_object_set(reply.get(), "datas", datas.get());
    formatter.add_page_members(reply.get());
    benchmark::DoNotOptimize(reply.get());
  }
  state.SetItemsProcessed(state.iterations() * kPageSize);
}

// Documents: no media checks at all.
void BM_FormatDocuments(benchmark::State& state) { format_page(state, "txt"); }
BENCHMARK(BM_FormatDocuments)->Unit(benchmark::kMillisecond);

// ISO images: videos by type, so the six transcoded copies are looked for,
// but exempt from the analyser.
void BM_FormatDiscImages(benchmark::State& state) { format_page(state, "iso"); }
BENCHMARK(BM_FormatDiscImages)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace orv

BENCHMARK_MAIN();
