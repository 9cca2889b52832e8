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

// Whether the calling process's effective identity may access `path` in
// `mode`; errno tells why not. AT_EACCESS: handlers switch only their
// effective identity, so the real ids (root's) must not answer for them. A
// folder on the way that the caller may not search answers EACCES, as for a
// file it may not use: the caller has no access there, but the path may well
// exist.
bool allowed(const char* path, int mode) {
  return faccessat(AT_FDCWD, path, mode, AT_EACCESS) == 0;
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
  // A listing page asks this for every entry, so it makes three calls and no
  // more: a refusal tells a missing or unreachable path from one the caller
  // may merely not use in that way.
  struct Question {
    int mode;
    int bit;
  };
  int code = 0;
  for (const Question question :
       {Question{R_OK, 4}, Question{W_OK, 2}, Question{X_OK, 1}}) {
    if (allowed(path, question.mode)) {
      code |= question.bit;
    } else if (errno != EACCES && errno != EPERM && errno != EROFS &&
               errno != ETXTBSY) {
      return -1;  // No such file, or no path to one.
    }
  }
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
