#include "common/reply.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/json.h"
#include "common/platform/fd.h"

namespace orv {

namespace {

constexpr char kHeader[] =
    "Content-Type: application/json; charset=utf-8\r\n\r\n";

// A JSON string of `text`; bytes that are not valid UTF-8 (a message cut in
// the middle of a character, say) become "?" instead of losing the member.
json_t* message_string(const char* text) {
  json_t* value = json_string(text);
  if (value != nullptr) return value;
  std::string clean(text);
  for (size_t i = 0; i < clean.size();) {
    unsigned char c = static_cast<unsigned char>(clean[i]);
    size_t need = c < 0x80         ? 1
                  : (c >> 5) == 6  ? 2
                  : (c >> 4) == 14 ? 3
                  : (c >> 3) == 30 ? 4
                                   : 0;
    json_t* probe = need == 0 || i + need > clean.size()
                        ? nullptr
                        : json_stringn(clean.data() + i, need);
    if (probe == nullptr) {
      clean[i++] = '?';
      continue;
    }
    json_decref(probe);
    i += need;
  }
  return json_string(clean.c_str());
}

// The serialiser hands over every token on its own, tens of thousands for a
// page of entries: they are gathered here and handed on in large pieces, to
// the reply descriptor (the reader takes the first pieces while the rest is
// still being written) or into the io. The text is never held whole.
class ReplySink {
 public:
  ReplySink(hv_io_t* io, int fd) : io_(io), fd_(fd) { buffer_.reserve(kPiece); }

  // json_dump_callback's writer: 0 while every byte could be handed on.
  static int write(const char* bytes, size_t length, void* data) {
    auto* sink = static_cast<ReplySink*>(data);
    if (sink->buffer_.size() + length > kPiece && !sink->flush()) return -1;
    sink->buffer_.append(bytes, length);
    return 0;
  }

  bool flush() {
    const bool sent = fd_ >= 0
                          ? write_all(fd_, buffer_.data(), buffer_.size())
                          : io_writer(buffer_.data(), buffer_.size(), io_) == 0;
    buffer_.clear();
    return sent;
  }

 private:
  static constexpr size_t kPiece = 64 * 1024;

  hv_io_t* const io_;
  const int fd_;
  std::string buffer_;
};

// Points `fd` at /dev/null. The caller's side of a reply descriptor (a web
// server's response) ends only when every copy of it is closed, and a handler
// may go on working after its reply (create.cache asks the daemon to watch);
// the number stays valid, so its owner's later close is harmless.
void release_reply_descriptor(int fd) {
  int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_fd < 0) return;
  dup2(null_fd, fd);
  close(null_fd);
}

}  // namespace

int io_writer(const char* buffer, size_t length, void* data) {
  hv_io_t* io = static_cast<hv_io_t*>(data);
  ssize_t written = hv_io_write(io, buffer, length);
  return written == static_cast<ssize_t>(length) ? 0 : -1;
}

void reply_json(hv_io_t* io, int fd, json_t* result,
                const ErrorRecord& record) {
  if (!hv_io_alive(io)) return;  // The caller is gone; nobody would read it.
  if (record.code != 0 && result != nullptr) json_object_clear(result);
  Json target =
      result != nullptr ? Json::borrow(result) : Json::adopt(json_object());
  json_object_set_new(target.get(), "error_code", json_integer(record.code));
  json_object_set_new(target.get(), "error_message",
                      message_string(record.message));
  hv_io_realloc(io, 0);
  // A write that fails (the reader has gone) ends the text there. Write and
  // flush errors are otherwise ignored: the request is completed regardless.
  ReplySink sink(io, fd);
  if (fd >= 0) ReplySink::write(kHeader, sizeof(kHeader) - 1, &sink);
  json_dump_callback(target.get(), &ReplySink::write, &sink, kJsonFlags);
  sink.flush();
  if (fd >= 0) {
    fsync(fd);
    release_reply_descriptor(fd);
  }
  hv_reply(io);
}

std::string kernel_uuid() {
  int fd = open("/proc/sys/kernel/random/uuid", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string();
  char text[128];
  ssize_t n = read(fd, text, sizeof(text) - 1);
  close(fd);
  if (n <= 0) return std::string();
  text[n] = '\0';
  char word[128];
  if (std::sscanf(text, "%127s", word) != 1) return std::string();
  return word;
}

}  // namespace orv
