#include "query/params.h"

#include <regex.h>
#include <unicode/locid.h>

#include <cstring>

#include "common/json.h"

namespace orv {

namespace {

constexpr Language kLanguages[] = {
    {"ENG", "en_US"}, {"SCH", "zh_CN"}, {"TCH", "zh_TW"}, {"CZE", "cs_CZ"},
    {"DAN", "da_DK"}, {"GER", "de_DE"}, {"SPA", "es_ES"}, {"FRE", "fr_FR"},
    {"ITA", "it_IT"}, {"JPN", "ja_JP"}, {"KOR", "ko_KR"}, {"NOR", "nb_NO"},
    {"POL", "pl_PL"}, {"RUS", "ru_RU"}, {"FIN", "fi_FI"}, {"SWE", "sv_SE"},
    {"DUT", "nl_NL"}, {"TUR", "tr_TR"}, {"THA", "th_TH"}, {"HUN", "hu_HU"},
    {"POR", "pt_PT"}, {"GRK", "el_GR"}, {"ROM", "ro_RO"},
};

struct PatternSource {
  ParamPattern pattern;
  const char* text;
  size_t slots;  // capture slots used when matching (0: none)
};

constexpr PatternSource kPatterns[] = {
    {ParamPattern::kUuid,
     "^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$", 0},
    {ParamPattern::kDate, "^(>|>=|==|<=|<)([0-9]+)$", 3},
    {ParamPattern::kSize, "^(>|>=|==|<=|<)([0-9]+)(K|M|G|T|P)?$", 4},
    {ParamPattern::kType, "^(music|video|photo|file|folder|extname)(:(.+))?$",
     4},
    {ParamPattern::kOrder,
     "^(name|date|type|size|owner|group|permission)(:(asc|desc))?$", 4},
};
constexpr size_t kPatternCount = sizeof(kPatterns) / sizeof(kPatterns[0]);

// The compiled patterns of the process. The fixed texts above always
// compile; should one not, it simply never matches.
class CompiledPatterns {
 public:
  CompiledPatterns() {
    for (size_t i = 0; i < kPatternCount; ++i) {
      compiled_[i] = regcomp(&regex_[i], kPatterns[i].text, REG_EXTENDED) == 0;
    }
  }
  ~CompiledPatterns() {
    for (size_t i = 0; i < kPatternCount; ++i) {
      if (compiled_[i]) regfree(&regex_[i]);
    }
  }
  CompiledPatterns(const CompiledPatterns&) = delete;
  CompiledPatterns& operator=(const CompiledPatterns&) = delete;

  // regexec on a compiled pattern is safe from several threads at once.
  const regex_t* get(ParamPattern pattern) const {
    size_t i = static_cast<size_t>(pattern);
    return compiled_[i] ? &regex_[i] : nullptr;
  }

 private:
  regex_t regex_[kPatternCount];
  bool compiled_[kPatternCount] = {};
};

const CompiledPatterns& patterns() {
  static const CompiledPatterns instance;
  return instance;
}

// Compiles the patterns while the process starts, before any request.
[[maybe_unused]] const CompiledPatterns& g_compiled_at_start = patterns();

const std::string kEmpty;

bool is_uuid(const json_t* value) {
  return json_is_string(value) &&
         match_pattern(ParamPattern::kUuid, json_string_text(value), nullptr);
}

}  // namespace

const std::string& PatternMatch::group(size_t n) const {
  return present(n) ? group_[n] : kEmpty;
}

bool match_pattern(ParamPattern pattern, const std::string& text,
                   PatternMatch* match) {
  const regex_t* regex = patterns().get(pattern);
  if (regex == nullptr) return false;
  // regexec reads up to the first NUL: a text holding one would be judged by
  // its beginning alone.
  if (text.find('\0') != std::string::npos) return false;
  size_t slots = kPatterns[static_cast<size_t>(pattern)].slots;
  regmatch_t found[PatternMatch::kGroups];
  if (regexec(regex, text.c_str(), slots, slots > 0 ? found : nullptr, 0) !=
      0) {
    return false;
  }
  if (match == nullptr) return true;
  *match = PatternMatch();
  match->present_[0] = true;
  match->group_[0] = text;
  for (size_t n = 0; n < slots; ++n) {
    if (found[n].rm_so < 0) continue;
    match->present_[n] = true;
    match->group_[n] =
        text.substr(static_cast<size_t>(found[n].rm_so),
                    static_cast<size_t>(found[n].rm_eo - found[n].rm_so));
  }
  return true;
}

std::string json_string_text(const json_t* value) {
  if (!json_is_string(value)) return std::string();
  return std::string(json_string_value(value), json_string_length(value));
}

std::span<const Language> languages() { return kLanguages; }

void parse_index(const json_t* params, ErrorRecord* error, uint64_t* index) {
  *index = 1;
  if (!error->ok()) return;
  const json_t* value = json_object_get(params, "index");
  if (value == nullptr) return;
  uint64_t number = static_cast<uint64_t>(json_int(value));
  if (number != 1 && number != 2) {
    set_error(error, kInvalidParameter, "invalid index");
    return;
  }
  *index = number;
}

void parse_page(const json_t* params, ErrorRecord* error, uint64_t* limit,
                uint64_t* offset) {
  *limit = 500;
  *offset = 0;
  if (!error->ok()) return;
  const json_t* value = json_object_get(params, "limit");
  if (value != nullptr) {
    uint64_t number = static_cast<uint64_t>(json_int(value));
    if (number < 50 || number > 2000) {
      set_error(error, kInvalidParameter, "invalid limit");
      return;
    }
    *limit = number;
  }
  value = json_object_get(params, "offset");
  if (value != nullptr) *offset = static_cast<uint64_t>(json_int(value));
}

void parse_uuid(const json_t* params, ErrorRecord* error, std::string* uuid) {
  uuid->clear();
  if (!error->ok()) return;
  const json_t* value = json_object_get(params, "uuid");
  if (!is_uuid(value)) {
    set_error(error, kInvalidParameter, "invalid uuid");
    return;
  }
  *uuid = json_string_value(value);
}

void parse_lang(const json_t* params, ErrorRecord* error) {
  if (!error->ok()) return;
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(icu::Locale(kLanguages[0].locale), status);
  const json_t* value = json_object_get(params, "lang");
  if (value == nullptr) return;
  if (!json_is_string(value)) {
    set_error(error, kInvalidParameter, "invalid lang");
    return;
  }
  std::string code = json_string_text(value);
  // Byte by byte, as the C locale's toupper does: only a-z change.
  for (char& c : code) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  for (const Language& language : kLanguages) {
    if (code == language.code) {
      status = U_ZERO_ERROR;
      icu::Locale::setDefault(icu::Locale(language.locale), status);
      return;
    }
  }
  set_error(error, kInvalidParameter, "invalid lang");
}

void parse_cache_ref(const json_t* params, ErrorRecord* error, CacheRef* ref) {
  parse_uuid(params, error, &ref->uuid);
  parse_index(params, error, &ref->index);
}

void parse_cache_page(const json_t* params, ErrorRecord* error,
                      CachePage* page) {
  parse_uuid(params, error, &page->uuid);
  parse_page(params, error, &page->limit, &page->offset);
  parse_index(params, error, &page->index);
}

}  // namespace orv
