#include "watch/folder_watcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/platform/test_root.h"
#include "watch/test_util.h"
#include "watch/thread_identity.h"

namespace orv {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using test::inotify_descriptors;
using test::watcher_threads;
using Clock = std::chrono::steady_clock;

// One inotify event record as the kernel writes it: the header, then the
// name padded with zero bytes to `padded` bytes.
std::string record(int wd, uint32_t mask, const std::string& name,
                   size_t padded) {
  inotify_event header{};
  header.wd = wd;
  header.mask = mask;
  header.len = static_cast<uint32_t>(padded);
  std::string bytes(reinterpret_cast<const char*>(&header), sizeof(header));
  std::string field = name;
  field.resize(padded, '\0');
  return bytes + field;
}

TEST(MarksChangeTest, RecordsOfWatchedFoldersWhoseNamesAreNotVetoed) {
  platform::test::TempRoot root;
  root.write("/etc/config/tvk2.conf", "[global]\nveto files = /*.tmp/\n");
  const VetoFilter veto;
  const std::set<int> table = {1, 3};
  struct Case {
    const char* what;
    std::string bytes;
    bool marks;
  };
  const std::string created = record(1, IN_CREATE, "a.txt", 16);
  const Case cases[] = {
      {"a name in a watched folder", created, true},
      {"the folder itself", record(3, IN_ATTRIB, "", 0), true},
      {"a vetoed name, padded", record(1, IN_CREATE, "x.tmp", 16), false},
      {"a watch no longer in the table", record(2, IN_CREATE, "a.txt", 16),
       false},
      {"the removal notice of a dropped watch", record(7, IN_IGNORED, "", 0),
       false},
      {"events were lost", record(-1, IN_Q_OVERFLOW, "", 0), true},
      {"a later record counts",
       record(2, IN_DELETE, "b", 16) + record(1, IN_MOVED_TO, "..", 16) +
           record(3, IN_DELETE, "c", 16),
       true},
      {"a record cut off in its name", created.substr(0, created.size() - 4),
       false},
      {"a header cut off", created.substr(0, 10), false},
      {"nothing", "", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(marks_change(c.bytes, table, veto), c.marks) << c.what;
  }
}

// Whether `condition` holds within `timeout`, asked every 10 ms.
bool within(milliseconds timeout, const std::function<bool()>& condition) {
  const auto end = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return true;
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::app) << text;
}

// Watchers over folders of a temporary root: A and B are watched, A/sub is
// not; the veto list holds "*.tmp".
class FolderWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.write("/etc/config/tvk2.conf", "[global]\nveto files = /*.tmp/\n");
    a_ = root_.path("/A");
    b_ = root_.path("/B");
    fs::create_directories(a_ + "/sub");
    fs::create_directories(b_);
    write_text(a_ + "/old.txt", "x");
    watcher_.start();
  }

  // The real-time clock now, as create.cache stamps the start of a walk.
  static int64_t coarse_now() {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
  }

  platform::test::TempRoot root_;
  std::string a_;
  std::string b_;
  FolderWatcher watcher_{1};
};

