// Entry: one file or folder as the search carries it from the folder walk
// through filters, clusters, sorters, the cache and the formatter.
#ifndef ORV_ENTRY_ENTRY_H_
#define ORV_ENTRY_ENTRY_H_

#include <sys/stat.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orv {

// Joins path parts: empty parts are skipped, a part starting with "/" is
// appended as it is, any other part after a "/". Nothing is normalised.
std::string join(std::initializer_list<std::string_view> parts);

// The extension of `name` for a file of `mode`: "" for a folder, for a name
// without "." or whose only "." is its first character; else what follows the
// last ".", letter case kept.
std::string extension_of(std::string_view name, mode_t mode);

// A value type: copied freely, owns its texts.
struct Entry {
  std::string path;       // root folder of the search (or the own folder)
  std::string alias;      // display alias of the root folder, "" for none
  std::string sub_path;   // "" or one or more "/level" parts below `path`
  std::string name;       // directory entry name; "" in a folder item
  std::string cluster;    // cluster key, "" for none
  std::string extension;  // see extension_of
  struct stat stat {};    // lstat record; all zero in a folder item

  // A folder item: a root of the query or a sub-folder queued by the walk.
  static Entry folder_item(std::string path, std::string sub_path,
                           std::string alias);
  // An entry found in folder item `item`.
  static Entry from_item(const Entry& item, std::string name,
                         const struct stat& st);
  // An entry of `name` in folder `path`, with lstat of its full path (all
  // zero when that fails).
  static Entry from_path(std::string path, std::string name);
  // An entry rebuilt from the cache.
  static Entry from_cache(std::string path, std::string name,
                          const struct stat& st, std::string alias);

  std::string full_path() const;          // join(path, sub_path, name)
  std::string folder_path() const;        // join(path, sub_path)
  std::string alias_folder_path() const;  // join(alias, sub_path)
  std::string alias_full_path() const;    // join(alias, sub_path, name)

  // stat (follow) or lstat of join(path, name) into `stat`; true on success.
  // On failure `stat` is unchanged.
  bool stat_path(bool follow);
  // Whether `text` occurs in full_path(); false for a null text.
  bool path_contains(const char* text) const;
};

// User name of the stat uid; "---" when there is no such account or the
// account database cannot be read. Safe to call from any thread.
std::string owner_name(const Entry& entry);
// Group name of the stat gid; "---" as above. Large groups are read whole.
// Safe to call from any thread.
std::string group_name(const Entry& entry);

// The entry of realpath(full_path), freshly lstat'ed; a copy when the path
// cannot be resolved.
Entry resolve(const Entry& entry);

// The share type of the first share (in configuration order) that holds
// full_path(): the path is the share's folder or continues below it with "/"
// (so /share/Pub does not hold /share/Public/x). -1 when no share holds it,
// when full_path() is empty or there are no shares.
int share_type(const Entry& entry);

// The shares of the configuration, read once when made: share_type() for a
// caller that asks it of many entries, such as a page's formatter.
class ShareTable {
 public:
  ShareTable();
  int share_type(const Entry& entry) const;

 private:
  // Each share's folder and type, in configuration order.
  std::vector<std::pair<std::string, int>> shares_;
};

}  // namespace orv

#endif  // ORV_ENTRY_ENTRY_H_
