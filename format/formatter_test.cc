#include "format/formatter.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <utime.h>

#include "common/log.h"
#include "format/media_probe.h"
#include "format/probe_test_util.h"
#include "format/storage_probe.h"
#include "query/file_type.h"

namespace orv {
namespace {

using test::install_printing_tool;
using test::install_tool;
using test::set_attribute;
using test::tool_runs;
using test::write_at;

// Every member of an entry object outside snapshot folders, in order.
const std::vector<std::string> kEntryKeys = {
    "filename",
    "filepath",
    "filesize",
    "isfolder",
    "group",
    "owner",
    "privilege",
    "mt",
    "epochmt",
    "sticky_bit",
    "is_h265",
    "mp4_240",
    "mp4_360",
    "mp4_480",
    "mp4_720",
    "mp4_1080",
    "mp4_org",
    "mp3",
    "play",
    "has_thumbnail",
    "acl",
    "trans",
    "randno",
    "projection_type",
    "encrypt_folder",
    "is_link",
    "is_cached",
    "is_autotier",
    "cache_file_status",
    "cache_priority",
    "cache_upload_progress",
    "cache_folder_is_encypted",
    "cache_folder_is_locked",
    "cache_root_status",
    "upload_failed_count",
};

std::vector<std::string> keys_of(const json_t* object) {
  std::vector<std::string> keys;
  const char* key;
  json_t* value;
  json_object_foreach(const_cast<json_t*>(object), key, value) {
    keys.push_back(key);
  }
  return keys;
}

class FormatterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    build_file_type_index();
    setenv("TZ", "UTC", 1);
    tzset();
    // The stand-in analyser reports HEVC for files with "hevc" in the name.
    install_tool(sandbox_, kFfmpegTool,
                 "case \"$3\" in\n"
                 "  *hevc*) echo '  Stream #0:0: Video: hevc (Main), "
                 "yuv420p' >&2 ;;\n"
                 "  *) echo '  Stream #0:0: Video: h264 (High)' >&2 ;;\n"
                 "esac");
    install_printing_tool(sandbox_, kMediaQueryTool, "",
                          "<media-info projection-type=\"1\" />\n");
  }

  // Writes `content` to data/<name> and rebuilds the entry the way the cache
  // hands it over: own folder as path, display folder as alias.
  Entry make_file(const std::string& name, const std::string& content = "x",
                  const std::string& alias = "/Public") {
    write_at(data_ + "/" + name, content);
    return rebuilt(data_, name, alias);
  }
  static Entry rebuilt(const std::string& folder, const std::string& name,
                       const std::string& alias) {
    Entry scanned = Entry::from_path(folder, name);
    return Entry::from_cache(folder, name, scanned.stat, alias);
  }

  json_int_t integer(const Json& object, const char* key) {
    json_t* value = json_object_get(object.get(), key);
    EXPECT_TRUE(json_is_integer(value)) << key;
    return json_integer_value(value);
  }
  std::string text(const Json& object, const char* key) {
    json_t* value = json_object_get(object.get(), key);
    EXPECT_TRUE(json_is_string(value)) << key;
    return value == nullptr ? "" : json_string_value(value);
  }
  size_t runs(const char* tool) { return tool_runs(sandbox_, tool).size(); }

  test::Sandbox sandbox_;
  const std::string data_ = sandbox_.path("data");
  LegacyFormatter formatter_{"root", "orv-test"};
};

