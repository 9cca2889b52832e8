// A throw-away ORV_ROOT for the platform library's unit tests. Used by tests.
#ifndef ORV_COMMON_PLATFORM_TEST_ROOT_H_
#define ORV_COMMON_PLATFORM_TEST_ROOT_H_

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace orv::platform::test {

// Makes a fresh folder in /tmp, points ORV_ROOT at it and removes both again.
class TempRoot {
 public:
  TempRoot() {
    char name[] = "/tmp/orv-platform-XXXXXX";
    if (mkdtemp(name) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    root_ = name;
    chmod(root_.c_str(), 0755);  // Tests also look in as another user.
    setenv("ORV_ROOT", root_.c_str(), 1);
  }
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;
  ~TempRoot() {
    unsetenv("ORV_ROOT");
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  const std::string& root() const { return root_; }
  // root() + `relative` (which starts with "/").
  std::string path(const std::string& relative) const {
    return root_ + relative;
  }
  // Writes a file under the root, making its folders.
  std::string write(const std::string& relative, const std::string& content,
                    mode_t mode = 0644) const {
    std::string full = path(relative);
    std::filesystem::create_directories(
        std::filesystem::path(full).parent_path());
    std::ofstream(full, std::ios::binary | std::ios::trunc) << content;
    chmod(full.c_str(), mode);
    return full;
  }

 private:
  std::string root_;
};

}  // namespace orv::platform::test

#endif  // ORV_COMMON_PLATFORM_TEST_ROOT_H_
