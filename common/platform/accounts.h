// Look-ups in the account database (passwd and group, through NSS), with the
// re-entrant calls so that several threads may ask at once.
#ifndef ORV_COMMON_PLATFORM_ACCOUNTS_H_
#define ORV_COMMON_PLATFORM_ACCOUNTS_H_

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace orv::platform {

// One account of the passwd database.
struct Account {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;     // primary group
  std::string home;  // home folder; empty when the database gives none
};

// The most room one look-up is given (16 MiB): the entry of a group with a
// long member list needs a large buffer, but a database that keeps asking
// for more is not followed without end.
inline constexpr size_t kMaxLookupBuffer = size_t{1} << 24;

// The one growing buffer of every account look-up: runs the re-entrant call
// (getpwuid_r and kin) wrapped in `call`(buffer, size) with a buffer of
// `first_size` bytes that doubles while the call says it is too small, up to
// kMaxLookupBuffer. Too small is ERANGE as the call's result, or -1 with
// errno ERANGE, which some back ends of the account database answer instead.
// Returns the last result, a -1 given as the errno that came with it. What
// the call found lives in the buffer, which is gone when this returns: `call`
// copies out what it needs. Thread-safe as the wrapped call is.
int lookup_with_buffer(
    size_t first_size,
    const std::function<int(char* buffer, size_t size)>& call);

// Looks up the account named `name`. Returns false, leaving `account`
// untouched, when there is no such account or the database cannot answer.
bool lookup_account(const char* name, Account* account);

// Looks up the account with user id `uid`. Returns false, leaving `account`
// untouched and saying why in `reason`, when there is no such account or the
// database cannot answer.
bool lookup_account_by_uid(uid_t uid, Account* account, std::string* reason);

// Looks up the group named `name`. Returns false, leaving `gid` untouched,
// when there is no such group or the database cannot answer.
bool lookup_group(const char* name, gid_t* gid);

// The name of the group with id `gid`. Returns false, leaving `name`
// untouched, when there is no such group or the database cannot answer.
bool lookup_group_name(gid_t gid, std::string* name);

// Every group the account is in, its primary group among them, as the
// account database lists them (getgrouplist). Returns false, leaving `groups`
// untouched, when the database cannot answer.
bool account_groups(const Account& account, std::vector<gid_t>* groups);

// True when the account is in the group with id `gid`, as its primary group
// or as a supplementary one.
bool account_in_group(const Account& account, gid_t gid);

}  // namespace orv::platform

#endif  // ORV_COMMON_PLATFORM_ACCOUNTS_H_
