#include "tests/request_mutator.h"

#include <climits>
#include <cstdlib>
#include <utility>

#include "common/json.h"

namespace orv::test {

namespace {

// Integers at and around the edges the readers check.
constexpr json_int_t kIntegers[] = {
    0,
    1,
    2,
    3,
    -1,
    -2,
    49,
    50,
    2000,
    2001,
    5001,
    1023,
    1024,
    INT32_MAX,
    INT32_MIN,
    1LL << 32,
    (1LL << 32) + 1,
    LLONG_MAX,
    LLONG_MIN,
    65534,
    -8,
    1310572800,
};
// Texts that come close to what the patterns accept.
constexpr const char* kTexts[] = {
    "",
    "42abc",
    "-7",
    "99999999999999999999999",
    "true",
    "TRUE",
    "name:asc",
    "size:desc",
    "name:",
    ">=1024K",
    "<5P",
    ">99999999999999999999M",
    "!=2",
    "extname:mp3",
    "extname:",
    "Music",
    "0f8fad5b-d9cb-469f-a165-70867728950e",
    "0F8FAD5B-D9CB-469F-A165-70867728950E",
    "ENG",
    "tur",
    "nobody",
    "root",
    "nogroup",
    "::1",
    "127.0.0.1",
    "*",
    "[a-",
    "\\",
    "..",
    "\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80",
};
// Lengths of long texts, up to 1 MiB.
constexpr size_t kLongLengths[] = {255, 256, 4096, 65537, 1 << 20};

}  // namespace

RequestMutator::RequestMutator(uint64_t seed, std::vector<std::string> paths)
    : random_(seed), paths_(std::move(paths)) {}

MutatedRequest RequestMutator::mutate(const std::string& method,
                                      const json_t* base) {
  MutatedRequest request{method, ""};
  Json copy = Json::adopt(json_deep_copy(base));
  const std::string valid = json_text(copy.get());
  if (chance(10)) {
    request.body = wild_body(valid);
    return request;
  }
  const int rounds = 1 + static_cast<int>(below(3));
  for (int i = 0; i < rounds; ++i) mutate_object(copy.get(), 3);
  // Members moved to the query string reach the handler as texts, NUL
  // bytes and all, which no JSON body the daemons accept can carry.
  if (chance(20)) {
    std::string query;
    const char* key;
    json_t* value;
    void* next;
    json_object_foreach_safe(copy.get(), next, key, value) {
      if (!chance(40)) continue;
      std::string text =
          json_is_string(value)
              ? std::string(json_string_value(value), json_string_length(value))
              : json_text(value);
      if (chance(30)) text.insert(below(text.size() + 1), 1, '\0');
      if (chance(20)) text += "\xff";
      std::string piece = url_encode(key) + "=" + url_encode(text);
      // The bus carries method texts of 4096 bytes at most.
      if (method.size() + query.size() + piece.size() + 2 > 4096) continue;
      query += (query.empty() ? "" : "&") + piece;
      json_object_del(copy.get(), key);
    }
    if (!query.empty()) request.method += "?" + query;
  }
  char* text = json_dumps(copy.get(), JSON_COMPACT);
  request.body = text != nullptr ? text : "{}";
  std::free(text);
  return request;
}

std::string RequestMutator::wild_body(const std::string& valid) {
  switch (below(8)) {
    case 0:
      return "";
    case 1:
      return "[" + valid + "]";
    case 2:
      return valid.substr(0, below(valid.size() + 1));  // Cut short.
    case 3: {
      // Deeper than the parser follows, or just below it.
      const size_t depth = chance(50) ? 5000 : 1000;
      return std::string(depth, '[') + std::string(depth, ']');
    }
    case 4: {
      // A raw byte that is not UTF-8 inside a text.
      std::string body = valid;
      size_t quote = body.find('"', 1);
      if (quote != std::string::npos) body.insert(quote, "\xc3(\xff");
      return body;
    }
    case 5: {
      std::string body = valid;
      size_t quote = body.find('"', 1);
      if (quote != std::string::npos) body.insert(quote, "\\u0000");
      return body;
    }
    case 6: {
      std::string bytes(below(64), '\0');
      for (char& c : bytes) c = static_cast<char>(random_());
      return bytes;
    }
    default:
      return "\"" + wild_text() + "\"";
  }
}

json_t* RequestMutator::wild_value(int depth) {
  switch (below(depth > 0 ? 9 : 7)) {
    case 0:
      return json_integer(kIntegers[below(std::size(kIntegers))]);
    case 1:
      return json_integer(static_cast<json_int_t>(random_()));
    case 2: {
      constexpr double kReals[] = {0.5, -1.5, 2.9, 1e308, -1e300, 1e-300};
      return json_real(kReals[below(std::size(kReals))]);
    }
    case 3:
      return chance(50) ? json_boolean(chance(50)) : json_null();
    case 4:
      return json_string(kTexts[below(std::size(kTexts))]);
    case 5: {
      std::string text = wild_text();
      return json_stringn(text.data(), text.size());
    }
    case 6:
      return paths_.empty() ? json_string("")
                            : json_string(paths_[below(paths_.size())].c_str());
    case 7: {
      json_t* array = json_array();
      if (chance(10)) {
        // Nested deep, yet within what the parser takes.
        json_t* inner = array;
        for (int level = 0; level < 1500; ++level) {
          json_t* next = json_array();
          json_array_append_new(inner, next);
          inner = next;
        }
        return array;
      }
      for (size_t i = below(4); i > 0; --i) {
        json_array_append_new(array, wild_value(depth - 1));
      }
      return array;
    }
    default: {
      json_t* object = json_object();
      constexpr const char* kKeys[] = {"full_path", "alias", "uuid", "x", ""};
      for (size_t i = below(3); i > 0; --i) {
        json_object_set_new(object, kKeys[below(std::size(kKeys))],
                            wild_value(depth - 1));
      }
      return object;
    }
  }
}

std::string RequestMutator::wild_text() {
  if (chance(15)) {
    return std::string(kLongLengths[below(std::size(kLongLengths))],
                       static_cast<char>('a' + below(26)));
  }
  // Characters of any plane, the NUL among them; never a leading "/".
  std::string text;
  for (size_t i = below(12); i > 0; --i) {
    constexpr uint32_t kCodes[] = {'a',   'Z',   '%',    '*',    0xe9,
                                   0x130, 0x3a3, 0x4e2d, 0xfeff, 0x1f600};
    uint32_t code = chance(50) ? kCodes[below(std::size(kCodes))]
                               : static_cast<uint32_t>(below(0x80));
    if (chance(2)) code = 0;
    if (code < 0x80) {
      text += static_cast<char>(code);
    } else if (code < 0x800) {
      text += static_cast<char>(0xc0 | code >> 6);
      text += static_cast<char>(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
      text += static_cast<char>(0xe0 | code >> 12);
      text += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
      text += static_cast<char>(0x80 | (code & 0x3f));
    } else {
      text += static_cast<char>(0xf0 | code >> 18);
      text += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
      text += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
      text += static_cast<char>(0x80 | (code & 0x3f));
    }
  }
  if (!text.empty() && text[0] == '/') text[0] = '_';
  return text;
}

void RequestMutator::mutate_object(json_t* object, int depth) {
  if (!json_is_object(object) || json_object_size(object) == 0 || chance(10)) {
    constexpr const char* kExtra[] = {"index", "uuid", "limit", "__SESSION__",
                                      "path",  "user", "type",  "x"};
    json_object_set_new(object, kExtra[below(std::size(kExtra))],
                        wild_value(depth));
    return;
  }
  size_t pick = below(json_object_size(object));
  const char* key;
  json_t* value;
  json_object_foreach(object, key, value) {
    if (pick-- > 0) continue;
    if (depth > 0 && json_is_array(value) && chance(50)) {
      mutate_array(value, depth - 1);
    } else if (depth > 0 && json_is_object(value) && chance(50)) {
      mutate_object(value, depth - 1);
    } else if (chance(15)) {
      json_object_del(object, key);
    } else {
      json_object_set_new(object, key, wild_value(depth));
    }
    return;
  }
}

void RequestMutator::mutate_array(json_t* array, int depth) {
  const size_t size = json_array_size(array);
  if (size == 0 || chance(20)) {
    json_array_append_new(array, wild_value(depth));
    return;
  }
  json_t* item = json_array_get(array, below(size));
  if (json_is_object(item) && chance(70)) {
    mutate_object(item, depth);
  } else {
    json_array_set_new(array, below(size), wild_value(depth));
  }
}

std::string RequestMutator::url_encode(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (unsigned char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
        (c >= '0' && c <= '9')) {
      encoded += static_cast<char>(c);
    } else {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 15];
    }
  }
  return encoded;
}

}  // namespace orv::test
