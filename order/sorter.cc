#include "order/sorter.h"

#include <sys/stat.h>

#include <cstdint>
#include <utility>

#include "common/parallel.h"
#include "common/utf8.h"
#include "order/cluster.h"
#include "order/sort_key.h"

namespace orv {

namespace {

// The leading group of a name: 0 for ".@", 1 for other names starting with
// ".", 2 for names starting with "@", 3 for all others. It follows the first
// two characters as utf8_substr cuts them, so a name whose first characters
// cannot be read belongs to the last group.
char name_group(std::string_view name) {
  // Only names starting with "." or "@" can leave the last group; the
  // others need not be cut.
  if (name.empty() || (name[0] != '.' && name[0] != '@')) return 3;
  const std::string prefix = utf8_substr(name, 0, 2);
  if (prefix == ".@") return 0;
  if (prefix.empty()) return 3;
  if (prefix[0] == '.') return 1;
  if (prefix[0] == '@') return 2;
  return 3;
}

// Asks for every cache line of an entry.
void prefetch_entry(const Entry* entry) {
  const char* bytes = reinterpret_cast<const char*>(entry);
  for (size_t offset = 0; offset < sizeof(Entry); offset += 64) {
    __builtin_prefetch(bytes + offset);
  }
}

// Fewer keys than this per thread are made on fewer threads: starting a
// thread and cloning the collators cost about as much as a thousand keys.
constexpr size_t kKeysPerThread = 4096;

// Asks for an entry and its name a few steps ahead of the key being made:
// keys are made in list order, but what they are made of lies all over the
// heap.
void prefetch_ahead(const std::vector<Entry>& entries, size_t i, size_t end) {
  if (i + 8 < end) __builtin_prefetch(&entries[i + 8]);
  if (i + 4 < end) __builtin_prefetch(entries[i + 4].name.data());
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

  // Each entry's ordering key is made once, so that the sort compares
  // bytes instead of calling the collator O(n log n) times.
  const size_t count = entries->size();
  SortKeys keys(count, 64 * count);
  add_keys(*entries, 0, &keys);
  sort_by_keys(entries, &keys);
}

void Sorter::add_key(const Entry& entry, SortKeys* keys) const {
  for (const Sorter* link = next_.get(); link; link = link->next_.get()) {
    link->append_collated_key(entry, *link->collator_, keys->buffer());
  }
  keys->finish_key();
}

void Sorter::add_keys(const std::vector<Entry>& entries, size_t from,
                      SortKeys* keys) const {
  const size_t count = entries.size() > from ? entries.size() - from : 0;
  // The other threads' clones are made here, on the chain's own thread.
  std::vector<std::unique_ptr<KeyMaker>> makers;
  for (size_t part = 1; part < parts_for(count, kKeysPerThread); ++part) {
    auto maker = std::make_unique<KeyMaker>(*this);
    if (!maker->ok()) break;  // Fewer threads, then.
    makers.push_back(std::move(maker));
  }
  const size_t parts = makers.size() + 1;
  // Each other part makes its keys apart; they follow the first part's.
  std::vector<SortKeys> made;
  made.reserve(parts - 1);
  for (size_t part = 1; part < parts; ++part) {
    const size_t share = count / parts + 1;
    made.emplace_back(share, 64 * share);
  }
  run_parts(parts, [&](size_t part) {
    const PartRange range = part_range(count, parts, part);
    const size_t end = from + range.end;
    for (size_t i = from + range.begin; i < end; ++i) {
      prefetch_ahead(entries, i, end);
      if (part == 0) {
        add_key(entries[i], keys);
      } else {
        makers[part - 1]->add_key(entries[i], &made[part - 1]);
      }
    }
  });
  for (SortKeys& more : made) keys->append(&more);
}

void Sorter::sort_by_keys(std::vector<Entry>* entries, SortKeys* keys) const {
  if (!next_ || entries->size() < 2) return;
  if (keys->size() != entries->size()) {
    sort(entries);  // Not the keys of these entries.
    return;
  }
  Entry* list = entries->data();
  const size_t count = entries->size();
  std::vector<size_t> source = keys->take_order();

  // Move the entries into place cycle by cycle: position i receives the
  // entry that was at source[i]. Done in place, since a second list of
  // entries would double the memory of the largest lists. The entries of a
  // cycle lie all over the list, so a second cursor runs a few steps ahead
  // along the cycle and asks for them before they are moved.
  for (size_t start = 0; start < count; ++start) {
    if (source[start] == start) continue;
    Entry held = std::move(list[start]);
    size_t ahead = source[start];
    for (int k = 0; k < 4 && ahead != start; ++k) {
      prefetch_entry(&list[ahead]);
      ahead = source[ahead];
    }
    size_t to = start;
    while (source[to] != start) {
      const size_t from = source[to];
      if (ahead != start) {
        prefetch_entry(&list[ahead]);
        ahead = source[ahead];
      }
      list[to] = std::move(list[from]);
      source[to] = to;
      to = from;
    }
    list[to] = std::move(held);
    source[to] = to;
  }
}

bool Sorter::compare(const Entry& a, const Entry& b) const {
  return compare_next(a, b);
}

void Sorter::append_key(const Entry&, std::string*) const {}

void Sorter::append_collated_key(const Entry& entry, const icu::Collator&,
                                 std::string* key) const {
  append_key(entry, key);
}

KeyMaker::KeyMaker(const Sorter& head) {
  for (const Sorter* link = head.next_.get(); link; link = link->next_.get()) {
    std::unique_ptr<icu::Collator> clone(link->collator_->clone());
    if (!clone) {
      ok_ = false;
      return;
    }
    links_.push_back(link);
    collators_.push_back(std::move(clone));
  }
}

void KeyMaker::add_key(const Entry& entry, SortKeys* keys) const {
  for (size_t i = 0; i < links_.size(); ++i) {
    links_[i]->append_collated_key(entry, *collators_[i], keys->buffer());
  }
  keys->finish_key();
}

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

void NameSorter::append_collated_key(const Entry& entry,
                                     const icu::Collator& collator,
                                     std::string* key) const {
  key->push_back(name_group(entry.name));
  // Names that collate equal get equal parts, equal bytes or not, and go to
  // the next link together. compare() leaves such names unordered when
  // their bytes differ, so either order of them is right, and the result
  // stays a strict weak ordering with any next link.
  put_collated(collator, entry.name, desc(), key);
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

void TypeSorter::append_collated_key(const Entry& entry,
                                     const icu::Collator& collator,
                                     std::string* key) const {
  put_collated(collator, entry.extension, desc(), key);
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

void ClusterSorter::append_collated_key(const Entry& entry,
                                        const icu::Collator& collator,
                                        std::string* key) const {
  put_collated(collator, entry.cluster, desc(), key);
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
