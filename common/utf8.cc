#include "common/utf8.h"

#include <unicode/bytestream.h>
#include <unicode/stringpiece.h>
#include <unicode/unistr.h>

namespace orv {

namespace {

// Byte length of the character that `lead` starts; 0 for a byte that cannot
// start one.
size_t lead_length(unsigned char lead) {
  if (lead <= 0x7F) return 1;
  if (lead < 0xC2) return 0;  // continuation byte or overlong lead
  if (lead <= 0xDF) return 2;
  if (lead <= 0xEF) return 3;
  if (lead <= 0xF7) return 4;
  if (lead <= 0xFB) return 5;
  if (lead <= 0xFD) return 6;
  return 0;
}

}  // namespace

std::string utf8_substr(std::string_view text, size_t start, size_t count) {
  // The first character past the wanted ones; with the all-ones count (or a
  // sum that would wrap) the walk runs to the end of the text.
  const size_t stop = count > kUtf8Rest - start ? kUtf8Rest : start + count;
  size_t begin = text.size();
  size_t end = text.size();
  size_t offset = 0;
  for (size_t index = 0; offset < text.size(); ++index) {
    size_t length = lead_length(static_cast<unsigned char>(text[offset]));
    if (length == 0) return std::string();
    if (index == stop) {
      end = offset;
      break;
    }
    if (index == start) begin = offset;
    offset += length;
  }
  // A last character cut short by the end of the text keeps only the bytes
  // that are there: `end` never passes the text's size.
  if (begin >= end) return std::string();
  return std::string(text.substr(begin, end - begin));
}

std::string utf8_lower(std::string_view text) {
  icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  unicode.toLower();
  std::string result;
  unicode.toUTF8String(result);
  return result;
}

}  // namespace orv
