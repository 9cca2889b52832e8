#include "collect/walker.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/platform/fd.h"
#include "order/sorter.h"
#include "query/filter_veto.h"

namespace orv {
namespace {

constexpr int64_t kNanosPerSecond = 1000000000;

// The most entries reserved ahead: the reach limit of a search without a
// page size. A list that grows beyond it grows as usual.
constexpr uint64_t kReserveLimit = 100000;

// The coarse clock is read without a system call and is fine enough for
// limits counted in seconds; it is asked before every entry.
int64_t monotonic_clock() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return int64_t{now.tv_sec} * kNanosPerSecond + now.tv_nsec;
}

WalkClock g_clock = monotonic_clock;

// The reach time of one walk: whether more than the allowed time has passed
// since the walk began. No bound when the allowed time is 0 or less.
class Deadline {
 public:
  explicit Deadline(int64_t seconds)
      : bounded_(seconds > 0),
        allowed_(seconds > INT64_MAX / kNanosPerSecond
                     ? INT64_MAX
                     : seconds * kNanosPerSecond),
        start_(bounded_ ? g_clock() : 0) {}

  bool passed() const { return bounded_ && g_clock() - start_ > allowed_; }

 private:
  const bool bounded_;
  const int64_t allowed_;  // nanoseconds
  const int64_t start_;
};

WalkFolderHook g_folder_hook = nullptr;

// Opens `relative` (a path of one or more names) below the folder `base`
// without following a symbolic link anywhere on the way, or -1. One openat2
// does it where the kernel has it; elsewhere a chain of openat, one name at
// a time, each refusing a link.
int open_beneath(int base, const std::string& relative) {
  struct open_how how {};
  how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
  long fd = syscall(SYS_openat2, base, relative.c_str(), &how, sizeof(how));
  if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) {
    return static_cast<int>(fd);
  }
  int at = base;
  int opened = -1;
  size_t start = 0;
  while (start < relative.size()) {
    size_t slash = relative.find('/', start);
    if (slash == std::string::npos) slash = relative.size();
    const std::string name = relative.substr(start, slash - start);
    start = slash + 1;
    if (name.empty()) continue;
    int next = openat(at, name.c_str(),
                      O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    int saved = errno;
    if (opened >= 0) close(opened);
    if (next < 0) {
      errno = saved;
      return -1;
    }
    at = opened = next;
  }
  if (opened < 0) errno = ENOENT;  // No name at all.
  return opened;
}

// The root folder whose sub-folders are being read: kept open while its
// items follow one another in the queue, reopened when another root's turn
// comes, so that a walk holds at most two descriptors however many roots it
// has.
class RootFolder {
 public:
  RootFolder() = default;
  RootFolder(const RootFolder&) = delete;
  RootFolder& operator=(const RootFolder&) = delete;
  ~RootFolder() { reset(); }

  // The descriptor of root `path`, or -1 when it cannot be opened. A root
  // may be a symbolic link (share folders often are links to their volume).
  int open(const std::string& path) {
    if (fd_ >= 0 && path == path_) return fd_;
    reset();
    fd_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ >= 0) path_ = path;
    return fd_;
  }

 private:
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  std::string path_;
  int fd_ = -1;
};

// Opens the folder of `item`: a root as it is, a sub-folder relative to its
// root's descriptor and only when no link is on the way below the root, so
// that a folder swapped for a link while it waited in the queue is not read
// through the link (its entries would be listed as the root's).
DirHandle open_folder(RootFolder* roots, const Entry& item) {
  int root = roots->open(item.path);
  int fd = -1;
  if (root >= 0) {
    // A fresh open of the root itself, so that reading it leaves the kept
    // descriptor's position alone.
    fd = item.sub_path.empty()
             ? openat(root, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
             : open_beneath(root, item.sub_path.substr(
                                      item.sub_path.front() == '/' ? 1 : 0));
  }
  if (fd < 0) {
    log_debug("walker", __LINE__, "open(%s): %s", item.folder_path().c_str(),
              std::strerror(errno));
    return nullptr;
  }
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    log_debug("walker", __LINE__, "fdopendir(%s): %s",
              item.folder_path().c_str(), std::strerror(errno));
    close(fd);
  }
  return DirHandle(dir);
}