TEST_F(FolderWatcherTest, ChangesOfWatchedFoldersMarkTheWatcherUntilRearmed) {
  struct Case {
    const char* what;
    std::function<void()> change;
    bool marks;
  };
  const Case cases[] = {
      {"a file made", [&] { write_text(a_ + "/new.txt", ""); }, true},
      {"a file written", [&] { write_text(a_ + "/old.txt", "y"); }, true},
      {"a mode changed", [&] { chmod((a_ + "/old.txt").c_str(), 0600); }, true},
      {"a file renamed", [&] { fs::rename(a_ + "/new.txt", a_ + "/n.txt"); },
       true},
      {"a file moved to another watched folder",
       [&] { fs::rename(a_ + "/n.txt", b_ + "/n.txt"); }, true},
      {"a file removed", [&] { fs::remove(b_ + "/n.txt"); }, true},
      {"the folder's own mode", [&] { chmod(b_.c_str(), 0700); }, true},
      {"a vetoed name made and written",
       [&] { write_text(a_ + "/x.tmp", "data"); }, false},
      {"a file made in a sub-folder that is not watched",
       [&] { write_text(a_ + "/sub/deep.txt", "data"); }, false},
      {"a file read",
       [&] {
         std::string text;
         std::ifstream(a_ + "/old.txt") >> text;
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(watcher_.rearm({a_, b_}, 0), 2u);
    EXPECT_FALSE(watcher_.has_changed());
    c.change();
    if (c.marks) {
      EXPECT_TRUE(
          within(milliseconds(2000), [&] { return watcher_.has_changed(); }));
    } else {
      // The event thread takes events as they come; this is ample time.
      std::this_thread::sleep_for(milliseconds(300));
      EXPECT_FALSE(watcher_.has_changed());
    }
  }
  // A change right after an arming is not lost in the arming's second.
  watcher_.rearm({a_}, 0);
  write_text(a_ + "/at-once.txt", "");
  EXPECT_TRUE(
      within(milliseconds(2000), [&] { return watcher_.has_changed(); }));
}

// A list's pages may be read before the list's own arming: the marks of the
// list it replaced must not be reported as its changes.
TEST_F(FolderWatcherTest, MarkAnswersOnlyForTheListArmed) {
  const std::string first = "0f4b6a52-7c1e-4d8e-9a43-1d2f3e4a5b6c";
  const std::string second = "0f4b6a52-7c1e-4d8e-9a43-1d2f3e4a5b6d";
  watcher_.rearm({a_}, 0, first);
  write_text(a_ + "/new.txt", "");
  ASSERT_TRUE(
      within(milliseconds(2000), [&] { return watcher_.has_changed(first); }));
  // The next list of the slot is written; its arming has not run yet.
  EXPECT_FALSE(watcher_.has_changed(second));
  EXPECT_FALSE(watcher_.has_changed(""));
  watcher_.rearm({a_}, 0, second);
  EXPECT_FALSE(watcher_.has_changed(second));
  write_text(a_ + "/newer.txt", "");
  ASSERT_TRUE(
      within(milliseconds(2000), [&] { return watcher_.has_changed(second); }));
  EXPECT_FALSE(watcher_.has_changed(first));
  // Armed without a list (a caller that names none): the mark is any list's.
  watcher_.rearm({a_}, 0);
  write_text(a_ + "/newest.txt", "");
  ASSERT_TRUE(
      within(milliseconds(2000), [&] { return watcher_.has_changed(first); }));
  EXPECT_TRUE(watcher_.has_changed(second));
}

TEST_F(FolderWatcherTest, EachFolderIsWatchedOnceAndWhatCannotBeIsSkipped) {
  const std::string link = root_.path("/link-to-A");
  fs::create_directory_symlink(a_, link);
  // The root row's "" and a folder in many runs of a list, as paths gives.
  EXPECT_EQ(watcher_.rearm({"", a_, b_, a_, root_.path("/missing"), a_, b_}, 0),
            2u);
  EXPECT_EQ(watcher_.watched(), 2u);
  // A link is watched as the link: what happens in its target is not seen.
  EXPECT_EQ(watcher_.rearm({link}, 0), 1u);
  write_text(a_ + "/through-link.txt", "");
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_FALSE(watcher_.has_changed());
  EXPECT_EQ(watcher_.rearm(std::vector<std::string>(), 0), 0u);
}

TEST_F(FolderWatcherTest, FoldersChangedSinceTheWalkBeganMarkTheArming) {
  const int64_t walk_began = coarse_now();
  write_text(a_ + "/during-walk.txt", "");
  EXPECT_EQ(watcher_.rearm({b_, a_}, walk_began), 2u);
  EXPECT_TRUE(watcher_.has_changed());
  // Changes before the walk began are the list's own.
  std::this_thread::sleep_for(milliseconds(30));
  EXPECT_EQ(watcher_.rearm({b_, a_}, coarse_now()), 2u);
  EXPECT_FALSE(watcher_.has_changed());
  // Without a start (a caller other than create.cache) nothing is compared.
  write_text(a_ + "/later.txt", "");
  watcher_.rearm({a_}, 0);
  EXPECT_FALSE(watcher_.has_changed());
}

TEST_F(FolderWatcherTest, OwnerOtherThanRootWatchesOnlyWhatTheOwnerMayRead) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch identities";
  const passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const Identity owner{nobody->pw_uid, nobody->pw_gid, {}};
  const std::string closed = root_.path("/closed");
  fs::create_directories(closed);
  chmod(closed.c_str(), 0700);
  // The thread's switch leaves the process's other threads as they were.
  std::promise<void> switched;
  std::future<uid_t> other_thread_euid =
      std::async(std::launch::async, [ready = switched.get_future()] {
        ready.wait();
        return geteuid();
      });
  {
    ThreadIdentity as_nobody(owner);
    ASSERT_TRUE(as_nobody.ok());
    EXPECT_EQ(geteuid(), nobody->pw_uid);
    switched.set_value();
    EXPECT_EQ(other_thread_euid.get(), 0u);
  }
  EXPECT_EQ(geteuid(), 0u);
  EXPECT_EQ(getegid(), 0u);

  FolderWatcher as_owner(2);
  as_owner.start(owner);
  EXPECT_EQ(as_owner.rearm({closed, a_}, 0), 1u);
  EXPECT_EQ(watcher_.rearm({closed, a_}, 0), 2u);
}

// An arming that cannot watch all its list's folders reports the list
// changed at once, since no event will tell of changes in the rest.
TEST_F(FolderWatcherTest, ArmingThatCannotWatchEveryFolderMarksTheList) {
  const std::string list = "0f4b6a52-7c1e-4d8e-9a43-1d2f3e4a5b6c";
  std::vector<std::string> many;
  for (size_t i = 0; i <= FolderWatcher::kMaxFolders; ++i) {
    many.push_back(root_.path("/many/" + std::to_string(i)));
    fs::create_directories(many.back());
  }
  struct Case {
    const char* what;
    FolderReader reader;
    size_t watched;
    bool changed;
  };
  const Case cases[] = {
      {"a whole list",
       [&](size_t) {
         return FolderList{list, {a_, b_}, true};
       },
       2, false},
      {"a list cut at the reader's bound",
       [&](size_t) {
         return FolderList{list, {a_}, false};
       },
       1, true},
      {"more folders than an arming watches",
       [&](size_t) {
         return FolderList{list, many, true};
       },
       FolderWatcher::kMaxFolders, true},
      {"a reader that dies", [](size_t) -> FolderList { _exit(5); }, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(watcher_.rearm(c.reader, 0), c.watched);
    EXPECT_EQ(watcher_.watched(), c.watched);
    EXPECT_EQ(watcher_.has_changed(list), c.changed);
  }
  // After a failed arming the next one starts on a fresh instance.
  EXPECT_EQ(watcher_.rearm({a_}, 0, list), 1u);
  write_text(a_ + "/after.txt", "");
  EXPECT_TRUE(
      within(milliseconds(2000), [&] { return watcher_.has_changed(list); }));
}

TEST_F(FolderWatcherTest, StoppingEndsBothWatcherThreadsWithinASecond) {
  watcher_.stop();
  ASSERT_EQ(watcher_threads(), 0);
  const int others = inotify_descriptors();
  start_folder_watchers();
  EXPECT_EQ(watcher_threads(), 2);
  EXPECT_EQ(inotify_descriptors(), others + 2);
  folder_watcher(1)->rearm({a_}, 0);
  write_text(a_ + "/seen.txt", "");
  EXPECT_TRUE(
      within(milliseconds(2000), [] { return folder_changed(1, "any"); }));
  EXPECT_FALSE(folder_changed(2, "any"));
  EXPECT_FALSE(folder_changed(0, "any"));
  EXPECT_FALSE(folder_changed(3, "any"));

  const auto start = Clock::now();
  stop_folder_watchers();
  EXPECT_LT(Clock::now() - start, milliseconds(1000));
  EXPECT_EQ(watcher_threads(), 0);
  EXPECT_EQ(inotify_descriptors(), others);
  EXPECT_FALSE(folder_watcher(1)->running());
  stop_folder_watchers();  // Stopping again does nothing.
}

}  // namespace
}  // namespace orv
