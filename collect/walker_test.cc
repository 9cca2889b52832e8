#include "collect/walker.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unicode/locid.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/platform/test_root.h"
#include "query/filter_name.h"

namespace orv {
namespace {

namespace fs = std::filesystem;

// A fresh ORV_ROOT per test (for the veto list) holding the tree the test
// walks under "/share/A".
class WalkerTest : public ::testing::Test {
 protected:
  // The sorters collate for the default locale, which a request's language
  // sets.
  void SetUp() override {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale("en_US"), status);
  }
  void TearDown() override {
    set_walk_clock(nullptr);
    set_walk_folder_hook(nullptr);
  }

  // Makes an empty file or, for a name ending in "/", a folder below the
  // tree.
  void make(const std::string& relative) {
    std::string full = tree_ + "/" + relative;
    fs::create_directories(fs::path(full).parent_path());
    if (!full.ends_with('/')) std::ofstream{full};
  }

  std::vector<Entry> roots() const {
    return {Entry::folder_item(tree_, "", "Public")};
  }

  std::shared_ptr<Sorter> name_chain() {
    ErrorRecord error;
    std::shared_ptr<Sorter> head = make_sorter<Sorter>(false, &error);
    head->append(make_key_sorter("name", false, &error));
    EXPECT_TRUE(error.ok()) << error.message;
    return head;
  }

  // Walks the tree with the hidden names hidden and no further limits.
  std::vector<Entry> walk_tree(bool recursive,
                               std::shared_ptr<const Sorter> sorter = nullptr,
                               std::shared_ptr<const Cluster> cluster = nullptr,
                               uint64_t reach_limit = 100000,
                               int64_t reach_time = 0) {
    std::vector<Entry> out;
    size_t count = walk(&out, roots(), filters_, std::move(sorter),
                        std::move(cluster), reach_limit, recursive, reach_time);
    EXPECT_EQ(count, out.size());
    return out;
  }

  static std::vector<std::string> alias_paths(const std::vector<Entry>& list) {
    std::vector<std::string> paths;
    for (const Entry& e : list) paths.push_back(e.alias_full_path());
    return paths;
  }

