#include "collect/entry.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "query/file_type.h"

extern char** environ;

namespace orv {
namespace {

namespace fs = std::filesystem;

struct stat mode_stat(mode_t mode) {
  struct stat st {};
  st.st_mode = mode;
  return st;
}

class EntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    build_file_type_index();
    char pattern[] = "/tmp/entry_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    const char* root = getenv("ORV_ROOT");
    had_root_ = root != nullptr;
    if (had_root_) old_root_ = root;
    setenv("ORV_ROOT", (dir_ + "/root").c_str(), 1);
  }
  void TearDown() override {
    if (had_root_) {
      setenv("ORV_ROOT", old_root_.c_str(), 1);
    } else {
      unsetenv("ORV_ROOT");
    }
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // Writes `content` to `relative` below the test folder, making folders.
  std::string write(const std::string& relative,
                    const std::string& content = "") {
    fs::path p = fs::path(dir_) / relative;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << content;
    return p.string();
  }

  std::string dir_;
  bool had_root_ = false;
  std::string old_root_;
};

TEST_F(EntryTest, ExtensionRule) {
  struct Case {
    const char* name;
    mode_t mode;
    const char* extension;
  };
  const Case cases[] = {
      {"archive.TAR.GZ", S_IFREG, "GZ"},
      {"x.tar.gz", S_IFREG, "gz"},
      {".bashrc", S_IFREG, ""},
      {"photos.2020", S_IFDIR, ""},
      {"photos.2020", S_IFREG, "2020"},
      {"a.", S_IFREG, ""},
      {"README", S_IFREG, ""},
      {"..x", S_IFREG, "x"},
      {"", S_IFREG, ""},
      {"link.jpg", S_IFLNK, "jpg"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(extension_of(c.name, c.mode), c.extension) << c.name;
    // Every way of making an entry with a name and a stat record applies it.
    Entry item = Entry::folder_item("/share/A", "/b", "Alias");
    EXPECT_EQ(Entry::from_item(item, c.name, mode_stat(c.mode)).extension,
              c.extension)
        << c.name;
    EXPECT_EQ(
        Entry::from_cache("/share/A", c.name, mode_stat(c.mode), "").extension,
        c.extension)
        << c.name;
  }
}

TEST_F(EntryTest, JoinKeepsOddSlashes) {
  struct Case {
    std::vector<std::string> parts;
    const char* joined;
  };
  const Case cases[] = {
      {{"share/A", ""}, "/share/A"},
      {{"/share/A/", "/c"}, "/share/A//c"},
      {{"/share/A", "", "b.txt"}, "/share/A/b.txt"},
      {{"/share/A", "/x/y", "b"}, "/share/A/x/y/b"},
      {{"", "", ""}, ""},
      {{"/", "b"}, "//b"},
      {{"a", "b/"}, "/a/b/"},
  };
  for (const Case& c : cases) {
    std::string joined;
    if (c.parts.size() == 2) joined = join({c.parts[0], c.parts[1]});
    if (c.parts.size() == 3) {
      joined = join({c.parts[0], c.parts[1], c.parts[2]});
    }
    EXPECT_EQ(joined, c.joined) << testing::PrintToString(c.parts);
  }
}

TEST_F(EntryTest, DerivedPathsOfAFoundEntry) {
  Entry item = Entry::folder_item("/share/A", "/b/c", "Home");
  EXPECT_EQ(item.full_path(), "/share/A/b/c");
  EXPECT_EQ(item.name, "");
  struct stat st = mode_stat(S_IFREG);
  st.st_size = 42;
  Entry e = Entry::from_item(item, "d.txt", st);
  EXPECT_EQ(e.full_path(), "/share/A/b/c/d.txt");
  EXPECT_EQ(e.folder_path(), "/share/A/b/c");
  EXPECT_EQ(e.alias_folder_path(), "/Home/b/c");
  EXPECT_EQ(e.alias_full_path(), "/Home/b/c/d.txt");
  EXPECT_EQ(e.stat.st_size, 42);
  EXPECT_EQ(e.cluster, "");

  // Without an alias the alias paths start at the sub-folder.
  Entry root_item = Entry::folder_item("/share/A", "", "");
  Entry f = Entry::from_item(root_item, "x", st);
  EXPECT_EQ(f.alias_full_path(), "/x");
  EXPECT_EQ(f.alias_folder_path(), "");
}

TEST_F(EntryTest, FromPathTakesTheLinkItself) {
  write("A/target/file.txt", "hello");
  ASSERT_EQ(symlink((dir_ + "/A/target").c_str(), (dir_ + "/A/link").c_str()),
            0);
  Entry link = Entry::from_path(dir_ + "/A", "link");
  EXPECT_TRUE(S_ISLNK(link.stat.st_mode));
  EXPECT_EQ(link.sub_path, "");
  EXPECT_EQ(link.alias, "");

  Entry file = Entry::from_path(dir_ + "/A/target", "file.txt");
  EXPECT_EQ(file.stat.st_size, 5);
  EXPECT_EQ(file.extension, "txt");

  // A folder named like a file has no extension.
  fs::create_directories(dir_ + "/A/photos.2020");
  EXPECT_EQ(Entry::from_path(dir_ + "/A", "photos.2020").extension, "");

  Entry missing = Entry::from_path(dir_ + "/A", "nothing.jpg");
  struct stat zero {};
  EXPECT_EQ(memcmp(&missing.stat, &zero, sizeof zero), 0);
  EXPECT_EQ(missing.extension, "jpg");
}

TEST_F(EntryTest, StatPathIgnoresSubPathAndKeepsStatOnFailure) {
  write("A/f.bin", "12345678");
  ASSERT_EQ(symlink("f.bin", (dir_ + "/A/l").c_str()), 0);

  // Built from the cache: path is the entry's own folder.
  Entry e = Entry::from_cache(dir_ + "/A", "l", mode_stat(0), "");
  e.sub_path = "/elsewhere";
  ASSERT_TRUE(e.stat_path(false));
  EXPECT_TRUE(S_ISLNK(e.stat.st_mode));
  ASSERT_TRUE(e.stat_path(true));
  EXPECT_TRUE(S_ISREG(e.stat.st_mode));
  EXPECT_EQ(e.stat.st_size, 8);

  e.name = "gone";
  EXPECT_FALSE(e.stat_path(true));
  EXPECT_EQ(e.stat.st_size, 8);  // Unchanged.
}

TEST_F(EntryTest, ResolveFollowsLinksAndCopiesOnFailure) {
  write("A/real/x.jpg");
  ASSERT_EQ(symlink((dir_ + "/A/real").c_str(), (dir_ + "/A/alias").c_str()),
            0);
  Entry e = Entry::from_cache(dir_ + "/A/alias", "x.jpg", mode_stat(S_IFREG),
                              "Shown");
  Entry r = resolve(e);
  std::string real_dir = fs::canonical(dir_ + "/A/real").string();
  EXPECT_EQ(r.path, real_dir);
  EXPECT_EQ(r.name, "x.jpg");
  EXPECT_EQ(r.alias, "");
  EXPECT_TRUE(S_ISREG(r.stat.st_mode));
  EXPECT_TRUE(r.path_contains("/A/real/"));
  EXPECT_FALSE(e.path_contains("/A/real/"));
  EXPECT_FALSE(r.path_contains(nullptr));

  Entry missing = Entry::from_cache(dir_ + "/none", "y", mode_stat(0), "Al");
  missing.cluster = "k";
  Entry copy = resolve(missing);
  EXPECT_EQ(copy.path, missing.path);
  EXPECT_EQ(copy.alias, "Al");
  EXPECT_EQ(copy.cluster, "k");

  // The root folder resolves to itself.
  Entry root = resolve(Entry::from_path("/", ""));
  EXPECT_EQ(root.full_path(), "/");
  EXPECT_TRUE(S_ISDIR(root.stat.st_mode));
}

TEST_F(EntryTest, ThumbnailLookedUpBesideTheFileForKnownTypesOnly) {
  std::string folder = dir_ + "/A";
  write("A/.@__thumb/s100b.jpg");
  write("A/.@__thumb/s100doc.PDF");
  write("A/.@__thumb/s100notes.txt");
  struct Case {
    const char* name;
    bool expected;
  };
  const Case cases[] = {
      {"b.jpg", true},       // media, thumbnail present
      {"doc.PDF", true},     // document, extension in any letter case
      {"c.jpg", false},      // media, no thumbnail
      {"notes.txt", false},  // unknown type: the file beside it is not used
  };
  for (const Case& c : cases) {
    Entry e = Entry::from_cache(folder, c.name, mode_stat(S_IFREG), "");
    e.sub_path = "/sub";  // Not part of the thumbnail's path.
    EXPECT_EQ(has_thumbnail(e), c.expected) << c.name;
  }
}

TEST_F(EntryTest, ShareTypeOfTheShareHoldingThePath) {
  write("root/etc/config/tvk2.conf",
        "[global]\n"
        "veto files = /*.tmp/\n"
        "[Pub]\n"
        "path = /share/Pub\n"
        "share type = 2\n"
        "[Public]\n"
        "path = /share/Public\n"
        "share type = 1\n"
        "[Public again]\n"
        "path = /share/Public\n"
        "share type = 7\n"
        "[Home]\n"
        "path = /share/homes/\n"
        "share type = 3\n");
  struct Case {
    const char* path;
    const char* name;
    int expected;
  };
  const Case cases[] = {
      {"/share/Pub", "x", 2},    {"/share/Public", "x", 1},
      {"/share/Pub", "", 2},     {"/share/Publication", "", -1},
      {"/share/Public", "", 1},  {"/share/homes", "me", 3},
      {"/share/Other", "x", -1}, {"", "", -1},
      {"/share/Pub/", "x", 2},
  };
  for (const Case& c : cases) {
    Entry e = Entry::from_cache(c.path, c.name, mode_stat(S_IFREG), "");
    EXPECT_EQ(share_type(e), c.expected) << c.path << " " << c.name;
  }

  fs::remove(dir_ + "/root/etc/config/tvk2.conf");
  EXPECT_EQ(share_type(Entry::from_cache("/share/Pub", "x", {}, "")), -1);
}

TEST_F(EntryTest, NamesOfAccountsEveryMachineHas) {
  struct stat st {};
  st.st_uid = 0;
  st.st_gid = 0;
  Entry e = Entry::from_cache("/", "x", st, "");
  EXPECT_EQ(owner_name(e), "root");
  EXPECT_EQ(group_name(e), "root");
  e.stat.st_uid = 1;
  e.stat.st_gid = 65534;
  EXPECT_EQ(owner_name(e), "daemon");
  EXPECT_EQ(group_name(e), "nogroup");
}

// The account database that the child below sees through nss_wrapper.
constexpr uid_t kMadeUpUid = 42001;
constexpr gid_t kMadeUpGid = 42002;
constexpr gid_t kCrowdedGid = 42003;
constexpr uid_t kNoAccount = 42999;
constexpr const char kNssChildVariable[] = "ORV_ENTRY_NSS_CHILD";

// Runs the test binary again with only the EntryNssChildTest tests and the
// account files of `dir` in place of the machine's; the child's exit status.
int run_nss_child(const std::string& dir) {
  std::vector<std::string> env;
  for (char** v = environ; *v != nullptr; ++v) {
    std::string_view var(*v);
    if (var.starts_with("LD_PRELOAD=") || var.starts_with("ASAN_OPTIONS=")) {
      continue;
    }
    env.emplace_back(var);
  }
  env.push_back("LD_PRELOAD=libnss_wrapper.so");
  env.push_back("NSS_WRAPPER_PASSWD=" + dir + "/passwd");
  env.push_back("NSS_WRAPPER_GROUP=" + dir + "/group");
  env.push_back(std::string(kNssChildVariable) + "=1");
  // A sanitizer runtime wants to be loaded first; nss_wrapper is preloaded
  // before it here, which is harmless for these look-ups.
  const char* asan = getenv("ASAN_OPTIONS");
  env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") +
                (asan && *asan ? ":" : "") + "verify_asan_link_order=0");
  std::vector<char*> envp;
  for (std::string& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);

  std::string self = fs::read_symlink("/proc/self/exe").string();
  std::string filter = "--gtest_filter=EntryNssChildTest.*";
  char* argv[] = {self.data(), filter.data(), nullptr};
  pid_t pid;
  if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, envp.data()) !=
      0) {
    return -1;
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(EntryTest, NamesOfMadeUpAccounts) {
  std::string members;
  for (int i = 0; i < 400; ++i) {
    members += (i ? "," : "") + std::string("member") + std::to_string(i);
  }
  write("passwd",
        "root:x:0:0:root:/root:/bin/sh\n"
        "orvtester:x:" +
            std::to_string(kMadeUpUid) + ":" + std::to_string(kMadeUpGid) +
            ":Orv Tester:/home/orvtester:/bin/sh\n");
  write("group", "root:x:0:\norvgroup:x:" + std::to_string(kMadeUpGid) +
                     ":orvtester\ncrowd:x:" + std::to_string(kCrowdedGid) +
                     ":" + members + "\n");
  EXPECT_EQ(run_nss_child(dir_), 0);
}

class EntryNssChildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (getenv(kNssChildVariable) == nullptr) {
      GTEST_SKIP() << "runs only as the child of NamesOfMadeUpAccounts";
    }
  }
};

TEST_F(EntryNssChildTest, OwnerAndGroupNames) {
  struct Case {
    uid_t uid;
    gid_t gid;
    const char* owner;
    const char* group;
  };
  const Case cases[] = {
      {kMadeUpUid, kMadeUpGid, "orvtester", "orvgroup"},
      {kNoAccount, kNoAccount, "---", "---"},
      // The members of this group fill more than a small buffer.
      {0, kCrowdedGid, "root", "crowd"},
  };
  for (const Case& c : cases) {
    struct stat st {};
    st.st_uid = c.uid;
    st.st_gid = c.gid;
    Entry e = Entry::from_cache("/share", "f", st, "");
    EXPECT_EQ(owner_name(e), c.owner) << c.uid;
    EXPECT_EQ(group_name(e), c.group) << c.gid;
  }
}

}  // namespace
}  // namespace orv
