#include "order/sort_key.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <utility>

#include "common/parallel.h"
#include "order/collation.h"

namespace orv {

namespace {

void complement_from(size_t from, std::string* key) {
  for (size_t i = from; i < key->size(); ++i) (*key)[i] = ~(*key)[i];
}

// One key of the sort: its position and the eight bytes of its key at the
// sort's current depth, zero-padded past its end. Packed into twelve bytes:
// a sort of a large list holds one per entry beside the entries themselves.
// (A list of 2^32 entries would not fit in memory.)
struct __attribute__((packed)) Item {
  uint64_t word;
  uint32_t index;
};

// Orders `items` into the words below `pivot`, [0, *low), those equal to it,
// and those above it, [*high, count).
void partition(Item* items, size_t count, uint64_t pivot, size_t* low,
               size_t* high) {
  size_t i = 0;
  *low = 0;
  *high = count;
  while (i < *high) {
    if (items[i].word < pivot) {
      std::swap(items[(*low)++], items[i++]);
    } else if (items[i].word > pivot) {
      std::swap(items[i], items[--*high]);
    } else {
      ++i;
    }
  }
}

// A three-way radix quicksort on the cached eight-byte words: items are
// split by the word at the current depth, and only a run whose words are
// all equal moves on to the next eight bytes, reading each key once per
// depth instead of once per comparison. Short ranges, and ranges where the
// splitting went badly too often, are finished by std::sort with a full
// comparison, so the work stays O(n log n) on any input.
class RadixSort {
 public:
  RadixSort(const char* bytes, const uint32_t* starts)
      : bytes_(bytes), starts_(starts) {}

  uint64_t word_at(size_t index, size_t depth) const {
    const size_t from = starts_[index] + depth;
    const size_t to = starts_[index + 1];
    uint64_t word = 0;
    for (size_t j = 0; j < 8; ++j) {
      word <<= 8;
      if (from + j < to) word |= static_cast<unsigned char>(bytes_[from + j]);
    }
    return word;
  }

  void sort(Item* first, size_t count, size_t depth, int budget) const {
    for (;;) {
      if (count < 2) return;
      if (count <= 16 || budget <= 0) {
        std::sort(first, first + count,
                  [this, depth](const Item& a, const Item& b) {
                    return less(a, b, depth);
                  });
        return;
      }
      size_t low = 0;
      size_t high = 0;
      split(first, count, &low, &high);
      sort(first, low, depth, budget - 1);
      sort(first + high, count - high, depth, budget - 1);
      first += low;
      count = high - low;
      if (!next_depth(first, count, &depth)) return;
    }
  }

  // One step of sort(): `first` ordered into the words below a pivot,
  // [0, *low), those equal to it, and those above it, [*high, count).
  void split(Item* first, size_t count, size_t* low, size_t* high) const {
    const uint64_t pivot =
        median(first[0].word, first[count / 2].word, first[count - 1].word);
    partition(first, count, pivot, low, high);
  }

  // The middle run of a split agrees on eight more bytes. When one of its
  // keys ends within them, the others would extend it, which prefix-free
  // keys cannot: the run is one key, repeated, and is sorted (false).
  // Otherwise its words move on to the next eight bytes (true).
  bool next_depth(Item* first, size_t count, size_t* depth) const {
    if (count < 2 || ends_within(first[0].index, *depth)) return false;
    *depth += 8;
    for (size_t k = 0; k < count; ++k) {
      first[k].word = word_at(first[k].index, *depth);
    }
    return true;
  }

 private:
  static uint64_t median(uint64_t a, uint64_t b, uint64_t c) {
    if (a > b) std::swap(a, b);
    if (b > c) std::swap(b, c);
    return a > b ? a : b;
  }

  bool ends_within(size_t index, size_t depth) const {
    return starts_[index + 1] - starts_[index] <= depth + 8;
  }

  // Byte order of two keys that agree before `depth`.
  bool less(const Item& a, const Item& b, size_t depth) const {
    if (a.word != b.word) return a.word < b.word;
    const size_t a_from = starts_[a.index] + depth + 8;
    const size_t b_from = starts_[b.index] + depth + 8;
    const size_t a_to = starts_[a.index + 1];
    const size_t b_to = starts_[b.index + 1];
    if (a_to <= a_from || b_to <= b_from) return false;  // Equal keys.
    return std::string_view(bytes_ + a_from, a_to - a_from) <
           std::string_view(bytes_ + b_from, b_to - b_from);
  }