  platform::test::TempRoot root_;
  const std::string tree_ = root_.path("/share/A");
  FilterList filters_ = {std::make_shared<HiddenFilter>(true)};
};

TEST_F(WalkerTest, RecursiveWalkIsBreadthFirst) {
  make("b.txt");
  make("c/d.txt");
  make("c/e/f.txt");
  make("g/h.txt");
  make("g/i/");
  std::vector<Entry> out = walk_tree(true);

  // Each folder's entries form one run, and the runs follow the order in
  // which their folders were found (the empty g/i lists nothing).
  std::vector<std::string> runs = {""};
  std::vector<std::string> found = {""};
  for (const Entry& e : out) {
    if (e.sub_path != runs.back()) runs.push_back(e.sub_path);
    if (S_ISDIR(e.stat.st_mode) && e.name != "i") {
      found.push_back(e.sub_path + "/" + e.name);
    }
  }
  EXPECT_EQ(runs, found);
  EXPECT_EQ(out.size(), 8u);

  auto d = std::find_if(out.begin(), out.end(),
                        [](const Entry& e) { return e.name == "d.txt"; });
  ASSERT_NE(d, out.end());
  EXPECT_EQ(d->sub_path, "/c");
  EXPECT_EQ(d->full_path(), tree_ + "/c/d.txt");
  EXPECT_EQ(d->alias_full_path(), "/Public/c/d.txt");
  EXPECT_EQ(d->extension, "txt");
  EXPECT_TRUE(S_ISREG(d->stat.st_mode));
}

TEST_F(WalkerTest, ReachLimitCountsKeptEntries) {
  for (int i = 0; i < 80; ++i) {
    make("f" + std::to_string(i) + ".txt");
    make("f" + std::to_string(i) + ".dat");
  }
  std::shared_ptr<Sorter> chain = name_chain();
  std::vector<Entry> out = walk_tree(false, chain, nullptr, 50);
  ASSERT_EQ(out.size(), 50u);
  EXPECT_TRUE(std::is_sorted(
      out.begin(), out.end(),
      [&](const Entry& a, const Entry& b) { return chain->compare(a, b); }));

  filters_.push_back(std::make_shared<WildCardFilter>("*.TXT"));
  out = walk_tree(false, nullptr, nullptr, 70);
  EXPECT_EQ(out.size(), 70u);
  for (const Entry& e : out) EXPECT_EQ(e.extension, "txt") << e.name;
}

TEST_F(WalkerTest, LinksAreListedNotEntered) {
  make("real/inner.txt");
  fs::create_directory_symlink("real", tree_ + "/link");
  std::vector<Entry> out = walk_tree(true, name_chain());
  EXPECT_EQ(alias_paths(out),
            (std::vector<std::string>{"/Public/real/inner.txt", "/Public/link",
                                      "/Public/real"}));
  EXPECT_TRUE(S_ISLNK(out[1].stat.st_mode));

  // A root reached through a link is read: share folders often are links.
  std::vector<Entry> through_link;
  walk(&through_link, {Entry::folder_item(tree_ + "/link", "", "L")}, filters_,
       nullptr, nullptr, 100000, true, 0);
  EXPECT_EQ(alias_paths(through_link),
            (std::vector<std::string>{"/L/inner.txt"}));
}

// The swap of the test below: just before the walk opens the queued folder
// "/c/e", the folder "c" on its way becomes a link to a folder outside the
// root that holds an "e" as well.
std::string g_swap_tree;
std::string g_swap_outside;
void swap_folder_for_link(const Entry& item) {
  if (item.sub_path != "/c/e") return;
  fs::rename(g_swap_tree + "/c", g_swap_tree + "/c.moved");
  fs::create_directory_symlink(g_swap_outside, g_swap_tree + "/c");
}

TEST_F(WalkerTest, FolderSwappedForALinkWhileQueuedIsSkipped) {
  make("c/e/inside.txt");
  g_swap_tree = tree_;
  g_swap_outside = root_.path("/outside");
  fs::create_directories(g_swap_outside + "/e");
  std::ofstream{g_swap_outside + "/e/secret.txt"};
  set_walk_folder_hook(&swap_folder_for_link);
  std::vector<Entry> out = walk_tree(true, name_chain());
  // Nothing of the outside folder is listed under the root's alias; the
  // folder that became a link is skipped like one that cannot be opened.
  EXPECT_EQ(alias_paths(out),
            (std::vector<std::string>{"/Public/c", "/Public/c/e"}));
}

TEST_F(WalkerTest, HiddenAndVetoedNames) {
  make(".cache/x.txt");
  make(".cache/.y");
  make("b.txt");
  make("a.tmp");
  make("skip.tmp/inside.txt");
  root_.write("/etc/config/tvk2.conf", "[global]\nveto files = /*.tmp/\n");
  // A hidden folder is not listed, but its contents are searched; a vetoed
  // folder is neither listed nor entered.
  EXPECT_EQ(
      alias_paths(walk_tree(true, name_chain())),
      (std::vector<std::string>{"/Public/b.txt", "/Public/.cache/x.txt"}));

  filters_ = {std::make_shared<HiddenFilter>(false)};
  EXPECT_EQ(
      alias_paths(walk_tree(true, name_chain())),
      (std::vector<std::string>{"/Public/.cache", "/Public/.cache/.y",
                                "/Public/b.txt", "/Public/.cache/x.txt"}));
}

TEST_F(WalkerTest, ClusterKeysAndGroupedOrder) {
  make("Photo.JPG");
  make("b.jpg");
  make("notes.txt");
  make("album/");
  ErrorRecord error;
  std::shared_ptr<Cluster> cluster = make_cluster("type", &error);
  std::shared_ptr<Sorter> chain = make_sorter<Sorter>(false, &error);
  chain->append(make_cluster_sorter("type", false, &error));
  chain->append(make_key_sorter("name", false, &error));
  ASSERT_TRUE(error.ok()) << error.message;

  std::vector<std::string> keyed;
  for (const Entry& e : walk_tree(false, chain, cluster)) {
    keyed.push_back(e.cluster + ":" + e.name);
  }
  EXPECT_EQ(keyed,
            (std::vector<std::string>{"folder:album", "jpg:b.jpg",
                                      "jpg:Photo.JPG", "txt:notes.txt"}));
  for (const Entry& e : walk_tree(false)) EXPECT_EQ(e.cluster, "") << e.name;
}

// Roots that cannot be read are skipped and the rest still walked; the list
// is sorted over all folders, with or without recursion.
TEST_F(WalkerTest, SortedOverAllRootsThatCanBeRead) {
  for (const char* name : {"a10", "B", "a2", "b", "sub/a1"}) make(name);
  std::vector<Entry> queue = {
      Entry::folder_item(tree_ + "/missing", "", "M"),
      Entry::folder_item(tree_ + "/a2", "", "F"),  // a file
      Entry::folder_item(tree_, "", "Public"),
  };
  std::vector<Entry> out;
  EXPECT_EQ(walk(&out, queue, filters_, name_chain(), nullptr, 100000, true, 0),
            6u);
  EXPECT_EQ(alias_paths(out), (std::vector<std::string>{
                                  "/Public/sub/a1", "/Public/a2", "/Public/a10",
                                  "/Public/b", "/Public/B", "/Public/sub"}));
  EXPECT_EQ(alias_paths(walk_tree(false, name_chain())),
            (std::vector<std::string>{"/Public/a2", "/Public/a10", "/Public/b",
                                      "/Public/B", "/Public/sub"}));
  out.clear();
  EXPECT_EQ(
      walk(&out, {queue[0]}, filters_, name_chain(), nullptr, 100000, true, 0),
      0u);
}

// A sub-folder the walking account may not read is skipped: everything
// else is still walked and the list is still sorted. Root reads every
// folder, so the walk runs as nobody in a child process.
TEST_F(WalkerTest, DeniedFolderIsSkipped) {
  make("a1");
  make("x/secret");
  make("y/y1");
  make("y/z/z1");
  make("w1");
  chmod((tree_ + "/x").c_str(), 0);

  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  std::shared_ptr<Sorter> chain = name_chain();
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(pipe_fds[0]);
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 ||
                           setuid(65534) != 0)) {
      _exit(2);
    }
    std::vector<Entry> out;
    walk(&out, roots(), filters_, chain, nullptr, 100000, true, 0);
    std::string text;
    for (const Entry& e : out) text += e.alias_full_path() + "\n";
    bool written = write(pipe_fds[1], text.data(), text.size()) ==
                   static_cast<ssize_t>(text.size());
    _exit(written ? 0 : 3);
  }
  close(pipe_fds[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<size_t>(n));
  }
  close(pipe_fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  chmod((tree_ + "/x").c_str(), 0755);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(text,
            "/Public/a1\n/Public/w1\n/Public/x\n/Public/y\n"
            "/Public/y/y1\n/Public/y/z\n/Public/y/z/z1\n");
}