TEST_F(FormatterTest, PlainFileMembersInOrder) {
  write_at(data_ + "/notes.txt", "twelve bytes");
  chmod((data_ + "/notes.txt").c_str(), 0640);
  struct utimbuf times = {999, 999};
  utime((data_ + "/notes.txt").c_str(), &times);
  Json object = formatter_.format_entry(rebuilt(data_, "notes.txt", "/Public"));
  ASSERT_TRUE(object);

  EXPECT_EQ(keys_of(object.get()), kEntryKeys);
  EXPECT_EQ(text(object, "filename"), "notes.txt");
  EXPECT_EQ(text(object, "filepath"), "/Public/notes.txt");
  EXPECT_EQ(integer(object, "filesize"), 12);
  EXPECT_EQ(integer(object, "isfolder"), 0);
  EXPECT_EQ(text(object, "owner"), "root");
  EXPECT_EQ(text(object, "group"), "root");
  EXPECT_EQ(text(object, "privilege"), "640");
  EXPECT_EQ(text(object, "mt"), "1970-01-01 00:16:39");
  EXPECT_EQ(integer(object, "epochmt"), 999);
  EXPECT_EQ(text(object, "randno"), "12999");
  EXPECT_EQ(integer(object, "play"), 1);
  EXPECT_EQ(integer(object, "acl") & 6, 6);  // root reads and writes it
  for (const char* key :
       {"sticky_bit", "is_h265", "mp4_240", "mp4_org", "mp3", "trans",
        "has_thumbnail", "projection_type", "encrypt_folder", "is_link",
        "is_cached", "is_autotier", "cache_file_status", "cache_root_status",
        "upload_failed_count"}) {
    EXPECT_EQ(integer(object, key), 0) << key;
  }
}

TEST_F(FormatterTest, FilepathFollowsJoinRule) {
  const struct {
    std::string alias, name, filepath;
  } kCases[] = {
      {"/Public", "a.txt", "/Public/a.txt"},
      {"Public/", "a.txt", "/Public//a.txt"},
      {"", "a.txt", "/a.txt"},
      {"", "", ""},
  };
  for (const auto& c : kCases) {
    Entry entry = Entry::from_cache(data_, c.name, {}, c.alias);
    EXPECT_EQ(text(formatter_.format_entry(entry), "filepath"), c.filepath)
        << "alias '" << c.alias << "' name '" << c.name << "'";
  }
}

TEST_F(FormatterTest, PlayIsOffOnlyInsideTranscodeArea) {
  Entry entry = make_file("a.mp3");
  EXPECT_EQ(integer(formatter_.format_entry(entry), "play"), 1);
  entry.path = "@Transcode/Public";
  EXPECT_EQ(integer(formatter_.format_entry(entry), "play"), 0);
  entry.path = "/share/@Transcode/x";
  EXPECT_EQ(integer(formatter_.format_entry(entry), "play"), 1);
}

TEST_F(FormatterTest, TranscodedCopiesOfVideo) {
  const char* kSuffixes[] = {".mobile240p", ".mobile360p",  ".mobile480p",
                             ".ipad720p",   ".mobile1080p", ".original"};
  const char* kKeys[] = {"mp4_240", "mp4_360",  "mp4_480",
                         "mp4_720", "mp4_1080", "mp4_org"};
  Entry clip = make_file("clip.mkv");
  for (const char* suffix : kSuffixes) {
    write_at(data_ + "/.@__thumb/transcode/clip.mkv" + suffix, "");
  }
  write_at(data_ + "/Video2audio/clip.mkv.mp3", "");
  Json all = formatter_.format_entry(clip);
  for (const char* key : kKeys) EXPECT_EQ(integer(all, key), 1) << key;
  EXPECT_EQ(integer(all, "trans"), 1);
  EXPECT_EQ(integer(all, "mp3"), 1);

  unlink((data_ + "/.@__thumb/transcode/clip.mkv.ipad720p").c_str());
  Json missing = formatter_.format_entry(clip);
  EXPECT_EQ(integer(missing, "mp4_720"), 0);
  EXPECT_EQ(integer(missing, "mp4_1080"), 1);
  EXPECT_EQ(integer(missing, "trans"), 0);

  // The media library's answer stands in for the missing copy.
  sandbox_.write_file("etc/config/platform.conf", "[MediaLib]\nenable = 1\n");
  if (!set_attribute(clip.full_path(), "user.medialib.transcoded", "1")) {
    GTEST_SKIP() << "the file system refuses user attributes";
  }
  EXPECT_EQ(integer(formatter_.format_entry(clip), "trans"), 1);

  // Copies of a file that is not a video are not looked at.
  Entry text_file = make_file("clip.txt");
  write_at(data_ + "/.@__thumb/transcode/clip.txt.original", "");
  EXPECT_EQ(integer(formatter_.format_entry(text_file), "mp4_org"), 0);
}

