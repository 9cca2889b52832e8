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
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cache/cache_store.h"
#include "common/log.h"
#include "common/platform/session_store.h"
#include "format/formatter.h"
#include "service/session.h"

namespace orv::test {

// The process's ORV_ROOT and the live session the daemon serves. The
// session's liveness timer runs for the whole process, so root and session
// must outlive every test rather than change per test.
class CacheEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    char name[] = "/tmp/orv-cache-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    root_ = name;
    chmod(root_.c_str(), 0755);  // Tests also look in as another user.
    setenv("ORV_ROOT", root_.c_str(), 1);
    std::string error;
    ASSERT_TRUE(platform::create_session(user(), 0, &sid_, &error)) << error;
    session().set_session(sid_);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  static const std::string& root() { return root_; }
  static const std::string& sid() { return sid_; }
  static std::string user() {
    struct passwd* account = getpwuid(getuid());
    return account != nullptr ? account->pw_name : "root";
  }

 private:
  static inline std::string root_;
  static inline std::string sid_;
};

// A formatter that shows the rebuilt entry's fields, so that tests see what
// the store handed over.
class RecordingFormatter : public Formatter {
 public:
  Json format_entry(const Entry& entry) override {
    entries.push_back(entry);
    return Json::adopt(
        json_pack("{ss ss ss ss ss sI}", "name", entry.name.c_str(), "path",
                  entry.path.c_str(), "alias", entry.alias.c_str(), "sub_path",
                  entry.sub_path.c_str(), "extension", entry.extension.c_str(),
                  "size", static_cast<json_int_t>(entry.stat.st_size)));
  }
  void add_page_members(json_t* page) override {
    json_object_set_new(page, "page_member", json_true());
  }

  std::vector<Entry> entries;
};

// Collects the log lines written while it lives, at the given level.
class LogCapture {
 public:
  explicit LogCapture(int level = 6) : saved_level_(log_level) {
    char name[] = "/tmp/orv-cache-log-XXXXXX";
    fd_ = mkstemp(name);
    path_ = name;
    log_level = level;
    set_log_fd(fd_);
  }
  ~LogCapture() {
    set_log_fd(2);
    log_level = saved_level_;
    close(fd_);
    unlink(path_.c_str());
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string text() const {
    std::ifstream in(path_);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }
  bool has(const std::string& piece) const {
    return text().find(piece) != std::string::npos;
  }

 private:
  int saved_level_;
  int fd_;
  std::string path_;
};

// Each test gets a default volume of its own with a prepared cache folder.
class CacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int counter = 0;
    volume_ = CacheEnvironment::root() + "/volume" + std::to_string(++counter);
    std::filesystem::create_directories(volume_);
    chmod(volume_.c_str(), 0755);
    set_volume(volume_);
    CacheStore::prepare_directory();
  }

  // Writes the default share configuration; an empty text leaves no key.
  static void set_volume(const std::string& volume) {
    const std::string dir = CacheEnvironment::root() + "/etc/config";
    std::filesystem::create_directories(dir);
    std::ofstream out(dir + "/def_share.info", std::ios::trunc);
    out << "[SHARE_DEF]\n";
    if (!volume.empty()) out << "defVolMP = " << volume << "\n";
  }

  std::string cache_dir() const { return volume_ + "/.orv"; }
  std::string slot_file(size_t index) const {
    return cache_dir() + "/" + CacheEnvironment::sid() + "." +
           std::to_string(index);
  }

  // An entry `name` of `size` bytes found in `sub_path` below `root`.
  static Entry entry(const std::string& root, const std::string& sub_path,
                     const std::string& name, off_t size = 0,
                     const std::string& cluster = "",
                     const std::string& alias = "") {
    struct stat st {};
    st.st_mode = S_IFREG | 0644;
    st.st_size = size;
    Entry item = Entry::folder_item(root, sub_path, alias);
    Entry e = Entry::from_item(item, name, st);
    e.cluster = cluster;
    return e;
  }

  // The "name" members of a page's "datas", in order.
  static std::vector<std::string> names(const Json& page) {
    std::vector<std::string> result;
    json_t* datas = json_object_get(page.get(), "datas");
    size_t i;
    json_t* item;
    json_array_foreach(datas, i, item) {
      result.push_back(json_string_value(json_object_get(item, "name")));
    }
    return result;
  }

  std::string volume_;
};

}  // namespace orv::test

#endif  // ORV_CACHE_TEST_UTIL_H_
