#include "common/platform/accounts.h"

#include <glob.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/platform/test_root.h"
#include "common/platform/tovix.h"
#include "gtest/gtest.h"

namespace orv::platform {
namespace {

using test::TempRoot;

constexpr uid_t kNobody = 65534;

// Files of every interesting mode, made by root in a folder others may enter.
class AccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to set up other owners";
  }

  std::string file(const std::string& name, mode_t mode, uid_t owner = 0) {
    std::string path = root_.write("/data/" + name, "x", mode);
    chmod(path.c_str(), mode);
    EXPECT_EQ(chown(path.c_str(), owner, owner), 0);
    return path;
  }
  std::string folder(const std::string& name, mode_t mode) {
    std::string path = root_.path("/data/" + name);
    std::filesystem::create_directories(path);
    chmod(path.c_str(), mode);
    return path;
  }

  // The access codes of `paths` as seen by uid/gid 65534, asked in a child
  // that changes only its effective identity, as handler processes do.
  std::vector<int> codes_as_nobody(const std::vector<std::string>& paths) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      if (setgroups(0, nullptr) != 0 || setegid(kNobody) != 0 ||
          seteuid(kNobody) != 0) {
        _exit(2);
      }
      for (const std::string& path : paths) {
        int code =
            Get_ACL_User_Group_Security_For_Share("nobody", path.c_str());
        if (write(fds[1], &code, sizeof code) != sizeof code) _exit(3);
      }
      _exit(0);
    }
    close(fds[1]);
    std::vector<int> codes;
    int code;
    while (read(fds[0], &code, sizeof code) == sizeof code) {
      codes.push_back(code);
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return codes;
  }

  TempRoot root_;
};

TEST_F(AccessTest, CodesFollowTheEffectiveIdentity) {
  struct Case {
    std::string path;
    int as_root;
    int as_nobody;
  };
  std::string closed = folder("closed", 0700);
  std::vector<Case> cases = {
      {file("none", 0000), 6, 0},
      {file("readable", 0644), 6, 4},
      {file("shared", 0666), 6, 6},
      {file("program", 0755), 7, 5},
      {file("owned", 0600, kNobody), 6, 6},
      {folder("open", 0755), 7, 5},
      {folder("public", 0777), 7, 7},
      {closed, 7, 0},
      {file("closed/inside", 0644), 6, 0},  // exists, but hidden from nobody
      {root_.path("/data/missing"), -1, -1},
      {root_.path("/data/readable/below"), -1, -1},
  };
  std::string dangling = root_.path("/data/dangling");
  std::filesystem::create_symlink(root_.path("/data/missing"), dangling);
  cases.push_back({dangling, -1, -1});
  cases.push_back({"", -1, -1});

  std::vector<std::string> paths;
  for (const Case& c : cases) {
    EXPECT_EQ(Get_ACL_User_Group_Security_For_Share("root", c.path.c_str()),
              c.as_root)
        << c.path;
    paths.push_back(c.path);
  }
  std::vector<int> codes = codes_as_nobody(paths);
  ASSERT_EQ(codes.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(codes[i], cases[i].as_nobody) << cases[i].path;
  }
  EXPECT_EQ(Get_ACL_User_Group_Security_For_Share("root", nullptr), -1);
}

