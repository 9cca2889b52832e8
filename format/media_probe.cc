#include "format/media_probe.h"

#include <sys/xattr.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "format/share_root.h"
#include "format/tool.h"

namespace orv {

namespace {

constexpr size_t kProjectionBufferSize = 128;

}  // namespace

bool probe_hevc(const Entry& entry) {
  // Disc images are containers of whole file systems; the analyser would read
  // far into them for nothing.
  if (entry.extension == "iso") return false;
  std::string report =
      run_tool(kFfmpegTool, {"-hide_banner", "-i", entry.full_path()},
               ToolStream::kError);
  if (report.empty()) return false;
  return report.find(": hevc (") != std::string::npos ||
         report.find(": hevc,") != std::string::npos;
}

bool hevc_share_allowed(int share_type) {
  return share_type != 2 && share_type != 1 && share_type != 8;
}

int probe_projection(const Entry& entry) {
  std::string path = entry.full_path();
  // Only files of the shares are tagged by the media library.
  if (path.rfind(share_root(), 0) != 0) return 0;

  char value[kProjectionBufferSize] = {};
  ssize_t length =
      getxattr(path.c_str(), kProjectionAttribute, value, sizeof(value));
  if (length >= 0) {
    if (length == 0) return -1;
    // The buffer may be full without a terminating zero byte.
    std::string text(value, static_cast<size_t>(length));
    return (std::atoi(text.c_str()) & 2) != 0 ? 1 : 0;
  }

  int answer = probe_media_info(entry);
  // A failed store only means the tool runs again at the next listing.
  store_projection_tag(entry, answer == 1 ? 2 : 0);
  return answer == 1 ? 1 : 0;
}

int probe_media_info(const Entry& entry) {
  std::string report = run_tool(
      kMediaQueryTool, {"getMediaInfo", entry.full_path()}, ToolStream::kError);
  if (report.empty()) return -1;
  return report.find("<media-info projection-type=\"1\"") != std::string::npos
             ? 1
             : -1;
}

int store_projection_tag(const Entry& entry, int value) {
  std::string path = entry.full_path();
  if (path.empty()) return -1;
  char text[16];
  int length = std::snprintf(text, sizeof(text), "%d", value);
  if (setxattr(path.c_str(), kProjectionAttribute, text,
               static_cast<size_t>(length), 0) != 0) {
    return -1;
  }
  return 0;
}

}  // namespace orv
