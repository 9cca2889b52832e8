// Change marks of cached lists through the real daemon and real inotify:
// what marks a slot and what does not, the two slots' watchers side by side,
// a change made while the list is being made, re-arming under a stream of
// page requests, and the watchers' end with the daemon.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/bus/hvservice.h"
#include "tests/search_fixture.h"
#include "watch/test_util.h"

namespace orv::test {
namespace {

using std::chrono::milliseconds;
using Names = std::vector<std::string>;

constexpr int kPageRequests = 500;  // of the stress test

size_t occurrences(const std::string& text, const std::string& marker) {
  size_t count = 0;
  for (size_t at = text.find(marker); at != std::string::npos;
       at = text.find(marker, at + marker.size())) {
    ++count;
  }
  return count;
}

// The daemon of the search tests as the test daemon, which can hold a walk
// at a folder, with "*.tmp" on the veto list.
class WatchTest : public SearchTest {
 protected:
  void configure() override {
    sandbox_.write_file("etc/config/tvk2.conf",
                        "[global]\nveto files = /*.tmp/.@__thumb/\n");
    program_ = "service-test-daemon";
    options_.env["ORV_TEST_WALK_PAUSE"] = volume_ + "/share/late";
    options_.env["ORV_TEST_WALK_GATE"] = gate();
  }

  std::string gate() const { return sandbox_.path("walk-on"); }

  // Waits until the watcher of slot `index` has been armed `count` times
  // since the daemon started.
  bool armed(int index, size_t count) {
    const std::string marker = "[watch] index " + std::to_string(index) + ":";
    return wait_until(
        [&] { return occurrences(daemon_->err(), marker) >= count; },
        milliseconds(10000));
  }

  // create.cache of `search` into slot `index`, and the arming that follows
  // it; the new list's uuid.
  std::string create(int index, const std::string& search) {
    // A folder changed in the same tick of the coarse clock as the walk's
    // start counts as changed during the walk: what the test made before is
    // made a tick earlier.
    std::this_thread::sleep_for(milliseconds(30));
    Json made =
        call("create.cache",
             "{" + search + ",\"index\":" + std::to_string(index) + "}");
    EXPECT_EQ(int_of(made, "error_code"), 0) << json_text(made.get());
    EXPECT_TRUE(armed(index, ++armings_[index])) << daemon_->err();
    return text_of(made, "uuid");
  }

  // "changed" of a page of list `uuid` in slot `index`.
  bool changed(int index, const std::string& uuid) {
    Json page = call("fetch.cache", R"({"uuid":")" + uuid + R"(","index":)" +
                                        std::to_string(index) + "}");
    EXPECT_EQ(int_of(page, "error_code"), 0) << json_text(page.get());
    return json_is_true(json_object_get(page.get(), "changed"));
  }
  bool becomes_changed(int index, const std::string& uuid) {
    return wait_until([&] { return changed(index, uuid); }, milliseconds(5000));
  }

  // The number of watches on each inotify descriptor of the daemon.
  std::multiset<int> watches() const {
    std::multiset<int> counts;
    const std::string proc = "/proc/" + std::to_string(daemon_->pid());
    for (const auto& fd : std::filesystem::directory_iterator(proc + "/fd")) {
      std::error_code ignored;
      if (std::filesystem::read_symlink(fd.path(), ignored) !=
          "anon_inode:inotify") {
        continue;
      }
      std::ifstream info(proc + "/fdinfo/" + fd.path().filename().string());
      int count = 0;
      for (std::string line; std::getline(info, line);) {
        if (line.rfind("inotify wd:", 0) != 0) continue;
        ++count;
        // The events watched, and no others (no reads, no closes).
        EXPECT_NE(line.find(" mask:fc6 "), std::string::npos) << line;
      }
      counts.insert(count);
    }
    return counts;
  }

