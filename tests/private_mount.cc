#include "tests/private_mount.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace orv::test {

namespace {

// Set in the inner run: the folder to mount over.
constexpr char kMountFolderVariable[] = "ORV_TEST_MOUNT_FOLDER";

// Whether any process of the machine has something mounted at `folder`,
// whichever mount namespace it lives in.
bool mounted_anywhere(const std::string& folder) {
  const std::string needle = " " + folder + " ";
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream mounts(entry.path() / "mountinfo");
    std::string line;
    while (std::getline(mounts, line)) {
      if (line.find(needle) != std::string::npos) return true;
    }
  }
  return false;
}

}  // namespace

TmpfsMount::TmpfsMount(const std::string& folder, size_t bytes,
                       const std::string& options)
    : folder_(folder) {
  std::string data = "size=" + std::to_string(bytes);
  if (!options.empty()) data += "," + options;
  mounted_ = mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                   data.c_str()) == 0;
  EXPECT_TRUE(mounted_) << "mount tmpfs on " << folder << ": "
                        << std::strerror(errno);
}

TmpfsMount::~TmpfsMount() {
  if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
}

std::string mount_folder() {
  const char* folder = std::getenv(kMountFolderVariable);
  return folder != nullptr ? folder : "";
}

bool inside_private_namespace(
    const Sandbox& sandbox,
    const std::map<std::string, std::string>& user_limits) {
  if (!mount_folder().empty()) return true;
  if (geteuid() != 0) {
    // GTEST_SKIP returns from the function it is in: a lambda of its own.
    [] { GTEST_SKIP() << "mounting a tmpfs needs root"; }();
    return false;
  }
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string folder = sandbox.path("mnt");
  sandbox.make_dir("mnt", 0755);
  char self[4096];
  ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
  EXPECT_GT(length, 0);
  if (length <= 0) return false;
  self[length] = '\0';
  RunOptions options;
  options.env[kMountFolderVariable] = folder;
  options.timeout = std::chrono::milliseconds(240000);
  // setpriv kills unshare when this process dies, and unshare kills the
  // namespace's first process when it dies; that process is the init of its
  // process namespace, so the kernel ends all the others with it.
  std::vector<std::string> argv;
  if (!user_limits.empty()) {
    argv.push_back(bin("user-namespace"));
    for (const auto& [name, value] : user_limits) {
      argv.push_back(name + "=" + value);
    }
    argv.push_back("--");
  }
  for (const char* word :
       {"/usr/bin/setpriv", "--pdeathsig", "KILL", "/usr/bin/unshare",
        "--mount", "--pid", "--fork", "--kill-child", "--mount-proc",
        "--propagation", "private"}) {
    argv.push_back(word);
  }
  argv.push_back(self);
  argv.push_back("--gtest_filter=" + std::string(test->test_suite_name()) +
                 "." + test->name());
  RunResult inner = sandbox.run(argv, options);
  EXPECT_EQ(inner.status, 0) << inner.out << inner.err;
  EXPECT_NE(inner.out.find("[  PASSED  ] 1 test"), std::string::npos)
      << inner.out << inner.err;
  EXPECT_FALSE(mounted_anywhere(folder)) << folder << " is still mounted";
  return false;
}

}  // namespace orv::test
