// An account's identity as a process holds it: user id, primary group and
// supplementary groups; and the switch of a whole process to one.
#ifndef ORV_COMMON_IDENTITY_H_
#define ORV_COMMON_IDENTITY_H_

#include <sys/types.h>

#include <vector>

namespace orv {

struct Identity {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;  // supplementary groups
};

// Whether the calling process already has exactly `identity`: real,
// effective and saved ids, and the same groups (the primary group counted
// once, whether or not the list names it).
bool has_identity(const Identity& identity);

// Makes `identity` the calling process's whole identity: supplementary
// groups, then real, effective and saved group ids, then real, effective and
// saved user ids, so that nothing the process runs can take its old ids
// back. A process that has it already changes nothing. Returns nullptr, or
// on failure the name of the call that failed ("setgroups", "setresgid",
// "setresuid") with errno set; the identity may then be partly switched.
// For single-threaded processes: the C library changes every thread.
const char* take_identity(const Identity& identity);

}  // namespace orv

#endif  // ORV_COMMON_IDENTITY_H_
