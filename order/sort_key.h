// Ordering keys: byte strings whose byte-wise order (as memcmp, a shorter
// key first on a common prefix) is the order wanted. A list is sorted by
// making each entry's key once and then comparing keys, which is far cheaper
// than calling a collator for every comparison.
//
// A key is built from parts. Every part is self-delimiting: of two parts of
// the same kind neither is a proper prefix of the other, so parts can be
// concatenated and the concatenations still compare part by part. A
// descending part is the bitwise complement of the ascending one, which
// reverses the order of any such prefix-free set of byte strings.
#ifndef ORV_ORDER_SORT_KEY_H_
#define ORV_ORDER_SORT_KEY_H_

#include <unicode/coll.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orv {

// Eight bytes, most significant first.
void put_u64(uint64_t value, bool desc, std::string* key);

// Eight bytes in signed order.
void put_i64(int64_t value, bool desc, std::string* key);

// The collator's sort key of a UTF-8 text: parts compare as collate() does.
void put_collated(const icu::Collator& collator, std::string_view text,
                  bool desc, std::string* key);

// The text's own bytes, in byte order, a text before its own extensions.
void put_bytes(std::string_view text, bool desc, std::string* key);

// The keys of one list, end to end in one buffer. Used by one thread.
class SortKeys {
 public:
  // `count` keys are expected, of about `bytes` bytes in all.
  SortKeys(size_t count, size_t bytes);

  // The buffer to append the parts of the next key to; finish_key() ends
  // the key.
  std::string* buffer() { return &bytes_; }
  // Keys of more than 4 GiB in all are refused with std::length_error.
  void finish_key();
  // Appends the keys of `other` after these, as keys of their own, leaving
  // `other` empty. Refused as finish_key() is.
  void append(SortKeys* other);

  // The number of finished keys.
  size_t size() const { return starts_.size() - 1; }

  // The positions of the keys in ascending key order; keys equal byte for
  // byte end in no particular order. No key may be a proper prefix of
  // another (keys made of self-delimiting parts never are); where one is,
  // the two may end in either order.
  std::vector<size_t> order() const;
  // The same, leaving no keys: their memory is given back before that of
  // the positions is taken.
  std::vector<size_t> take_order();

 private:
  std::string bytes_;
  // Key i is bytes_[starts_[i], starts_[i + 1]). Four bytes each: a sort of
  // a large list holds one per entry beside the entries themselves.
  std::vector<uint32_t> starts_;
};

}  // namespace orv

#endif  // ORV_ORDER_SORT_KEY_H_
