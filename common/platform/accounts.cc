// Account database look-ups and the group membership question.
#include "common/platform/accounts.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/platform/tovix.h"

namespace orv::platform {

namespace {

// The most groups an account may be in (the kernel's NGROUPS_MAX).
constexpr size_t kMaxGroups = 65536;

size_t initial_buffer(int name) {
  long hint = sysconf(name);
  return hint > 0 ? static_cast<size_t>(hint) : 16384;
}

// Runs one re-entrant look-up, `call`(entry, buffer, size, found), in the
// growing buffer of lookup_with_buffer, and hands the entry found to `take`,
// which copies out what it needs. Returns 0 when an entry was found, else the
// call's error, ENOENT when there is simply none.
template <typename Entry, typename Call, typename Take>
int look_up(int size_hint, Call call, Take take) {
  bool taken = false;
  const int rc = lookup_with_buffer(
      initial_buffer(size_hint), [&](char* buffer, size_t size) {
        Entry entry;
        Entry* found = nullptr;
        const int result = call(&entry, buffer, size, &found);
        if (result == 0 && found != nullptr) {
          take(*found);
          taken = true;
        }
        return result;
      });
  return taken ? 0 : (rc != 0 ? rc : ENOENT);
}

void take_account(const struct passwd& entry, Account* account) {
  account->name = entry.pw_name;
  account->uid = entry.pw_uid;
  account->gid = entry.pw_gid;
  account->home = entry.pw_dir != nullptr ? entry.pw_dir : "";
}

}  // namespace

int lookup_with_buffer(
    size_t first_size,
    const std::function<int(char* buffer, size_t size)>& call) {
  std::vector<char> buffer(std::clamp<size_t>(first_size, 1, kMaxLookupBuffer));
  for (;;) {
    errno = 0;
    int rc = call(buffer.data(), buffer.size());
    if (rc == -1 && errno != 0) rc = errno;
    if (rc != ERANGE || buffer.size() >= kMaxLookupBuffer) return rc;
    buffer.resize(std::min(buffer.size() * 2, kMaxLookupBuffer));
  }
}

bool lookup_account(const char* name, Account* account) {
  if (name == nullptr || *name == '\0') return false;
  return look_up<struct passwd>(
             _SC_GETPW_R_SIZE_MAX,
             [&](struct passwd* entry, char* buffer, size_t size,
                 struct passwd** found) {
               return getpwnam_r(name, entry, buffer, size, found);
             },
             [&](const struct passwd& entry) {
               take_account(entry, account);
             }) == 0;
}

bool lookup_account_by_uid(uid_t uid, Account* account, std::string* reason) {
  int rc = look_up<struct passwd>(
      _SC_GETPW_R_SIZE_MAX,
      [&](struct passwd* entry, char* buffer, size_t size,
          struct passwd** found) {
        return getpwuid_r(uid, entry, buffer, size, found);
      },
      [&](const struct passwd& entry) { take_account(entry, account); });
  if (rc == 0) return true;
  *reason = rc != ENOENT ? std::string("getpwuid_r: ") + std::strerror(rc)
                         : "no account with uid " + std::to_string(uid);
  return false;
}

bool lookup_group(const char* name, gid_t* gid) {
  if (name == nullptr || *name == '\0') return false;
  return look_up<struct group>(
             _SC_GETGR_R_SIZE_MAX,
             [&](struct group* entry, char* buffer, size_t size,
                 struct group** found) {
               return getgrnam_r(name, entry, buffer, size, found);
             },
             [&](const struct group& entry) { *gid = entry.gr_gid; }) == 0;
}

bool lookup_group_name(gid_t gid, std::string* name) {
  return look_up<struct group>(
             _SC_GETGR_R_SIZE_MAX,
             [&](struct group* entry, char* buffer, size_t size,
                 struct group** found) {
               return getgrgid_r(gid, entry, buffer, size, found);
             },
             [&](const struct group& entry) { *name = entry.gr_name; }) == 0;
}

bool account_groups(const Account& account, std::vector<gid_t>* groups) {
  std::vector<gid_t> list(64);
  for (;;) {
    int count = static_cast<int>(list.size());
    int rc =
        getgrouplist(account.name.c_str(), account.gid, list.data(), &count);
    if (rc >= 0) {
      list.resize(static_cast<size_t>(count));
      *groups = std::move(list);
      return true;
    }
    // -1 means the list was too short; count now holds the room needed.
    // Guard against a database that keeps growing or answers nonsense.
    size_t needed = static_cast<size_t>(count > 0 ? count : 0);
    if (needed <= list.size() || needed > kMaxGroups) return false;
    list.resize(needed);
  }
}

bool account_in_group(const Account& account, gid_t gid) {
  if (account.gid == gid) return true;
  std::vector<gid_t> groups;
  if (!account_groups(account, &groups)) return false;
  for (gid_t member : groups) {
    if (member == gid) return true;
  }
  return false;
}

}  // namespace orv::platform

extern "C" int User_Belongs_To_Group(const char* user, const char* group) {
  orv::platform::Account account;
  gid_t gid = 0;
  if (!orv::platform::lookup_account(user, &account) ||
      !orv::platform::lookup_group(group, &gid)) {
    return 0;
  }
  return orv::platform::account_in_group(account, gid) ? 1 : 0;
}
