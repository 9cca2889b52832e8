// VetoFilter: the names that are never listed nor watched: "." and "..",
// and the name patterns of the file-sharing service's veto list.
#ifndef ORV_QUERY_FILTER_VETO_H_
#define ORV_QUERY_FILTER_VETO_H_

#include <string>
#include <vector>

#include "query/filter.h"

namespace orv {

// Not part of a query: `matches` always answers false. The walk and the
// folder watchers ask `is_vetoed` instead.
class VetoFilter : public Filter {
 public:
  // Reads the veto list now (key "veto files" of section "global" in
  // "/etc/config/tvk2.conf" under the sandbox root), so a changed list takes
  // effect with the next filter made. Patterns are separated by "/"; empty
  // ones are dropped. A missing file or key leaves "." and ".." only.
  VetoFilter();

  // Whether a pattern matches `name` as a shell pattern, letters compared
  // with case and backslash taken literally.
  bool is_vetoed(const char* name) const;
  bool is_vetoed(const std::string& name) const {
    return is_vetoed(name.c_str());
  }

  bool equal(const Entry& entry) const override;

  const std::vector<std::string>& patterns() const { return patterns_; }

 private:
  const std::vector<std::string> patterns_;
  // The patterns again, split into those without wildcards, compared as
  // they are, and the others.
  std::vector<std::string> literals_;
  std::vector<std::string> wildcards_;
};

}  // namespace orv

#endif  // ORV_QUERY_FILTER_VETO_H_
