// Fault tests that need a file system of their own: a small tmpfs mounted
// over a folder, in mount and process namespaces private to one test, so that
// nothing outside the test sees it and nothing stays mounted after it, even
// when the test fails or is killed.
#ifndef ORV_TESTS_PRIVATE_MOUNT_H_
#define ORV_TESTS_PRIVATE_MOUNT_H_

#include <cstddef>
#include <map>
#include <string>

#include "tests/sandbox.h"

namespace orv::test {

// A tmpfs of `bytes` bytes mounted over `folder` with the extra mount
// `options` ("uid=5001,mode=0700"); unmounted when dropped.
class TmpfsMount {
 public:
  TmpfsMount(const std::string& folder, size_t bytes,
             const std::string& options = "");
  ~TmpfsMount();
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;

  bool mounted() const { return mounted_; }

 private:
  std::string folder_;
  bool mounted_ = false;
};

// The test body's way into its namespaces. Called first in a test:
//
//   if (!inside_private_namespace(sandbox_)) return;
//
// The first call (the test as ctest runs it) makes the folder mount_folder()
// names in `sandbox`, runs this same test again in a mount namespace and a
// process namespace of its own, reports that run's failures as its own,
// checks that no process has anything mounted on that folder afterwards, and
// returns false. The run inside gets true and does the work. Every process of
// the inner run dies with it, and its mounts with them. Needs root; the test
// is skipped otherwise.
//
// With `user_limits` ({"max_inotify_instances", "2"}, ...: files of
// /proc/sys/user), the inner run also has a user namespace of its own, in
// which every id maps to itself and each user may spend only what the limits
// say.
bool inside_private_namespace(
    const Sandbox& sandbox,
    const std::map<std::string, std::string>& user_limits = {});

// The folder the inner run mounts over; empty outside a namespace run.
std::string mount_folder();

}  // namespace orv::test

#endif  // ORV_TESTS_PRIVATE_MOUNT_H_
