#include "query/filter.h"

namespace orv {

bool Filter::matches(const Entry& entry) const {
  if (comparison_ == nullptr) return false;
  return (this->*comparison_)(entry);
}

bool Filter::greater(const Entry&) const { return false; }
bool Filter::greater_equal(const Entry&) const { return false; }
bool Filter::equal(const Entry&) const { return false; }
bool Filter::not_equal(const Entry&) const { return false; }
bool Filter::less_equal(const Entry&) const { return false; }
bool Filter::less(const Entry&) const { return false; }

Filter::Comparison Filter::comparison_for(std::string_view op) {
  if (op == ">") return &Filter::greater;
  if (op == ">=") return &Filter::greater_equal;
  if (op == "==") return &Filter::equal;
  if (op == "!=") return &Filter::not_equal;
  if (op == "<=") return &Filter::less_equal;
  if (op == "<") return &Filter::less;
  return nullptr;
}

}  // namespace orv
