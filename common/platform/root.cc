#include "common/platform/root.h"

#include <cstdlib>

namespace orv {

std::string root_path(const std::string& path) {
  const char* root = std::getenv("ORV_ROOT");
  if (root == nullptr || *root == '\0') return path;
  std::string result(root);
  while (!result.empty() && result.back() == '/') result.pop_back();
  if (result.empty()) return path;  // ORV_ROOT=/ is the appliance itself.
  if (path.empty() || path[0] != '/') result += '/';
  result += path;
  return result;
}

}  // namespace orv