TEST_F(FormatterTest, HevcProbedOnlyForVideosOnOrdinaryShares) {
  sandbox_.write_file("etc/config/tvk2.conf",
                      "[Cloud]\npath = " + data_ + "/s1\nshare type = 1\n" +
                          "[Remote]\npath = " + data_ +
                          "/s2\nshare type = 2\n" + "[Other]\npath = " + data_ +
                          "/s8\nshare type = 8\n");
  Entry plain = make_file("plain.mkv");
  EXPECT_EQ(integer(formatter_.format_entry(plain), "is_h265"), 0);
  Json page = Json::adopt(json_object());
  formatter_.add_page_members(page.get());
  EXPECT_EQ(integer(page, "has_h265"), 0);
  EXPECT_EQ(runs(kFfmpegTool), 1u);

  // Exempt: disc image, non-video files, videos on cached or remote shares.
  for (const char* name :
       {"hevc.iso", "hevc.txt", "hevc.jpg", "hevc.mp3", "hevc"}) {
    EXPECT_EQ(integer(formatter_.format_entry(make_file(name)), "is_h265"), 0)
        << name;
  }
  for (const char* share : {"/s1", "/s2", "/s8"}) {
    write_at(data_ + share + "/hevc.mkv", "x");
    Entry video = rebuilt(data_ + share, "hevc.mkv", share);
    EXPECT_EQ(integer(formatter_.format_entry(video), "is_h265"), 0) << share;
  }
  EXPECT_EQ(runs(kFfmpegTool), 1u);

  // A video outside any share is probed; the page flag stays once set.
  EXPECT_EQ(integer(formatter_.format_entry(make_file("hevc.MKV")), "is_h265"),
            1);
  EXPECT_EQ(integer(formatter_.format_entry(plain), "is_h265"), 0);
  formatter_.add_page_members(page.get());
  EXPECT_EQ(integer(page, "has_h265"), 1);
  EXPECT_EQ(formatter_.has_h265(), 1);
}

TEST_F(FormatterTest, ProjectionProbedOnlyForLowerCaseExtensionsInShares) {
  test::ScratchFolder share("/share");
  if (!share.ok()) GTEST_SKIP() << share.reason();
  write_at(share.path() + "/a.JPG", "x");
  write_at(share.path() + "/a.jpg", "x");
  write_at(share.path() + "/a.txt", "x");
  Entry upper = rebuilt(share.path(), "a.JPG", "/Public");
  Entry lower = rebuilt(share.path(), "a.jpg", "/Public");
  Entry text_file = rebuilt(share.path(), "a.txt", "/Public");

  EXPECT_EQ(integer(formatter_.format_entry(upper), "projection_type"), 0);
  EXPECT_EQ(runs(kMediaQueryTool), 0u);
  EXPECT_EQ(integer(formatter_.format_entry(lower), "projection_type"), 1);
  EXPECT_EQ(integer(formatter_.format_entry(text_file), "projection_type"), 0);
  EXPECT_EQ(integer(formatter_.format_entry(lower), "projection_type"), 1);
  EXPECT_EQ(runs(kMediaQueryTool), 1u);  // Later listings read the tag.
  EXPECT_EQ(test::get_attribute(lower.full_path(), kProjectionAttribute), "2");

  // A photo outside the shares starts no tool.
  EXPECT_EQ(
      integer(formatter_.format_entry(make_file("b.jpg")), "projection_type"),
      0);
  EXPECT_EQ(runs(kMediaQueryTool), 1u);
}

