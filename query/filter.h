// Filter: decides whether one Entry belongs to a result. The query holds a
// list of filters (shared, never changed after construction); the folder walk
// keeps an entry only when every filter's `matches` accepts it.
//
// Each class has six comparison operations; its constructor selects the one
// that `matches` runs, and callers only ever call `matches`. The concrete
// classes live in filter_name.h (name, extension and hidden-name tests),
// filter_stat.h (size, date, owner, group, file kind) and filter_veto.h.
#ifndef ORV_QUERY_FILTER_H_
#define ORV_QUERY_FILTER_H_

#include <memory>
#include <string_view>
#include <vector>

#include "entry/entry.h"

namespace orv {

class Filter {
 public:
  // One of the six comparisons below, called virtually, so a pointer to
  // Filter::equal runs the object's own `equal`.
  using Comparison = bool (Filter::*)(const Entry&) const;

  virtual ~Filter() = default;

  Filter(const Filter&) = delete;
  Filter& operator=(const Filter&) = delete;

  // Runs the comparison selected at construction; false when none was.
  virtual bool matches(const Entry& entry) const final;

  // The comparisons, in this order; each answers false unless a class
  // gives it a body.
  virtual bool greater(const Entry& entry) const;
  virtual bool greater_equal(const Entry& entry) const;
  virtual bool equal(const Entry& entry) const;
  virtual bool not_equal(const Entry& entry) const;
  virtual bool less_equal(const Entry& entry) const;
  virtual bool less(const Entry& entry) const;

  // The comparison `matches` runs, or nullptr. Used by tests of the query
  // parser to tell which operator a filter was made with.
  Comparison comparison() const { return comparison_; }

 protected:
  explicit Filter(Comparison comparison) : comparison_(comparison) {}

  // The comparison named by an operator text: ">" greater, ">=" greater_equal,
  // "==" equal, "!=" not_equal, "<=" less_equal, "<" less; nullptr for any
  // other text, which makes the filter accept nothing.
  static Comparison comparison_for(std::string_view op);

 private:
  const Comparison comparison_;  // Constant after construction.
};

using FilterPtr = std::shared_ptr<const Filter>;
using FilterList = std::vector<FilterPtr>;

}  // namespace orv

#endif  // ORV_QUERY_FILTER_H_
