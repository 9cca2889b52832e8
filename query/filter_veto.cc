#include "query/filter_veto.h"

#include <fnmatch.h>

#include <string_view>

#include "common/platform/root.h"
#include "common/platform/tovix.h"

namespace orv {
namespace {

constexpr int kVetoListSize = 4096;

std::vector<std::string> read_patterns() {
  std::vector<std::string> patterns = {".", ".."};
  char buffer[kVetoListSize];
  std::string file = root_path("/etc/config/tvk2.conf");
  int length = Get_Private_Profile_String("global", "veto files", "", buffer,
                                          sizeof buffer, file.c_str());
  if (length < 0) length = 0;
  std::string_view list(buffer, static_cast<size_t>(length));
  // A list that fills the buffer was cut. Its last word may then be the head
  // of a longer pattern, say "*" of "*.bak", which would veto every name;
  // leaving it out lists names it should have hidden, a far smaller harm.
  if (length >= kVetoListSize - 1 && !list.ends_with('/')) {
    size_t slash = list.rfind('/');
    list = slash == std::string_view::npos ? std::string_view()
                                           : list.substr(0, slash);
  }
  while (!list.empty()) {
    size_t slash = list.find('/');
    std::string_view word = list.substr(0, slash);
    if (!word.empty()) patterns.emplace_back(word);
    if (slash == std::string_view::npos) break;
    list.remove_prefix(slash + 1);
  }
  return patterns;
}

// Whether `pattern` holds none of the characters a shell pattern gives a
// meaning to: it then matches exactly the one name equal to it, whatever the
// locale, which a byte comparison answers far quicker than fnmatch (the walk
// asks for every name it meets).
bool is_literal(const std::string& pattern) {
  return pattern.find_first_of("*?[") == std::string::npos;
}

}  // namespace

// Selects the inherited not_equal, so `matches` answers false whatever the
// entry: a veto is asked for by name, never as part of a query.
VetoFilter::VetoFilter()
    : Filter(&Filter::not_equal), patterns_(read_patterns()) {
  for (const std::string& pattern : patterns_) {
    (is_literal(pattern) ? literals_ : wildcards_).push_back(pattern);
  }
}

bool VetoFilter::is_vetoed(const char* name) const {
  for (const std::string& pattern : literals_) {
    if (pattern == name) return true;
  }
  for (const std::string& pattern : wildcards_) {
    if (fnmatch(pattern.c_str(), name, FNM_NOESCAPE) == 0) return true;
  }
  return false;
}

bool VetoFilter::equal(const Entry& entry) const {
  return is_vetoed(entry.name);
}

}  // namespace orv
