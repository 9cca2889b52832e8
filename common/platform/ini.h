// INI files as the platform keeps its configuration: "[section]" lines,
// "key = value" lines and comment lines. The profile reader, the session
// store, the share and the snapshot tables all read through this one parser
// so that they agree on what a line means.
#ifndef ORV_COMMON_PLATFORM_INI_H_
#define ORV_COMMON_PLATFORM_INI_H_

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace orv::platform {

// One section of an INI file: its name as written and its key/value pairs in
// file order. A section that appears twice is merged into its first
// appearance, so the first matching line of the file still wins.
struct IniSection {
  std::string name;
  std::vector<std::pair<std::string, std::string>> entries;

  // The value of the first key equal to `key` ignoring ASCII letter case, or
  // nullptr when there is none.
  const std::string* find(std::string_view key) const;
};

// A parsed INI file. Immutable after parsing, so readers on several threads
// may share one.
class IniFile {
 public:
  // Parses `text`. Lines are trimmed of white space; empty lines and lines
  // starting with ";" or "#" are skipped; "[name]" opens a section (anything
  // after the "]" is ignored); "key = value" is split at the first "=", with
  // key and value trimmed. Lines before the first section, lines without "=",
  // lines with an empty key and lines under a malformed "[" header belong to
  // no section and are dropped.
  static IniFile parse(std::string_view text);

  // Reads and parses the regular file at `path`. Returns false, leaving `out`
  // untouched, when it is missing, not a regular file or unreadable.
  static bool load(const std::string& path, IniFile* out);

  // Sections in the order of their first appearance.
  const std::vector<IniSection>& sections() const { return sections_; }
  // The first section named `name` ignoring letter case, or nullptr.
  const IniSection* section(std::string_view name) const;
  // The value of `key` in `section`, or nullptr when either is missing.
  const std::string* find(std::string_view section, std::string_view key) const;

 private:
  std::vector<IniSection> sections_;
};

// A view of the configuration files that holds still while it lives: the
// first read of a path through read_config parses the file, later reads
// reuse that parse, and changes made to the file meanwhile are not seen. For
// work that asks the configuration the same questions many times in a short
// span, such as formatting one page of entries. Reads on a thread go to the
// newest snapshot made on that thread that is still alive. A snapshot may be
// destroyed on another thread, but not while the thread that made it reads
// the configuration, nor after that thread has ended.
class ConfigSnapshot {
 public:
  ConfigSnapshot();
  ~ConfigSnapshot();
  ConfigSnapshot(const ConfigSnapshot&) = delete;
  ConfigSnapshot& operator=(const ConfigSnapshot&) = delete;

 private:
  friend const IniFile* read_config(const std::string& path, IniFile* storage);
  // The live snapshots of the thread that made this one.
  std::vector<ConfigSnapshot*>* const thread_snapshots_;
  // By path; a null file records one that could not be read.
  std::unordered_map<std::string, std::unique_ptr<IniFile>> files_;
};

// The parsed configuration file at `path`, or nullptr when it is missing, not
// a regular file or unreadable. Under a ConfigSnapshot of the calling thread,
// the outcome of that snapshot's first read of `path`; otherwise the file is
// read now into `storage`, which the result then points to.
const IniFile* read_config(const std::string& path, IniFile* storage);

// True when `a` and `b` are equal ignoring ASCII letter case (independent of
// the process locale).
bool equal_ignoring_case(std::string_view a, std::string_view b);

// Reads the leading decimal number of `text` (an optional sign, then digits;
// anything after them is ignored, such as a trailing "; comment"). Returns
// false, leaving `value` untouched, when there are no digits or the number
// does not fit.
bool leading_integer(std::string_view text, long long* value);
bool leading_integer(std::string_view text, int* value);

// True when the first word of `text` is "yes", "true" or "1" (letter case
// ignored): the way configuration files spell a switch that is on.
bool is_yes(std::string_view text);

// Reads the whole regular file at `path` into `text`, opened with the extra
// open(2) `flags` (e.g. O_NOFOLLOW). Files larger than `limit` bytes and
// anything that is not a regular file are refused, so that a FIFO or a device
// can never block or flood a reader. Returns false on any failure, with errno
// describing it and `text` untouched.
bool read_regular_file(const std::string& path, int flags, size_t limit,
                       std::string* text);

// True when `path` is `base` or lies inside it: `base` (trailing "/" ignored)
// followed by "/" or the end. An empty `base` contains nothing; "/" contains
// every absolute path.
bool path_within(std::string_view path, std::string_view base);

}  // namespace orv::platform

#endif  // ORV_COMMON_PLATFORM_INI_H_
