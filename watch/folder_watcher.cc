#include "watch/folder_watcher.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <unordered_set>
#include <utility>

#include "common/fork_gate.h"
#include "common/log.h"
#include "common/platform/fd.h"
#include "common/thread.h"
#include "watch/thread_identity.h"

namespace orv {

namespace {

// What one read takes at most; a record (16 bytes and a name of at most 255)
// always fits.
constexpr size_t kReadSize = 4096;

int64_t nanoseconds(const struct timespec& time) {
  return static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// The key of the list `uuid` in the watcher's state word, above its mark
// bit: 0 for no list (the mark answers for any), otherwise 63 bits of the
// uuid's FNV-1a hash with the highest of them set, so that it is never 0.
uint64_t list_key(const std::string& uuid) {
  if (uuid.empty()) return 0;
  uint64_t hash = 14695981039346656037ull;
  for (const char c : uuid) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  }
  return (hash >> 1) | (1ull << 62);
}

}  // namespace

bool marks_change(std::string_view bytes, const std::set<int>& table,
                  const VetoFilter& veto) {
  size_t at = 0;
  while (bytes.size() - at >= sizeof(inotify_event)) {
    inotify_event header;
    std::memcpy(&header, bytes.data() + at, sizeof(header));
    const size_t end = at + sizeof(header) + header.len;
    if (end > bytes.size()) break;  // Cut off: no name to trust.
    if (header.mask & IN_Q_OVERFLOW) return true;
    // Descriptors no longer in the table are those of watches a rearm
    // removed; their last events, the removal notice among them, are old.
    // The name is padded with zero bytes to its length and read in place:
    // this thread allocates nothing while handlers may be forked.
    const char* name = bytes.data() + at + sizeof(header);
    if (header.len == 0) {
      name = "";
    } else if (std::memchr(name, '\0', header.len) == nullptr) {
      break;  // No end to the name: not a record the kernel wrote.
    }
    if (table.count(header.wd) != 0 && !veto.is_vetoed(name)) return true;
    at = end;
  }
  return false;
}

FolderWatcher::FolderWatcher(size_t index) : index_(index) {}

FolderWatcher::~FolderWatcher() {
  if (process_ == getpid()) {
    stop();
  } else if (fd_ >= 0) {
    close(fd_);
  }
}

void FolderWatcher::renew_instance() {
  int fd;
  {
    ThreadIdentity as_owner(owner_);
    fd = as_owner.ok() ? inotify_init1(IN_NONBLOCK | IN_CLOEXEC) : -1;
  }
  const int current = fd_;
  if (fd < 0) {
    // The owner's instances are spent: no watch is left of the old one
    // either, which a failed arming may have filled with unknown watches.
    if (current >= 0) close(current);
    fd_ = -1;
    log_line(LogKind::kWarning, "[watch] no inotify instance for slot %d: %s",
             static_cast<int>(index_), std::strerror(errno));
  } else if (current < 0) {
    fd_ = fd;
  } else {
    // The old number now names the new instance, at once for the event
    // thread, and the old instance goes with its watches.
    dup3(fd, current, O_CLOEXEC);
    close(fd);
  }
  table_.clear();
}

void FolderWatcher::start(const Identity& owner) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_) return;
  owner_ = owner;
  renew_instance();
  state_ = 0;
  running_ = true;
  ready_ = false;
  thread_started_ = start_thread(&thread_, &FolderWatcher::thread_main, this);
  if (!thread_started_) {
    running_ = false;
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    return;
  }
  process_ = getpid();
  const std::string name = "orv-watch-" + std::to_string(index_);
  pthread_setname_np(thread_, name.c_str());
  // The thread's own start-up (the veto list, the runtime's bookkeeping of
  // a new thread) is done before the daemon forks its first handler.
  ready_.wait(false);
}

void FolderWatcher::request_stop() { running_ = false; }

void FolderWatcher::stop() {
  running_ = false;
  std::unique_lock<std::mutex> lock(mutex_);
  if (!thread_started_) return;
  thread_started_ = false;
  // The event thread takes the lock for each read it looks at, so it must
  // not be held while this waits for the thread to end.
  lock.unlock();
  pthread_join(thread_, nullptr);
  lock.lock();
  if (fd_ >= 0) close(fd_);  // Removes every watch with it.
  fd_ = -1;
  table_.clear();
}

void* FolderWatcher::thread_main(void* argument) {
  static_cast<FolderWatcher*>(argument)->run();
  return nullptr;
}

