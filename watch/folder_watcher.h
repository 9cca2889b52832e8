// FolderWatcher: watches, with inotify, the folders of the lists of one cache
// slot and remembers whether any of them changed since they were last put
// under watch, so that a page of a list can tell the client to refresh.
//
// The daemon has two, one per cache slot (1 and 2), started and stopped by
// its worker hooks. A "watch" request re-arms one from its slot's database on
// the daemon's worker pool; page requests read the change mark in their
// handler processes, from the copy of the watcher they were forked with.
//
// The daemon runs as root for the session user, who owns the lists and may
// rewrite the slot files. So a watcher spends the user's budget, not root's:
// its inotify instance is made by a thread acting as the user, and the kernel
// charges the instance and every watch on it to that user. And root never
// reads the list: each arming reads the folders, and adds their watches, in
// a child process that runs wholly as the user and reports back only the
// watch descriptors, within bounds of folders, bytes and time.
#ifndef ORV_WATCH_FOLDER_WATCHER_H_
#define ORV_WATCH_FOLDER_WATCHER_H_

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/identity.h"
#include "query/filter_veto.h"

namespace orv {

// What an arming reads of a slot, in its child process.
struct FolderList {
  std::string list;                  // the uuid of the list; may be empty
  std::vector<std::string> folders;  // its folders; repeats and "" allowed
  bool complete = true;  // false when the list has more folders than asked
};

// Reads the folders of a slot, at most `limit` distinct ones. Runs in the
// arming's child process, as the watcher's owner.
using FolderReader = std::function<FolderList(size_t limit)>;

class FolderWatcher {
 public:
  // IN_MODIFY | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE |
  // IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF, and IN_DONT_FOLLOW: a watched
  // path that is a link is watched as the link, never followed. Reads and
  // closes are not changes.
  static constexpr uint32_t kMask = 0x2000fc6;
  // How long the event thread waits for events before it looks whether it
  // should end.
  static constexpr int kPollMilliseconds = 500;
  // The most folders one arming watches. A list with more is not watched
  // beyond them, and reports itself changed: the kernel keeps about a
  // kilobyte per watch, and a user's watches are shared by all the slots of
  // all the user's sessions.
  static constexpr size_t kMaxFolders = 8192;
  // How long an arming's child may take before it is killed.
  static constexpr int kArmingMilliseconds = 10000;

  // `index` names the event thread ("orv-watch-1"); the watcher is not
  // running.
  explicit FolderWatcher(size_t index);
  // Stops the watcher when it runs. In a forked child, which has no event
  // thread, only closes the child's copy of the descriptor.
  ~FolderWatcher();
  FolderWatcher(const FolderWatcher&) = delete;
  FolderWatcher& operator=(const FolderWatcher&) = delete;

  // Opens the inotify descriptor (non-blocking) as `owner` (an owner of uid
  // 0 leaves the caller's identity as it is), clears the change mark, starts
  // the event thread and waits until it has read the veto list and waits for
  // events. Does nothing while running. Without a descriptor (the owner's
  // instances are spent) the watcher runs, tries again at each arming and
  // reports every list of its slot changed meanwhile; without a thread it
  // does not run.
  void start(const Identity& owner = Identity());
  // Asks the event thread to end, without waiting for it.
  void request_stop();
  // Asks the event thread to end, waits for it (it notices within
  // kPollMilliseconds), and closes the descriptor with every watch on it.
  // Does nothing when the watcher is not running.
  void stop();

