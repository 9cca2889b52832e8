// Filters on an entry's stat record: size, modification day, owner, group
// and file kind.
#ifndef ORV_QUERY_FILTER_STAT_H_
#define ORV_QUERY_FILTER_STAT_H_

#include <sys/types.h>

#include <cstdint>
#include <string_view>

#include "query/filter.h"

namespace orv {

// Compares the stat size (a folder's own size for folders) with `size`. The
// operator text (">", ">=", "==", "!=", "<=", "<") selects the comparison;
// any other text makes a filter that accepts nothing.
class SizeFilter : public Filter {
 public:
  SizeFilter(std::string_view op, int64_t size)
      : Filter(comparison_for(op)), size_(size) {}

  bool greater(const Entry& entry) const override;
  bool greater_equal(const Entry& entry) const override;
  bool equal(const Entry& entry) const override;
  bool not_equal(const Entry& entry) const override;
  bool less_equal(const Entry& entry) const override;
  bool less(const Entry& entry) const override;

  int64_t size() const { return size_; }

 private:
  const int64_t size_;
};

// Compares the day an entry was modified with the day of `value`. The
// request's value is taken in UTC and the entry's time in the local standard
// time (daylight saving is ignored), both cut to the start of their day. The
// operator text works as for SizeFilter.
class ModifyDateFilter : public Filter {
 public:
  // Calls tzset, so the zone in force when the filter is made is the one
  // every comparison uses.
  ModifyDateFilter(std::string_view op, int64_t value);

  bool greater(const Entry& entry) const override;
  bool greater_equal(const Entry& entry) const override;
  bool equal(const Entry& entry) const override;
  bool not_equal(const Entry& entry) const override;
  bool less_equal(const Entry& entry) const override;
  bool less(const Entry& entry) const override;

  int64_t day() const { return day_; }

 private:
  const int64_t day_;  // Seconds since the epoch at the start of a UTC day.
};

// Accepts entries owned by `uid`.
class OwnerFilter : public Filter {
 public:
  explicit OwnerFilter(uint32_t uid) : Filter(&Filter::equal), uid_(uid) {}

  bool equal(const Entry& entry) const override;

  uint32_t uid() const { return uid_; }

 private:
  const uint32_t uid_;
};

// Accepts entries of group `gid`.
class GroupFilter : public Filter {
 public:
  explicit GroupFilter(uint32_t gid) : Filter(&Filter::equal), gid_(gid) {}

  bool equal(const Entry& entry) const override;

  uint32_t gid() const { return gid_; }

 private:
  const uint32_t gid_;
};

// Accepts entries of one file kind, `mode_bits` being a file type of the
// stat mode: kFile (regular files, and symbolic links, which the walk never
// follows) or kFolder (folders only). Sockets, devices and pipes are neither.
class StatModeFilter : public Filter {
 public:
  static constexpr uint32_t kFile = 0x8000;    // S_IFREG
  static constexpr uint32_t kFolder = 0x4000;  // S_IFDIR

  explicit StatModeFilter(uint32_t mode_bits)
      : Filter(&Filter::equal), mode_bits_(mode_bits) {}

  bool equal(const Entry& entry) const override;

  uint32_t mode_bits() const { return mode_bits_; }

 private:
  const uint32_t mode_bits_;
};

}  // namespace orv

#endif  // ORV_QUERY_FILTER_STAT_H_
