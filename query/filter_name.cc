#include "query/filter_name.h"

#include <fnmatch.h>
#include <locale.h>

#include <algorithm>

#include "query/file_type.h"

namespace orv {

bool StringFilter::equal(const Entry& entry) const {
  return entry.name == text_;
}

bool SubStringFilter::equal(const Entry& entry) const {
  return entry.name.find(text()) != std::string::npos;
}

namespace {

// The character type of UTF-8 alone (glibc builds "C.UTF-8" in), so that
// fnmatch reads names as characters and folds the case of every letter; the
// rest of the process's locale stays "C". Null when it cannot be made.
locale_t utf8_ctype() {
  static const locale_t kLocale =
      newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return kLocale;
}

}  // namespace

bool WildCardFilter::equal(const Entry& entry) const {
  // No FNM_PATHNAME or FNM_PERIOD: names are single path components, and a
  // search for "*rc" should find ".bashrc" when hidden names are shown.
  constexpr int kFlags = FNM_NOESCAPE | FNM_CASEFOLD;
  if (locale_t utf8 = utf8_ctype()) {
    locale_t previous = uselocale(utf8);
    int rc = fnmatch(text().c_str(), entry.name.c_str(), kFlags);
    uselocale(previous);
    // An error means a pattern or name that is not UTF-8: compare bytes.
    if (rc != -1) return rc == 0;
  }
  return fnmatch(text().c_str(), entry.name.c_str(), kFlags) == 0;
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
