#include "entry/entry.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/platform/test_root.h"

extern char** environ;

namespace orv {
namespace {

namespace fs = std::filesystem;

struct stat mode_stat(mode_t mode) {
  struct stat st {};
  st.st_mode = mode;
  return st;
}

// A fresh folder per test, which is also the test's ORV_ROOT.
class EntryTest : public ::testing::Test {
 protected:
  // Writes `content` to `relative` below the test folder, making folders.
  void write(const std::string& relative, const std::string& content = "") {
    root_.write("/" + relative, content);
  }

  platform::test::TempRoot root_;
  const std::string dir_ = root_.root();
};

TEST_F(EntryTest, ExtensionRule) {
  struct Case {
    const char* name;
    mode_t mode;
    const char* extension;
  };
  const Case cases[] = {
      {"archive.TAR.GZ", S_IFREG, "GZ"},
      {".bashrc", S_IFREG, ""},
      {"photos.2020", S_IFDIR, ""},
      {"photos.2020", S_IFLNK, "2020"},
      {"a.", S_IFREG, ""},
      {"README", S_IFREG, ""},
      {"..x", S_IFREG, "x"},
  };
  Entry item = Entry::folder_item("/share/A", "/b", "Alias");
  for (const Case& c : cases) {
    EXPECT_EQ(Entry::from_item(item, c.name, mode_stat(c.mode)).extension,
              c.extension)
        << c.name;
  }
}

TEST_F(EntryTest, JoinAndDerivedPathsKeepOddSlashes) {
  EXPECT_EQ(join({"share/A", ""}), "/share/A");
  EXPECT_EQ(join({"/share/A/", "/c"}), "/share/A//c");
  EXPECT_EQ(join({"", "", ""}), "");

  Entry e = Entry::from_item(Entry::folder_item("/share/A", "/b/c", "Home"),
                             "d.txt", mode_stat(S_IFREG));
  EXPECT_EQ(e.full_path(), "/share/A/b/c/d.txt");
  EXPECT_EQ(e.folder_path(), "/share/A/b/c");
  EXPECT_EQ(e.alias_folder_path(), "/Home/b/c");
  EXPECT_EQ(e.alias_full_path(), "/Home/b/c/d.txt");
  Entry bare = Entry::from_item(Entry::folder_item("/share/A", "", ""), "x",
                                mode_stat(S_IFREG));
  EXPECT_EQ(bare.alias_full_path(), "/x");
  EXPECT_EQ(bare.alias_folder_path(), "");
}

TEST_F(EntryTest, StatOfLinksAndMissingFiles) {
  write("A/f.bin", "12345678");
  fs::create_directory_symlink(dir_ + "/A", dir_ + "/dirlink");
  fs::create_symlink("f.bin", dir_ + "/A/l");
  EXPECT_TRUE(S_ISLNK(Entry::from_path(dir_, "dirlink").stat.st_mode));
  Entry missing = Entry::from_path(dir_, "nothing.jpg");
  EXPECT_EQ(missing.stat.st_mode, 0u);
  EXPECT_EQ(missing.extension, "jpg");

  // stat_path looks at path and name only, as for entries from the cache.
  Entry e = Entry::from_cache(dir_ + "/A", "l", mode_stat(0), "");
  e.sub_path = "/elsewhere";
  ASSERT_TRUE(e.stat_path(false));
  EXPECT_TRUE(S_ISLNK(e.stat.st_mode));
  ASSERT_TRUE(e.stat_path(true));
  EXPECT_EQ(e.stat.st_size, 8);
  e.name = "gone";
  EXPECT_FALSE(e.stat_path(true));
  EXPECT_EQ(e.stat.st_size, 8);  // Unchanged on failure.
}

TEST_F(EntryTest, ResolveFollowsLinksAndCopiesOnFailure) {
  write("A/real/x.jpg");
  fs::create_directory_symlink(dir_ + "/A/real", dir_ + "/A/alias");
  Entry e = Entry::from_cache(dir_ + "/A/alias", "x.jpg", mode_stat(S_IFREG),
                              "Shown");
  Entry r = resolve(e);
  EXPECT_EQ(r.path, fs::canonical(dir_ + "/A/real").string());
  EXPECT_EQ(r.name, "x.jpg");
  EXPECT_EQ(r.alias, "");
  EXPECT_TRUE(r.path_contains("/A/real/"));
  EXPECT_FALSE(e.path_contains("/A/real/"));
  EXPECT_FALSE(r.path_contains(nullptr));

  Entry missing = Entry::from_cache(dir_ + "/none", "y", mode_stat(0), "Al");
  EXPECT_EQ(resolve(missing).full_path(), missing.full_path());
  EXPECT_EQ(resolve(missing).alias, "Al");
  EXPECT_EQ(resolve(Entry::from_path("/", "")).full_path(), "/");
}

TEST_F(EntryTest, ShareTypeOfTheShareHoldingThePath) {
  write("etc/config/tvk2.conf",
        "[global]\nveto files = /*.tmp/\n"
        "[Pub]\npath = /share/Pub\nshare type = 2\n"
        "[Public]\npath = /share/Public\nshare type = 1\n"
        "[Public again]\npath = /share/Public\nshare type = 7\n"
        "[Home]\npath = /share/homes/\nshare type = 3\n");
  struct Case {
    const char* path;
    const char* name;
    int expected;
  };
  const Case cases[] = {
      {"/share/Pub", "x", 2},    {"/share/Public", "x", 1},
      {"/share/Public", "", 1},  {"/share/Publication", "", -1},
      {"/share/homes", "me", 3}, {"/share/homes", "", 3},
      {"/share/Other", "x", -1}, {"", "", -1},
  };
  for (const Case& c : cases) {
    Entry e = Entry::from_cache(c.path, c.name, mode_stat(S_IFREG), "");
    EXPECT_EQ(share_type(e), c.expected) << c.path << " " << c.name;
  }
  fs::remove(dir_ + "/etc/config/tvk2.conf");
  EXPECT_EQ(share_type(Entry::from_cache("/share/Pub", "x", {}, "")), -1);
}

// Accounts of the made-up database that the child below sees.
constexpr uid_t kTesterUid = 42001;
constexpr gid_t kTesterGid = 42002;
constexpr gid_t kCrowdGid = 42003;
constexpr uid_t kNoAccount = 42999;
constexpr const char kNssChild[] = "ORV_ENTRY_NSS_CHILD";

// Runs this binary again, limited to EntryNssChildTest, with the account
// files of `dir` in place of the machine's; the child's exit status. The
// child leaves "child-ran" in `dir` once its checks have run.
int run_nss_child(const std::string& dir) {
  std::vector<std::string> env = {
      "LD_PRELOAD=libnss_wrapper.so", "NSS_WRAPPER_PASSWD=" + dir + "/passwd",
      "NSS_WRAPPER_GROUP=" + dir + "/group", std::string(kNssChild) + "=" + dir,
      // A sanitizer runtime would refuse a library preloaded before it.
      "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
  for (char** v = environ; *v != nullptr; ++v) {
    std::string_view var(*v);
    if (!var.starts_with("LD_PRELOAD=") && !var.starts_with("ASAN_OPTIONS=")) {
      env.emplace_back(var);
    }
  }
  std::vector<char*> envp;
  for (std::string& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string self = fs::read_symlink("/proc/self/exe").string();
  std::string filter = "--gtest_filter=EntryNssChildTest.*";
  char* argv[] = {self.data(), filter.data(), nullptr};
  pid_t pid;
  int status = 0;
  if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, envp.data()) !=
          0 ||
      waitpid(pid, &status, 0) != pid) {
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(EntryTest, NamesOfAccounts) {
  // Accounts every machine has, from the machine's own database.
  Entry e = Entry::from_cache("/", "x", {}, "");
  e.stat.st_uid = 1;
  e.stat.st_gid = 65534;
  EXPECT_EQ(owner_name(e), "daemon");
  EXPECT_EQ(group_name(e), "nogroup");

  // Made-up accounts, and a group whose member list fills several KiB.
  std::string members = "m0";
  for (int i = 1; i < 400; ++i) members += ",member" + std::to_string(i);
  write("passwd", "orvtester:x:" + std::to_string(kTesterUid) + ":" +
                      std::to_string(kTesterGid) + "::/:/bin/sh\n");
  write("group", "orvgroup:x:" + std::to_string(kTesterGid) +
                     ":orvtester\ncrowd:x:" + std::to_string(kCrowdGid) + ":" +
                     members + "\n");
  EXPECT_EQ(run_nss_child(dir_), 0);
  EXPECT_TRUE(fs::exists(dir_ + "/child-ran"));  // Not skipped in the child.
}

class EntryNssChildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (getenv(kNssChild) == nullptr) {
      GTEST_SKIP() << "runs only as the child of EntryTest.NamesOfAccounts";
    }
  }
};

TEST_F(EntryNssChildTest, OwnerAndGroupNames) {
  Entry e = Entry::from_cache("/share", "f", {}, "");
  e.stat.st_uid = kTesterUid;
  e.stat.st_gid = kTesterGid;
  EXPECT_EQ(owner_name(e), "orvtester");
  EXPECT_EQ(group_name(e), "orvgroup");
  e.stat.st_uid = kNoAccount;
  e.stat.st_gid = kNoAccount;
  EXPECT_EQ(owner_name(e), "---");
  EXPECT_EQ(group_name(e), "---");
  e.stat.st_gid = kCrowdGid;
  EXPECT_EQ(group_name(e), "crowd");
  std::ofstream(std::string(getenv(kNssChild)) + "/child-ran") << "1";
}

}  // namespace
}  // namespace orv
