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

}  // namespace

bool lookup_account(const char* name, Account* account) {
  if (name == nullptr || *name == '\0') return false;
  std::vector<char> buffer(initial_buffer(_SC_GETPW_R_SIZE_MAX));
  for (;;) {
    struct passwd entry;
    struct passwd* found = nullptr;
    int rc = getpwnam_r(name, &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < kMaxLookupBuffer) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr) return false;
    account->name = entry.pw_name;
    account->uid = entry.pw_uid;
    account->gid = entry.pw_gid;
    return true;
  }
}

bool lookup_account_by_uid(uid_t uid, Account* account, std::string* reason) {
  std::vector<char> buffer(initial_buffer(_SC_GETPW_R_SIZE_MAX));
  for (;;) {
    struct passwd entry;
    struct passwd* found = nullptr;
    int rc = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < kMaxLookupBuffer) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (found == nullptr) {
      *reason = rc != 0 ? std::string("getpwuid_r: ") + std::strerror(rc)
                        : "no account with uid " + std::to_string(uid);
      return false;
    }
    account->name = entry.pw_name;
    account->uid = entry.pw_uid;
    account->gid = entry.pw_gid;
    return true;
  }
}

bool lookup_group(const char* name, gid_t* gid) {
  if (name == nullptr || *name == '\0') return false;
  std::vector<char> buffer(initial_buffer(_SC_GETGR_R_SIZE_MAX));
  for (;;) {
    struct group entry;
    struct group* found = nullptr;
    int rc = getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < kMaxLookupBuffer) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr) return false;
    *gid = entry.gr_gid;
    return true;
  }
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
