#include "order/collation.h"

#include <unicode/locid.h>
#include <unicode/stringpiece.h>
#include <unicode/ustring.h>
#include <unicode/utypes.h>

#include <cstdint>
#include <vector>

#include "common/log.h"

namespace orv {

namespace {

icu::Collator* default_factory(const icu::Locale& locale, UErrorCode& status) {
  return icu::Collator::createInstance(locale, status);
}

CollatorFactory collator_factory = default_factory;

icu::StringPiece piece(std::string_view text) {
  return icu::StringPiece(text.data(), static_cast<int32_t>(text.size()));
}

}  // namespace

void set_collator_factory(CollatorFactory factory) {
  collator_factory = factory ? factory : default_factory;
}

std::shared_ptr<icu::Collator> make_collator(ErrorRecord* error) {
  const icu::Locale& locale = icu::Locale::getDefault();
  UErrorCode status = U_ZERO_ERROR;
  std::shared_ptr<icu::Collator> collator(collator_factory(locale, status));
  // A locale without collation data of its own falls back to the root
  // order with a warning; only a real failure stops the request.
  if (U_FAILURE(status) || !collator) {
    log_line(LogKind::kError, "Collator::createInstance(%s): %s",
             locale.getName(), u_errorName(status));
    set_error(error, kCacheFailure, "cannot make a collator for locale %s",
              locale.getName());
    return nullptr;
  }
  collator->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
  collator->setAttribute(UCOL_NORMALIZATION_MODE, UCOL_ON, status);
  collator->setAttribute(UCOL_STRENGTH, UCOL_TERTIARY, status);
  collator->setAttribute(UCOL_CASE_FIRST, UCOL_LOWER_FIRST, status);
  if (U_FAILURE(status)) {
    log_line(LogKind::kError, "Collator::setAttribute(%s): %s",
             locale.getName(), u_errorName(status));
    set_error(error, kCacheFailure, "cannot make a collator for locale %s",
              locale.getName());
    return nullptr;
  }
  return collator;
}

std::shared_ptr<icu::Transliterator> make_transliterator(std::string_view rules,
                                                         ErrorRecord* error) {
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString id = icu::UnicodeString::fromUTF8(piece(rules));
  std::shared_ptr<icu::Transliterator> transliterator(
      icu::Transliterator::createInstance(id, UTRANS_FORWARD, status));
  if (U_FAILURE(status) || !transliterator) {
    const char* locale = icu::Locale::getDefault().getName();
    log_line(LogKind::kError, "Transliterator::createInstance(%.*s) for %s: %s",
             static_cast<int>(rules.size()), rules.data(), locale,
             u_errorName(status));
    set_error(error, kCacheFailure,
              "cannot make a transliterator for locale %s", locale);
    return nullptr;
  }
  return transliterator;
}

std::shared_ptr<icu::Transliterator> make_fold(ErrorRecord* error) {
  return make_transliterator(kFoldRules, error);
}

UCollationResult collate(const icu::Collator& collator, std::string_view a,
                         std::string_view b) {
  // A fresh status per call: a failure left in a kept status would make
  // every later comparison answer "equal".
  UErrorCode status = U_ZERO_ERROR;
  return collator.compareUTF8(piece(a), piece(b), status);
}

std::string fold(const icu::Transliterator& fold, std::string_view text) {
  icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(piece(text));
  fold.transliterate(unicode);
  std::string result;
  unicode.toUTF8String(result);
  return result;
}

void append_sort_key(const icu::Collator& collator, std::string_view text,
                     std::string* key) {
  // Reused between calls: sort keys are made once per entry of long lists.
  thread_local std::vector<UChar> utf16;
  // UTF-8 never takes fewer bytes than UTF-16 units, plus one for the NUL.
  if (utf16.size() < text.size() + 1) utf16.resize(text.size() + 1);
  int32_t units = 0;
  size_t ascii = 0;
  while (ascii < text.size() &&
         static_cast<unsigned char>(text[ascii]) < 0x80) {
    utf16[ascii] = static_cast<UChar>(text[ascii]);
    ++ascii;
  }
  if (ascii == text.size()) {
    units = static_cast<int32_t>(ascii);
  } else {
    // Ill-formed sequences become U+FFFD, as in compareUTF8, so the key
    // orders exactly as collate() does.
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(utf16.data(), static_cast<int32_t>(utf16.size()),
                         &units, text.data(), static_cast<int32_t>(text.size()),
                         0xFFFD, nullptr, &status);
    if (U_FAILURE(status)) units = 0;
  }
  // Most keys fit the scratch buffer; a longer one is made again at its
  // full length.
  thread_local std::vector<uint8_t> scratch(256);
  int32_t length = collator.getSortKey(utf16.data(), units, scratch.data(),
                                       static_cast<int32_t>(scratch.size()));
  if (length > static_cast<int32_t>(scratch.size())) {
    scratch.resize(static_cast<size_t>(length));
    length = collator.getSortKey(utf16.data(), units, scratch.data(), length);
  }
  if (length <= 0) {
    // No key could be made: a lone terminator orders the text first and
    // keeps the key prefix-free.
    key->push_back('\0');
    return;
  }
  key->append(reinterpret_cast<const char*>(scratch.data()),
              static_cast<size_t>(length));
}

}  // namespace orv
