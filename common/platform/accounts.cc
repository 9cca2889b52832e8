// Account database look-ups and the group membership question.
#include "common/platform/accounts.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/platform/tovix.h"

namespace orv::platform {

namespace {

// Entries with long member lists need large buffers; the _r calls say so with
// ERANGE and we retry with twice the room, up to this much.
constexpr size_t kMaxLookupBuffer = 1 << 24;
// The most groups an account may be in (the kernel's NGROUPS_MAX).
constexpr size_t kMaxGroups = 65536;

size_t initial_buffer(int name) {
  long hint = sysconf(name);
  return hint > 0 ? static_cast<size_t>(hint) : 16384;
}

// Runs one re-entrant look-up, `call`(entry, buffer, size, found), with a
// buffer that doubles while the call answers ERANGE. Returns the call's
// result; `*found` is the entry, or null when there is none. What the entry
// points to lives only as long as this call: `take` copies it out.
template <typename Entry, typename Call, typename Take>
int look_up(int size_hint, Call call, Take take) {
  std::vector<char> buffer(initial_buffer(size_hint));
  for (;;) {
    Entry entry;
    Entry* found = nullptr;
    int rc = call(&entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < kMaxLookupBuffer) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (found != nullptr) take(*found);
    return found != nullptr ? 0 : (rc != 0 ? rc : ENOENT);
  }
}

void take_account(const struct passwd& entry, Account* account) {
  account->name = entry.pw_name;
  account->uid = entry.pw_uid;
  account->gid = entry.pw_gid;
}

}  // namespace

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