  size_t armings_[3] = {0, 0, 0};
};

TEST_F(WatchTest, FileMadeInACachedFolderMarksTheSlotUntilItsNextList) {
  const std::string dir = folder("share/Docs");
  make_files(dir, "doc%d.txt", 3);
  const std::string first = create(1, path_member(dir, "/Docs"));
  EXPECT_FALSE(changed(1, first));
  // At once after the arming, within its second.
  make_file(dir, "new.txt");
  EXPECT_TRUE(becomes_changed(1, first));
  EXPECT_TRUE(changed(1, first));

  // A page of a single request is never watched.
  Json resource = call("fetch.resource", "{" + path_member(dir, "/Docs") + "}");
  EXPECT_EQ(int_of(resource, "total"), 4);
  EXPECT_TRUE(json_is_false(json_object_get(resource.get(), "changed")));

  const std::string second = create(1, path_member(dir, "/Docs"));
  EXPECT_FALSE(changed(1, second));
}

TEST_F(WatchTest, VetoedNamesAndFoldersOutsideTheListDoNotMarkIt) {
  const std::string dir = folder("share/Media");
  const std::string sub = folder("share/Media/Sub");
  const std::string thumbs = folder("share/Media/.@__thumb");
  const std::string closed = folder("share/Closed");
  make_file(dir, "clip.mp4");
  make_file(closed, "secret.txt");
  const std::string uuid =
      create(1, R"("path":[{"full_path":")" + dir + R"(","alias":"/Media"},)" +
                    R"({"full_path":")" + closed + R"(","alias":"/Closed"}])");
  // A folder of the list that the session user may no longer read is not
  // watched, although the daemon could.
  ASSERT_EQ(chmod(closed.c_str(), 0700), 0);
  EXPECT_EQ(int_of(call("watch", R"({"index":1})"), "error_code"), 0);
  ASSERT_TRUE(armed(1, ++armings_[1]));
  EXPECT_EQ(watches(), (std::multiset<int>{0, 1}));

  make_file(dir, "clip.mp4.tmp");
  make_file(sub, "deep.txt");
  make_file(thumbs, "clip.jpg");
  make_file(closed, "new-secret.txt");
  // Events come within milliseconds; the watcher takes them as they come.
  std::this_thread::sleep_for(milliseconds(1000));
  EXPECT_FALSE(changed(1, uuid));
  make_file(dir, "seen.txt");
  EXPECT_TRUE(becomes_changed(1, uuid));
}

TEST_F(WatchTest, EachSlotHasItsOwnWatcherAndWatchesEachFolderOnce) {
  const std::string dir = folder("share/Mixed");
  const std::string sub = folder("share/Mixed/Sub");
  make_file(dir, "a.txt", 1);
  make_file(sub, "b.txt", 2);
  make_file(dir, "c.txt", 3);
  // Sorted by size, the list runs through Mixed, Sub, then Mixed again.
  const std::string one = create(
      1, path_member(dir, "/Mixed") + R"(,"recursive":true,"sort":"size:asc")");
  const std::string two = create(2, path_member(dir, "/Mixed"));
  EXPECT_EQ(watches(), (std::multiset<int>{1, 2}));

  make_file(dir, "shared.txt");
  EXPECT_TRUE(becomes_changed(1, one));
  EXPECT_TRUE(becomes_changed(2, two));

  Json refused = call("watch", R"({"index":3})");
  EXPECT_EQ(json_text(refused.get()),
            R"({"error_code":2,"error_message":"invalid index"})");
  // Re-arming slot 2 clears its mark and leaves slot 1's.
  Json accepted = call("watch", R"({"index":2})");
  EXPECT_EQ(json_text(accepted.get()),
            R"({"error_code":0,"error_message":""})");
  ASSERT_TRUE(armed(2, ++armings_[2]));
  EXPECT_FALSE(changed(2, two));
  EXPECT_TRUE(changed(1, one));
  EXPECT_EQ(occurrences(daemon_->err(), "[watch] index 1:"), armings_[1]);
  EXPECT_EQ(occurrences(daemon_->err(), "[watch] index 3"), 0u);
}

TEST_F(WatchTest, FileMadeWhileTheListIsWalkedIsReported) {
  const std::string early = folder("share/early");
  const std::string late = folder("share/late");
  make_file(early, "e.txt");
  make_file(late, "l.txt");
  // The walk reads `early`, then waits before `late` until the gate opens.
  const std::string body = R"({"path":[{"full_path":")" + early +
                           R"(","alias":"/early"},{"full_path":")" + late +
                           R"(","alias":"/late"}],"index":1})";
  Process& creating = sandbox_.start(
      {bin("hvcall"), "-t", "60", "orv-" + sid_, "create.cache", body});
  ASSERT_TRUE(daemon_->wait_for_err("[test] walk paused", milliseconds(10000)))
      << daemon_->err();
  make_file(early, "during-walk.txt");
  sandbox_.write_file("walk-on", "");
  ASSERT_EQ(creating.wait(milliseconds(20000)), 0) << creating.err();
  ASSERT_TRUE(armed(1, 1)) << daemon_->err();
  Json made = Json::adopt(json_loads(creating.out().c_str(), 0, nullptr));
  const std::string uuid = text_of(made, "uuid");
  Json page = call("fetch.cache", R"({"uuid":")" + uuid + R"("})");
  EXPECT_EQ(column(page), (Names{"e.txt", "l.txt"}));
  EXPECT_TRUE(json_is_true(json_object_get(page.get(), "changed")));
}

