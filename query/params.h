// Request parameters: the readers of the small parameters ("index", "limit",
// "offset", "uuid", "lang"), the records of the cache endpoints, the language
// table and the five parameter patterns the query parser matches against.
//
// Every reader takes the request's parameter object and ErrorRecord, writes
// its defaults first and then does nothing more when the record already holds
// an error; so a chain of readers reports only the first rejected parameter.
// Rejections are set with code 2 and a fixed message ("invalid index", ...).
#ifndef ORV_QUERY_PARAMS_H_
#define ORV_QUERY_PARAMS_H_

#include <jansson.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "common/error.h"

namespace orv {

// ---- records ----------------------------------------------------------------

// The cache a request names: `delete.cache`.
struct CacheRef {
  std::string uuid;
  uint64_t index = 1;
};

// One page of a cache: `fetch.cache`.
struct CachePage {
  std::string uuid;
  uint64_t limit = 500;
  uint64_t offset = 0;
  uint64_t index = 1;
};

// ---- readers ----------------------------------------------------------------

// "index": default 1; when present its integer reading must be 1 or 2
// (compared unsigned, so 0 and negative numbers fail), else "invalid index".
void parse_index(const json_t* params, ErrorRecord* error, uint64_t* index);

// "limit" and "offset": defaults 500 and 0. A present limit must lie in
// 50..2000, else "invalid limit" (and offset is not read). A present offset is
// taken as it reads, unchecked; a negative number becomes a huge offset.
void parse_page(const json_t* params, ErrorRecord* error, uint64_t* limit,
                uint64_t* offset);

// "uuid": default "". It must be present, a string and a lower-case uuid,
// else "invalid uuid".
void parse_uuid(const json_t* params, ErrorRecord* error, std::string* uuid);

// "lang": does nothing when `error` already holds an error. Otherwise makes
// "en_US" the process-wide default ICU locale, then, when "lang" is present,
// the locale of its row in the language table. "lang" must be a string whose
// upper-cased form is one of the codes, else "invalid lang".
void parse_lang(const json_t* params, ErrorRecord* error);

// parse_uuid, then parse_index.
void parse_cache_ref(const json_t* params, ErrorRecord* error, CacheRef* ref);

// parse_uuid, parse_page, parse_index, in this order.
void parse_cache_page(const json_t* params, ErrorRecord* error,
                      CachePage* page);

// ---- language table ---------------------------------------------------------

// One row: the request's code (upper case) and its ICU locale name.
struct Language {
  const char* code;
  const char* locale;
};

// The 23 rows in search order; the first row's locale is the default.
std::span<const Language> languages();

// ---- parameter patterns -----------------------------------------------------

// The five patterns, compiled once at process start (POSIX extended,
// case-sensitive) and released at exit. Thread-safe.
enum class ParamPattern {
  kUuid,   // 8-4-4-4-12 lower-case hexadecimal digits; no groups
  kDate,   // group 1 operator (> >= == <= <), group 2 number
  kSize,   // group 1 operator, group 2 number, group 3 unit (K M G T P)
  kType,   // group 1 kind, group 3 the text after the colon
  kOrder,  // group 1 key, group 3 direction (asc desc); "sort" and "cluster"
};

// The capture groups of one match. Group 0 is the whole text.
class PatternMatch {
 public:
  static constexpr size_t kGroups = 4;

  // Whether group `n` took part in the match.
  bool present(size_t n) const { return n < kGroups && present_[n]; }
  // The text of group `n`; empty when it did not take part.
  const std::string& group(size_t n) const;

 private:
  friend bool match_pattern(ParamPattern, const std::string&, PatternMatch*);
  bool present_[kGroups] = {};
  std::string group_[kGroups];
};

// Whether the whole of `text` matches `pattern`; on a match fills `match`
// (when not null) with the groups. A text holding a NUL byte never matches.
bool match_pattern(ParamPattern pattern, const std::string& text,
                   PatternMatch* match);

// The text of a JSON string value, embedded NUL bytes included.
std::string json_string_text(const json_t* value);

}  // namespace orv

#endif  // ORV_QUERY_PARAMS_H_
