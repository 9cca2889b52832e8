// The INI reader and the profile reader on top of it. The input is a
// configuration file; every key the parser finds is read back through
// Get_Private_Profile_String with buffers of every size from 1 byte to one
// past the value, each allocated to its exact size so that a write past it
// is caught, and must come back as the value cut to the buffer.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/platform/ini.h"
#include "common/platform/tovix.h"
#include "fuzz/fuzz_util.h"

namespace {

using orv::fuzz::check;
using orv::platform::IniFile;

// Reads of one input at most, so that a file of many long values stays fast.
constexpr size_t kMaxReads = 4000;

void read_back(const std::string& file, const std::string& section,
               const std::string& key, const std::string& value,
               size_t* reads) {
  const size_t longest = value.size() + 1;
  for (size_t size = 1; size <= longest + 1 && *reads < kMaxReads; ++size) {
    ++*reads;
    std::vector<char> buffer(size, '\x7f');
    int length = Get_Private_Profile_String(
        section.c_str(), key.c_str(), "?", buffer.data(),
        static_cast<int>(size), file.c_str());
    size_t expected = std::min(value.size(), size - 1);
    // A value with a NUL byte reads up to it, as C text does.
    expected = std::min(expected, std::strlen(value.c_str()));
    check(length >= 0 && static_cast<size_t>(length) == expected,
          "length other than the value cut to the buffer");
    check(buffer[expected] == '\0', "buffer not NUL-terminated");
    check(std::memcmp(buffer.data(), value.data(), expected) == 0,
          "text other than the value");
  }
  int fallback = 7;
  int number = Get_Private_Profile_Integer(section.c_str(), key.c_str(), 7,
                                           file.c_str());
  if (!orv::platform::leading_integer(value, &fallback)) {
    check(number == 7, "unreadable number not the default");
  } else {
    check(number == fallback, "number other than its leading digits");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const IniFile parsed = IniFile::parse(text);

  // The file through a descriptor of its own: nothing is written to disk.
  int fd = memfd_create("ini", MFD_CLOEXEC);
  check(fd >= 0, "memfd_create");
  check(write(fd, text.data(), text.size()) == static_cast<ssize_t>(size),
        "write");
  const std::string file = "/proc/self/fd/" + std::to_string(fd);
  {
    // One parse per input, as a formatter's page reads its files.
    orv::platform::ConfigSnapshot snapshot;
    size_t reads = 0;
    for (const auto& section : parsed.sections()) {
      check(parsed.section(section.name) != nullptr, "section not found");
      // C names stop at a NUL byte: such a name is not one a caller can ask.
      if (section.name.find('\0') != std::string::npos) continue;
      for (const auto& [key, value] : section.entries) {
        if (key.find('\0') != std::string::npos) continue;
        const std::string* first = parsed.find(section.name, key);
        check(first != nullptr, "key not found");
        read_back(file, section.name, key, *first, &reads);
      }
    }
    // A missing key gives the default, even when the default is the buffer.
    // No line can name a section with a newline in it.
    char buffer[8] = "default";
    int length = Get_Private_Profile_String("no\nsuch", "key", buffer, buffer,
                                            4, file.c_str());
    check(length == 3 && std::strcmp(buffer, "def") == 0, "default not copied");
  }
  close(fd);
  return 0;
}
