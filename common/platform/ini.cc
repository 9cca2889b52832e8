#include "common/platform/ini.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>
#include <vector>

#include "common/platform/fd.h"

namespace orv::platform {

namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' ||
         c == '\v';
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// The live configuration snapshots of the calling thread, oldest first.
thread_local std::vector<ConfigSnapshot*> t_snapshots;

}  // namespace

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

const std::string* IniSection::find(std::string_view key) const {
  for (const auto& [name, value] : entries) {
    if (equal_ignoring_case(name, key)) return &value;
  }
  return nullptr;
}

IniFile IniFile::parse(std::string_view text) {
  IniFile file;
  IniSection* current = nullptr;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);

    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      size_t close = line.find(']');
      if (close == std::string_view::npos) {
        // Keys under a broken header must not land in the section before it.
        current = nullptr;
        continue;
      }
      std::string_view name = trim(line.substr(1, close - 1));
      // push_back may move the sections, so the pointer is always taken
      // afresh rather than kept across a header.
      current = nullptr;
      for (IniSection& section : file.sections_) {
        if (equal_ignoring_case(section.name, name)) {
          current = &section;
          break;
        }
      }
      if (current == nullptr) {
        file.sections_.push_back(IniSection{std::string(name), {}});
        current = &file.sections_.back();
      }
      continue;
    }
    if (current == nullptr) continue;
    size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    std::string_view key = trim(line.substr(0, equals));
    if (key.empty()) continue;
    current->entries.emplace_back(std::string(key),
                                  std::string(trim(line.substr(equals + 1))));
  }
  return file;
}

bool IniFile::load(const std::string& path, IniFile* out) {
  std::string text;
  // Configuration files are small; 16 MiB is far beyond any real one.
  if (!read_regular_file(path, 0, 16 << 20, &text)) return false;
  *out = parse(text);
  return true;
}

ConfigSnapshot::ConfigSnapshot() : thread_snapshots_(&t_snapshots) {
  thread_snapshots_->push_back(this);
}

ConfigSnapshot::~ConfigSnapshot() {
  // Snapshots held by objects need not end in the reverse order of their
  // making, nor on the thread that is running.
  std::erase(*thread_snapshots_, this);
}

const IniFile* read_config(const std::string& path, IniFile* storage) {
  if (t_snapshots.empty()) {
    return IniFile::load(path, storage) ? storage : nullptr;
  }
  auto& files = t_snapshots.back()->files_;
  auto [kept, fresh] = files.try_emplace(path);
  if (fresh) {
    auto file = std::make_unique<IniFile>();
    if (IniFile::load(path, file.get())) kept->second = std::move(file);
  }
  return kept->second.get();
}

const IniSection* IniFile::section(std::string_view name) const {
  for (const IniSection& section : sections_) {
    if (equal_ignoring_case(section.name, name)) return &section;
  }
  return nullptr;
}

const std::string* IniFile::find(std::string_view section,
                                 std::string_view key) const {
  const IniSection* found = this->section(section);
  return found == nullptr ? nullptr : found->find(key);
}

bool leading_integer(std::string_view text, long long* value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
  // Accumulate as a negative number so that LLONG_MIN fits too.
  long long result = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    int digit = text[i] - '0';
    if (result < (LLONG_MIN + digit) / 10) return false;
    result = result * 10 - digit;
  }
  if (!negative) {
    if (result == LLONG_MIN) return false;
    result = -result;
  }
  *value = result;
  return true;
}

bool leading_integer(std::string_view text, int* value) {
  long long number = 0;
  if (!leading_integer(text, &number) || number < INT_MIN || number > INT_MAX) {
    return false;
  }
  *value = static_cast<int>(number);
  return true;
}

bool is_yes(std::string_view text) {
  text = trim(text);
  size_t end = 0;
  while (end < text.size() && !is_space(text[end])) ++end;
  std::string_view word = text.substr(0, end);
  return equal_ignoring_case(word, "yes") ||
         equal_ignoring_case(word, "true") || word == "1";
}

bool read_regular_file(const std::string& path, int flags, size_t limit,
                       std::string* text) {
  // O_NONBLOCK keeps open() from waiting on a FIFO; the type check below then
  // refuses it.
  const UniqueFd file(
      open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | flags));
  const int fd = file.get();
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return false;
  }
  if (static_cast<unsigned long long>(st.st_size) > limit) {
    errno = EFBIG;
    return false;
  }
  std::string content;
  char chunk[4096];
  for (;;) {
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    content.append(chunk, static_cast<size_t>(got));
    if (content.size() > limit) {  // It grew while we read.
      errno = EFBIG;
      return false;
    }
  }
  *text = std::move(content);
  return true;
}

bool path_within(std::string_view path, std::string_view base) {
  if (base.empty() || path.empty()) return false;
  while (!base.empty() && base.back() == '/') base.remove_suffix(1);
  if (path.substr(0, base.size()) != base) return false;
  return path.size() == base.size() || path[base.size()] == '/';
}

}  // namespace orv::platform
