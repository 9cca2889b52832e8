// Sorters: a chain of links that puts a result list in order. Each link
// compares two entries by one key and hands entries equal in that key to the
// next link. The chain is owned from its head: each link owns its `next`.
//
// A chain belongs to one request and is used by one thread. Links are made
// after the request's language has set the default ICU locale; each makes
// its own collator then and keeps it for its life. A link is not changed
// once the chain is built. A long list's keys are made on every core: the
// chain's thread uses the links' collators, each other thread clones of them
// (KeyMaker), since a collator serves one thread at a time.
#ifndef ORV_ORDER_SORTER_H_
#define ORV_ORDER_SORTER_H_

#include <unicode/coll.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "entry/entry.h"
#include "order/collation.h"
#include "order/sort_key.h"

namespace orv {

class KeyMaker;

// The base link. A plain Sorter compares by its `next` alone; it is the head
// of every chain, and sort() is called on the head.
class Sorter : public std::enable_shared_from_this<Sorter> {
 public:
  // `collator` must not be null; make_sorter() makes one and reports its
  // failure.
  Sorter(bool desc, std::shared_ptr<icu::Collator> collator);
  virtual ~Sorter();

  Sorter(const Sorter&) = delete;
  Sorter& operator=(const Sorter&) = delete;

  // Follows `next` to the last link and sets that link's `next` to
  // `sorter`; answers a shared owner of this sorter. This sorter must
  // already be held by a shared owner.
  std::shared_ptr<Sorter> append(std::shared_ptr<Sorter> sorter);

  // Sorts `entries` in place by the links after this one (this sorter's base
  // comparison). Unstable: entries equal under the chain end in no
  // particular order. Safe on any input, including names that are invalid
  // UTF-8 or collate equal while differing in bytes.
  virtual void sort(std::vector<Entry>* entries) const;

  // The two halves of sort(), for a caller that makes the keys as the list
  // grows: whether the chain orders anything (sort() leaves a chain of the
  // head alone untouched); the ordering key of `entry` appended to `keys`
  // as their next key; the keys of entries `from` to the end of `entries`
  // appended likewise, in list order, made on every core for a long list;
  // and the sort of `entries` by `keys`, the keys of `entries` in list
  // order, which it leaves empty.
  bool orders() const { return next_ != nullptr; }
  void add_key(const Entry& entry, SortKeys* keys) const;
  void add_keys(const std::vector<Entry>& entries, size_t from,
                SortKeys* keys) const;
  void sort_by_keys(std::vector<Entry>* entries, SortKeys* keys) const;

  // True when `a` goes before `b`. A plain Sorter answers with `next`, or
  // false when there is none.
  virtual bool compare(const Entry& a, const Entry& b) const;

  bool desc() const { return desc_; }
  const std::shared_ptr<Sorter>& next() const { return next_; }
  const icu::Collator& collator() const { return *collator_; }

 protected:
  // `next`'s answer for a and b, or false at the end of the chain.
  bool compare_next(const Entry& a, const Entry& b) const {
    return next_ ? next_->compare(a, b) : false;
  }

  // Orders by a numeric key: equal keys go to the next link; otherwise the
  // smaller key first, or the larger one when descending.
  template <typename T>
  bool compare_keys(T ka, T kb, const Entry& a, const Entry& b) const {
    if (ka == kb) return compare_next(a, b);
    return desc_ ? ka > kb : ka < kb;
  }

  // Appends this link's part of the ordering key of `entry`. sort()
  // concatenates the parts of every link after the head and orders entries
  // by comparing the concatenations byte for byte (shorter first on a
  // common prefix). Each part must be self-delimiting (no part a proper
  // prefix of another part of the same link) and must order entries the way
  // compare() does: whenever compare(a, b) holds, a's part is smaller, or
  // the parts are equal and the next link's parts decide. Pairs that
  // compare() leaves unordered may be ordered either way, as long as the
  // result is a strict weak ordering. A plain Sorter adds nothing.
  virtual void append_key(const Entry& entry, std::string* key) const;
  // append_key() with `collator`, which is this link's own collator or a
  // clone of it (on another thread). The links that collate override this
  // one; for the others it is append_key().
  virtual void append_collated_key(const Entry& entry,
                                   const icu::Collator& collator,
                                   std::string* key) const;

 private:
  friend class KeyMaker;

  // Constant after construction.
  const bool desc_;
  const std::shared_ptr<icu::Collator> collator_;

