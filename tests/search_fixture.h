// The fixture of the search and cache process tests: a sandbox with a default
// volume, a live login of the unprivileged account "nobody", its orv-service
// daemon, and helpers that make folders and files on the volume and read the
// entries of a reply.
#ifndef ORV_TESTS_SEARCH_FIXTURE_H_
#define ORV_TESTS_SEARCH_FIXTURE_H_

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/service_fixture.h"

namespace orv::test {

class SearchTest : public ServiceTest {
 protected:
  void SetUp() override {
    volume_ = sandbox_.path("volume");
    sandbox_.make_dir("volume");
    sandbox_.write_file("etc/config/def_share.info",
                        "[SHARE_DEF]\ndefVolMP = " + volume_ + "\n");
    configure();
    sid_ = sandbox_.new_session("nobody");
    ASSERT_FALSE(sid_.empty());
    daemon_ = &start(sid_, {"-l", "7"}, options_, program_);
    ASSERT_TRUE(serving(sid_)) << daemon_->err();
  }

  // Called before the daemon starts, with volume_ set: a fixture may write
  // more configuration or choose program_ and options_.
  virtual void configure() {}

  // A folder on the volume (made with its parents, mode 0755); its path.
  std::string folder(const std::string& relative) {
    sandbox_.make_dir("volume/" + relative);
    return volume_ + "/" + relative;
  }

  // A file of `size` bytes (sparse) in folder `dir`, modified at `mtime`
  // (seconds; 0 leaves the current time).
  static void make_file(const std::string& dir, const std::string& name,
                        off_t size = 0, time_t mtime = 0) {
    const std::string path = dir + "/" + name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(ftruncate(fd, size), 0) << path;
    close(fd);
    if (mtime != 0) {
      struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
      ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
    }
  }

  // Empty files named by the printf `format` with 0, 1, ... `count` - 1 in
  // folder `dir`; their names in that order.
  static std::vector<std::string> make_files(const std::string& dir,
                                             const char* format, int count) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
      char name[64];
      std::snprintf(name, sizeof(name), format, i);
      make_file(dir, name);
      names.push_back(name);
    }
    return names;
  }

  // The "path" member of a search over one folder.
  static std::string path_member(const std::string& full_path,
                                 const std::string& alias) {
    return R"("path":[{"full_path":")" + full_path + R"(","alias":")" + alias +
           R"("}])";
  }

  // Calls `method` of the session's daemon with `body` given on standard
  // input (a search may list more folders than one argument can hold); the
  // reply parsed.
  Json call(const std::string& method, const std::string& body) {
    RunOptions options;
    options.input = body;
    RunResult result = sandbox_.hvcall({"orv-" + sid_, method, "-"}, options);
    const std::string request = method + " " + body.substr(0, 200);
    EXPECT_EQ(result.status, 0) << request << ": " << result.err;
    Json reply = Json::adopt(json_loads(result.out.c_str(), 0, nullptr));
    EXPECT_TRUE(reply) << request << ": " << result.out;
    return reply;
  }

  // The values of member `key` of every entry of the reply's "datas".
  static std::vector<std::string> column(const Json& reply,
                                         const char* key = "filename") {
    std::vector<std::string> values;
    size_t i;
    json_t* item;
    json_array_foreach(json_object_get(reply.get(), "datas"), i, item) {
      const char* text = json_string_value(json_object_get(item, key));
      values.push_back(text != nullptr ? text : "?");
    }
    return values;
  }

  // The member names of a JSON object, in order.
  static std::vector<std::string> keys(const json_t* object) {
    std::vector<std::string> names;
    const char* key;
    json_t* value;
    json_object_foreach(const_cast<json_t*>(object), key, value) {
      names.push_back(key);
    }
    return names;
  }

  // The cache directory of the volume and slot file `index` of session
  // `sid` in it.
  std::string cache_dir() const { return volume_ + "/.orv"; }
  std::string slot(const std::string& sid, int index) const {
    return cache_dir() + "/" + sid + "." + std::to_string(index);
  }

  std::string volume_;
  std::string sid_;
  Process* daemon_ = nullptr;
  std::string program_ = "orv-service";  // the daemon started
  RunOptions options_;                   // and how
};

}  // namespace orv::test

#endif  // ORV_TESTS_SEARCH_FIXTURE_H_
