#include "service/endpoints.h"

#include "cache/cache_endpoints.h"
#include "collect/resource_endpoints.h"
#include "service/dispatch.h"
#include "watch/watch_endpoint.h"

namespace orv {

namespace {

// Option fields are padded to this width; continuation lines start under
// the descriptions.
constexpr size_t kFieldWidth = 20;
constexpr char kIndent[] = "   ";

const UsageOption kUuid{"uuid=(str)", "cache uuid", {}};
const UsageOption kIndex{"index=(int)", "cache index", {}};
const UsageOption kLimit{"limit=(int)", "cache entries limit", {}};
const UsageOption kOffset{"offset=(int)", "cache entries offset", {}};

// The options of the two searching endpoints.
std::vector<UsageOption> search_options() {
  const char* kOrder =
      "string format as [name|date|type|size|owner|group|permission]:"
      "[asc|desc]";
  return {
      {"lang=(str)",
       "sorting by language",
       {"ENG (English)",  "SCH (简体中文)",   "TCH (繁體中文)",
        "CZE (Czech)",    "DAN (Dansk)",      "GER (Deutsch)",
        "SPA (Español)",  "FRE (Français)",   "ITA (Italiano)",
        "JPN (日本語)",   "KOR (한글)",       "NOR (Norsk)",
        "POL (Polski)",   "RUS (Русский)",    "FIN (Suomi)",
        "SWE (Svenska)",  "DUT (Nederlands)", "TUR (Turk dili)",
        "THA (ไทย)",      "HUN (Magyar)",     "POR (Português)",
        "GRK (Ελληνικά)", "ROM (Român)"}},
      {"path=(str/array)", "folder path(s)", {}},
      {"name=(str)", "which name file/folder contians", {}},
      {"type=(str)",
       "string format as mime(:name)?, and avaiable mime types:",
       {"music, video, photo, file, folder and extname",
        "only extname support name"}},
      {"date=(str[])",
       "string format as [>|>=|==|<=|<][timestamp], ex: <=1310572800 "
       "(means <=2011/06/14)",
       {}},
      {"size=(str)",
       "string format as [>|>=|==|<=|<][size][K|M|G|T], ex: >=1024K "
       "(means >=1M)",
       {}},
      {"owner=(str)", "owner name", {}},
      {"group=(str)", "group name", {}},
      {"index=(int)", "cache index (1 or 2), default is 1", {}},
      {"sort=(str)", kOrder, {}},
      {"cluster=(str/bool)",
       kOrder,
       {"if input is boolean value, do not perform clustering"}},
      {"reach_time=(int)",
       "time of seconds to read resources (<=0 is infinite)",
       {}},
      {"reach_limit=(int)",
       "how many resources would be read (<=0 is infinite)",
       {}},
      {"hidden=(bool)", "hide name is startwith . (default true)", {}},
      {"recursive=(bool)", "read folder recursively (default false)", {}},
  };
}

}  // namespace

std::string usage_text(const std::string& first_line, const std::string& method,
                       const std::vector<UsageOption>& options) {
  std::string text = first_line +
                     "\n\nUsage: [General]\n\n[General]:\n   orv-service." +
                     method + "\n\n[Options]:\n";
  const std::string continuation(sizeof(kIndent) - 1 + kFieldWidth, ' ');
  for (const UsageOption& option : options) {
    std::string field = option.field;
    if (field.size() < kFieldWidth) field.resize(kFieldWidth, ' ');
    text += kIndent + field + option.description + "\n";
    for (const char* line : option.more) text += continuation + line + "\n";
  }
  return text + "\n";
}

std::vector<Endpoint> endpoint_table() {
  std::vector<UsageOption> fetch_resource = search_options();
  fetch_resource.push_back(kLimit);
  fetch_resource.push_back(kOffset);
  return {
      {"watch", &watch_handler, &run_in_pool,
       usage_text("watch cached path", "watch", {kUuid, kIndex})},
      {"fetch.cache", &fetch_cache_handler, &run_in_child,
       usage_text("fetch cached resources", "fetch.cache",
                  {kUuid, kIndex, kLimit, kOffset})},
      {"delete.cache", &delete_cache_handler, &run_in_child,
       usage_text("delete cached", "delete.cache", {kUuid, kIndex})},
      {"create.cache", &create_cache_handler, &run_in_child,
       usage_text("create cache from fetched file and folder resources",
                  "create.cache", search_options())},
      {"fetch.resource", &fetch_resource_handler, &run_in_child,
       usage_text("fetche file and folder resources", "fetch.resource",
                  fetch_resource)},
  };
}

}  // namespace orv
