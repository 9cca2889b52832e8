// UTF-8 text helpers: cutting a text by character positions and Unicode
// lower-casing. Names and parameters are UTF-8 byte strings; these helpers
// work on characters instead of bytes.
#ifndef ORV_COMMON_UTF8_H_
#define ORV_COMMON_UTF8_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace orv {

// A count with all bits set: up to the end of the text.
inline constexpr size_t kUtf8Rest = static_cast<size_t>(-1);

// The characters of `text` from position `start` (0-based) on, at most
// `count` of them. A character's length is read from its lead byte alone;
// a lead byte that cannot start a character (0x80-0xC1, 0xFE, 0xFF) met
// before the walk ends gives the empty text. A text of `start` characters or
// fewer gives the empty text; a last character cut short by the end of the
// text gives the bytes that are there. Pure function, any thread.
std::string utf8_substr(std::string_view text, size_t start, size_t count);

// The full Unicode lower-case form of `text` under ICU's default locale at
// the time of the call. Invalid UTF-8 sequences become U+FFFD.
std::string utf8_lower(std::string_view text);

}  // namespace orv

#endif  // ORV_COMMON_UTF8_H_
