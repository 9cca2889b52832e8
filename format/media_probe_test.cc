#include "format/media_probe.h"

#include <gtest/gtest.h>

#include "format/probe_test_util.h"

namespace orv {
namespace {

using test::get_attribute;
using test::install_printing_tool;
using test::ScratchFolder;
using test::set_attribute;
using test::tool_runs;
using test::write_at;

class MediaProbeTest : public ::testing::Test {
 protected:
  // An entry of a file written in `folder`.
  Entry make_file(const std::string& folder, const std::string& name) {
    write_at(folder + "/" + name, "data");
    return Entry::from_path(folder, name);
  }

  test::Sandbox sandbox_;
};

TEST_F(MediaProbeTest, HevcJudgedFromAnalyserReport) {
  const struct {
    const char* report;
    bool hevc;
  } kCases[] = {
      {"Input #0, matroska\n  Stream #0:0: Video: hevc (Main), yuv420p\n",
       true},
      {"  Stream #0:0(und): Video: hevc, yuv420p(tv), 1920x1080\n", true},
      {"  Stream #0:0: Video: h264 (High), yuv420p\n", false},
      {"  Stream #0:1: Audio: aac (LC), 48000 Hz\n", false},
      {"", false},
      {"\x01\x02 not a report at all", false},
  };
  Entry clip = make_file(sandbox_.path("data"), "clip.mkv");
  size_t runs = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.report);
    install_printing_tool(sandbox_, kFfmpegTool, "", c.report);
    EXPECT_EQ(probe_hevc(clip), c.hevc);
    ++runs;
  }
  std::vector<std::string> lines = tool_runs(sandbox_, kFfmpegTool);
  ASSERT_EQ(lines.size(), runs);
  EXPECT_EQ(lines[0], "-hide_banner -i " + clip.full_path());
}

TEST_F(MediaProbeTest, HevcReportOnStandardOutputIsNotRead) {
  install_printing_tool(sandbox_, kFfmpegTool,
                        "Stream #0:0: Video: hevc (Main)\n", "");
  EXPECT_FALSE(probe_hevc(make_file(sandbox_.path("data"), "clip.mp4")));
}

TEST_F(MediaProbeTest, IsoImageNeverStartsAnalyser) {
  install_printing_tool(sandbox_, kFfmpegTool, "",
                        "Stream #0:0: Video: hevc (Main)\n");
  EXPECT_FALSE(probe_hevc(make_file(sandbox_.path("data"), "disc.iso")));
  EXPECT_TRUE(tool_runs(sandbox_, kFfmpegTool).empty());
}

TEST_F(MediaProbeTest, MissingAnalyserMeansNoHevc) {
  EXPECT_FALSE(probe_hevc(make_file(sandbox_.path("data"), "clip.mkv")));
}

TEST_F(MediaProbeTest, HevcAllowedOnAllButCachedAndRemoteShares) {
  for (int type : {1, 2, 8}) EXPECT_FALSE(hevc_share_allowed(type)) << type;
  for (int type : {-1, 0, 3, 7, 9})
    EXPECT_TRUE(hevc_share_allowed(type)) << type;
}

TEST_F(MediaProbeTest, PhotoOutsideSharesIsNeitherReadNorProbed) {
  install_printing_tool(sandbox_, kMediaQueryTool, "",
                        "<media-info projection-type=\"1\" />");
  Entry photo = make_file(sandbox_.path("data"), "pano.jpg");
  ASSERT_TRUE(set_attribute(photo.full_path(), kProjectionAttribute, "2"));
  EXPECT_EQ(probe_projection(photo), 0);
  EXPECT_EQ(probe_projection(Entry{}), 0);
  EXPECT_TRUE(tool_runs(sandbox_, kMediaQueryTool).empty());
}

class ShareMediaProbeTest : public MediaProbeTest {
 protected:
  void SetUp() override {
    if (!share_.ok()) GTEST_SKIP() << share_.reason();
  }
  ScratchFolder share_{"/share"};
};

TEST_F(ShareMediaProbeTest, StoredProjectionTagIsReadWithoutTool) {
  install_printing_tool(sandbox_, kMediaQueryTool, "",
                        "<media-info projection-type=\"1\" />");
  const struct {
    const char* value;
    int answer;
  } kCases[] = {{"2", 1}, {"3", 1}, {"1", 0}, {"0", 0}, {"", -1}, {"x", 0}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.value);
    Entry photo = make_file(share_.path(), "a.jpg");
    if (!set_attribute(photo.full_path(), kProjectionAttribute, c.value)) {
      GTEST_SKIP() << "the file system refuses user attributes";
    }
    EXPECT_EQ(probe_projection(photo), c.answer);
  }
  EXPECT_TRUE(tool_runs(sandbox_, kMediaQueryTool).empty());
}

TEST_F(ShareMediaProbeTest, UntaggedPhotoIsProbedOnceAndTagged) {
  const struct {
    const char* report;
    int answer;
    const char* tag;
  } kCases[] = {
      {"<media-info projection-type=\"1\" width=\"4096\" />\n", 1, "2"},
      {"<media-info projection-type=\"0\" />\n", 0, "0"},
      {"<media-info projection-type=\"10\" />\n", 0, "0"},
      {"", 0, "0"},
  };
  int n = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.report);
    install_printing_tool(sandbox_, kMediaQueryTool, "", c.report);
    Entry photo = make_file(share_.path(), "p" + std::to_string(n++) + ".jpg");
    size_t before = tool_runs(sandbox_, kMediaQueryTool).size();
    EXPECT_EQ(probe_projection(photo), c.answer);
    EXPECT_EQ(get_attribute(photo.full_path(), kProjectionAttribute), c.tag);
    EXPECT_EQ(probe_projection(photo), c.answer);
    std::vector<std::string> runs = tool_runs(sandbox_, kMediaQueryTool);
    ASSERT_EQ(runs.size(), before + 1);
    EXPECT_EQ(runs.back(), "getMediaInfo " + photo.full_path());
  }
}

TEST_F(MediaProbeTest, MediaInfoReadsStandardErrorOnly) {
  Entry photo = make_file(sandbox_.path("data"), "a.jpg");
  install_printing_tool(sandbox_, kMediaQueryTool,
                        "<media-info projection-type=\"1\" />", "");
  EXPECT_EQ(probe_media_info(photo), -1);
  install_printing_tool(sandbox_, kMediaQueryTool, "",
                        "<media-info projection-type=\"1\" />");
  EXPECT_EQ(probe_media_info(photo), 1);
}

TEST_F(MediaProbeTest, StoreProjectionTagFailsWithoutFile) {
  EXPECT_EQ(store_projection_tag(Entry{}, 2), -1);
  EXPECT_EQ(
      store_projection_tag(Entry::from_path(sandbox_.path("data"), "gone"), 2),
      -1);
  Entry photo = make_file(sandbox_.path("data"), "a.jpg");
  ASSERT_EQ(store_projection_tag(photo, 2), 0);
  EXPECT_EQ(get_attribute(photo.full_path(), kProjectionAttribute), "2");
}

}  // namespace
}  // namespace orv
