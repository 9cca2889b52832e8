#include "entry/entry.h"

#include <stdlib.h>
#include <unistd.h>

#include <memory>

#include "common/platform/accounts.h"
#include "common/platform/tovix.h"

namespace orv {
namespace {

constexpr const char kNoName[] = "---";

// Whether `share` (a share's folder) holds `path`: the path is the share's
// folder itself or lies below it. A plain prefix test would let /share/Pub
// claim /share/Public/x. A share written with a trailing "/" still holds its
// own folder.
bool share_holds(std::string_view share, std::string_view path) {
  if (share.empty()) return false;  // A share without a folder holds nothing.
  while (share.size() > 1 && share.back() == '/') share.remove_suffix(1);
  if (!path.starts_with(share)) return false;
  return path.size() == share.size() || share.back() == '/' ||
         path[share.size()] == '/';
}

struct ShareListFree {
  void operator()(share_info_t* list) const { SMB_Free_Share_Info(list); }
};

}  // namespace

std::string join(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view part : parts) {
    if (part.empty()) continue;
    if (part.front() != '/') out += '/';
    out += part;
  }
  return out;
}

std::string extension_of(std::string_view name, mode_t mode) {
  if (S_ISDIR(mode)) return "";
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return "";
  return std::string(name.substr(dot + 1));
}

Entry Entry::folder_item(std::string path, std::string sub_path,
                         std::string alias) {
  Entry e;
  e.path = std::move(path);
  e.alias = std::move(alias);
  e.sub_path = std::move(sub_path);
  return e;
}

Entry Entry::from_item(const Entry& item, std::string name,
                       const struct stat& st) {
  Entry e;
  e.path = item.path;
  e.alias = item.alias;
  e.sub_path = item.sub_path;
  e.extension = extension_of(name, st.st_mode);
  e.name = std::move(name);
  e.stat = st;
  return e;
}

Entry Entry::from_path(std::string path, std::string name) {
  Entry e;
  e.path = std::move(path);
  e.name = std::move(name);
  if (::lstat(e.full_path().c_str(), &e.stat) != 0) e.stat = {};
  e.extension = extension_of(e.name, e.stat.st_mode);
  return e;
}

Entry Entry::from_cache(std::string path, std::string name,
                        const struct stat& st, std::string alias) {
  Entry e;
  e.path = std::move(path);
  e.alias = std::move(alias);
  e.extension = extension_of(name, st.st_mode);
  e.name = std::move(name);
  e.stat = st;
  return e;
}

std::string Entry::full_path() const { return join({path, sub_path, name}); }

std::string Entry::folder_path() const { return join({path, sub_path}); }

std::string Entry::alias_folder_path() const { return join({alias, sub_path}); }

std::string Entry::alias_full_path() const {
  return join({alias, sub_path, name});
}

bool Entry::stat_path(bool follow) {
  // Entries handed here are rebuilt from the cache or made from a folder and
  // a name, so path and name alone locate the file.
  std::string target = join({path, name});
  struct stat st;
  int rc = follow ? ::stat(target.c_str(), &st) : ::lstat(target.c_str(), &st);
  if (rc != 0) return false;
  stat = st;
  return true;
}

bool Entry::path_contains(const char* text) const {
  if (text == nullptr) return false;
  return full_path().find(text) != std::string::npos;
}

std::string owner_name(const Entry& entry) {
  platform::Account account;
  std::string reason;
  if (!platform::lookup_account_by_uid(entry.stat.st_uid, &account, &reason)) {
    return kNoName;
  }
  return account.name;
}

std::string group_name(const Entry& entry) {
  std::string name;
  if (!platform::lookup_group_name(entry.stat.st_gid, &name)) return kNoName;
  return name;
}

Entry resolve(const Entry& entry) {
  std::unique_ptr<char, decltype(&free)> real(
      realpath(entry.full_path().c_str(), nullptr), &free);
  if (!real) return entry;
  std::string_view text(real.get());
  size_t slash = text.rfind('/');
  // realpath answers an absolute path, so there is always a "/". Folder "" is
  // the root: join puts the "/" back in front of the name.
  if (slash == std::string_view::npos || text == "/") {
    return Entry::from_path(std::string(text), "");
  }
  return Entry::from_path(std::string(text.substr(0, slash)),
                          std::string(text.substr(slash + 1)));
}

int share_type(const Entry& entry) { return ShareTable().share_type(entry); }

ShareTable::ShareTable() {
  std::unique_ptr<share_info_t, ShareListFree> shares(SMB_Get_Share_Info());
  for (const share_info_t* s = shares.get(); s != nullptr; s = s->next) {
    if (s->path != nullptr) shares_.emplace_back(s->path, s->share_type);
  }
}

int ShareTable::share_type(const Entry& entry) const {
  if (shares_.empty()) return -1;
  const std::string full = entry.full_path();
  if (full.empty()) return -1;
  for (const auto& [path, type] : shares_) {
    if (share_holds(path, full)) return type;
  }
  return -1;
}

}  // namespace orv
