#include "cache/cache_folder.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "cache/cache_store.h"
#include "cache/test_util.h"
#include "common/platform/session_store.h"

namespace orv::test {
namespace {

using CacheFolderTest = CacheTest;

mode_t mode_of(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

// What another local account can do in the cache folder, run in a child
// process as that account. Bits of the exit status: 1 it could list the
// folder, 2 it could read the slot file, 4 it could remove the slot file,
// 8 it could not add a file of its own.
int probe_as(uid_t uid, gid_t gid, const std::string& dir,
             const std::string& slot) {
  const std::string own = dir + "/stranger.1";
  pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
      _exit(64);
    }
    int result = 0;
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) result |= 1;
    fd = open(slot.c_str(), O_RDONLY);
    if (fd >= 0) result |= 2;
    if (unlink(slot.c_str()) == 0) result |= 4;
    fd = open(own.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0) result |= 8;
    _exit(result);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(CacheFolderTest, FolderAndSlotFilesArePrivateWhateverTheUmask) {
  // An older installation left the folder open to all.
  chmod(cache_dir().c_str(), 0777);
  const mode_t saved = umask(0);
  CacheStore::prepare_directory();
  EXPECT_EQ(mode_of(cache_dir()), 01733u);
  {
    CacheStore store(1, true);
    ErrorRecord error;
    store.set({}, &error);
    ASSERT_TRUE(error.ok()) << error.message;
  }
  EXPECT_EQ(mode_of(slot_file(1)), 0600u);
  umask(0277);  // Too narrow even for the owner to write.
  {
    CacheStore store(2, true);
    ErrorRecord error;
    store.set({}, &error);
    EXPECT_TRUE(error.ok()) << error.message;
  }
  EXPECT_EQ(mode_of(slot_file(2)), 0600u);
  umask(saved);

  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another account";
  struct passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no account nobody";
  EXPECT_EQ(probe_as(nobody->pw_uid, nobody->pw_gid, cache_dir(), slot_file(1)),
            0);
  EXPECT_TRUE(std::filesystem::exists(slot_file(1)));
}

// A name that cannot be made afresh is never written through: neither a
// folder standing in the way nor a link pointing elsewhere.
TEST_F(CacheFolderTest, SlotNameInTheWayIsNotWrittenThrough) {
  std::filesystem::create_directory(slot_file(1));
  {
    CacheStore store(1, true);
    EXPECT_FALSE(store.connected());
    ErrorRecord error;
    LogCapture log;
    EXPECT_FALSE(store.set({entry("/s", "", "a")}, &error));
    EXPECT_EQ(error.code, 3);
    EXPECT_STREQ(error.message, "cache failure");
  }
  EXPECT_TRUE(std::filesystem::is_directory(slot_file(1)));

  const std::string victim = volume_ + "/victim";
  std::ofstream(victim) << "keep";
  std::filesystem::create_symlink(victim, slot_file(2));
  {
    CacheStore store(2, true);
    ErrorRecord error;
    store.set({entry("/s", "", "a")}, &error);
    EXPECT_TRUE(error.ok()) << error.message;
  }
  EXPECT_TRUE(std::filesystem::is_regular_file(
      std::filesystem::symlink_status(slot_file(2))));
  std::ifstream in(victim);
  std::string content;
  in >> content;
  EXPECT_EQ(content, "keep");
}

TEST_F(CacheFolderTest, NoDefaultVolumeFailsEveryOperationClearly) {
  set_volume("");
  LogCapture log;
  CacheStore store(1, true);
  EXPECT_FALSE(store.connected());
  EXPECT_TRUE(log.has("[W] orv-service(")) << log.text();
  EXPECT_TRUE(log.has("[cache] no default volume")) << log.text();

  ErrorRecord error;
  EXPECT_FALSE(store.set({entry("/s", "", "a")}, &error));
  EXPECT_EQ(error.code, 3);
  EXPECT_STREQ(error.message, "cache failure");
  clear_error(&error);
  const std::string uuid = "00000000-0000-0000-0000-000000000000";
  EXPECT_FALSE(store.fetch(uuid, 0, 50, nullptr, &error));
  EXPECT_EQ(error.code, 2);
  EXPECT_STREQ(error.message, "invalid uuid");
  clear_error(&error);
  store.remove(uuid, &error);
  EXPECT_EQ(error.code, 3);
  EXPECT_STREQ(error.message, "uuid not found");
  EXPECT_TRUE(store.paths().empty());
  EXPECT_FALSE(store.exists(uuid));

  // The sweep and the folder set-up only warn.
  CacheStore::purge();
  CacheStore::prepare_directory();
  EXPECT_TRUE(std::filesystem::exists(cache_dir()));
}

TEST_F(CacheFolderTest, MissingSlotFileReadsAsNoList) {
  CacheStore store(2, false);
  EXPECT_FALSE(store.connected());
  ErrorRecord error;
  const std::string uuid = "00000000-0000-0000-0000-000000000000";
  EXPECT_FALSE(store.fetch(uuid, 0, 50, nullptr, &error));
  EXPECT_STREQ(error.message, "invalid uuid");
  clear_error(&error);
  store.remove(uuid, &error);
  EXPECT_STREQ(error.message, "uuid not found");
  EXPECT_TRUE(store.paths().empty());
  EXPECT_FALSE(std::filesystem::exists(slot_file(2)));  // Nothing was made.
}

TEST_F(CacheFolderTest, PurgeRemovesTheFilesOfEndedSessionsOnly) {
  const std::string live = CacheEnvironment::sid();
  std::string ended, error;
  ASSERT_TRUE(
      platform::create_session(CacheEnvironment::user(), 0, &ended, &error))
      << error;
  ASSERT_TRUE(platform::end_session(ended.c_str(), &error)) << error;
  const std::string files[] = {live + ".1",  live + ".2", ended + ".1",
                               ended + ".2", ended,       "." + ended + ".1"};
  for (const std::string& name : files) {
    std::ofstream(cache_dir() + "/" + name) << "x";
  }

  LogCapture log(7);
  CacheStore::purge();
  for (const std::string& name : files) {
    const bool kept = name.rfind(live, 0) == 0 || name[0] == '.';
    EXPECT_EQ(std::filesystem::exists(cache_dir() + "/" + name), kept) << name;
  }
  EXPECT_TRUE(log.has("[D] orv-service("));
  EXPECT_TRUE(log.has("[cache] remove " + cache_dir() + "/" + ended + ".2"))
      << log.text();
  EXPECT_FALSE(log.has(live + ".1"));
}

}  // namespace
}  // namespace orv::test
