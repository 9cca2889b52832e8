#include "query/filter_name.h"

#include <fnmatch.h>

#include <algorithm>

#include "query/file_type.h"

namespace orv {

bool StringFilter::equal(const Entry& entry) const {
  return entry.name == text_;
}

bool SubStringFilter::equal(const Entry& entry) const {
  return entry.name.find(text()) != std::string::npos;
}

bool WildCardFilter::equal(const Entry& entry) const {
  // No FNM_PATHNAME or FNM_PERIOD: names are single path components, and a
  // search for "*rc" should find ".bashrc" when hidden names are shown.
  return fnmatch(text().c_str(), entry.name.c_str(),
                 FNM_NOESCAPE | FNM_CASEFOLD) == 0;
}

HiddenFilter::HiddenFilter(bool hide)
    : Filter(&Filter::not_equal),
      hide_(hide),
      special_names_{"desktop.ini", "$Recycle.Bin",
                     "System Volume Information"} {}

bool HiddenFilter::not_equal(const Entry& entry) const {
  const std::string& name = entry.name;
  bool hidden = name.empty() || name.front() == '.' ||
                std::find(special_names_.begin(), special_names_.end(), name) !=
                    special_names_.end();
  return hidden ? !hide_ : true;
}

bool MIMEFilter::equal(const Entry& entry) const {
  if (mask_ == kExtensionMask) return entry.extension == extension_;
  return category_is(entry.extension, mask_);
}

}  // namespace orv
