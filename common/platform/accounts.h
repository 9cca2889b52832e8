// Look-ups in the account database (passwd and group, through NSS), with the
// re-entrant calls so that several threads may ask at once.
#ifndef ORV_COMMON_PLATFORM_ACCOUNTS_H_
#define ORV_COMMON_PLATFORM_ACCOUNTS_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace orv::platform {

// One account of the passwd database.
struct Account {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;  // primary group
};

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

// Every group the account is in, its primary group among them, as the
// account database lists them (getgrouplist). Returns false, leaving `groups`
// untouched, when the database cannot answer.
bool account_groups(const Account& account, std::vector<gid_t>* groups);

// True when the account is in the group with id `gid`, as its primary group
// or as a supplementary one.
bool account_in_group(const Account& account, gid_t gid);

}  // namespace orv::platform

#endif  // ORV_COMMON_PLATFORM_ACCOUNTS_H_
