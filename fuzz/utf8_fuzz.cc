// The UTF-8 helpers on arbitrary bytes. utf8_substr must answer a piece of
// its text that starts at a character and, cut again from 0, gives itself;
// utf8_lower must answer valid UTF-8 whatever it is given, under the
// default locale the input picks (Turkish among them, with its own i).
//
// Input: one byte picking the locale, two bytes of start, two of count
// (0xffff: up to the end), then the text.
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <string>
#include <string_view>

#include "common/utf8.h"
#include "fuzz/fuzz_util.h"

namespace {

using orv::fuzz::check;

constexpr const char* kLocales[] = {"en_US", "tr_TR", "el_GR",
                                    "nl_NL", "lt_LT", "ja_JP"};

bool valid_utf8(const std::string& text) {
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(text);
  std::string back;
  unicode.toUTF8String(back);
  return U_SUCCESS(status) && back == text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const char* locale = kLocales[data[0] % std::size(kLocales)];
  const size_t start = data[1] | (size_t{data[2]} << 8);
  const size_t raw_count = data[3] | (size_t{data[4]} << 8);
  const size_t count = raw_count == 0xffff ? orv::kUtf8Rest : raw_count;
  const std::string_view text(reinterpret_cast<const char*>(data + 5),
                              size - 5);

  const std::string piece = orv::utf8_substr(text, start, count);
  check(text.find(piece) != std::string_view::npos, "piece not in the text");
  check(orv::utf8_substr(piece, 0, orv::kUtf8Rest) == piece,
        "piece does not start at a character");
  if (count == 0) check(piece.empty(), "count 0 gave characters");

  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(icu::Locale(locale), status);
  const std::string lower = orv::utf8_lower(text);
  check(valid_utf8(lower), "lower-case text is not UTF-8");
  check(orv::utf8_lower(lower) == lower, "lower-casing twice changes it");
  return 0;
}
