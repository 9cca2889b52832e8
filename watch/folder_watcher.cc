#include "watch/folder_watcher.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <unordered_set>
#include <utility>

#include "common/fork_gate.h"
#include "common/thread.h"

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

bool marks_change(std::string_view bytes,
                  const std::map<int, std::string>& table,
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
  if (owner_ == getpid()) {
    stop();
  } else if (fd_ >= 0) {
    close(fd_);
  }
}

void FolderWatcher::start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_) return;
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
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
  owner_ = getpid();
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
    pollfd ready{fd_, POLLIN, 0};
    const int count = poll(&ready, 1, kPollMilliseconds);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 || (ready.revents & (POLLERR | POLLNVAL)) != 0) return;
    if (count == 0 || (ready.revents & POLLIN) == 0) continue;
    ssize_t got;
    while ((got = read(fd_, buffer, sizeof(buffer))) > 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (marks_change(std::string_view(buffer, static_cast<size_t>(got)),
                       table_, *veto)) {
        state_.fetch_or(kChanged);
      }
    }
  }
}

size_t FolderWatcher::rearm(const std::vector<std::string>& folders,
                            int64_t since, const std::string& list) {
  std::lock_guard<std::mutex> lock(mutex_);
  // The events still queued came before this arming and are not its
  // changes. Dropped while the lock keeps the event thread from looking at
  // any, and before the mark is cleared, so that every event of the new
  // arming counts.
  alignas(inotify_event) char stale[kReadSize];
  while (fd_ >= 0 && read(fd_, stale, sizeof(stale)) > 0) {
  }
  state_ = list_key(list) << 1;
  // A folder watched already keeps its watch, which adding it again
  // returns: making a watch costs several times what finding one does, and
  // a list is mostly re-armed on the folders it had.
  std::map<int, std::string> next;
  // A list holds one run per folder and sort order; in a list sorted by
  // size or date runs of the same folder repeat, often thousands of times.
  std::unordered_set<std::string_view> tried;
  tried.reserve(folders.size());
  for (const std::string& folder : folders) {
    if (folder.empty() || !tried.insert(folder).second) continue;
    const int wd = inotify_add_watch(fd_, folder.c_str(), kMask);
    if (wd < 0) continue;  // Missing or not watchable: skipped.
    // Two paths of one folder share a descriptor, which keeps the first.
    if (!next.try_emplace(wd, folder).second || since <= 0) continue;
    struct stat st;
    if (fstatat(AT_FDCWD, folder.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        nanoseconds(st.st_ctim) >= since) {
      state_.fetch_or(kChanged);
    }
  }
  for (const auto& [wd, path] : table_) {
    if (next.count(wd) == 0) inotify_rm_watch(fd_, wd);
  }
  table_ = std::move(next);
  return table_.size();
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

void start_folder_watchers() {
  folder_watcher(1)->start();
  folder_watcher(2)->start();
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
