// Helpers of the bus unit tests: a temporary ORV_ROOT, a service loop on a
// thread of its own, and polling for a condition.
#ifndef ORV_COMMON_BUS_TEST_UTIL_H_
#define ORV_COMMON_BUS_TEST_UTIL_H_

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "common/bus/hvservice.h"

namespace orv::bus::test {

// A fresh ORV_ROOT for the lifetime of the object.
class TempRoot {
 public:
  TempRoot() {
    char templ[] = "/tmp/orv-bus-test-XXXXXX";
    if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = templ;
    setenv("ORV_ROOT", path_.c_str(), 1);
  }
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;
  ~TempRoot() {
    unsetenv("ORV_ROOT");
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string socket(const std::string& name) const {
    return path_ + "/var/run/hvbus/" + name;
  }

 private:
  std::string path_;
};

// Runs hv_start on a thread; the destructor stops the loop, waits for it and
// frees the service.
class ServiceThread {
 public:
  explicit ServiceThread(hv_service_t* service)
      : service_(service), thread_([service] { hv_start(service); }) {}
  ServiceThread(const ServiceThread&) = delete;
  ServiceThread& operator=(const ServiceThread&) = delete;
  ~ServiceThread() { stop(); }

  hv_service_t* service() const { return service_; }
  void stop() {
    if (service_ == nullptr) return;
    hv_stop(service_);
    thread_.join();
    hv_free(service_);
    service_ = nullptr;
  }

 private:
  hv_service_t* service_;
  std::thread thread_;
};

// Polls `condition` every 5 ms until it holds or `timeout` passes.
inline bool eventually(
    const std::function<bool()>& condition,
    std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace orv::bus::test

#endif  // ORV_COMMON_BUS_TEST_UTIL_H_
