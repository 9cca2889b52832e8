// The cache folder "<volume>/.orv" against a real daemon, which prepares it as
// root at start and sweeps it at shut-down and on -c, and whose handlers write
// slots in it as the session user. A ".orv" that is not a folder of root's
// own with the cache's mode (a link, another account's folder, a folder of
// root's moved there, a file) must be left exactly as it is, and the daemon
// then serves without cache slots.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "tests/search_fixture.h"

namespace orv::test {
namespace {

using std::chrono::milliseconds;

// An account that exists nowhere: the owner of the foreign folder.
constexpr uid_t kStranger = 4242;

using SearchCacheFolderTest = SearchTest;

// Type, mode and owner of `path` itself (links not followed) and, when it is
// a folder, the same of each of its files with their contents.
std::string describe(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return path + " missing";
  char line[128];
  std::snprintf(line, sizeof(line), " %o %u", st.st_mode,
                static_cast<unsigned>(st.st_uid));
  std::string text = path + line;
  if (!S_ISDIR(st.st_mode)) return text;
  std::vector<std::string> names;
  for (const auto& item : std::filesystem::directory_iterator(path)) {
    names.push_back(item.path().filename());
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::ifstream in(path + "/" + name);
    std::string content((std::istreambuf_iterator<char>(in)), {});
    text += "\n" + describe(path + "/" + name) + " " +
            std::to_string(content.size()) + " " + content.substr(0, 16);
  }
  return text;
}

TEST_F(SearchCacheFolderTest, CacheFolderNotOwnedByRootIsLeftUntouched) {
  const std::string dir = folder("share/P");
  make_file(dir, "a.txt");
  const std::string ended = sandbox_.new_session("nobody");
  ASSERT_EQ(sandbox_.run({bin("tovix-session"), "end", ended}).status, 0);
  // Files that a sweep of the folder would remove: an ended session's slot
  // and a name of no live session.
  auto fill = [&](const std::string& folder_path, uid_t owner) {
    for (const std::string& name : {ended + ".1", std::string("notes.txt")}) {
      const std::string file = folder_path + "/" + name;
      std::ofstream(file) << "keep me";
      ASSERT_EQ(chmod(file.c_str(), 0640), 0);
      ASSERT_EQ(chown(file.c_str(), owner, owner), 0);
    }
  };
  const std::string target = folder("elsewhere");
  const struct {
    const char* name;
    std::function<void()> plant;
  } kCases[] = {
      {"a link to a folder of files",
       [&] {
         fill(target, 0);
         ASSERT_EQ(symlink(target.c_str(), cache_dir().c_str()), 0);
       }},
      {"a folder of another account",
       [&] {
         ASSERT_EQ(mkdir(cache_dir().c_str(), 0777), 0);
         ASSERT_EQ(chmod(cache_dir().c_str(), 0777), 0);
         ASSERT_EQ(chown(cache_dir().c_str(), kStranger, kStranger), 0);
         fill(cache_dir(), kStranger);
       }},
      {"a folder of root's of another mode",
       [&] {
         ASSERT_EQ(mkdir(cache_dir().c_str(), 0755), 0);
         fill(cache_dir(), 0);
       }},
      {"a regular file",
       [&] {
         std::ofstream(cache_dir()) << "not a folder";
         ASSERT_EQ(chmod(cache_dir().c_str(), 0644), 0);
       }},
  };

  daemon_->signal(SIGTERM);
  ASSERT_EQ(daemon_->wait(milliseconds(5000)), 0) << daemon_->err();
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(cache_dir());  // A link goes, not its target.
    c.plant();
    const std::string before = describe(cache_dir()) + "\n" + describe(target);

    daemon_ = &start(sid_, {"-l", "7"});
    ASSERT_TRUE(serving(sid_)) << daemon_->err();
    EXPECT_EQ(json_text(call("create.cache",
                             "{" + path_member(dir, "/P") + R"(,"index":1})")
                            .get()),
              R"({"error_code":3,"error_message":"cache failure"})");
    Json direct = call("fetch.resource", "{" + path_member(dir, "/P") + "}");
    EXPECT_EQ(int_of(direct, "error_code"), 0) << json_text(direct.get());
    EXPECT_EQ(column(direct), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(describe(cache_dir()) + "\n" + describe(target), before)
        << "after start";
    EXPECT_TRUE(daemon_->wait_for_err("[E] orv-service(", milliseconds(1000)));
    EXPECT_TRUE(daemon_->wait_for_err(cache_dir(), milliseconds(1000)))
        << daemon_->err();

    daemon_->signal(SIGTERM);
    EXPECT_EQ(daemon_->wait(milliseconds(5000)), 0) << daemon_->err();
    EXPECT_EQ(describe(cache_dir()) + "\n" + describe(target), before)
        << "after stop";
    RunResult cleared = sandbox_.run({bin("orv-service"), "-c"});
    EXPECT_EQ(cleared.status, 0) << cleared.err;
    EXPECT_EQ(describe(cache_dir()) + "\n" + describe(target), before)
        << "after -c";
    EXPECT_NE(cleared.err.find(cache_dir()), std::string::npos) << cleared.err;
  }
}

}  // namespace
}  // namespace orv::test
