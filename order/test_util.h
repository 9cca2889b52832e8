// Helpers shared by the tests of order/: a scoped default locale and a
// compact way to make entries.
#ifndef ORV_ORDER_TEST_UTIL_H_
#define ORV_ORDER_TEST_UTIL_H_

#include <sys/stat.h>
#include <unicode/locid.h>

#include <cstdint>
#include <string>
#include <utility>

#include "entry/entry.h"

namespace orv::test {

// Makes `name` the default ICU locale while it lives, as a request's
// language does, and puts the previous one back.
class ScopedLocale {
 public:
  explicit ScopedLocale(const char* name) : saved_(icu::Locale::getDefault()) {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale(name), status);
  }
  ~ScopedLocale() {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(saved_, status);
  }
  ScopedLocale(const ScopedLocale&) = delete;
  ScopedLocale& operator=(const ScopedLocale&) = delete;

 private:
  icu::Locale saved_;
};

// The fields an ordering test cares about; the rest stays zero.
struct EntryFields {
  EntryFields(std::string name_, int64_t size_ = 0, int64_t mtime_ = 0,
              mode_t mode_ = S_IFREG | 0644, uid_t uid_ = 0, gid_t gid_ = 0)
      : name(std::move(name_)),
        size(size_),
        mtime(mtime_),
        mode(mode_),
        uid(uid_),
        gid(gid_) {}

  std::string name;
  int64_t size = 0;
  int64_t mtime = 0;
  mode_t mode = S_IFREG | 0644;
  uid_t uid = 0;
  gid_t gid = 0;
  std::string cluster;
};

inline Entry make_entry(const EntryFields& fields) {
  Entry entry;
  entry.path = "/share/Public";
  entry.name = fields.name;
  entry.cluster = fields.cluster;
  entry.stat.st_size = fields.size;
  entry.stat.st_mtim.tv_sec = fields.mtime;
  entry.stat.st_mode = fields.mode;
  entry.stat.st_uid = fields.uid;
  entry.stat.st_gid = fields.gid;
  entry.extension = extension_of(fields.name, fields.mode);
  return entry;
}

inline Entry named(const std::string& name) {
  return make_entry(EntryFields(name));
}

}  // namespace orv::test

#endif  // ORV_ORDER_TEST_UTIL_H_
