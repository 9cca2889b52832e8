// The profile reader: Get_Private_Profile_String and _Integer.
#include <cstring>

#include "common/platform/ini.h"
#include "common/platform/tovix.h"

using orv::platform::IniFile;

namespace {

// The value of `key` in `section` of `file`, or nullptr when the file, the
// section or the key is missing. `storage` keeps the parsed file alive.
const std::string* lookup(const char* section, const char* key,
                          const char* file, IniFile* storage) {
  if (section == nullptr || key == nullptr || file == nullptr) return nullptr;
  const IniFile* parsed = orv::platform::read_config(file, storage);
  return parsed != nullptr ? parsed->find(section, key) : nullptr;
}

}  // namespace

extern "C" int Get_Private_Profile_String(const char* section, const char* key,
                                          const char* default_value,
                                          char* buffer, int size,
                                          const char* file) {
  IniFile storage;
  const std::string* value = lookup(section, key, file, &storage);
  const char* text = value != nullptr           ? value->c_str()
                     : default_value != nullptr ? default_value
                                                : "";
  if (buffer == nullptr || size <= 0) return 0;
  size_t length = std::strlen(text);
  if (length > static_cast<size_t>(size - 1)) length = size - 1;
  // memmove: a caller may pass its own buffer as the default.
  std::memmove(buffer, text, length);
  buffer[length] = '\0';
  return static_cast<int>(length);
}

extern "C" int Get_Private_Profile_Integer(const char* section, const char* key,
                                           int default_value,
                                           const char* file) {
  IniFile storage;
  const std::string* value = lookup(section, key, file, &storage);
  int number = default_value;
  if (value != nullptr) orv::platform::leading_integer(*value, &number);
  return number;
}