void FolderWatcher::run() {
  // The veto list of this moment, read once: a changed list takes effect
  // with the next start of the watcher.
  std::unique_ptr<VetoFilter> veto;
  {
    ForkGuard guard;  // The configuration reader takes a lock.
    veto = std::make_unique<VetoFilter>();
  }
  // From here on the thread only waits, reads and looks up.
  ready_ = true;
  ready_.notify_all();
  alignas(inotify_event) char buffer[kReadSize];
  while (running_) {
    // A descriptor of -1 (inotify was not available) is ignored by poll,
    // which then only waits.
    const int fd = fd_;
    pollfd ready{fd, POLLIN, 0};
    const int count = poll(&ready, 1, kPollMilliseconds);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return;
    // A descriptor replaced while polled: the next round polls the new one.
    if ((ready.revents & POLLNVAL) != 0) continue;
    if ((ready.revents & POLLERR) != 0) return;
    if (count == 0 || (ready.revents & POLLIN) == 0) continue;
    ssize_t got;
    while ((got = read(fd, buffer, sizeof(buffer))) > 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (marks_change(std::string_view(buffer, static_cast<size_t>(got)),
                       table_, *veto)) {
        state_.fetch_or(kChanged);
      }
    }
  }
}

// What an arming's child reports: this header, the list's uuid, then the
// watch descriptors (int32) of the folders it watches.
struct ArmingReport {
  static constexpr uint32_t kMagic = 0x6f727661;  // "orva"
  static constexpr uint32_t kComplete = 1;  // every folder that exists watched
  static constexpr uint32_t kChanged = 2;   // a folder changed since `since`
  static constexpr size_t kMaxList = 128;   // longest uuid text read back
  uint32_t magic = kMagic;
  uint32_t flags = 0;
  uint32_t list_length = 0;
  uint32_t count = 0;
};

// What the parent takes from a report.
struct FolderWatcher::Armed {
  std::string list;
  std::set<int> watches;
  bool complete = false;
  bool changed = false;
};

namespace {

// Closes every descriptor but 0, 1, 2 and the two kept, so that an arming's
// child, which runs as the user, holds none of the daemon's files.
void close_all_but(int a, int b) {
  const unsigned low = static_cast<unsigned>(std::min(a, b));
  const unsigned high = static_cast<unsigned>(std::max(a, b));
  if (low > 3) close_range(3, low - 1, 0);
  if (high > low + 1) close_range(low + 1, high - 1, 0);
  close_range(high + 1, ~0U, 0);
}

// The arming's child: takes the owner's identity, reads the folders, adds
// their watches to the instance `fd` and writes its report to `out`.
[[noreturn]] void arm_child(int fd, int out, const Identity& owner,
                            const FolderReader& reader, int64_t since) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  close_all_but(fd, out);
  if (owner.uid != 0 && take_identity(owner) != nullptr) _exit(2);
  FolderList found = reader(FolderWatcher::kMaxFolders);
  ArmingReport report;
  bool complete = found.complete;
  std::vector<int32_t> watches;
  std::unordered_set<std::string_view> tried;
  // A list holds one run per folder and sort order; in a list sorted by
  // size or date runs of the same folder repeat, often thousands of times.
  for (const std::string& folder : found.folders) {
    if (folder.empty() || !tried.insert(folder).second) continue;
    if (tried.size() > FolderWatcher::kMaxFolders) {
      complete = false;
      break;
    }
    // A folder watched already keeps its watch, which adding it again
    // returns: making a watch costs several times what finding one does, and
    // a list is mostly re-armed on the folders it had.
    const int wd = inotify_add_watch(fd, folder.c_str(), FolderWatcher::kMask);
    if (wd < 0) {
      // Gone or closed to the owner since the walk: skipped. Anything else
      // (the owner's watches spent) leaves the list unwatched from here on.
      if (errno == ENOENT || errno == ENOTDIR || errno == EACCES ||
          errno == ELOOP || errno == ENAMETOOLONG) {
        continue;
      }
      complete = false;
      break;
    }
    watches.push_back(wd);
    struct stat st;
    if (since > 0 && (report.flags & ArmingReport::kChanged) == 0 &&
        fstatat(AT_FDCWD, folder.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        nanoseconds(st.st_ctim) >= since) {
      report.flags |= ArmingReport::kChanged;
    }
  }
  if (complete) report.flags |= ArmingReport::kComplete;
  found.list.resize(std::min(found.list.size(), ArmingReport::kMaxList));
  report.list_length = static_cast<uint32_t>(found.list.size());
  report.count = static_cast<uint32_t>(watches.size());
  std::string bytes(reinterpret_cast<const char*>(&report), sizeof(report));
  bytes += found.list;
  bytes.append(reinterpret_cast<const char*>(watches.data()),
               watches.size() * sizeof(int32_t));
  _exit(write_all(out, bytes.data(), bytes.size()) ? 0 : 3);
}

// Reads all of `fd` until its end, at most `limit` bytes, until `deadline`.
bool read_report(int fd, size_t limit,
                 std::chrono::steady_clock::time_point deadline,
                 std::string* bytes) {
  char chunk[16384];
  while (true) {
    if (!wait_readable(fd, deadline)) return false;
    const ssize_t got = read(fd, chunk, sizeof(chunk));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    if (bytes->size() + static_cast<size_t>(got) > limit) return false;
    bytes->append(chunk, static_cast<size_t>(got));
  }
}

}  // namespace