TEST_F(FormatterTest, LinksShowTheirTarget) {
  std::filesystem::create_directories(data_ + "/folder/inner");
  struct stat folder;
  ASSERT_EQ(stat((data_ + "/folder").c_str(), &folder), 0);
  ASSERT_EQ(symlink("folder", (data_ + "/to-folder").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", (data_ + "/dangling").c_str()), 0);

  Json link = formatter_.format_entry(rebuilt(data_, "to-folder", ""));
  EXPECT_EQ(integer(link, "is_link"), 1);
  EXPECT_EQ(integer(link, "isfolder"), 1);
  EXPECT_EQ(integer(link, "filesize"), folder.st_size);
  EXPECT_EQ(integer(link, "is_autotier"), 0);

  Json dangling = formatter_.format_entry(rebuilt(data_, "dangling", ""));
  EXPECT_EQ(integer(dangling, "is_link"), 1);
  EXPECT_EQ(integer(dangling, "isfolder"), 0);
  EXPECT_EQ(integer(dangling, "filesize"), 0);

  Json plain = formatter_.format_entry(rebuilt(data_, "folder", ""));
  EXPECT_EQ(integer(plain, "is_link"), 0);
  EXPECT_EQ(integer(plain, "isfolder"), 1);
}

TEST_F(FormatterTest, SnapshotMembersOnlyInSnapshotFolders) {
  sandbox_.write_file("etc/config/snapshot.conf",
                      "[snap1]\npath = " + data_ +
                          "\nvolume = 3\nid = 17\n"
                          "mount path = /mnt/snapshot/3/17\n");
  make_file("a.txt");
  const struct {
    std::string alias;
    bool members;
  } kCases[] = {
      {"/snapshot:GMT+08_2024-05-01", true},
      {"/snapshot_vault:Public", true},
      {"/Public", false},
      {"/snapshots", false},
      {"", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.alias);
    Json object = formatter_.format_entry(rebuilt(data_, "a.txt", c.alias));
    std::vector<std::string> keys = keys_of(object.get());
    if (!c.members) {
      EXPECT_EQ(keys, kEntryKeys);
      continue;
    }
    std::vector<std::string> expected = kEntryKeys;
    expected.insert(expected.end(),
                    {"snapshot_id", "snapshot_vol_id", "snapshot_mount_path"});
    EXPECT_EQ(keys, expected);
    EXPECT_EQ(integer(object, "snapshot_id"), 17);
    EXPECT_EQ(integer(object, "snapshot_vol_id"), 3);
    EXPECT_EQ(text(object, "snapshot_mount_path"), "/mnt/snapshot/3/17");
  }
  // A snapshot display path whose folder the platform does not know.
  write_at(sandbox_.path("other/b.txt"), "x");
  Json unknown = formatter_.format_entry(
      rebuilt(sandbox_.path("other"), "b.txt", "/snapshot:GMT+08_2024-05-01"));
  EXPECT_EQ(keys_of(unknown.get()), kEntryKeys);
}

TEST_F(FormatterTest, CachedShareMembers) {
  // Long enough to be its own cache root.
  const std::string cloud = sandbox_.path("cloud-share-root-folder");
  ASSERT_EQ(cache_root(cloud + "/x"), cloud);
  sandbox_.write_file("etc/config/tvk2.conf",
                      "[Cloud]\npath = " + cloud + "\nshare type = 1\n");
  std::filesystem::create_directories(cloud + "/Secret");
  std::filesystem::create_directories(cloud + "/Open");
  std::filesystem::create_directories(data_ + "/Plain");
  write_at(cloud + "/doc.txt", "x");
  install_printing_tool(sandbox_, kFarmountTool,
                        "{\"data\":{\"encrypted_folder\":\"" + cloud +
                            "/Secret\",\"status\":-2}}",
                        "");
  if (!set_attribute(cloud + "/doc.txt", kMetaStatusAttribute,
                     R"({"state":"uploading","status_code":2000,)"
                     R"("upload_progress":42.7,"priority":"pin"})") ||
      !set_attribute(cloud, kGlobalErrorAttribute, R"({"status":7})") ||
      !set_attribute(cloud, kFailedCountAttribute, "3")) {
    GTEST_SKIP() << "the file system refuses user or trusted attributes";
  }

  Json doc = formatter_.format_entry(rebuilt(cloud, "doc.txt", "/Cloud"));
  EXPECT_EQ(integer(doc, "is_cached"), 1);
  EXPECT_EQ(integer(doc, "cache_file_status"), 5);
  EXPECT_EQ(integer(doc, "cache_priority"), 1);
  EXPECT_EQ(integer(doc, "cache_upload_progress"), 42);
  EXPECT_EQ(integer(doc, "cache_root_status"), 7);
  EXPECT_EQ(integer(doc, "upload_failed_count"), 3);
  EXPECT_EQ(integer(doc, "cache_folder_is_encypted"), 0);
  EXPECT_EQ(runs(kFarmountTool), 0u);  // Files are not asked about.

  Json secret = formatter_.format_entry(rebuilt(cloud, "Secret", "/Cloud"));
  EXPECT_EQ(integer(secret, "cache_folder_is_encypted"), 1);
  EXPECT_EQ(integer(secret, "cache_folder_is_locked"), -2);
  // The tool names another folder than this one.
  Json open = formatter_.format_entry(rebuilt(cloud, "Open", "/Cloud"));
  EXPECT_EQ(integer(open, "cache_folder_is_encypted"), 0);
  EXPECT_EQ(integer(open, "cache_folder_is_locked"), 0);
  EXPECT_EQ(runs(kFarmountTool), 2u);

  Json plain = formatter_.format_entry(rebuilt(data_, "Plain", "/Public"));
  EXPECT_EQ(integer(plain, "is_cached"), 0);
  EXPECT_EQ(integer(plain, "cache_root_status"), 0);
  EXPECT_EQ(integer(plain, "upload_failed_count"), 0);
  EXPECT_EQ(runs(kFarmountTool), 2u);
}

TEST_F(FormatterTest, PageMembersFromPlatformSwitches) {
  const struct {
    const char* platform;
    const char* application;
    int medialib, rtt, medialib_enable, acl, winacl, winacl_support;
  } kCases[] = {
      {"", "", 1, 0, 0, 0, 0, 0},
      {"[ACL]\nrich acl = 1\nwin acl = 1\nwin acl supported = 1\n"
       "[MediaLib]\nenable = 1\nrealtime transcoding = 1\n",
       "[DISABLE]\nmediaLibrary = 1\n", 0, 1, 1, 1, 1, 1},
      {"[ACL]\nwin acl supported = 1\n", "[DISABLE]\nmediaLibrary = 0\n", 1, 0,
       0, 0, 0, 1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.platform);
    sandbox_.write_file("etc/config/platform.conf", c.platform);
    sandbox_.write_file("var/.application.conf", c.application);
    Json page =
        Json::adopt(json_pack("{s[]sisi}", "datas", "total", 0, "has_h265", 9));
    formatter_.add_page_members(page.get());
    EXPECT_EQ(keys_of(page.get()),
              (std::vector<std::string>{
                  "datas", "total", "has_h265", "medialib", "rtt_support",
                  "medialib_enable", "is_acl_enable", "is_winacl_enable",
                  "is_winacl_support"}));
    EXPECT_EQ(integer(page, "has_h265"), 0);
    EXPECT_EQ(integer(page, "medialib"), c.medialib);
    EXPECT_EQ(integer(page, "rtt_support"), c.rtt);
    EXPECT_EQ(integer(page, "medialib_enable"), c.medialib_enable);
    EXPECT_EQ(integer(page, "is_acl_enable"), c.acl);
    EXPECT_EQ(integer(page, "is_winacl_enable"), c.winacl);
    EXPECT_EQ(integer(page, "is_winacl_support"), c.winacl_support);
  }
}

// Runs the real analyser on clips it makes itself, when it is installed.
TEST_F(FormatterTest, RealAnalyserTellsHevcFromH264) {
  if (access("/usr/bin/ffmpeg", X_OK) != 0) {
    GTEST_SKIP() << "/usr/bin/ffmpeg is not installed (Debian package ffmpeg)";
  }
  std::filesystem::remove(sandbox_.path(kFfmpegTool));
  ASSERT_EQ(symlink("/usr/bin/ffmpeg", sandbox_.path(kFfmpegTool).c_str()), 0);
  std::filesystem::create_directories(data_);
  for (const auto& [codec, name] : {std::pair{"libx265", "clip265.mp4"},
                                    std::pair{"libx264", "clip264.mp4"}}) {
    std::string command =
        std::string(
            "/usr/bin/ffmpeg -nostdin -loglevel error -f lavfi -i "
            "testsrc=duration=1:size=128x72:rate=10 -c:v ") +
        codec + " '" + data_ + "/" + name + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {
      GTEST_SKIP() << "ffmpeg cannot encode with " << codec;
    }
  }
  EXPECT_EQ(integer(formatter_.format_entry(rebuilt(data_, "clip265.mp4", "")),
                    "is_h265"),
            1);
  EXPECT_EQ(integer(formatter_.format_entry(rebuilt(data_, "clip264.mp4", "")),
                    "is_h265"),
            0);
}

}  // namespace
}  // namespace orv
