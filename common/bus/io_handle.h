// The one owner of a bus io buffer for C++ callers: frees it on every path
// out.
#ifndef ORV_COMMON_BUS_IO_HANDLE_H_
#define ORV_COMMON_BUS_IO_HANDLE_H_

#include <memory>

#include "common/bus/hvservice.h"

namespace orv {

struct IoFree {
  void operator()(hv_io_t* io) const { hv_io_free(io); }
};
// Owns an io buffer made by hv_io_create.
using IoHandle = std::unique_ptr<hv_io_t, IoFree>;

}  // namespace orv

#endif  // ORV_COMMON_BUS_IO_HANDLE_H_
