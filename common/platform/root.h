// The sandbox root: every fixed platform path (configuration files, pid files,
// the bus directory, the session store, external tools) is looked up under
// the environment variable ORV_ROOT when it is set and not empty. Unset or
// empty means "/", the appliance itself. This is the only place that glues a
// path to the root; paths that arrive in requests never go through it.
#ifndef ORV_COMMON_PLATFORM_ROOT_H_
#define ORV_COMMON_PLATFORM_ROOT_H_

#include <string>

namespace orv {

// Returns `path` (absolute, as the appliance names it) under the current
// ORV_ROOT, e.g. "/etc/config/tvk2.conf" -> "$ORV_ROOT/etc/config/tvk2.conf".
// Reads the environment on every call, so tests may change it.
std::string root_path(const std::string& path);

}  // namespace orv

#endif  // ORV_COMMON_PLATFORM_ROOT_H_