  // Set once while the chain is built.
  std::shared_ptr<Sorter> next_;
};

// Orders by `name`: names beginning with ".@" first, then the other names
// beginning with ".", then names beginning with "@", then all others, in
// both directions; collation decides within each group, reversed when
// descending. Names equal byte for byte go to the next link; names that
// collate equal but differ in bytes (a01, a1) are neither before the other.
class NameSorter : public Sorter {
 public:
  using Sorter::Sorter;
  bool compare(const Entry& a, const Entry& b) const override;

 protected:
  void append_collated_key(const Entry& entry, const icu::Collator& collator,
                           std::string* key) const override;
};

// Orders by modification time in seconds.
class DateSorter : public Sorter {
 public:
  using Sorter::Sorter;
  bool compare(const Entry& a, const Entry& b) const override;

 protected:
  void append_key(const Entry& entry, std::string* key) const override;
};

// Orders by size in bytes.
class SizeSorter : public Sorter {
 public:
  using Sorter::Sorter;
  bool compare(const Entry& a, const Entry& b) const override;

 protected:
  void append_key(const Entry& entry, std::string* key) const override;
};

// Orders by `extension`, collated; extensions that collate equal go to the
// next link. Folders and files without extension come first ascending.
class TypeSorter : public Sorter {
 public:
  using Sorter::Sorter;
  bool compare(const Entry& a, const Entry& b) const override;

 protected:
  void append_collated_key(const Entry& entry, const icu::Collator& collator,
                           std::string* key) const override;
};

// Orders by owner uid.
class OwnerSorter : public Sorter {
 public:
  using Sorter::Sorter;
  bool compare(const Entry& a, const Entry& b) const override;

 protected:
  void append_key(const Entry& entry, std::string* key) const override;
};

// Orders by group gid.
class GroupSorter : public Sorter {
 public:
  using Sorter::Sorter;
  bool compare(const Entry& a, const Entry& b) const override;

 protected:
  void append_key(const Entry& entry, std::string* key) const override;
};

// Orders by the permission bits (mode & 0777).
class PermissionSorter : public Sorter {
 public:
  using Sorter::Sorter;
  bool compare(const Entry& a, const Entry& b) const override;

 protected:
  void append_key(const Entry& entry, std::string* key) const override;
};

// Orders by `cluster`: keys equal byte for byte go to the next link, others
// are collated; two different keys that collate equal are neither before
// the other. sort() keeps every group one contiguous run.
class ClusterSorter : public Sorter {
 public:
  using Sorter::Sorter;
  bool compare(const Entry& a, const Entry& b) const override;

 protected:
  void append_collated_key(const Entry& entry, const icu::Collator& collator,
                           std::string* key) const override;
};

// Orders size bands: `cluster` keys equal byte for byte go to the next link;
// otherwise the sizes decide (entries in different bands always differ in
// size, so the bands follow one another in size order).
class SizeClusterSorter : public Sorter {
 public:
  using Sorter::Sorter;
  bool compare(const Entry& a, const Entry& b) const override;

 protected:
  void append_key(const Entry& entry, std::string* key) const override;
};

// Makes ordering keys with a chain on a thread other than the chain's own,
// with clones of the links' collators, made on the chain's thread when the
// maker is made. Used by one thread.
class KeyMaker {
 public:
  explicit KeyMaker(const Sorter& head);
  KeyMaker(const KeyMaker&) = delete;
  KeyMaker& operator=(const KeyMaker&) = delete;

  // Whether every clone could be made; a maker without them must not be
  // used.
  bool ok() const { return ok_; }
  // As Sorter::add_key.
  void add_key(const Entry& entry, SortKeys* keys) const;

 private:
  // The links after the head, each with its clone; constant after
  // construction.
  std::vector<const Sorter*> links_;
  std::vector<std::unique_ptr<icu::Collator>> collators_;
  bool ok_ = true;
};

// A sorter of class T (Sorter or one of the classes above) with a new
// collator for the default locale. On failure sets `error` (code 3) and
// returns nullptr.
template <typename T>
std::shared_ptr<Sorter> make_sorter(bool desc, ErrorRecord* error) {
  std::shared_ptr<icu::Collator> collator = make_collator(error);
  if (!collator) return nullptr;
  return std::make_shared<T>(desc, std::move(collator));
}

// The sorter of a sort key: "name", "date", "type", "size", "owner", "group"
// or "permission". On failure, or for any other key, sets `error` and
// returns nullptr.
std::shared_ptr<Sorter> make_key_sorter(std::string_view key, bool desc,
                                        ErrorRecord* error);

// The sorter of a cluster key: SizeClusterSorter for "size", ClusterSorter
// for any other. On failure sets `error` and returns nullptr.
std::shared_ptr<Sorter> make_cluster_sorter(std::string_view key, bool desc,
                                            ErrorRecord* error);

}  // namespace orv

#endif  // ORV_ORDER_SORTER_H_