TEST(GroupTest, PrimaryGroupsAndUnknownNames) {
  struct Case {
    const char* user;
    const char* group;
    int expected;
  } cases[] = {
      {"root", "root", 1},
      {"nobody", "nogroup", 1},
      {"nobody", "root", 0},
      {"orv-no-such-user-7q", "root", 0},
      {"root", "orv-no-such-group-7q", 0},
      {"", "root", 0},
      {nullptr, "root", 0},
      {"root", nullptr, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(User_Belongs_To_Group(c.user, c.group), c.expected)
        << (c.user ? c.user : "(null)") << " in "
        << (c.group ? c.group : "(null)");
  }
}

// The growing buffer: a call that says "too small" either way gets twice the
// room until it fits or the cap is reached; any other answer ends at once.
TEST(LookupBufferTest, GrowsOnlyWhileTooSmallUpToTheCap) {
  constexpr size_t kFits = 5000;
  const struct Case {
    const char* name;
    int too_small;  // what the call answers while the buffer is too small
    int errno_set;  // the errno that comes with it
    int fitting;    // what it answers once the buffer fits
    int expected;
    std::vector<size_t> sizes;
  } kCases[] = {
      {"ERANGE returned", ERANGE, 0, 0, 0, {1024, 2048, 4096, 8192}},
      {"-1 with errno ERANGE", -1, ERANGE, 0, 0, {1024, 2048, 4096, 8192}},
      {"no such account", ENOENT, 0, 0, ENOENT, {1024}},
      {"-1 with another errno", -1, EIO, 0, EIO, {1024}},
      {"found at once", 0, 0, 0, 0, {1024}},
  };
  for (const Case& c : kCases) {
    std::vector<size_t> sizes;
    const int rc = lookup_with_buffer(1024, [&](char* buffer, size_t size) {
      buffer[size - 1] = '\0';  // The whole buffer is there to be written.
      sizes.push_back(size);
      errno = c.errno_set;
      return size < kFits ? c.too_small : c.fitting;
    });
    EXPECT_EQ(rc, c.expected) << c.name;
    EXPECT_EQ(sizes, c.sizes) << c.name;
  }

  size_t calls = 0, last = 0;
  const int rc = lookup_with_buffer(3000, [&](char*, size_t size) {
    ++calls;
    last = size;
    errno = ERANGE;
    return -1;
  });
  EXPECT_EQ(rc, ERANGE);
  EXPECT_EQ(last, kMaxLookupBuffer);  // Up to the cap, and not beyond.
  EXPECT_EQ(calls, 14u);              // 3000 << 12 < 16 MiB <= 3000 << 13
}

// Supplementary membership needs accounts this machine does not have. The
// test runs itself again under nss_wrapper with a small account database of
// its own; the inner run asks the questions.
constexpr char kWrappedFlag[] = "ORV_PLATFORM_NSS_WRAPPED";

TEST(GroupTest, SupplementaryGroupsFromAccountDatabase) {
  if (std::getenv(kWrappedFlag) != nullptr) {
    EXPECT_EQ(User_Belongs_To_Group("alice", "administrators"), 1);
    EXPECT_EQ(User_Belongs_To_Group("alice", "staff"), 1);
    EXPECT_EQ(User_Belongs_To_Group("carol", "administrators"), 1);
    EXPECT_EQ(User_Belongs_To_Group("bob", "administrators"), 0);
    EXPECT_EQ(User_Belongs_To_Group("bob", "staff"), 1);
    return;
  }
  glob_t found;
  bool have = glob("/usr/lib/*/libnss_wrapper.so", 0, nullptr, &found) == 0;
  std::string library = have ? found.gl_pathv[0] : "";
  globfree(&found);
  if (!have) GTEST_SKIP() << "libnss_wrapper.so is not installed";

  TempRoot root;
  std::string passwd =
      root.write("/passwd",
                 "alice:x:5001:5001::/:/bin/sh\nbob:x:5002:5001::/:/bin/sh\n"
                 "carol:x:5003:5001::/:/bin/sh\n");
  std::string group = root.write(
      "/group", "staff:x:5001:\nadministrators:x:5100:carol,alice\n");
  std::string output = root.path("/output");
  char self[4096];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(length, 0);
  self[length] = '\0';

  pid_t pid = fork();
  if (pid == 0) {
    setenv(kWrappedFlag, "1", 1);
    setenv("LD_PRELOAD", library.c_str(), 1);
    setenv("NSS_WRAPPER_PASSWD", passwd.c_str(), 1);
    setenv("NSS_WRAPPER_GROUP", group.c_str(), 1);
    // A sanitizer build would otherwise refuse a preloaded library.
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0", 1);
    if (!freopen(output.c_str(), "w", stdout)) _exit(126);
    execl(self, self,
          "--gtest_filter=GroupTest.SupplementaryGroupsFromAccountDatabase",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  std::ifstream in(output);
  std::string text((std::istreambuf_iterator<char>(in)),
                   std::istreambuf_iterator<char>());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
  // The inner run must have run the test, not filtered it away.
  EXPECT_NE(text.find("[  PASSED  ] 1 test."), std::string::npos) << text;
}

}  // namespace
}  // namespace orv::platform
