// Filters on an entry's name and extension: exact, substring and wildcard
// names, hidden names, and file types by extension.
#ifndef ORV_QUERY_FILTER_NAME_H_
#define ORV_QUERY_FILTER_NAME_H_

#include <cstdint>
#include <string>
#include <vector>

#include "query/filter.h"

namespace orv {

// Accepts the name that equals `text` byte for byte.
class StringFilter : public Filter {
 public:
  explicit StringFilter(std::string text)
      : Filter(&Filter::equal), text_(std::move(text)) {}

  bool equal(const Entry& entry) const override;

  const std::string& text() const { return text_; }

 private:
  const std::string text_;
};

// Accepts a name in which `text` occurs (bytes, letter case kept).
class SubStringFilter : public StringFilter {
 public:
  using StringFilter::StringFilter;

  bool equal(const Entry& entry) const override;
};

// Accepts a name that the shell pattern `text` matches: `*`, `?` and bracket
// expressions, backslash taken literally, letters compared without case; a
// leading dot or a "/" is matched by wildcards like any other character. A
// pattern without wildcards thus finds the one name in any letter case.
// Pattern and name are read as UTF-8: a wildcard stands for a character and
// the case of every letter folds (Latin, Greek, Cyrillic...); a pattern or
// name that is not valid UTF-8 is compared byte for byte, folding A-Z only.
class WildCardFilter : public StringFilter {
 public:
  using StringFilter::StringFilter;

  bool equal(const Entry& entry) const override;
};

// With `hide` set, drops hidden names: the empty name, names starting with
// ".", and the special names the desktop systems leave in shares (compared
// with case). Without it, accepts everything.
class HiddenFilter : public Filter {
 public:
  explicit HiddenFilter(bool hide);

  bool not_equal(const Entry& entry) const override;

  bool hide() const { return hide_; }
  const std::vector<std::string>& special_names() const {
    return special_names_;
  }

 private:
  const bool hide_;
  const std::vector<std::string> special_names_;
};

// Accepts files by type. With a category bit as `mask`, an entry whose
// extension (any letter case) has exactly that category in the file type
// table. With kExtensionMask, an entry whose extension equals `extension`
// byte for byte. Folders have no extension, so only the empty `extension`
// finds them.
class MIMEFilter : public Filter {
 public:
  static constexpr uint32_t kExtensionMask = 256;

  explicit MIMEFilter(uint32_t mask) : MIMEFilter(mask, "") {}
  MIMEFilter(uint32_t mask, std::string extension)
      : Filter(&Filter::equal), mask_(mask), extension_(std::move(extension)) {}

  bool equal(const Entry& entry) const override;

  uint32_t mask() const { return mask_; }
  const std::string& extension() const { return extension_; }

 private:
  const uint32_t mask_;
  const std::string extension_;
};

}  // namespace orv

#endif  // ORV_QUERY_FILTER_NAME_H_
