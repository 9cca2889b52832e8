// Helpers shared by the tests of cache/: one sandbox root and live login for
// the whole test process, a fresh default volume per test, a formatter that
// shows what the store rebuilt, and a capture of the log lines. Used by tests.
#ifndef ORV_CACHE_TEST_UTIL_H_
#define ORV_CACHE_TEST_UTIL_H_

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cache/cache_store.h"
#include "common/log.h"
#include "common/platform/session_store.h"

namespace orv::test {

// A well-formed uuid that no list bears.
inline constexpr char kOtherUuid[] = "00000000-0000-0000-0000-000000000000";

// The root and the live login outlive every test.
class CacheEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    char name[] = "/tmp/orv-cache-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    root_ = name;
    chmod(root_.c_str(), 0755);  // Tests also look in as another account.
    setenv("ORV_ROOT", root_.c_str(), 1);
    std::string error;
    ASSERT_TRUE(platform::create_session(user(), 0, &sid_, &error)) << error;
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  static const std::string& root() { return root_; }
  static const std::string& sid() { return sid_; }
  static std::string user() { return getpwuid(getuid())->pw_name; }

 private:
  static inline std::string root_, sid_;
};

// The store of slot `index` of the test's login session, in the default
// volume configured: what a handler opens.
inline CacheStore slot(size_t index, bool create) {
  return CacheStore(default_volume(), CacheEnvironment::sid(), index, create);
}

// Shows the fields of each rebuilt entry.
class RecordingFormatter : public Formatter {
 public:
  Json format_entry(const Entry& entry) override {
    entries.push_back(entry);
    return Json::adopt(json_pack("{ss}", "name", entry.name.c_str()));
  }
  void add_page_members(json_t* page) override {
    json_object_set_new(page, "page_member", json_true());
  }
  std::vector<Entry> entries;
};

// Collects the log lines written while it lives, at `level`.
class LogCapture {
 public:
  explicit LogCapture(int level = 6) : saved_(log_level) {
    fd_ = mkstemp(path_);
    log_level = level;
    set_log_fd(fd_);
  }
  ~LogCapture() {
    set_log_fd(2);
    log_level = saved_;
    close(fd_);
    unlink(path_);
  }
  bool has(const std::string& piece) const {
    std::stringstream all;
    all << std::ifstream(path_).rdbuf();
    return all.str().find(piece) != std::string::npos;
  }

 private:
  int saved_;
  int fd_;
  char path_[32] = "/tmp/orv-cache-log-XXXXXX";
};

// Each test gets a default volume of its own with a prepared cache folder.
class CacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int counter = 0;
    volume_ = CacheEnvironment::root() + "/volume" + std::to_string(++counter);
    std::filesystem::create_directories(volume_);
    set_volume(volume_);
    CacheStore::prepare_directory(volume_);
  }

  // Writes the default share configuration; "" leaves the key out.
  static void set_volume(const std::string& volume) {
    std::filesystem::create_directories(CacheEnvironment::root() +
                                        "/etc/config");
    std::ofstream(CacheEnvironment::root() + "/etc/config/def_share.info")
        << "[SHARE_DEF]\n"
        << (volume.empty() ? "" : "defVolMP = " + volume + "\n");
  }
  std::string cache_dir() const { return volume_ + "/.orv"; }
  std::string slot_file(size_t index) const {
    return cache_dir() + "/" + CacheEnvironment::sid() + "." +
           std::to_string(index);
  }

  // A file `name` found in `sub_path` below the search root `root`.
  static Entry entry(const std::string& root, const std::string& name,
                     const std::string& sub_path = "",
                     const std::string& cluster = "",
                     const std::string& alias = "") {
    struct stat st {};
    st.st_mode = S_IFREG | 0644;
    st.st_size = static_cast<off_t>(name.size());
    Entry e =
        Entry::from_item(Entry::folder_item(root, sub_path, alias), name, st);
    e.cluster = cluster;
    return e;
  }
  // The names of a page's "datas", in order.
  static std::vector<std::string> names(const Json& page) {
    std::vector<std::string> result;
    size_t i;
    json_t* item;
    json_array_foreach(json_object_get(page.get(), "datas"), i, item) {
      result.push_back(json_string_value(json_object_get(item, "name")));
    }
    return result;
  }

  std::string volume_;
};

}  // namespace orv::test

#endif  // ORV_CACHE_TEST_UTIL_H_
