// Shares of tvk2.conf and snapshots of snapshot.conf.
#include <cstdlib>
#include <cstring>

#include "common/platform/ini.h"
#include "common/platform/root.h"
#include "common/platform/tovix.h"

using orv::platform::IniFile;
using orv::platform::IniSection;

namespace {

// A platform file; a missing or unreadable one reads as empty. `storage`
// keeps a file read outside a configuration snapshot alive.
const IniFile& load_config(const char* name, IniFile* storage) {
  const IniFile* file =
      orv::platform::read_config(orv::root_path(name), storage);
  return file != nullptr ? *file : *storage;
}

// The share sections: every section but [global] with a non-empty "path".
// A share without a folder has nothing to match paths against, so it is
// left out rather than taken to contain everything.
template <typename Visit>
void for_each_share(const IniFile& file, Visit visit) {
  for (const IniSection& section : file.sections()) {
    if (orv::platform::equal_ignoring_case(section.name, "global")) continue;
    const std::string* path = section.find("path");
    if (path == nullptr || path->empty()) continue;
    if (!visit(section, *path)) return;
  }
}

// Whether `path` lies on a share whose section has `flag` = yes.
int on_flagged_share(const char* path, const char* flag) {
  if (path == nullptr || *path == '\0') return 0;
  IniFile storage;
  const IniFile& file = load_config("/etc/config/tvk2.conf", &storage);
  int found = 0;
  for_each_share(file, [&](const IniSection& section, const std::string& base) {
    const std::string* value = section.find(flag);
    if (value != nullptr && orv::platform::is_yes(*value) &&
        orv::platform::path_within(path, base)) {
      found = 1;
    }
    return found == 0;
  });
  return found;
}

}  // namespace

extern "C" share_info_t* SMB_Get_Share_Info(void) {
  IniFile storage;
  const IniFile& file = load_config("/etc/config/tvk2.conf", &storage);
  share_info_t* head = nullptr;
  share_info_t** tail = &head;
  bool failed = false;
  for_each_share(file, [&](const IniSection& section, const std::string& path) {
    auto* share =
        static_cast<share_info_t*>(std::calloc(1, sizeof(share_info_t)));
    char* copy = strdup(path.c_str());
    if (share == nullptr || copy == nullptr) {
      std::free(share);
      std::free(copy);
      failed = true;
      return false;
    }
    share->path = copy;
    share->share_type = 0;
    const std::string* value = section.find("share type");
    if (value != nullptr) {
      orv::platform::leading_integer(*value, &share->share_type);
    }
    *tail = share;
    tail = &share->next;
    return true;
  });
  if (failed) {  // Half a list would misreport shares; give none.
    SMB_Free_Share_Info(head);
    return nullptr;
  }
  return head;
}

extern "C" void SMB_Free_Share_Info(share_info_t* list) {
  while (list != nullptr) {
    share_info_t* next = list->next;
    std::free(list->path);
    std::free(list);
    list = next;
  }
}

extern "C" int Is_ODD_Share(const char* path) {
  return on_flagged_share(path, "odd");
}

extern "C" int Is_MTP_Share(const char* path) {
  return on_flagged_share(path, "mtp");
}

extern "C" int NAS_Snapshot_Get_Id_Path(const char* path, int* volume_id,
                                        int* snapshot_id, char* mount_path,
                                        int length) {
  if (path == nullptr || *path == '\0') return -1;
  IniFile storage;
  const IniFile& file = load_config("/etc/config/snapshot.conf", &storage);
  for (const IniSection& section : file.sections()) {
    const std::string* base = section.find("path");
    const std::string* id = section.find("id");
    int snapshot = 0;
    // A section without a readable id names no snapshot a caller could use.
    if (base == nullptr || id == nullptr ||
        !orv::platform::leading_integer(*id, &snapshot) ||
        !orv::platform::path_within(path, *base)) {
      continue;
    }
    int volume = -1;
    const std::string* volume_text = section.find("volume");
    if (volume_text != nullptr) {
      orv::platform::leading_integer(*volume_text, &volume);
    }
    const std::string* mount = section.find("mount path");
    if (volume_id != nullptr) *volume_id = volume;
    if (snapshot_id != nullptr) *snapshot_id = snapshot;
    if (mount_path != nullptr && length > 0) {
      size_t size = mount == nullptr ? 0 : mount->size();
      if (size > static_cast<size_t>(length - 1)) size = length - 1;
      if (size > 0) std::memcpy(mount_path, mount->data(), size);
      mount_path[size] = '\0';
    }
    return 0;
  }
  return -1;
}
