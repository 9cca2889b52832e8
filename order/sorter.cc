#include "order/sorter.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "common/utf8.h"
#include "order/cluster.h"

namespace orv {

namespace {

// Key parts. Each is self-delimiting, so the parts of a chain can be
// concatenated and compared as one byte string. A descending part is the
// bitwise complement of the ascending one: complementing reverses the order
// of any set of byte strings none of which is a proper prefix of another.

void complement_from(size_t from, std::string* key) {
  for (size_t i = from; i < key->size(); ++i) (*key)[i] = ~(*key)[i];
}

// Eight bytes, most significant first.
void put_u64(uint64_t value, bool desc, std::string* key) {
  if (desc) value = ~value;
  for (int shift = 56; shift >= 0; shift -= 8) {
    key->push_back(static_cast<char>((value >> shift) & 0xFF));
  }
}

// Flipping the sign bit makes signed order unsigned order.
void put_i64(int64_t value, bool desc, std::string* key) {
  put_u64(static_cast<uint64_t>(value) ^ (uint64_t{1} << 63), desc, key);
}

// The collator's sort key, which ends in its only zero byte.
void put_collated(const icu::Collator& collator, std::string_view text,
                  bool desc, std::string* key) {
  const size_t from = key->size();
  append_sort_key(collator, text, key);
  if (desc) complement_from(from, key);
}

// The bytes themselves, in byte order: a zero byte becomes 00 FF and the
// end 00 01, so that a text sorts before its own extensions.
void put_bytes(std::string_view text, bool desc, std::string* key) {
  const size_t from = key->size();
  for (char c : text) {
    key->push_back(c);
    if (c == '\0') key->push_back('\xFF');
  }
  key->push_back('\0');
  key->push_back('\x01');
  if (desc) complement_from(from, key);
}

// The leading group of a name: 0 for ".@", 1 for other names starting with
// ".", 2 for names starting with "@", 3 for all others. It follows the first
// two characters as utf8_substr cuts them, so a name whose first characters
// cannot be read belongs to the last group.
char name_group(std::string_view name) {
  const std::string prefix = utf8_substr(name, 0, 2);
  if (prefix == ".@") return 0;
  if (prefix.empty()) return 3;
  if (prefix[0] == '.') return 1;
  if (prefix[0] == '@') return 2;
  return 3;
}

// Whether a collation result puts a first: less ascending, greater
// descending. Equal is never first.
bool collated_first(UCollationResult result, bool desc) {
  return desc ? result == UCOL_GREATER : result == UCOL_LESS;
}

}  // namespace

Sorter::Sorter(bool desc, std::shared_ptr<icu::Collator> collator)
    : desc_(desc), collator_(std::move(collator)) {}

Sorter::~Sorter() = default;

std::shared_ptr<Sorter> Sorter::append(std::shared_ptr<Sorter> sorter) {
  Sorter* last = this;
  while (last->next_) last = last->next_.get();
  last->next_ = std::move(sorter);
  return shared_from_this();
}

void Sorter::sort(std::vector<Entry>* entries) const {
  if (!next_ || entries->size() < 2) return;  // Nothing orders the entries.

  // Each entry's ordering key is made once, so that the sort itself
  // compares bytes instead of calling the collator O(n log n) times. The
  // keys live in one buffer; the first eight bytes of each are kept beside
  // its index, which settles most comparisons without touching the buffer.
  struct Item {
    uint64_t head;
    size_t offset;
    size_t length;
    size_t index;
  };
  const size_t count = entries->size();
  std::string keys;
  std::vector<Item> items(count);
  for (size_t i = 0; i < count; ++i) {
    const size_t offset = keys.size();
    for (const Sorter* link = next_.get(); link; link = link->next_.get()) {
      link->append_key((*entries)[i], &keys);
    }
    const size_t length = keys.size() - offset;
    uint64_t head = 0;
    for (size_t j = 0; j < 8; ++j) {
      head <<= 8;
      if (j < length) head |= static_cast<unsigned char>(keys[offset + j]);
    }
    items[i] = Item{head, offset, length, i};
  }
  const char* base = keys.data();
  std::sort(items.begin(), items.end(), [base](const Item& a, const Item& b) {
    if (a.head != b.head) return a.head < b.head;
    return std::string_view(base + a.offset, a.length) <
           std::string_view(base + b.offset, b.length);
  });

  std::vector<Entry> sorted;
  sorted.reserve(count);
  for (const Item& item : items) {
    sorted.push_back(std::move((*entries)[item.index]));
  }
  entries->swap(sorted);
}

bool Sorter::compare(const Entry& a, const Entry& b) const {
  return compare_next(a, b);
}

void Sorter::append_key(const Entry&, std::string*) const {}

bool NameSorter::compare(const Entry& a, const Entry& b) const {
  if (a.name == b.name) return compare_next(a, b);
  const std::string pa = utf8_substr(a.name, 0, 2);
  const std::string pb = utf8_substr(b.name, 0, 2);
  if (pa != pb) {
    if (pa == ".@" || pb == ".@") return pa == ".@";
    // The first byte of an empty prefix is its terminating zero.
    const char ca = pa.empty() ? '\0' : pa[0];
    const char cb = pb.empty() ? '\0' : pb[0];
    if (ca != cb) {
      if (ca == '.' || cb == '.') return ca == '.';
      if (ca == '@' || cb == '@') return ca == '@';
    }
  }
  return collated_first(collate(collator(), a.name, b.name), desc());
}

void NameSorter::append_key(const Entry& entry, std::string* key) const {
  key->push_back(name_group(entry.name));
  put_collated(collator(), entry.name, desc(), key);
  // Names that collate equal but differ in bytes are unordered for
  // compare(), while equal names go to the next link. Ordering them by
  // their bytes keeps the whole a strict weak ordering, so equal names stay
  // together and the next link orders them.
  put_bytes(entry.name, desc(), key);
}

bool DateSorter::compare(const Entry& a, const Entry& b) const {
  return compare_keys<int64_t>(a.stat.st_mtim.tv_sec, b.stat.st_mtim.tv_sec, a,
                               b);
}

void DateSorter::append_key(const Entry& entry, std::string* key) const {
  put_i64(entry.stat.st_mtim.tv_sec, desc(), key);
}

bool SizeSorter::compare(const Entry& a, const Entry& b) const {
  return compare_keys<int64_t>(a.stat.st_size, b.stat.st_size, a, b);
}

void SizeSorter::append_key(const Entry& entry, std::string* key) const {
  put_i64(entry.stat.st_size, desc(), key);
}

bool TypeSorter::compare(const Entry& a, const Entry& b) const {
  const UCollationResult result = collate(collator(), a.extension, b.extension);
  if (result == UCOL_EQUAL) return compare_next(a, b);
  return collated_first(result, desc());
}

void TypeSorter::append_key(const Entry& entry, std::string* key) const {
  put_collated(collator(), entry.extension, desc(), key);
}

bool OwnerSorter::compare(const Entry& a, const Entry& b) const {
  return compare_keys<uint32_t>(a.stat.st_uid, b.stat.st_uid, a, b);
}

void OwnerSorter::append_key(const Entry& entry, std::string* key) const {
  put_u64(entry.stat.st_uid, desc(), key);
}

bool GroupSorter::compare(const Entry& a, const Entry& b) const {
  return compare_keys<uint32_t>(a.stat.st_gid, b.stat.st_gid, a, b);
}

void GroupSorter::append_key(const Entry& entry, std::string* key) const {
  put_u64(entry.stat.st_gid, desc(), key);
}

bool PermissionSorter::compare(const Entry& a, const Entry& b) const {
  return compare_keys<uint32_t>(a.stat.st_mode & 0777, b.stat.st_mode & 0777, a,
                                b);
}

void PermissionSorter::append_key(const Entry& entry, std::string* key) const {
  put_u64(entry.stat.st_mode & 0777, desc(), key);
}

bool ClusterSorter::compare(const Entry& a, const Entry& b) const {
  if (a.cluster == b.cluster) return compare_next(a, b);
  return collated_first(collate(collator(), a.cluster, b.cluster), desc());
}

void ClusterSorter::append_key(const Entry& entry, std::string* key) const {
  put_collated(collator(), entry.cluster, desc(), key);
  // Keys that collate equal but differ in bytes (user01 and user1 under
  // numeric collation) stay separate groups, each one contiguous run.
  put_bytes(entry.cluster, desc(), key);
}

bool SizeClusterSorter::compare(const Entry& a, const Entry& b) const {
  if (a.cluster == b.cluster) return compare_next(a, b);
  const int64_t sa = a.stat.st_size;
  const int64_t sb = b.stat.st_size;
  return desc() ? sa > sb : sa < sb;
}

void SizeClusterSorter::append_key(const Entry& entry, std::string* key) const {
  // The bands are ordered by size, so ordering by band is ordering by size
  // for every entry whose key is its own band. Texts that name no band
  // follow the bands, by their bytes.
  int band = size_band_index(entry.cluster);
  if (band < 0) band = kSizeBandCount;
  key->push_back(static_cast<char>(desc() ? ~band : band));
  put_bytes(entry.cluster, desc(), key);
}

std::shared_ptr<Sorter> make_key_sorter(std::string_view key, bool desc,
                                        ErrorRecord* error) {
  if (key == "name") return make_sorter<NameSorter>(desc, error);
  if (key == "date") return make_sorter<DateSorter>(desc, error);
  if (key == "type") return make_sorter<TypeSorter>(desc, error);
  if (key == "size") return make_sorter<SizeSorter>(desc, error);
  if (key == "owner") return make_sorter<OwnerSorter>(desc, error);
  if (key == "group") return make_sorter<GroupSorter>(desc, error);
  if (key == "permission") return make_sorter<PermissionSorter>(desc, error);
  set_error(error, kInvalidParameter, "invalid sort");
  return nullptr;
}

std::shared_ptr<Sorter> make_cluster_sorter(std::string_view key, bool desc,
                                            ErrorRecord* error) {
  if (key == "size") return make_sorter<SizeClusterSorter>(desc, error);
  return make_sorter<ClusterSorter>(desc, error);
}

}  // namespace orv