  // Replaces the watched folders by those `reader` gives, read and watched in
  // a child process that has wholly the owner's identity: the events still
  // queued are dropped, the change mark cleared, each folder that can be
  // watched is watched (a folder that is missing, not the owner's to read or
  // the same as one before is skipped), and the watches of folders no longer
  // listed are removed. With `since` above 0 (nanoseconds of the real-time
  // clock), a watched folder whose status changed at or after `since` marks
  // the watcher changed: an entry made or removed there after that moment,
  // while the list was being made, is reported although no event of it will
  // come. The mark then answers for the list the folders belong to only.
  //
  // An arming that cannot watch every folder of its list (more than
  // kMaxFolders, the owner's watches spent, no instance, a child that fails
  // or takes over kArmingMilliseconds) marks the watcher changed at once:
  // the list cannot be told current. A child that failed may have left
  // watches of its own, so the instance is then replaced by a new one.
  // Returns how many folders are watched. Called on one thread at a time
  // (the worker pool's).
  size_t rearm(const FolderReader& reader, int64_t since);
  // The same for a fixed folder list of the list `list` (empty: the mark
  // answers for any list).
  size_t rearm(const std::vector<std::string>& folders, int64_t since,
               const std::string& list = std::string());

  // Whether a relevant change was seen since the last rearm (or start).
  // Reads no lock: a forked process may ask its copy.
  bool has_changed() const { return (state_.load() & kChanged) != 0; }
  // The same for the list `uuid`: false while the watcher is still armed for
  // another list. A list's first pages are often read before its own arming,
  // and the marks of the list it replaced are not its changes.
  bool has_changed(const std::string& uuid) const;
  bool running() const { return running_; }
  // The number of folders watched. Used by tests.
  size_t watched();

 private:
  struct Armed;
  static void* thread_main(void* argument);
  void run();
  // Makes the inotify instance as the owner, in place of the one there is
  // (whose watches all go with it). Called under mutex_ or before the event
  // thread starts.
  void renew_instance();
  // Runs `reader` and adds the watches in a child process; false when the
  // child did not report in time, or reported nonsense.
  bool arm_in_child(const FolderReader& reader, int64_t since, Armed* armed);

  // Constant after construction.
  const size_t index_;

  // The armed list's key (see list_key) above the change mark in bit 0: one
  // word, so that a forked process's copy never pairs one list's key with
  // another's mark. The mark is set by the event thread and by rearm; rearm
  // and start replace the whole word. Read without the lock. The thread runs
  // while running_ is true.
  static constexpr uint64_t kChanged = 1;
  std::atomic<uint64_t> state_{0};
  std::atomic<bool> running_{false};
  // Set by the event thread once it has started up; start waits for it.
  std::atomic<bool> ready_{false};

  // Written by start, stop and renew_instance under mutex_; the event thread
  // reads it for each poll. A renewal puts the new instance under the same
  // number, so that the thread never reads a number that was closed.
  std::atomic<int> fd_{-1};
  pthread_t thread_{};
  bool thread_started_ = false;
  pid_t process_ = 0;  // the process whose thread serves the watcher
  Identity owner_;     // whose budget the instance spends

  // Guarded by mutex_: the watch descriptors of the folders watched.
  std::mutex mutex_;
  std::set<int> table_;
};

// Whether the inotify event records in `bytes` report a change that marks a
// watcher: a record of a watch descriptor of `table` whose name (empty for
// an event of the folder itself) no pattern of `veto` matches, or a queue
// overflow, after which the kernel has dropped events unseen. A record cut
// off at the end is not read. Used by tests.
bool marks_change(std::string_view bytes, const std::set<int>& table,
                  const VetoFilter& veto);

// The watcher of cache slot `index` (1 or 2), made on first use; nullptr for
// any other index (the in-memory store of a single request has none).
FolderWatcher* folder_watcher(size_t index);

// The daemon's worker hooks: start both watchers for `owner`; stop both,
// asking both threads to end before waiting for either.
void start_folder_watchers(const Identity& owner = Identity());
void stop_folder_watchers();

// Whether the watcher of slot `index` has seen a change of the list `uuid`
// since it was armed for it; false for an index without a watcher. The cache
// store's change probe: it runs in handler processes, on the watchers they
// were forked with.
bool folder_changed(size_t index, const std::string& uuid);

}  // namespace orv

#endif  // ORV_WATCH_FOLDER_WATCHER_H_
