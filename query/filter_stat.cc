#include "query/filter_stat.h"

#include <sys/stat.h>
#include <time.h>

namespace orv {
namespace {

constexpr int64_t kDay = 86400;

int64_t size_of(const Entry& entry) {
  return static_cast<int64_t>(entry.stat.st_size);
}

// The start of the local standard-time day of the modification, in seconds
// since the epoch. `timezone` is the standard offset west of UTC as of the
// last tzset; daylight saving time is deliberately left out so that a day
// boundary does not move during the summer.
int64_t modify_day(const Entry& entry) {
  int64_t local = static_cast<int64_t>(entry.stat.st_mtime) -
                  static_cast<int64_t>(timezone);
  return local / kDay * kDay;  // Truncates toward zero.
}

// The request's value cut to the start of its UTC day. Values come from a
// digits-only parameter, so the unsigned division never sees a negative one.
int64_t utc_day(int64_t value) {
  return static_cast<int64_t>(static_cast<uint64_t>(value) / kDay * kDay);
}

int64_t day_with_tzset(int64_t value) {
  tzset();
  return utc_day(value);
}

}  // namespace

bool SizeFilter::greater(const Entry& e) const { return size_of(e) > size_; }
bool SizeFilter::greater_equal(const Entry& e) const {
  return size_of(e) >= size_;
}
bool SizeFilter::equal(const Entry& e) const { return size_of(e) == size_; }
bool SizeFilter::not_equal(const Entry& e) const { return size_of(e) != size_; }
bool SizeFilter::less_equal(const Entry& e) const {
  return size_of(e) <= size_;
}
bool SizeFilter::less(const Entry& e) const { return size_of(e) < size_; }

ModifyDateFilter::ModifyDateFilter(std::string_view op, int64_t value)
    : Filter(comparison_for(op)), day_(day_with_tzset(value)) {}

bool ModifyDateFilter::greater(const Entry& e) const {
  return modify_day(e) > day_;
}
bool ModifyDateFilter::greater_equal(const Entry& e) const {
  return modify_day(e) >= day_;
}
bool ModifyDateFilter::equal(const Entry& e) const {
  return modify_day(e) == day_;
}
bool ModifyDateFilter::not_equal(const Entry& e) const {
  return modify_day(e) != day_;
}
bool ModifyDateFilter::less_equal(const Entry& e) const {
  return modify_day(e) <= day_;
}
bool ModifyDateFilter::less(const Entry& e) const {
  return modify_day(e) < day_;
}

bool OwnerFilter::equal(const Entry& e) const { return e.stat.st_uid == uid_; }

bool GroupFilter::equal(const Entry& e) const { return e.stat.st_gid == gid_; }

bool StatModeFilter::equal(const Entry& e) const {
  // Compares whole file types: the type field is not a set of flags, and a
  // common bit would let "folder" take sockets and block devices.
  uint32_t type = e.stat.st_mode & S_IFMT;
  if (type == mode_bits_) return true;
  return mode_bits_ == kFile && type == S_IFLNK;
}

}  // namespace orv