TEST_F(WatchTest, PagesAreAnsweredWhileTheWatcherIsReArmedWithoutPause) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer's allocator has no fork handlers: a handler forked while
  // the worker pool's thread allocates for a re-arming hangs on its locks
  // (the C library's allocator is fork-safe). Re-arming without pause
  // makes that all but certain within a few pages.
  GTEST_SKIP() << "AddressSanitizer's allocator does not survive such forks";
#endif
  const std::string tree = folder("share/Tree");
  for (int a = 0; a < 60; ++a) {
    for (int b = 0; b < 50; ++b) {
      const std::string leaf =
          folder("share/Tree/" + std::to_string(a) + "/" + std::to_string(b));
      make_file(leaf, "f.txt");
    }
  }
  const std::string uuid =
      create(1, path_member(tree, "/Tree") + R"(,"recursive":true)");
  EXPECT_EQ(watches(), (std::multiset<int>{0, 3061}));

  RootEnvironment root(sandbox_.root());
  const std::string service = "orv-" + sid_;
  // One bus call with a 5-second time-out; its result and reply.
  auto ask = [&](const char* method, const std::string& body, Json* reply) {
    hv_io_t* io = hv_io_create();
    hv_io_write(io, body.data(), body.size());
    const int result = hv_call(service.c_str(), method, io, 5, -1);
    reply->reset(json_loads(hv_io_read(io, 0), 0, nullptr));
    hv_io_free(io);
    return result;
  };
  std::atomic<bool> paging{true};
  std::atomic<int> rearms{0};
  std::atomic<int> late_watch{-1};
  std::thread rearming([&] {
    while (paging) {
      Json reply;
      const int result = ask("watch", R"({"index":1})", &reply);
      if (result != HV_OK) late_watch = result;
      ++rearms;
    }
  });
  const std::string body = R"({"uuid":")" + uuid + R"(","limit":50})";
  for (int i = 0; i < kPageRequests; ++i) {
    Json page;
    const int result = ask("fetch.cache", body, &page);
    EXPECT_EQ(result, HV_OK) << "page " << i << " was not answered in 5 s";
    if (result != HV_OK) break;
    EXPECT_EQ(int_of(page, "total"), 6060) << i;
  }
  paging = false;
  rearming.join();
  EXPECT_EQ(late_watch, -1) << "a watch request was not answered in 5 s";
  EXPECT_GT(rearms, 10);
  EXPECT_TRUE(armed(1, static_cast<size_t>(rearms) + 1));
}

TEST_F(WatchTest, StoppingTheDaemonEndsItsWatchers) {
  const std::string proc = "/proc/" + std::to_string(daemon_->pid());
  call("watch", R"({"index":1})");  // The worker hooks have run.
  EXPECT_EQ(watcher_threads(proc), 2);
  EXPECT_EQ(inotify_descriptors(proc), 2);
  daemon_->signal(SIGTERM);
  EXPECT_EQ(daemon_->wait(milliseconds(5000)), 0);
  EXPECT_NE(daemon_->err().find(
                "[test] after stop: 0 watcher threads, 0 inotify descriptors"),
            std::string::npos)
      << daemon_->err();
}

}  // namespace
}  // namespace orv::test