  const char* const bytes_;
  const uint32_t* const starts_;
};

}  // namespace

void put_u64(uint64_t value, bool desc, std::string* key) {
  if (desc) value = ~value;
  for (int shift = 56; shift >= 0; shift -= 8) {
    key->push_back(static_cast<char>((value >> shift) & 0xFF));
  }
}

void put_i64(int64_t value, bool desc, std::string* key) {
  // Flipping the sign bit turns signed order into unsigned order.
  put_u64(static_cast<uint64_t>(value) ^ (uint64_t{1} << 63), desc, key);
}

void put_collated(const icu::Collator& collator, std::string_view text,
                  bool desc, std::string* key) {
  // A collator's sort key ends in its only zero byte.
  const size_t from = key->size();
  append_sort_key(collator, text, key);
  if (desc) complement_from(from, key);
}

void put_bytes(std::string_view text, bool desc, std::string* key) {
  // A zero byte becomes 00 FF and the end 00 01, so the end sorts before
  // any further byte.
  const size_t from = key->size();
  for (char c : text) {
    key->push_back(c);
    if (c == '\0') key->push_back('\xFF');
  }
  key->push_back('\0');
  key->push_back('\x01');
  if (desc) complement_from(from, key);
}

void SortKeys::finish_key() {
  if (bytes_.size() > UINT32_MAX) throw std::length_error("sort keys");
  starts_.push_back(static_cast<uint32_t>(bytes_.size()));
}

void SortKeys::append(SortKeys* other) {
  const size_t base = bytes_.size();
  if (base + other->bytes_.size() > UINT32_MAX) {
    throw std::length_error("sort keys");
  }
  bytes_ += other->bytes_;
  starts_.reserve(starts_.size() + other->size());
  for (size_t i = 1; i < other->starts_.size(); ++i) {
    starts_.push_back(static_cast<uint32_t>(base + other->starts_[i]));
  }
  std::string().swap(other->bytes_);
  std::vector<uint32_t>{0}.swap(other->starts_);
}

SortKeys::SortKeys(size_t count, size_t bytes) {
  bytes_.reserve(bytes);
  starts_.reserve(count + 1);
  starts_.push_back(0);
}

namespace {

// Fewer items than this per thread are sorted on fewer threads.
constexpr size_t kItemsPerThread = 16384;

// Sorts `items` on two threads into the very order that radix.sort gives on
// one, equal keys included: the first step of that sort is taken here, and
// its three runs are sorted as it would sort them, the run above the pivot
// on a second thread.
void sort_split(const RadixSort& radix, Item* items, size_t count, int budget) {
  size_t low = 0;
  size_t high = 0;
  radix.split(items, count, &low, &high);
  run_parts(2, [&](size_t part) {
    if (part == 0) {
      radix.sort(items, low, 0, budget - 1);
      size_t depth = 0;
      if (radix.next_depth(items + low, high - low, &depth)) {
        radix.sort(items + low, high - low, depth, budget);
      }
    } else {
      radix.sort(items + high, count - high, 0, budget - 1);
    }
  });
}

// The keys of `bytes` and `starts` as items in ascending key order.
std::vector<Item> sorted_items(const std::string& bytes,
                               const std::vector<uint32_t>& starts) {
  const size_t count = starts.size() - 1;
  const RadixSort radix(bytes.data(), starts.data());
  std::vector<Item> items;
  items.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    items.push_back({radix.word_at(i, 0), static_cast<uint32_t>(i)});
  }
  int budget = 2;
  for (size_t n = count; n > 1; n >>= 1) budget += 2;
  if (count > 16 && parts_for(count, kItemsPerThread) > 1) {
    sort_split(radix, items.data(), items.size(), budget);
  } else {
    radix.sort(items.data(), items.size(), 0, budget);
  }
  return items;
}

std::vector<size_t> positions_of(const std::vector<Item>& items) {
  std::vector<size_t> positions;
  positions.reserve(items.size());
  for (const Item& item : items) positions.push_back(item.index);
  return positions;
}

}  // namespace

std::vector<size_t> SortKeys::order() const {
  return positions_of(sorted_items(bytes_, starts_));
}

std::vector<size_t> SortKeys::take_order() {
  const std::vector<Item> items = sorted_items(bytes_, starts_);
  // The keys are done with: their memory goes before the positions take
  // theirs.
  std::string().swap(bytes_);
  std::vector<uint32_t>{0}.swap(starts_);
  return positions_of(items);
}

}  // namespace orv
