// The folder under which the appliance mounts its shares. The probes judge
// request paths by text against it ("only files of the shares are tagged",
// "links into the auto-tiering area"); the paths are never looked up under
// the sandbox root, so tests point it into a folder of their own instead.
#ifndef ORV_FORMAT_SHARE_ROOT_H_
#define ORV_FORMAT_SHARE_ROOT_H_

#include <string>

namespace orv {

// "/share/", with its trailing "/".
const std::string& share_root();

// Makes `root` (ending in "/") the share folder of this process; not safe
// while probes run on other threads. Used by tests.
void set_share_root(const std::string& root);

}  // namespace orv

#endif  // ORV_FORMAT_SHARE_ROOT_H_