// Clocks for the reach time, in nanoseconds. Each call of a stepping clock
// moves it on by 100 ms.
int64_t g_calls = 0;
int64_t stepping_clock() { return ++g_calls * 100000000; }
// The first call gives the start; every later one `g_after` nanoseconds on.
int64_t g_after = 0;
int64_t two_step_clock() { return g_calls++ == 0 ? 0 : g_after; }

TEST_F(WalkerTest, ReachTimeIsTestedBeforeEveryFolderAndEntry) {
  for (int i = 0; i < 30; ++i) make("f" + std::to_string(i));
  std::shared_ptr<Sorter> chain = name_chain();

  // Past one second after the 11th look at the clock: the walk stops inside
  // the folder, having read its first 9 names ("." and ".." among them).
  g_calls = 0;
  set_walk_clock(stepping_clock);
  std::vector<Entry> out = walk_tree(false, chain, nullptr, 100000, 1);
  EXPECT_GE(out.size(), 7u);
  EXPECT_LE(out.size(), 9u);
  EXPECT_TRUE(std::is_sorted(
      out.begin(), out.end(),
      [&](const Entry& a, const Entry& b) { return chain->compare(a, b); }));
  // Without a reach time the same clock stops nothing.
  EXPECT_EQ(walk_tree(false, nullptr, nullptr, 100000, 0).size(), 30u);

  // Exactly the reach time is not yet past it; a nanosecond more is, and
  // then not even the first folder is read.
  set_walk_clock(two_step_clock);
  g_calls = 0;
  g_after = 1000000000;
  EXPECT_EQ(walk_tree(false, nullptr, nullptr, 100000, 1).size(), 30u);
  g_calls = 0;
  g_after = 1000000001;
  EXPECT_EQ(walk_tree(false, nullptr, nullptr, 100000, 1).size(), 0u);
}

}  // namespace
}  // namespace orv
