#include "format/media_probe.h"

#include <gtest/gtest.h>

#include "format/probe_test_util.h"

namespace orv {
namespace {

using test::get_attribute;
using test::install_printing_tool;
using test::set_attribute;
using test::tool_runs;

class MediaProbeTest : public ::testing::Test {
 protected:
  Entry make_file(const std::string& folder, const std::string& name) {
    test::write_at(folder + "/" + name, "data");
    return Entry::from_path(folder, name);
  }

  test::Sandbox sandbox_;
};

TEST_F(MediaProbeTest, HevcJudgedFromAnalyserErrorReport) {
  Entry clip = make_file(sandbox_.path("data"), "clip.mkv");
  EXPECT_FALSE(probe_hevc(clip));  // No analyser installed.
  const struct {
    const char *out, *err;
    bool hevc;
  } kCases[] = {
      {"", "Input #0\n  Stream #0:0: Video: hevc (Main), yuv420p\n", true},
      {"", "  Stream #0:0(und): Video: hevc, yuv420p(tv)\n", true},
      {"", "  Stream #0:0: Video: h264 (High), yuv420p\n", false},
      {"Stream #0:0: Video: hevc (Main)\n", "", false},  // Not on stderr.
      {"", "\x01\x02 garbage", false},
  };
  for (const auto& c : kCases) {
    install_printing_tool(sandbox_, kFfmpegTool, c.out, c.err);
    EXPECT_EQ(probe_hevc(clip), c.hevc) << c.out << c.err;
  }
  EXPECT_EQ(tool_runs(sandbox_, kFfmpegTool).back(),
            "-hide_banner -i " + clip.full_path());
}

class ShareMediaProbeTest : public MediaProbeTest {
 protected:
  test::SandboxShares share_{sandbox_};
};

TEST_F(ShareMediaProbeTest, StoredProjectionTagIsReadWithoutTool) {
  install_printing_tool(sandbox_, kMediaQueryTool, "",
                        "<media-info projection-type=\"1\" />");
  const struct {
    const char* value;
    int answer;
  } kCases[] = {{"2", 1}, {"3", 1}, {"1", 0}, {"0", 0}, {"", -1}, {"x", 0}};
  for (const auto& c : kCases) {
    Entry photo = make_file(share_.path(), "a.jpg");
    if (!set_attribute(photo.full_path(), kProjectionAttribute, c.value)) {
      GTEST_SKIP() << "the file system refuses user attributes";
    }
    EXPECT_EQ(probe_projection(photo), c.answer) << c.value;
  }
  EXPECT_TRUE(tool_runs(sandbox_, kMediaQueryTool).empty());
}

TEST_F(ShareMediaProbeTest, UntaggedPhotoIsProbedOnceAndTagged) {
  const struct {
    const char *out, *err;
    int answer;
    const char* tag;
  } kCases[] = {
      {"", "<media-info projection-type=\"1\" width=\"4096\" />\n", 1, "2"},
      {"", "<media-info projection-type=\"0\" />\n", 0, "0"},
      {"", "<media-info projection-type=\"10\" />\n", 0, "0"},
      {"<media-info projection-type=\"1\" />\n", "", 0, "0"},
      {"", "", 0, "0"},
  };
  EXPECT_EQ(store_projection_tag(Entry{}, 2), -1);
  int n = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.out + std::string(c.err));
    install_printing_tool(sandbox_, kMediaQueryTool, c.out, c.err);
    Entry photo = make_file(share_.path(), "p" + std::to_string(n++) + ".jpg");
    EXPECT_EQ(probe_projection(photo), c.answer);
    EXPECT_EQ(get_attribute(photo.full_path(), kProjectionAttribute), c.tag);
    EXPECT_EQ(probe_projection(photo), c.answer);
    std::vector<std::string> runs = tool_runs(sandbox_, kMediaQueryTool);
    ASSERT_EQ(runs.size(), 1u);  // The second call read the tag.
    EXPECT_EQ(runs.back(), "getMediaInfo " + photo.full_path());
  }
}

}  // namespace
}  // namespace orv