bool passes(const FilterList& filters, const Entry& entry) {
  for (const FilterPtr& filter : filters) {
    if (!filter->matches(entry)) return false;
  }
  return true;
}

// The ordering keys of the walk's output, made on a thread of their own
// while the walk goes on adding entries: the walk mostly waits for the
// kernel, and the keys are most of what sorting costs. The thread starts
// once the list is long enough to be worth it, with clones of the chain's
// collators; the keys it has not made when the walk ends are made on every
// core. The thread reads an entry only after the walk has published it, and
// never while the list moves to a larger buffer.
class KeyBuilder {
 public:
  KeyBuilder(const Sorter* sorter, size_t expected)
      : sorter_(sorter), expected_(expected), keys_(0, 0) {}
  KeyBuilder(const KeyBuilder&) = delete;
  KeyBuilder& operator=(const KeyBuilder&) = delete;
  ~KeyBuilder() { stop(); }

  // After the walk added entries to `list`: hands the new ones over now
  // and then.
  void added(const std::vector<Entry>& list) {
    if (list.size() - published_ < kHandOver) return;
    if (!thread_.joinable()) {
      if (declined_) return;
      declined_ = std::thread::hardware_concurrency() < 2;
      if (!declined_) {
        maker_ = std::make_unique<KeyMaker>(*sorter_);
        declined_ = !maker_->ok();
      }
      // Room for as many keys as the list may take, made only for a list
      // that is long already.
      if (!declined_) keys_ = SortKeys(expected_, 64 * expected_);
      try {
        if (!declined_) thread_ = std::thread([this] { run(); });
      } catch (const std::system_error&) {
        declined_ = true;
      }
      if (declined_) return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    base_ = list.data();
    published_ = list.size();
    changed_.notify_all();
  }

  // Before the walk adds an entry to `list`: when that moves the list, waits
  // until the thread is not reading it and keeps it from starting again
  // until added() gives the new place.
  void before_add(const std::vector<Entry>& list) {
    if (list.size() < list.capacity() || !thread_.joinable()) return;
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !reading_; });
    base_ = nullptr;
    published_ = built_;
  }

  // Sorts `list`, the whole output, by the keys.
  void sort(std::vector<Entry>* list) {
    stop();
    if (failed_) {
      sorter_->sort(list);  // Fails, if it must, on this thread.
      return;
    }
    if (built_ == 0) keys_ = SortKeys(list->size(), 64 * list->size());
    sorter_->add_keys(*list, built_, &keys_);
    built_ = list->size();
    sorter_->sort_by_keys(list, &keys_);
  }

 private:
  void stop() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] {
        return stopping_ || (base_ != nullptr && built_ < published_);
      });
      if (stopping_) return;
      const Entry* base = base_;
      const size_t from = built_;
      const size_t to = published_;
      reading_ = true;
      lock.unlock();
      try {
        for (size_t i = from; i < to; ++i) maker_->add_key(base[i], &keys_);
      } catch (...) {
        failed_ = true;
      }
      lock.lock();
      reading_ = false;
      built_ = to;
      changed_.notify_all();
      if (failed_) return;
    }
  }

  // Entries handed over at a time.
  static constexpr size_t kHandOver = 512;

  const Sorter* const sorter_;
  const size_t expected_;            // entries the list may take
  std::unique_ptr<KeyMaker> maker_;  // the thread's collators
  SortKeys keys_;  // made by the thread while it runs, then the walk
  std::mutex mutex_;
  std::condition_variable changed_;
  const Entry* base_ = nullptr;  // where the list is; null while it moves
  size_t published_ = 0;         // entries handed over
  size_t built_ = 0;             // entries whose keys are made
  bool reading_ = false;
  bool stopping_ = false;
  bool failed_ = false;
  bool declined_ = false;
  std::thread thread_;
};

