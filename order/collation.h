// Collation and folding of names under the process's default ICU locale.
//
// The request's language sets the default locale before any sorter or
// cluster is made; every collator and fold transliterator made afterwards
// follows it. Both are made per object that needs them and are only read
// afterwards, so one request's thread may use them freely.
#ifndef ORV_ORDER_COLLATION_H_
#define ORV_ORDER_COLLATION_H_

#include <unicode/coll.h>
#include <unicode/translit.h>
#include <unicode/ucol.h>

#include <memory>
#include <string>
#include <string_view>

#include "common/error.h"

namespace orv {

// The rule chain of the fold: decompose, drop combining marks, recompose,
// lower-case.
inline constexpr char kFoldRules[] = "NFD; [:M:] Remove; NFC; Any-Lower;";

// A collator for the default locale with numeric digit runs, normalization,
// tertiary strength and lower case first, set in that order. On failure sets
// `error` (code 3, message naming the locale) and returns nullptr.
std::shared_ptr<icu::Collator> make_collator(ErrorRecord* error);

// A transliterator compiled from the rule chain `rules`, forward direction.
// On failure sets `error` (code 3, message naming the locale) and returns
// nullptr.
std::shared_ptr<icu::Transliterator> make_transliterator(std::string_view rules,
                                                         ErrorRecord* error);

// The fold transliterator: make_transliterator(kFoldRules, error).
std::shared_ptr<icu::Transliterator> make_fold(ErrorRecord* error);

// Compares two UTF-8 texts with `collator`. Texts that differ in bytes may
// compare equal (a01 and a1, or two normalization forms of one text).
// Invalid UTF-8 sequences compare as U+FFFD.
UCollationResult collate(const icu::Collator& collator, std::string_view a,
                         std::string_view b);

// The text with accents removed and lower-cased by `fold` (from make_fold).
std::string fold(const icu::Transliterator& fold, std::string_view text);

// Appends to `key` the collator's sort key of a UTF-8 text: comparing two
// such keys byte for byte (memcmp, shorter first on a common prefix) gives
// exactly the answer of collate() on the two texts. A key holds no zero byte
// but its last, so no key is a proper prefix of another.
void append_sort_key(const icu::Collator& collator, std::string_view text,
                     std::string* key);

// Makes collators in place of Collator::createInstance, to exercise the
// failure path. nullptr restores the default. Used by tests.
using CollatorFactory = icu::Collator* (*)(const icu::Locale& locale,
                                           UErrorCode& status);
void set_collator_factory(CollatorFactory factory);

}  // namespace orv

#endif  // ORV_ORDER_COLLATION_H_