bool FolderWatcher::arm_in_child(const FolderReader& reader, int64_t since,
                                 Armed* armed) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(kArmingMilliseconds);
  const pid_t child = gated_fork();
  if (child == 0) arm_child(fd_, ends[1], owner_, reader, since);
  close(ends[1]);
  std::string bytes;
  const size_t limit = sizeof(ArmingReport) + ArmingReport::kMaxList +
                       kMaxFolders * sizeof(int32_t);
  const bool read_whole =
      child > 0 && read_report(ends[0], limit, deadline, &bytes);
  close(ends[0]);
  if (child < 0) return false;
  // A child that has not ended by now is stuck in the user's file: it goes.
  if (!read_whole) kill(child, SIGKILL);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  ArmingReport report;
  if (!read_whole || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
      bytes.size() < sizeof(report)) {
    return false;
  }
  std::memcpy(&report, bytes.data(), sizeof(report));
  if (report.magic != ArmingReport::kMagic ||
      report.list_length > ArmingReport::kMaxList ||
      report.count > kMaxFolders ||
      bytes.size() != sizeof(report) + report.list_length +
                          report.count * sizeof(int32_t)) {
    return false;
  }
  armed->list = bytes.substr(sizeof(report), report.list_length);
  const char* at = bytes.data() + sizeof(report) + report.list_length;
  for (uint32_t i = 0; i < report.count; ++i) {
    int32_t wd;
    std::memcpy(&wd, at + i * sizeof(wd), sizeof(wd));
    armed->watches.insert(wd);
  }
  armed->complete = (report.flags & ArmingReport::kComplete) != 0;
  armed->changed = (report.flags & ArmingReport::kChanged) != 0;
  return true;
}

size_t FolderWatcher::rearm(const FolderReader& reader, int64_t since) {
  std::lock_guard<std::mutex> lock(mutex_);
  // The events still queued came before this arming and are not its
  // changes. Dropped while the lock keeps the event thread from looking at
  // any, and before the mark is cleared, so that every event of the new
  // arming counts.
  alignas(inotify_event) char stale[kReadSize];
  while (fd_ >= 0 && read(fd_, stale, sizeof(stale)) > 0) {
  }
  // The owner's instances may have been spent at start, or the last
  // arming failed.
  if (fd_ < 0) renew_instance();
  Armed armed;
  if (fd_ < 0) {
    // Nothing can be watched: whatever list the slot holds is reported
    // changed.
    state_ = kChanged;
    return 0;
  }
  if (!arm_in_child(reader, since, &armed)) {
    log_line(LogKind::kWarning,
             "[watch] arming of slot %d failed; its list is reported changed",
             static_cast<int>(index_));
    renew_instance();
    state_ = kChanged;
    return 0;
  }
  state_ = list_key(armed.list) << 1;
  if (armed.changed || !armed.complete) state_.fetch_or(kChanged);
  for (const int wd : table_) {
    if (armed.watches.count(wd) == 0) inotify_rm_watch(fd_, wd);
  }
  table_ = std::move(armed.watches);
  return table_.size();
}

size_t FolderWatcher::rearm(const std::vector<std::string>& folders,
                            int64_t since, const std::string& list) {
  return rearm(
      [&](size_t) {
        FolderList found;
        found.list = list;
        found.folders = folders;
        return found;
      },
      since);
}

size_t FolderWatcher::watched() {
  std::lock_guard<std::mutex> lock(mutex_);
  return table_.size();
}

FolderWatcher* folder_watcher(size_t index) {
  // Made under the runtime's guard of function-local statics, destroyed at
  // exit.
  static FolderWatcher first(1);
  static FolderWatcher second(2);
  if (index == 1) return &first;
  if (index == 2) return &second;
  return nullptr;
}

void start_folder_watchers(const Identity& owner) {
  folder_watcher(1)->start(owner);
  folder_watcher(2)->start(owner);
}

void stop_folder_watchers() {
  folder_watcher(1)->request_stop();
  folder_watcher(2)->request_stop();
  folder_watcher(1)->stop();
  folder_watcher(2)->stop();
}

bool FolderWatcher::has_changed(const std::string& uuid) const {
  const uint64_t state = state_.load();
  const uint64_t armed = state >> 1;
  return (state & kChanged) != 0 && (armed == 0 || armed == list_key(uuid));
}

bool folder_changed(size_t index, const std::string& uuid) {
  const FolderWatcher* watcher = folder_watcher(index);
  return watcher != nullptr && watcher->has_changed(uuid);
}

}  // namespace orv