// What stays the same for every folder of one walk.
struct Walk {
  std::vector<Entry>* output;
  std::deque<Entry>* queue;
  const FilterList& filters;
  const Cluster* cluster;
  uint64_t reach_limit;
  bool recursive;
  const Deadline& deadline;
  const VetoFilter& veto;
  RootFolder* roots;
  KeyBuilder* keys;  // null when nothing orders the list

  bool full() const { return output->size() >= reach_limit; }
};

// Reads the folder `item` into the walk's output. `item` serves as the
// entry being examined: its root, alias and sub-folder are those of every
// entry of the folder, so per entry only the name, stat record, extension
// and cluster key change, and only entries that pass are copied.
void read_folder(const Walk& walk, Entry item) {
  if (g_folder_hook != nullptr) g_folder_hook(item);
  DirHandle dir = open_folder(walk.roots, item);
  if (!dir) return;  // Skipped; the rest of the queue is still walked.
  const int fd = dirfd(dir.get());
  Entry& entry = item;
  while (!walk.full() && !walk.deadline.passed()) {
    const struct dirent* found = readdir(dir.get());
    if (found == nullptr) break;  // End of the folder, or a read error.
    const char* name = found->d_name;
    if (walk.veto.is_vetoed(name)) continue;
    struct stat st;
    if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;

    entry.name.assign(name);
    entry.stat = st;
    entry.extension = extension_of(entry.name, st.st_mode);
    const bool passed = passes(walk.filters, entry);
    // The key is set on every entry, kept or not.
    if (walk.cluster != nullptr) entry.cluster = walk.cluster->key(entry);
    if (passed) {
      if (walk.keys != nullptr) walk.keys->before_add(*walk.output);
      walk.output->push_back(entry);
      if (walk.keys != nullptr) walk.keys->added(*walk.output);
    }

    if (walk.recursive && S_ISDIR(st.st_mode)) {
      walk.queue->push_back(Entry::folder_item(
          entry.path, entry.sub_path + "/" + entry.name, entry.alias));
    }
  }
}

}  // namespace

size_t walk(std::vector<Entry>* output, std::vector<Entry> queue,
            const FilterList& filters, std::shared_ptr<const Sorter> sorter,
            std::shared_ptr<const Cluster> cluster, uint64_t reach_limit,
            bool recursive, int64_t reach_time) {
  // The veto list is read now, so a changed configuration takes effect with
  // the next walk.
  const VetoFilter veto;
  const Deadline deadline(reach_time);
  std::deque<Entry> pending(std::make_move_iterator(queue.begin()),
                            std::make_move_iterator(queue.end()));
  // Room for as many entries as the walk may keep, so the list never moves
  // while it grows and is never held twice: pages are only touched as
  // entries arrive, so a short list costs no more than it holds.
  output->reserve(output->size() +
                  std::min<uint64_t>(reach_limit, kReserveLimit));
  RootFolder roots;
  // Keys only for a list that starts empty: they are made in list order.
  std::unique_ptr<KeyBuilder> keys;
  if (sorter && sorter->orders() && output->empty()) {
    keys = std::make_unique<KeyBuilder>(
        sorter.get(), std::min<uint64_t>(reach_limit, kReserveLimit));
  }
  const Walk state{output,    &pending, filters, cluster.get(), reach_limit,
                   recursive, deadline, veto,    &roots,        keys.get()};

  while (!pending.empty() && !state.full() && !deadline.passed()) {
    Entry item = std::move(pending.front());
    pending.pop_front();
    read_folder(state, std::move(item));
  }
  // Sorted whatever stopped the walk: the caller pages through this list as
  // the client's order.
  if (keys) {
    keys->sort(output);
  } else if (sorter) {
    sorter->sort(output);
  }
  return output->size();
}

void set_walk_clock(WalkClock clock) {
  g_clock = clock != nullptr ? clock : monotonic_clock;
}

void set_walk_folder_hook(WalkFolderHook hook) { g_folder_hook = hook; }

}  // namespace orv
