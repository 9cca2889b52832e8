#include "format/share_root.h"

namespace orv {

namespace {

std::string& current_root() {
  static std::string root = "/share/";
  return root;
}

}  // namespace

const std::string& share_root() { return current_root(); }

void set_share_root(const std::string& root) { current_root() = root; }

}  // namespace orv
