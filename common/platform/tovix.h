// The platform libraries: configuration files, login sessions, group
// membership, access control switches and codes, shares, snapshots and the
// media library, backed by files under the sandbox root (see root.h).
//
// The functions are C-callable and keep the names and argument order that the
// programs of the appliance use. Every function is safe to call from several
// threads at once.
#ifndef ORV_COMMON_PLATFORM_TOVIX_H_
#define ORV_COMMON_PLATFORM_TOVIX_H_

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

// ---- configuration ---------------------------------------------------------

// Reads `key` of `section` from the INI file `file` (a real path: callers put
// fixed platform paths through orv::root_path). Sections and keys match
// ignoring letter case; the first match wins; lines starting with ";" or "#"
// are comments; white space around keys and values is trimmed. Copies the
// value, or `default_value` when the file, section or key is missing, into
// `buffer`, cut to size - 1 bytes and always NUL-terminated (nothing is written
// when size is 0). Returns the length copied.
int Get_Private_Profile_String(const char* section, const char* key,
                               const char* default_value, char* buffer,
                               int size, const char* file);

// Like the above for an integer value (leading decimal number of the value);
// `default_value` when missing or not a number.
int Get_Private_Profile_Integer(const char* section, const char* key,
                                int default_value, const char* file);

// ---- sessions and groups ---------------------------------------------------

#define TOVIX_USER_LEN 256

// What the session store knows of a live login.
typedef struct tovix_session {
  char user[TOVIX_USER_LEN];  // the session user's name
  uid_t uid;                  // the user's uid from the account database
  gid_t gid;                  // the user's primary group
  long long expire;           // epoch seconds; 0 for no expiry
} tovix_session_t;

// Returns 0 and fills `record` when `sid` is a live login: 1 to 64 characters
// of A-Za-z0-9, a regular file in the session store (not a symbolic link),
// not expired (an "expire" that is not a number counts as expired), and a
// user that exists. Any other id is refused (-1) without touching the file
// system; on failure `record` is left as it was. `flags` is not used.
int auth_get_session_ex(const char* sid, int flags, tovix_session_t* record);
int auth_get_session(const char* sid, int flags, tovix_session_t* record);

// True when `sid` has the form of a session id (1 to 64 of A-Za-z0-9).
int auth_valid_session_id(const char* sid);

// Non-zero when `user` belongs to `group` (primary or supplementary).
int User_Belongs_To_Group(const char* user, const char* group);

// ---- access control --------------------------------------------------------

// Switches of "/etc/config/platform.conf": 1 when the key holds a non-zero
// number, 0 when it is zero, absent or not a number.
int Is_ACL_Enabled(void);
int Is_RichACL_Enabled(void);
int Is_Win_ACL_Enabled(void);
int Is_Win_ACL_Supported(void);

// The access that the calling process's effective identity has to `path`, as
// bits: 4 read, 2 write, 1 search/execute; -1 when the path does not exist;
// 0 when a folder on the way may not be searched (the caller can reach
// nothing there, whether or not the path exists). `user` is not used:
// handlers call this after switching identity.
int Get_ACL_User_Group_Security_For_Share(const char* user, const char* path);

// ---- shares and snapshots --------------------------------------------------

// One share of "/etc/config/tvk2.conf".
typedef struct share_info {
  char* path;               // the share's folder
  struct share_info* next;  // the next share in file order, or NULL
  int share_type;           // "share type", 0 when absent
} share_info_t;

// Every section other than [global] with a non-empty "path" key, in file
// order; NULL when there is none (or memory ran out). Free with
// SMB_Free_Share_Info.
share_info_t* SMB_Get_Share_Info(void);
void SMB_Free_Share_Info(share_info_t* list);

// Non-zero when `path` is a share's path or lies inside it (the share path
// followed by "/" or the end; a trailing "/" of the share path is ignored)
// and the share's section says "odd = yes" / "mtp = yes" ("true" and "1"
// count as yes).
int Is_ODD_Share(const char* path);
int Is_MTP_Share(const char* path);

// For a path equal to or inside a snapshot's "path" in
// "/etc/config/snapshot.conf": fills the volume id (-1 when the section has
// none), the snapshot id and the mount path (cut to `length` - 1 bytes,
// NUL-terminated; "" when the section has none) and returns 0. The first such
// section in file order answers; sections without a numeric "id" are skipped.
// Otherwise leaves the outputs as they were and returns -1.
int NAS_Snapshot_Get_Id_Path(const char* path, int* volume_id, int* snapshot_id,
                             char* mount_path, int length);

// ---- media library ---------------------------------------------------------

int Is_MediaLib_Enabled(void);
int Is_Realtime_Transcoding_Support(void);

// Non-zero when the media library is enabled and `path` carries the extended
// attribute "user.medialib.transcoded" with the value "1" (a stored
// terminating NUL is allowed). `kind` is 2 for video and otherwise not used.
int MediaLib_Transcoding_CheckFile(int kind, const char* path);

#ifdef __cplusplus
}
#endif

#endif  // ORV_COMMON_PLATFORM_TOVIX_H_
