// The request parameter readers and the query parser on any JSON object, as
// the handlers of orv-service get it: parse_query and parse_create_request,
// then the cache readers. A rejection must be code 2 with an "invalid ..."
// message (code 3 when a collator cannot be made); a query that passes must
// be whole, and its filters, clusters and sort chain are run over a few
// entries of every kind to show that they hold up too.
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/log.h"
#include "entry/entry.h"
#include "fuzz/fuzz_util.h"
#include "query/params.h"
#include "query/query.h"

namespace {

using orv::ErrorRecord;
using orv::fuzz::check;

void check_rejection(const ErrorRecord& error) {
  if (error.ok()) return;
  check(
      error.code == orv::kInvalidParameter || error.code == orv::kCacheFailure,
      "error code other than 2 or 3");
  check(error.code != orv::kInvalidParameter ||
            std::strncmp(error.message, "invalid ", 8) == 0,
        "rejection without its message");
}

// Files of every kind a walk can meet: hidden, media, folders, names that are
// not UTF-8, sizes and times at the ends of their ranges.
std::vector<orv::Entry> sample_entries() {
  struct Sample {
    const char* name;
    mode_t mode;
    off_t size;
    time_t mtime;
  };
  const Sample samples[] = {
      {"a.mp3", S_IFREG | 0644, 3 << 20, 1310572800},
      {".hidden", S_IFREG | 0600, 0, 0},
      {"\xc3\x9cnic\xc3\xb6"
       "de.JPG",
       S_IFREG | 0644, 1, -1},
      {"\xc3(bad\xff.mkv", S_IFREG | 0644, LLONG_MAX, LLONG_MAX},
      {"folder", S_IFDIR | 0755, 4096, LLONG_MIN},
      {"z", S_IFLNK | 0777, 7, 86400},
      {"@Recycle", S_IFDIR | 0700, 0, 1},
  };
  orv::Entry root = orv::Entry::folder_item("/nonexistent", "", "/alias");
  std::vector<orv::Entry> entries;
  for (const Sample& sample : samples) {
    struct stat st {};
    st.st_mode = sample.mode;
    st.st_size = sample.size;
    st.st_mtime = sample.mtime;
    st.st_uid = static_cast<uid_t>(entries.size() * 1000);
    entries.push_back(orv::Entry::from_item(root, sample.name, st));
  }
  return entries;
}

void run_query(const orv::Query& query) {
  static const std::vector<orv::Entry> samples = sample_entries();
  std::vector<orv::Entry> kept;
  for (const orv::Entry& entry : samples) {
    bool keep = true;
    for (const auto& filter : query.filters)
      keep = keep && filter->matches(entry);
    if (!keep) continue;
    kept.push_back(entry);
    if (query.cluster) kept.back().cluster = query.cluster->key(entry);
  }
  const size_t count = kept.size();
  query.sorter->sort(&kept);
  check(kept.size() == count, "sorting lost or made entries");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  orv::log_level = 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const orv::Json params = orv::fuzz::params_of(data, size);
  if (!params) return 0;

  ErrorRecord error;
  orv::CreateRequest request;
  orv::parse_create_request(params.get(), &error, &request);
  check_rejection(error);
  if (error.ok()) {
    const orv::Query& query = request.query;
    check(request.index == 1 || request.index == 2, "index not 1 or 2");
    check(query.limit >= 50 && query.limit <= 2000, "limit out of range");
    check(query.reach_limit > 0 && query.reach_limit <= orv::kDefaultReachLimit,
          "reach limit out of range");
    check(query.sorter != nullptr, "no sort chain");
    check(!query.filters.empty(), "no hidden-name filter");
    check(query.roots.size() ==
              json_array_size(json_object_get(params.get(), "path")),
          "roots other than the path items");
    run_query(query);
  }

  // fetch.resource reads the same query without an index.
  ErrorRecord plain;
  orv::Query query;
  orv::parse_query(params.get(), &plain, &query);
  check_rejection(plain);

  ErrorRecord page_error;
  orv::CachePage page;
  orv::parse_cache_page(params.get(), &page_error, &page);
  check_rejection(page_error);
  if (page_error.ok()) {
    check(orv::match_pattern(orv::ParamPattern::kUuid, page.uuid, nullptr),
          "uuid of another form");
    check(page.limit >= 50 && page.limit <= 2000, "page limit out of range");
  }
  ErrorRecord ref_error;
  orv::CacheRef ref;
  orv::parse_cache_ref(params.get(), &ref_error, &ref);
  check_rejection(ref_error);
  // Both read the uuid first.
  check((std::strcmp(ref_error.message, "invalid uuid") == 0) ==
            (std::strcmp(page_error.message, "invalid uuid") == 0),
        "cache readers disagree on the uuid");
  return 0;
}
