#include "query/query.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "common/json.h"
#include "common/platform/accounts.h"
#include "query/filter_name.h"
#include "query/filter_stat.h"
#include "query/params.h"

namespace orv {
namespace {

// Each step below reads one parameter. It returns false after setting
// `error` when the parameter is rejected; parsing then stops.

bool fail(ErrorRecord* error, const char* message) {
  set_error(error, kInvalidParameter, "%s", message);
  return false;
}

// A text parameter as a C string; nullptr when it is not a string or holds
// a NUL byte, which no file name, account or path can contain (and which
// would cut the text short where it is used as a C string).
const char* plain_text(const json_t* value) {
  const char* text = json_string_value(value);
  if (text == nullptr || json_string_length(value) != std::strlen(text)) {
    return nullptr;
  }
  return text;
}

// "path": an array of {"full_path": text, "alias": text}, each a root
// folder of the walk. An empty array is accepted and gives no roots.
bool read_paths(const json_t* params, ErrorRecord* error, Query* query) {
  const json_t* paths = json_object_get(params, "path");
  if (paths == nullptr) return fail(error, "invalid path");
  if (!json_is_array(paths)) return fail(error, "invalid path type");
  query->roots.reserve(json_array_size(paths));
  size_t i;
  const json_t* item;
  json_array_foreach(paths, i, item) {
    if (!json_is_object(item)) return fail(error, "invalid path array item");
    const json_t* full_path = json_object_get(item, "full_path");
    if (!json_is_string(full_path)) {
      return fail(error, "invalid full_path object format");
    }
    const json_t* alias = json_object_get(item, "alias");
    if (!json_is_string(alias)) {
      return fail(error, "invalid alias object format");
    }
    // Folders are opened by their C path: a NUL byte would silently open
    // some other folder than the one named.
    const char* folder = plain_text(full_path);
    if (folder == nullptr) {
      return fail(error, "invalid full_path object format");
    }
    query->roots.push_back(
        Entry::folder_item(folder, "", json_string_text(alias)));
  }
  return true;
}

// "hidden" is read as an integer: true and 1 hide hidden names, while false,
// 0 and any text that is not a number (the text "true" among them) show them.
void add_hidden_filter(const json_t* params, Query* query) {
  bool hide = true;
  const json_t* value = json_object_get(params, "hidden");
  if (value != nullptr) hide = json_int(value) != 0;
  query->filters.push_back(std::make_shared<HiddenFilter>(hide));
}

bool add_name_filter(const json_t* params, ErrorRecord* error, Query* query) {
  const json_t* value = json_object_get(params, "name");
  if (value == nullptr) return true;
  const char* pattern = plain_text(value);
  if (pattern == nullptr) return fail(error, "invalid name");
  query->filters.push_back(std::make_shared<WildCardFilter>(pattern));
  return true;
}

bool add_type_filter(const json_t* params, ErrorRecord* error, Query* query) {
  const json_t* value = json_object_get(params, "type");
  if (value == nullptr) return true;
  PatternMatch match;
  if (!json_is_string(value) ||
      !match_pattern(ParamPattern::kType, json_string_text(value), &match)) {
    return fail(error, "invalid type");
  }
  const std::string& kind = match.group(1);
  FilterPtr filter;
  if (kind == "music") {
    filter = std::make_shared<MIMEFilter>(1);
  } else if (kind == "video") {
    filter = std::make_shared<MIMEFilter>(2);
  } else if (kind == "photo") {
    filter = std::make_shared<MIMEFilter>(4);
  } else if (kind == "file") {
    filter = std::make_shared<StatModeFilter>(StatModeFilter::kFile);
  } else if (kind == "folder") {
    filter = std::make_shared<StatModeFilter>(StatModeFilter::kFolder);
  } else {
    // "extname": the text after the colon is the extension; the colon part
    // of the other kinds means nothing.
    filter = std::make_shared<MIMEFilter>(MIMEFilter::kExtensionMask,
                                          match.group(3));
  }
  query->filters.push_back(std::move(filter));
  return true;
}

// "date": an array of conditions such as ">=1310572800", each one more
// filter on the day of the last change.
bool add_date_filters(const json_t* params, ErrorRecord* error, Query* query) {
  const json_t* dates = json_object_get(params, "date");
  if (dates == nullptr) return true;
  if (!json_is_array(dates)) return fail(error, "invalid date");
  size_t i;
  const json_t* item;
  json_array_foreach(dates, i, item) {
    PatternMatch match;
    if (!json_is_string(item) ||
        !match_pattern(ParamPattern::kDate, json_string_text(item), &match)) {
      return fail(error, "invalid date");
    }
    int64_t seconds = std::strtoll(match.group(2).c_str(), nullptr, 10);
    query->filters.push_back(
        std::make_shared<ModifyDateFilter>(match.group(1), seconds));
  }
  return true;
}

// The bytes of one unit of a size condition: B (none given), K, M, G, T, P.
int64_t unit_bytes(const std::string& unit) {
  switch (unit.empty() ? 'B' : unit[0]) {
    case 'K':
      return int64_t{1} << 10;
    case 'M':
      return int64_t{1} << 20;
    case 'G':
      return int64_t{1} << 30;
    case 'T':
      return int64_t{1} << 40;
    case 'P':
      return int64_t{1} << 50;
    default:
      return 1;
  }
}

// "size": one condition such as ">=1024K". A number too large for 64 bits
// (the digits alone or times the unit) stands for the largest size there
// is, so "<" such a size accepts every file and ">" none.
bool add_size_filter(const json_t* params, ErrorRecord* error, Query* query) {
  const json_t* value = json_object_get(params, "size");
  if (value == nullptr) return true;
  PatternMatch match;
  if (!json_is_string(value) ||
      !match_pattern(ParamPattern::kSize, json_string_text(value), &match)) {
    return fail(error, "invalid size");
  }
  int64_t number = std::strtoll(match.group(2).c_str(), nullptr, 10);
  int64_t bytes;
  if (__builtin_mul_overflow(number, unit_bytes(match.group(3)), &bytes)) {
    bytes = INT64_MAX;
  }
  query->filters.push_back(std::make_shared<SizeFilter>(match.group(1), bytes));
  return true;
}

bool add_owner_filter(const json_t* params, ErrorRecord* error, Query* query) {
  const json_t* value = json_object_get(params, "owner");
  if (value == nullptr) return true;
  platform::Account account;
  const char* name = plain_text(value);
  if (name == nullptr || !platform::lookup_account(name, &account)) {
    return fail(error, "invalid owner");
  }
  query->filters.push_back(std::make_shared<OwnerFilter>(account.uid));
  return true;
}

bool add_group_filter(const json_t* params, ErrorRecord* error, Query* query) {
  const json_t* value = json_object_get(params, "group");
  if (value == nullptr) return true;
  gid_t gid = 0;
  const char* name = plain_text(value);
  if (name == nullptr || !platform::lookup_group(name, &gid)) {
    return fail(error, "invalid group");
  }
  query->filters.push_back(std::make_shared<GroupFilter>(gid));
  return true;
}

// A key and its direction, from "sort" or "cluster".
struct Order {
  std::string key;
  bool desc = false;
};

// Reads "sort" or "cluster" (`name`) over `order`, which holds the
// defaults. Any direction but "asc" is descending.
bool read_order(const json_t* params, const char* name, const char* message,
                ErrorRecord* error, Order* order) {
  const json_t* value = json_object_get(params, name);
  if (value == nullptr) return true;
  PatternMatch match;
  if (!json_is_string(value) ||
      !match_pattern(ParamPattern::kOrder, json_string_text(value), &match)) {
    return fail(error, message);
  }
  order->key = match.group(1);
  if (match.present(3)) order->desc = match.group(3) != "asc";
  return true;
}

// Builds the sort chain and the cluster strategy: the head, the cluster
// sorter when grouping is asked (so groups are contiguous runs), then the
// sorter of the sort key. The collators are made now, for the locale the
// request's language has set.
bool build_order(const Order& sort, const Order& cluster, ErrorRecord* error,
                 Query* query) {
  query->sorter = make_sorter<Sorter>(sort.desc, error);
  if (!query->sorter) return false;
  if (!cluster.key.empty()) {
    query->cluster = make_cluster(cluster.key, error);
    if (!query->cluster) return false;
    std::shared_ptr<Sorter> link =
        make_cluster_sorter(cluster.key, cluster.desc, error);
    if (!link) return false;
    query->sorter->append(std::move(link));
  }
  std::shared_ptr<Sorter> link = make_key_sorter(sort.key, sort.desc, error);
  if (!link) return false;
  query->sorter->append(std::move(link));
  return true;
}

}  // namespace

void parse_query(const json_t* params, ErrorRecord* error, Query* query) {
  parse_page(params, error, &query->limit, &query->offset);
  parse_lang(params, error);
  query->recursive = false;
  query->reach_time = 0;
  query->reach_limit = kDefaultReachLimit;
  query->filters.clear();
  query->sorter.reset();
  query->cluster.reset();
  query->roots.clear();
  if (!error->ok()) return;

  if (!read_paths(params, error, query)) return;
  if (const json_t* value = json_object_get(params, "recursive")) {
    query->recursive = json_bool(value);
  }
  if (const json_t* value = json_object_get(params, "reach_time")) {
    query->reach_time = json_int(value);
  }
  add_hidden_filter(params, query);
  if (!add_name_filter(params, error, query) ||
      !add_type_filter(params, error, query) ||
      !add_date_filters(params, error, query) ||
      !add_size_filter(params, error, query) ||
      !add_owner_filter(params, error, query) ||
      !add_group_filter(params, error, query)) {
    return;
  }

  Order sort{"name", false};
  if (!read_order(params, "sort", "invalid sort", error, &sort)) return;
  Order cluster{"", sort.desc};  // Groups follow the sort's direction.
  if (!read_order(params, "cluster", "invalid cluster", error, &cluster)) {
    return;
  }
  if (!build_order(sort, cluster, error, query)) return;

  // A request with a page size reads no more entries than one page holds;
  // parse_page has already confined the value to 50..2000.
  if (const json_t* value = json_object_get(params, "limit")) {
    query->reach_limit = std::min<int64_t>(
        static_cast<int32_t>(json_int(value)), kDefaultReachLimit);
  }
}

void parse_create_request(const json_t* params, ErrorRecord* error,
                          CreateRequest* request) {
  parse_index(params, error, &request->index);
  parse_query(params, error, &request->query);
}

}  // namespace orv
