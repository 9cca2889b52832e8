#include "gateway/request.h"

#include <strings.h>

#include <cstring>

namespace orv {

namespace {

constexpr std::string_view kSessionKey = "NAS_SID=";

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Stores `value` under `name`: a new name gets it, a name holding an array
// gets it appended, a name holding one value becomes the array of both. A
// name that is not valid UTF-8 is refused by the object and nothing stored.
void add_member(json_t* object, const std::string& name, Json value) {
  json_t* old = json_object_get(object, name.c_str());
  if (old == nullptr) {
    json_object_set(object, name.c_str(), value.get());
  } else if (json_is_array(old)) {
    json_array_append(old, value.get());
  } else {
    Json both = Json::adopt(json_array());
    json_array_append(both.get(), old);
    json_array_append(both.get(), value.get());
    json_object_set(object, name.c_str(), both.get());
  }
}

}  // namespace

std::string session_id_from_cookie(std::string_view cookie) {
  size_t at = 0;
  while ((at = cookie.find(kSessionKey, at)) != std::string_view::npos) {
    size_t before = at;
    while (before > 0 && cookie[before - 1] == ' ') --before;
    if (before == 0 || cookie[before - 1] == ';') {
      std::string_view rest = cookie.substr(at + kSessionKey.size());
      return std::string(rest.substr(0, rest.find(';')));
    }
    at += kSessionKey.size();
  }
  return std::string();
}

std::string service_name_of(std::string_view sid) {
  return "orv-" + std::string(sid);
}

bool inside_application(std::string_view location) {
  return location.substr(0, kApplicationPrefix.size()) == kApplicationPrefix &&
         location.find('?') == std::string_view::npos;
}

std::string method_text(std::string_view method, std::string_view location) {
  std::string text;
  text.reserve(method.size() + 1 + location.size());
  text.append(method).append(" ").append(location);
  if (text.size() > kMaxMethodText) text.resize(kMaxMethodText);
  return text;
}

bool is_get(std::string_view method) {
  return method.size() == 3 && strncasecmp(method.data(), "GET", 3) == 0;
}

bool is_method_token(std::string_view method) {
  constexpr std::string_view kMarks = "!#$%&'*+-.^_`|~";
  if (method.empty()) return false;
  for (char c : method) {
    const bool letter_or_digit = (c >= 'a' && c <= 'z') ||
                                 (c >= 'A' && c <= 'Z') ||
                                 (c >= '0' && c <= '9');
    if (!letter_or_digit && kMarks.find(c) == std::string_view::npos) {
      return false;
    }
  }
  return true;
}

int64_t body_length(const char* content_length) {
  constexpr int64_t kLargest = int64_t{1} << 53;
  if (content_length == nullptr) return 0;
  int64_t length = 0;
  for (const char* c = content_length; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return -1;
    length = length * 10 + (*c - '0');
    if (length > kLargest) return -1;
  }
  return length;
}

std::string decode_value(std::string_view value) {
  std::string text;
  text.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '+') {
      text += ' ';
      continue;
    }
    if (value[i] == '%' && i + 2 < value.size() &&
        hex_digit(value[i + 1]) >= 0 && hex_digit(value[i + 2]) >= 0) {
      text += static_cast<char>(hex_digit(value[i + 1]) * 16 +
                                hex_digit(value[i + 2]));
      i += 2;
      continue;
    }
    text += value[i];
  }
  return text;
}

Json parse_query_string(std::string_view query) {
  Json object = Json::adopt(json_object());
  while (!query.empty()) {
    const size_t end = query.find('&');
    const std::string_view piece = query.substr(0, end);
    query = end == std::string_view::npos ? std::string_view()
                                          : query.substr(end + 1);
    if (piece.empty()) continue;
    const size_t equals = piece.find('=');
    const std::string_view head = piece.substr(0, equals);
    const std::string name(head.substr(0, head.find('[')));
    std::string value = equals == std::string_view::npos
                            ? std::string()
                            : decode_value(piece.substr(equals + 1));
    value.resize(std::strlen(value.c_str()));  // A decoded NUL ends it.
    Json text = Json::adopt(json_string(value.c_str()));
    if (text) add_member(object.get(), name, std::move(text));
  }
  return object;
}

Json parse_body(std::string_view body) {
  Json value = Json::adopt(
      json_loadb(body.data(), body.size(), JSON_DECODE_ANY, nullptr));
  if (!value) value = Json::adopt(json_object());
  return value;
}

}  // namespace orv
