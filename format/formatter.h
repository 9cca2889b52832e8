// The entry formatter: turns one Entry into the JSON object that the web file
// manager shows for a file or folder, and adds the page-level switches to a
// finished page.
#ifndef ORV_FORMAT_FORMATTER_H_
#define ORV_FORMAT_FORMATTER_H_

#include <jansson.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <unordered_map>

#include "common/json.h"
#include "common/platform/ini.h"
#include "entry/entry.h"

namespace orv {

// The formatter family. Objects are held in shared ownership and used by one
// thread of one request process.
class Formatter {
 public:
  Formatter() = default;
  Formatter(const Formatter&) = delete;
  Formatter& operator=(const Formatter&) = delete;

  // A new object describing `entry`. Never fails: a fact that cannot be
  // found leaves its member at its default.
  virtual Json format_entry(const Entry& entry) = 0;
  // Adds the formatter's members to the finished page object `page`,
  // replacing members of the same names. Does nothing by default.
  virtual void add_page_members(json_t* page);

  virtual ~Formatter() = default;
};

// The formatter of the file manager's listing: file facts, media facts
// (transcoded copies, HEVC, 360-degree projection, thumbnails), access code,
// cloud-cache state and snapshot identity of each entry.
//
// Probing may run external tools per entry; entries that cannot profit are
// exempt (ISO images and non-videos from HEVC probing, photos outside the
// shares and names whose extension is not exactly lower case from projection
// probing). Owner and group look-ups use process-wide buffers, so two
// formatters must not run in parallel in one process.
//
// A formatter describes one page, formatted in moments: it reads each
// configuration file once and each account name once, looks once per folder
// whether the folder holds thumbnails and audio copies, and does not see
// changes made to any of them while it lives. It is made, used and dropped
// on one thread.
class LegacyFormatter : public Formatter {
 public:
  // `user_name` is the session user's name, for the per-user access query;
  // `service_name` tags the formatter's log lines.
  LegacyFormatter(std::string user_name, std::string service_name);

  Json format_entry(const Entry& entry) override;
  // "has_h265", "medialib", "rtt_support", "medialib_enable",
  // "is_acl_enable", "is_winacl_enable", "is_winacl_support".
  void add_page_members(json_t* page) override;

  // 1 once any entry formatted so far held an HEVC stream; never reset.
  int has_h265() const { return has_h265_; }

 private:
  // Constant after construction.
  const std::string user_name_;
  const std::string service_name_;

  // Whether a folder holds the folders that its entries' thumbnails and
  // transcoded copies ("<folder>/.@__thumb") and audio copies
  // ("<folder>/Video2audio") would be in. Without them none of its entries
  // has any, and the per-entry looks are spared.
  struct FolderLooks {
    bool thumbnails = false;
    bool audio = false;
  };
  const FolderLooks& folder_looks(const std::string& folder);

  int has_h265_ = 0;

  // What every entry of the page asks again.
  platform::ConfigSnapshot config_;
  std::unordered_map<uid_t, std::string> owners_;
  std::unordered_map<gid_t, std::string> groups_;
  std::unordered_map<std::string, FolderLooks> folders_;
  std::optional<ShareTable> shares_;  // made at the first entry
};

// Whether a thumbnail "<path>/.@__thumb/s100<name>" exists for a media or
// document extension; false without touching the disk for other extensions.
bool has_thumbnail(const Entry& entry);

}  // namespace orv

#endif  // ORV_FORMAT_FORMATTER_H_
