// Probes of media facts that the file system alone does not give: whether a
// video holds an HEVC stream and whether a photo or video is a 360-degree
// (projection type 1) picture. Each probe works on the entry's full path,
// never throws, and answers its default when the file, the attribute or the
// tool is missing.
#ifndef ORV_FORMAT_MEDIA_PROBE_H_
#define ORV_FORMAT_MEDIA_PROBE_H_

#include "entry/entry.h"

namespace orv {

// Fixed platform paths of the tools (looked up under the sandbox root).
inline constexpr char kFfmpegTool[] = "/usr/bin/ffmpeg";
inline constexpr char kMediaQueryTool[] =
    "/usr/local/medialibrary/bin/mediquery";

// The attribute in which a file keeps its projection answer, so that the media
// library tool runs once per file: 2 for a 360-degree file, 0 otherwise.
inline constexpr char kProjectionAttribute[] = "user.vtag_orv";

// True when the media analyser reports an HEVC stream in the file. ISO images
// are never analysed (false without running anything).
bool probe_hevc(const Entry& entry);

// Whether HEVC probing is allowed on a share of `share_type`: false for the
// cloud-cached (1), type 2 and type 8 shares, whose files would have to be
// fetched; true for any other value, including -1 (no share).
bool hevc_share_allowed(int share_type);

// 1 when the file is a 360-degree photo or video, 0 when not (and for any path
// outside "/share/"), -1 when the file carries an empty projection attribute.
// Without the attribute it asks the media library once and leaves the answer
// on the file.
int probe_projection(const Entry& entry);

// Asks the media library tool: 1 when it reports projection type 1, else -1.
int probe_media_info(const Entry& entry);

// Writes `value` in decimal to the projection attribute of the file. 0 on
// success, -1 on failure (empty path, read-only file system, no permission).
int store_projection_tag(const Entry& entry, int value);

}  // namespace orv

#endif  // ORV_FORMAT_MEDIA_PROBE_H_
