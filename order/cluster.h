// Cluster strategies: each turns an entry into a short text, its cluster
// key, by which a result list is grouped (first letter of the name, month of
// the last change, type, size band, owner, group or permission bits).
//
// A strategy is made while the query is parsed, lives for the request and
// keeps no state between entries; key() is called from the request's one
// thread.
#ifndef ORV_ORDER_CLUSTER_H_
#define ORV_ORDER_CLUSTER_H_

#include <unicode/translit.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/error.h"
#include "entry/entry.h"

namespace orv {

// The base of all strategies.
class Cluster {
 public:
  virtual ~Cluster();

  // The cluster key (UTF-8) of `entry`.
  virtual std::string key(const Entry& entry) const = 0;
};

// The folded (accents removed, lower-cased) first character of the name;
// the first two characters when the first is ".".
class NameCluster : public Cluster {
 public:
  // `fold` must not be null; make_cluster() makes it and reports its
  // failure.
  explicit NameCluster(std::shared_ptr<icu::Transliterator> fold);
  std::string key(const Entry& entry) const override;

 private:
  const std::shared_ptr<icu::Transliterator> fold_;
};

// "YYYY/MM" of the modification time in the local time zone; "" when the
// time cannot be broken down.
class DateCluster : public Cluster {
 public:
  std::string key(const Entry& entry) const override;
};

// "folder" for a folder, else the lower-cased extension ("" for none).
class TypeCluster : public Cluster {
 public:
  std::string key(const Entry& entry) const override;
};

// The size band: xs, s, m, l, xl or xxl.
class SizeCluster : public Cluster {
 public:
  std::string key(const Entry& entry) const override;
};

// The owner's account name, or "---".
class OwnerCluster : public Cluster {
 public:
  std::string key(const Entry& entry) const override;
};

// The group's name, or "---".
class GroupCluster : public Cluster {
 public:
  std::string key(const Entry& entry) const override;
};

// The permission bits (mode & 0777) as three octal digits.
class PermissionCluster : public Cluster {
 public:
  std::string key(const Entry& entry) const override;
};

// One size band: sizes below `below` that no earlier band took.
struct SizeBand {
  const char* name;
  int64_t below;
};

// The bands in order, smallest first. A size not below any limit (only the
// largest 64-bit value) belongs to the last band.
inline constexpr int kSizeBandCount = 6;
extern const SizeBand kSizeBands[kSizeBandCount];

// The band of `size`: an index into kSizeBands.
int size_band(int64_t size);

// The index into kSizeBands of the band named `key`; -1 for another text.
int size_band_index(std::string_view key);

// The strategy of a cluster key: "name", "date", "type", "size", "owner",
// "group" or "permission". On failure, or for any other key, sets `error`
// and returns nullptr.
std::shared_ptr<Cluster> make_cluster(std::string_view key, ErrorRecord* error);

}  // namespace orv

#endif  // ORV_ORDER_CLUSTER_H_
