#include "common/bus/rest_query.h"

namespace orv::bus {

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Length of the well-formed UTF-8 sequence at text[i], or 0.
size_t utf8_sequence(std::string_view text, size_t i) {
  unsigned char lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80) return 1;
  size_t length;
  unsigned int code;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    unsigned char next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF.
  if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) ||
      (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
    return 0;
  }
  return length;
}

std::string valid_utf8(const std::string& text) {
  std::string clean;
  clean.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t length = utf8_sequence(text, i);
    if (length == 0) {
      clean += "\xEF\xBF\xBD";
      ++i;
    } else {
      clean.append(text, i, length);
      i += length;
    }
  }
  return clean;
}

// Adds one value under `name`, turning a repeated name into an array.
bool add_value(json_t* object, const std::string& name,
               const std::string& value) {
  json_t* text = json_stringn(value.data(), value.size());
  if (text == nullptr) return false;
  json_t* old = json_object_getn(object, name.data(), name.size());
  if (old == nullptr) {
    return json_object_setn_new(object, name.data(), name.size(), text) == 0;
  }
  if (json_is_array(old)) return json_array_append_new(old, text) == 0;
  json_t* list = json_array();
  if (list == nullptr || json_array_append(list, old) != 0 ||
      json_array_append_new(list, text) != 0) {
    json_decref(list);
    return false;
  }
  return json_object_setn_new(object, name.data(), name.size(), list) == 0;
}

}  // namespace

MethodText split_method(std::string_view method) {
  size_t word = 0;
  while (word < method.size() && method[word] >= 'A' && method[word] <= 'Z') {
    ++word;
  }
  if (word > 0 && word < method.size() && method[word] == ' ') {
    while (word < method.size() && method[word] == ' ') ++word;
    method.remove_prefix(word);
  }
  MethodText parts;
  size_t mark = method.find('?');
  std::string_view path = method.substr(0, mark);
  if (mark != std::string_view::npos) parts.query = method.substr(mark + 1);
  size_t slash = path.rfind('/');
  parts.endpoint =
      slash == std::string_view::npos ? path : path.substr(slash + 1);
  return parts;
}

std::string url_decode(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      decoded += ' ';
    } else if (c == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
               hex_value(text[i + 2]) >= 0) {
      decoded += static_cast<char>(hex_value(text[i + 1]) * 16 +
                                   hex_value(text[i + 2]));
      i += 2;
    } else {
      decoded += c;
    }
  }
  return decoded;
}

json_t* query_object(std::string_view query) {
  json_t* object = json_object();
  if (object == nullptr) return nullptr;
  while (!query.empty()) {
    size_t amp = query.find('&');
    std::string_view piece = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view()
                                          : query.substr(amp + 1);
    if (piece.empty()) continue;
    size_t equals = piece.find('=');
    std::string name = valid_utf8(url_decode(piece.substr(0, equals)));
    std::string value;
    if (equals != std::string_view::npos) {
      value = valid_utf8(url_decode(piece.substr(equals + 1)));
    }
    if (!add_value(object, name, value)) {
      json_decref(object);
      return nullptr;
    }
  }
  return object;
}

}  // namespace orv::bus
