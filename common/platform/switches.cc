// The switches of platform.conf, the access code and the media library's
// transcoding mark.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/platform/root.h"
#include "common/platform/tovix.h"

namespace {

// Reads one switch; every switch is off when the file or key is missing.
// Callers print the answer as a flag, so it is always 0 or 1.
int read_switch(const char* section, const char* key) {
  std::string file = orv::root_path("/etc/config/platform.conf");
  return Get_Private_Profile_Integer(section, key, 0, file.c_str()) != 0 ? 1
                                                                         : 0;
}

}  // namespace

extern "C" int Is_ACL_Enabled(void) { return read_switch("ACL", "enable"); }

extern "C" int Is_RichACL_Enabled(void) {
  return read_switch("ACL", "rich acl");
}

extern "C" int Is_Win_ACL_Enabled(void) {
  return read_switch("ACL", "win acl");
}

extern "C" int Is_Win_ACL_Supported(void) {
  return read_switch("ACL", "win acl supported");
}

extern "C" int Is_MediaLib_Enabled(void) {
  return read_switch("MediaLib", "enable");
}

extern "C" int Is_Realtime_Transcoding_Support(void) {
  return read_switch("MediaLib", "realtime transcoding");
}

extern "C" int Get_ACL_User_Group_Security_For_Share(const char* /*user*/,
                                                     const char* path) {
  if (path == nullptr || *path == '\0') return -1;
  struct stat st;
  if (stat(path, &st) != 0) {
    // A folder on the way that the caller may not search hides what lies
    // below it: the caller has no access there, but the path may well exist.
    return errno == EACCES ? 0 : -1;
  }
  // AT_EACCESS: handlers ask after switching only their effective identity,
  // so the real ids (root's) must not answer for them.
  int code = 0;
  if (faccessat(AT_FDCWD, path, R_OK, AT_EACCESS) == 0) code |= 4;
  if (faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) == 0) code |= 2;
  if (faccessat(AT_FDCWD, path, X_OK, AT_EACCESS) == 0) code |= 1;
  return code;
}

extern "C" int MediaLib_Transcoding_CheckFile(int /*kind*/, const char* path) {
  if (path == nullptr || *path == '\0' || !Is_MediaLib_Enabled()) return 0;
  char value[8];
  ssize_t size =
      getxattr(path, "user.medialib.transcoded", value, sizeof value);
  // Some writers store the terminating NUL with the value; both mean "1".
  if (size == 1) return value[0] == '1' ? 1 : 0;
  if (size == 2) return value[0] == '1' && value[1] == '\0' ? 1 : 0;
  return 0;
}
