#include "cache/cache_folder.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "cache/test_util.h"
#include "session/session.h"

namespace orv::test {
namespace {

using CacheFolderTest = CacheTest;

mode_t mode_of(const std::string& path) {
  struct stat st {};
  lstat(path.c_str(), &st);
  return st.st_mode & 07777;
}

TEST_F(CacheFolderTest, FolderAndSlotFilesArePrivateWhateverTheUmask) {
  std::filesystem::remove(cache_dir());
  const mode_t saved = umask(0277);  // Too narrow even for the owner to write.
  CacheStore::prepare_directory(volume_);
  EXPECT_EQ(mode_of(cache_dir()), 01733u);
  ErrorRecord error;
  slot(1, true).set({}, &error);
  EXPECT_EQ(mode_of(slot_file(1)), 0600u);
  umask(0);
  slot(2, true).set({}, &error);
  EXPECT_EQ(mode_of(slot_file(2)), 0600u);
  umask(saved);
  EXPECT_TRUE(error.ok()) << error.message;
  chmod(cache_dir().c_str(), 0777);  // An older version's: not the cache's.
  LogCapture log;
  CacheStore::prepare_directory(volume_);
  EXPECT_EQ(mode_of(cache_dir()), 0777u);
  EXPECT_TRUE(log.has(cache_dir() + " has mode 0777, not 01733; left as it"));
}

// Another account's file in the slot's place (the sticky folder keeps it
// from being unlinked) is neither written into nor replaced: the write fails.
TEST_F(CacheFolderTest, AnotherAccountsFileAtTheSlotNameIsNotWrittenInto) {
  struct passwd* nobody = getpwnam("nobody");
  if (geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "needs root";
  std::ofstream(slot_file(1)).flush();  // An empty file is an empty database.
  chmod(slot_file(1).c_str(), 0666);
  pid_t child = fork();
  if (child == 0) {
    if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(99);
    ErrorRecord error;
    slot(1, true).set({entry("/s", "a")}, &error);
    _exit(error.code);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(status, 3 << 8);  // "cache failure"
  EXPECT_EQ(std::filesystem::file_size(slot_file(1)), 0u);
}

TEST_F(CacheFolderTest, NoDefaultVolumeOrNoFileFailsEveryOperation) {
  // A slot that was never written.
  ErrorRecord error;
  EXPECT_FALSE(slot(2, false).fetch(kOtherUuid, 0, 50, nullptr, &error));
  EXPECT_STREQ(error.message, "invalid uuid");
  EXPECT_FALSE(std::filesystem::exists(slot_file(2)));

  set_volume("");
  LogCapture log;
  CacheStore store = slot(1, true);
  EXPECT_TRUE(log.has("[W] orv-service("));
  EXPECT_TRUE(log.has("[cache] no default volume"));
  clear_error(&error);
  EXPECT_FALSE(store.set({entry("/s", "a")}, &error));
  EXPECT_EQ(error.code, 3);
  EXPECT_STREQ(error.message, "cache failure");
  clear_error(&error);
  EXPECT_FALSE(store.fetch(kOtherUuid, 0, 50, nullptr, &error));
  EXPECT_EQ(error.code, 2);
  EXPECT_STREQ(error.message, "invalid uuid");
  clear_error(&error);
  store.remove(kOtherUuid, &error);
  EXPECT_EQ(error.code, 3);
  EXPECT_STREQ(error.message, "uuid not found");
  EXPECT_TRUE(store.paths().empty());
  CacheStore::purge(default_volume(), &is_live_session);  // Only warns.
}

TEST(CacheFileNameTest, OnlyTheCachesOwnFormsNameASession) {
  const std::string longest(64, 'z');  // The longest session id.
  const struct {
    std::string sid;  // "": not a name of the cache's
    std::vector<std::string> names;
  } kCases[] = {
      {"Ab9",
       {std::filesystem::path(cache_file_name("/v", "Ab9", 2)).filename(),
        "Ab9.1", "Ab9.2.lock", "Ab9.1-journal", "Ab9.2-wal", "Ab9.1-shm"}},
      {longest, {longest + ".1"}},
      {"",
       {"z" + longest + ".1", "Ab9", "Ab9.", "Ab9.0", "Ab9.3", "Ab9.12",
        "Ab9.01", "Ab9.lock", "Ab9.1.lock-journal", "Ab9.1.txt",
        "Ab9.1-journal~", ".Ab9.1", "A-9.1", ".1", "notes.txt"}},
  };
  for (const auto& c : kCases) {
    for (const std::string& name : c.names) {
      std::string sid = "unchanged";
      EXPECT_EQ(parse_cache_file_name(name, &sid), !c.sid.empty()) << name;
      EXPECT_EQ(sid, c.sid.empty() ? "unchanged" : c.sid) << name;
    }
  }
}

TEST_F(CacheFolderTest, PurgeRemovesTheFilesOfEndedSessionsOnly) {
  const std::string live = CacheEnvironment::sid();
  std::string ended, error;
  ASSERT_TRUE(
      platform::create_session(CacheEnvironment::user(), 0, &ended, &error));
  ASSERT_TRUE(platform::end_session(ended.c_str(), &error));
  const std::string doomed[] = {ended + ".1", ended + ".2.lock",
                                ended + ".1-journal"};
  const std::string kept[] = {live + ".1", ended, ended + ".txt",
                              "." + ended + ".1"};
  auto path = [&](const std::string& name) {
    return std::filesystem::path(cache_dir()) / name;
  };
  for (const auto& name : doomed) std::ofstream(path(name)) << "x";
  for (const auto& name : kept) std::ofstream(path(name)) << "x";
  LogCapture log(7);
  CacheStore::purge(default_volume(), &is_live_session);
  for (const auto& name : doomed) EXPECT_FALSE(exists(path(name))) << name;
  for (const auto& name : kept) EXPECT_TRUE(exists(path(name))) << name;
  EXPECT_TRUE(log.has("[D] orv-service("));
  EXPECT_TRUE(log.has("[cache] remove " + cache_dir() + "/" + ended + ".1"));
}

}  // namespace
}  // namespace orv::test
