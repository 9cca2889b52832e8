#include "format/formatter.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include "format/media_probe.h"
#include "format/probe_test_util.h"
#include "format/storage_probe.h"
#include "query/file_type.h"

namespace orv {
namespace {

using test::install_printing_tool;
using test::set_attribute;
using test::tool_runs;
using test::write_at;

// The members of an entry outside snapshot folders, in order.
const std::string kEntryKeys =
    "filename filepath filesize isfolder group owner privilege mt epochmt "
    "sticky_bit is_h265 mp4_240 mp4_360 mp4_480 mp4_720 mp4_1080 mp4_org mp3 "
    "play has_thumbnail acl trans randno projection_type encrypt_folder "
    "is_link is_cached is_autotier cache_file_status cache_priority "
    "cache_upload_progress cache_folder_is_encypted cache_folder_is_locked "
    "cache_root_status upload_failed_count";

// The object's keys in order, separated by spaces.
std::string keys_of(const Json& object) {
  std::string keys;
  const char* key;
  json_t* value;
  json_object_foreach(object.get(), key, value) {
    keys += (keys.empty() ? "" : " ") + std::string(key);
  }
  return keys;
}

json_int_t integer(const Json& object, const char* key) {
  json_t* value = json_object_get(object.get(), key);
  EXPECT_TRUE(json_is_integer(value)) << key;
  return json_integer_value(value);
}

std::string text(const Json& object, const char* key) {
  const char* value = json_string_value(json_object_get(object.get(), key));
  EXPECT_NE(value, nullptr) << key;
  return value == nullptr ? "" : value;
}

// An entry rebuilt the way the cache hands it over: its own folder as path.
Entry rebuilt(const std::string& folder, const std::string& name,
              const std::string& alias = "/Public") {
  return Entry::from_cache(folder, name, Entry::from_path(folder, name).stat,
                           alias);
}

class FormatterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    build_file_type_index();
    setenv("TZ", "UTC", 1);
    // The analyser stand-in reports HEVC for names containing "hevc".
    test::install_tool(
        sandbox_, kFfmpegTool,
        "case \"$3\" in *hevc*) echo ' Stream #0:0: Video: hevc (Main)' >&2;;"
        " *) echo ' Stream #0:0: Video: h264 (High)' >&2;; esac");
    install_printing_tool(sandbox_, kMediaQueryTool, "",
                          "<media-info projection-type=\"1\" />\n");
  }

  Entry make_file(const std::string& name, const std::string& content = "x") {
    write_at(data_ + "/" + name, content);
    return rebuilt(data_, name);
  }
  Json format(const Entry& entry) { return formatter_.format_entry(entry); }
  size_t runs(const char* tool) { return tool_runs(sandbox_, tool).size(); }

  test::Sandbox sandbox_;
  const std::string data_ = sandbox_.path("data");
  LegacyFormatter formatter_{"root", "orv-test"};
};

TEST_F(FormatterTest, PlainFileMembersInOrder) {
  std::string path = data_ + "/notes.txt";
  write_at(path, "twelve bytes");
  chmod(path.c_str(), 0640);
  struct utimbuf times = {999, 999};
  utime(path.c_str(), &times);
  Json object = format(rebuilt(data_, "notes.txt"));

  EXPECT_EQ(keys_of(object), kEntryKeys);
  EXPECT_EQ(text(object, "filepath"), "/Public/notes.txt");
  EXPECT_EQ(integer(object, "filesize"), 12);
  EXPECT_EQ(text(object, "owner"), "root");
  EXPECT_EQ(text(object, "group"), "root");
  EXPECT_EQ(text(object, "privilege"), "640");
  EXPECT_EQ(text(object, "mt"), "1970-01-01 00:16:39");
  EXPECT_EQ(integer(object, "epochmt"), 999);
  EXPECT_EQ(text(object, "randno"), "12999");
  EXPECT_EQ(integer(object, "play"), 1);
  EXPECT_EQ(integer(object, "acl") & 6, 6);  // root reads and writes it
  for (const char* key : {"isfolder", "trans", "mp3", "has_thumbnail",
                          "is_cached", "cache_root_status"}) {
    EXPECT_EQ(integer(object, key), 0) << key;
  }
}

TEST_F(FormatterTest, FilepathAndNamesAsShown) {
  const struct {
    std::string alias, name, filepath;
  } kCases[] = {
      {"Public/", "a.txt", "/Public//a.txt"},
      {"", "a.txt", "/a.txt"},
      {"", "", ""},
      // Names that are not UTF-8 are shown repaired, not dropped.
      {"/P", "bad\xff.txt", "/P/bad\xef\xbf\xbd.txt"},
  };
  for (const auto& c : kCases) {
    Json object = format(Entry::from_cache(data_, c.name, {}, c.alias));
    EXPECT_EQ(text(object, "filepath"), c.filepath) << c.alias << c.name;
    EXPECT_NE(json_text(object.get()), "");
  }
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
  Json all = format(clip);
  for (const char* key : kKeys) EXPECT_EQ(integer(all, key), 1) << key;
  EXPECT_EQ(integer(all, "trans"), 1);
  EXPECT_EQ(integer(all, "mp3"), 1);

  unlink((data_ + "/.@__thumb/transcode/clip.mkv.ipad720p").c_str());
  Json missing = format(clip);
  EXPECT_EQ(integer(missing, "mp4_720"), 0);
  EXPECT_EQ(integer(missing, "mp4_1080"), 1);
  EXPECT_EQ(integer(missing, "trans"), 0);
  // The media library's answer stands in for the missing copy. A formatter
  // reads the configuration once, so the switch shows on the next page.
  sandbox_.write_file("etc/config/platform.conf", "[MediaLib]\nenable = 1\n");
  ASSERT_TRUE(set_attribute(clip.full_path(), "user.medialib.transcoded", "1"));
  EXPECT_EQ(integer(format(clip), "trans"), 0);
  LegacyFormatter next_page("root", "orv-test");
  EXPECT_EQ(integer(next_page.format_entry(clip), "trans"), 1);
}

TEST_F(FormatterTest, HevcProbedOnlyForVideosOnOrdinaryShares) {
  sandbox_.write_file("etc/config/tvk2.conf",
                      "[S1]\npath = " + data_ + "/s1\nshare type = 1\n" +
                          "[S2]\npath = " + data_ + "/s2\nshare type = 2\n" +
                          "[S8]\npath = " + data_ + "/s8\nshare type = 8\n");
  Entry plain = make_file("plain.mkv");
  EXPECT_EQ(integer(format(plain), "is_h265"), 0);
  Json page = Json::adopt(json_object());
  formatter_.add_page_members(page.get());
  EXPECT_EQ(integer(page, "has_h265"), 0);

  // Exempt: a disc image, files that are no videos, videos on cached or
  // remote shares.
  for (const char* name :
       {"hevc.iso", "hevc.txt", "hevc.jpg", "hevc.mp3", "hevc", "s1/hevc.mkv",
        "s2/hevc.mkv", "s8/hevc.mkv"}) {
    write_at(data_ + "/" + name, "x");
    std::string path = std::filesystem::path(data_ + "/" + name).parent_path();
    EXPECT_EQ(
        integer(format(rebuilt(path, std::filesystem::path(name).filename())),
                "is_h265"),
        0)
        << name;
  }
  EXPECT_EQ(runs(kFfmpegTool), 1u);

  // A video outside any share is probed; the page flag stays once set.
  EXPECT_EQ(integer(format(make_file("hevc.MKV")), "is_h265"), 1);
  EXPECT_EQ(integer(format(plain), "is_h265"), 0);
  formatter_.add_page_members(page.get());
  EXPECT_EQ(integer(page, "has_h265"), 1);
}

TEST_F(FormatterTest, ProjectionProbedOnlyForLowerCaseExtensionsInShares) {
  test::SandboxShares share(sandbox_);
  for (const char* name : {"a.JPG", "a.jpg", "a.txt"}) {
    write_at(share.path() + "/" + name, "x");
  }
  EXPECT_EQ(integer(format(rebuilt(share.path(), "a.JPG")), "projection_type"),
            0);
  EXPECT_EQ(runs(kMediaQueryTool), 0u);
  EXPECT_EQ(integer(format(rebuilt(share.path(), "a.jpg")), "projection_type"),
            1);
  EXPECT_EQ(integer(format(rebuilt(share.path(), "a.txt")), "projection_type"),
            0);
  EXPECT_EQ(integer(format(rebuilt(share.path(), "a.jpg")), "projection_type"),
            1);
  EXPECT_EQ(integer(format(make_file("b.jpg")), "projection_type"), 0);
  // Only the first listing of a.jpg asked; photos outside shares never do.
  EXPECT_EQ(runs(kMediaQueryTool), 1u);
}

TEST_F(FormatterTest, LinksShowTheirTarget) {
  std::filesystem::create_directories(data_ + "/folder/inner");
  struct stat folder;
  ASSERT_EQ(stat((data_ + "/folder").c_str(), &folder), 0);
  ASSERT_EQ(symlink("folder", (data_ + "/to-folder").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", (data_ + "/dangling").c_str()), 0);

  Json link = format(rebuilt(data_, "to-folder"));
  EXPECT_EQ(integer(link, "is_link"), 1);
  EXPECT_EQ(integer(link, "isfolder"), 1);
  EXPECT_EQ(integer(link, "filesize"), folder.st_size);
  Json dangling = format(rebuilt(data_, "dangling"));
  EXPECT_EQ(integer(dangling, "is_link"), 1);
  EXPECT_EQ(integer(dangling, "isfolder"), 0);
  EXPECT_EQ(integer(dangling, "filesize"), 0);
}

TEST_F(FormatterTest, SnapshotMembersOnlyInSnapshotFolders) {
  sandbox_.write_file("etc/config/snapshot.conf",
                      "[snap]\npath = " + data_ +
                          "\nvolume = 3\nid = 17\nmount path = /mnt/s/3/17\n");
  make_file("a.txt");
  write_at(sandbox_.path("other/b.txt"), "x");
  const std::string with_snapshot =
      kEntryKeys + " snapshot_id snapshot_vol_id snapshot_mount_path";
  for (const char* alias : {"/snapshot:GMT+08_2024", "/snapshot_vault:P"}) {
    Json object = format(rebuilt(data_, "a.txt", alias));
    EXPECT_EQ(keys_of(object), with_snapshot) << alias;
    EXPECT_EQ(integer(object, "snapshot_id"), 17);
    EXPECT_EQ(integer(object, "snapshot_vol_id"), 3);
    EXPECT_EQ(text(object, "snapshot_mount_path"), "/mnt/s/3/17");
  }
  EXPECT_EQ(keys_of(format(rebuilt(data_, "a.txt", "/Public"))), kEntryKeys);
  EXPECT_EQ(keys_of(format(rebuilt(data_, "a.txt", "/snapshots"))), kEntryKeys);
  // A snapshot display path whose folder the platform does not know.
  EXPECT_EQ(keys_of(format(rebuilt(sandbox_.path("other"), "b.txt",
                                   "/snapshot:GMT+08_2024"))),
            kEntryKeys);
}

TEST_F(FormatterTest, CachedShareMembers) {
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
  ASSERT_TRUE(set_attribute(cloud + "/doc.txt", kMetaStatusAttribute,
                            R"({"state":"uploading","status_code":2000,)"
                            R"("upload_progress":42.7,"priority":"pin"})"));
  ASSERT_TRUE(set_attribute(cloud, kGlobalErrorAttribute, R"({"status":7})"));
  if (!set_attribute(cloud, kFailedCountAttribute, "3")) {
    GTEST_SKIP() << "trusted attributes need CAP_SYS_ADMIN";
  }

  Json doc = format(rebuilt(cloud, "doc.txt"));
  EXPECT_EQ(integer(doc, "is_cached"), 1);
  EXPECT_EQ(integer(doc, "cache_file_status"), 5);
  EXPECT_EQ(integer(doc, "cache_priority"), 1);
  EXPECT_EQ(integer(doc, "cache_upload_progress"), 42);
  EXPECT_EQ(integer(doc, "cache_root_status"), 7);
  EXPECT_EQ(integer(doc, "upload_failed_count"), 3);
  EXPECT_EQ(runs(kFarmountTool), 0u);  // Only folders are asked about.

  Json secret = format(rebuilt(cloud, "Secret"));
  EXPECT_EQ(integer(secret, "cache_folder_is_encypted"), 1);
  EXPECT_EQ(integer(secret, "cache_folder_is_locked"), -2);
  Json open = format(rebuilt(cloud, "Open"));  // The tool names another.
  EXPECT_EQ(integer(open, "cache_folder_is_encypted"), 0);
  EXPECT_EQ(integer(open, "cache_folder_is_locked"), 0);
  EXPECT_EQ(runs(kFarmountTool), 2u);

  Json plain = format(rebuilt(data_, "Plain"));
  for (const char* key : {"is_cached", "cache_file_status", "cache_root_status",
                          "upload_failed_count", "cache_folder_is_encypted"}) {
    EXPECT_EQ(integer(plain, key), 0) << key;
  }
  EXPECT_EQ(runs(kFarmountTool), 2u);
}

TEST_F(FormatterTest, PageMembersFromPlatformSwitches) {
  sandbox_.write_file("etc/config/platform.conf",
                      "[ACL]\nrich acl = 1\nwin acl supported = 1\n"
                      "[MediaLib]\nrealtime transcoding = 1\n");
  sandbox_.write_file("var/.application.conf", "[DISABLE]\nmediaLibrary = 1\n");
  Json page = Json::adopt(json_pack("{s[]si}", "datas", "has_h265", 9));
  formatter_.add_page_members(page.get());
  // Members in order, "has_h265" replaced.
  EXPECT_EQ(json_text(page.get()),
            "{\"datas\":[],\"has_h265\":0,\"medialib\":0,\"rtt_support\":1,"
            "\"medialib_enable\":0,\"is_acl_enable\":1,\"is_winacl_enable\":0,"
            "\"is_winacl_support\":1}");
  sandbox_.write_file("var/.application.conf", "");
  formatter_.add_page_members(page.get());
  EXPECT_EQ(integer(page, "medialib"), 0);  // Read once per formatter.
  LegacyFormatter next_page("root", "orv-test");
  next_page.add_page_members(page.get());
  EXPECT_EQ(integer(page, "medialib"), 1);
}

// Runs the real analyser on clips it makes itself, when it is installed.
TEST_F(FormatterTest, RealAnalyserTellsHevcFromH264) {
  if (access("/usr/bin/ffmpeg", X_OK) != 0) {
    GTEST_SKIP() << "/usr/bin/ffmpeg is not installed (Debian package ffmpeg)";
  }
  std::filesystem::remove(sandbox_.path(kFfmpegTool));
  ASSERT_EQ(symlink("/usr/bin/ffmpeg", sandbox_.path(kFfmpegTool).c_str()), 0);
  std::filesystem::create_directories(data_);
  for (const char* codec : {"libx265", "libx264"}) {
    std::string command =
        std::string(
            "/usr/bin/ffmpeg -nostdin -loglevel error -f lavfi -i "
            "testsrc=duration=1:size=128x72:rate=10 -c:v ") +
        codec + " '" + data_ + "/" + codec + ".mp4' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {
      GTEST_SKIP() << "ffmpeg cannot encode with " << codec;
    }
  }
  EXPECT_EQ(integer(format(rebuilt(data_, "libx265.mp4")), "is_h265"), 1);
  EXPECT_EQ(integer(format(rebuilt(data_, "libx264.mp4")), "is_h265"), 0);
}

TEST_F(FormatterTest, FoldersOfOnePageEachAnswerForTheirOwnEntries) {
  // One page over three folders: without the thumbnail and audio folders,
  // with them, and with a file where the thumbnail folder would be.
  write_at(data_ + "/A/.@__thumb/s100a.jpg", "");
  write_at(data_ + "/A/.@__thumb/transcode/v.mkv.original", "");
  write_at(data_ + "/A/Video2audio/a.jpg.mp3", "");
  write_at(data_ + "/C/.@__thumb", "a file");
  struct Case {
    const char* folder;
    const char* name;
    int thumbnail, mp3, original;
  };
  const Case cases[] = {
      {"B", "a.jpg", 0, 0, 0}, {"A", "a.jpg", 1, 1, 0}, {"A", "b.jpg", 0, 0, 0},
      {"A", "v.mkv", 0, 0, 1}, {"B", "v.mkv", 0, 0, 0}, {"C", "a.jpg", 0, 0, 0},
  };
  for (const Case& c : cases) {
    const std::string folder = data_ + "/" + c.folder;
    write_at(folder + "/" + c.name, "x");
    Json object = format(rebuilt(folder, c.name));
    EXPECT_EQ(integer(object, "has_thumbnail"), c.thumbnail)
        << c.folder << "/" << c.name;
    EXPECT_EQ(integer(object, "mp3"), c.mp3) << c.folder << "/" << c.name;
    EXPECT_EQ(integer(object, "mp4_org"), c.original)
        << c.folder << "/" << c.name;
  }
}

// The look for a thumbnail beside the file, in a folder of its own.
class ThumbnailTest : public ::testing::Test {
 protected:
  void SetUp() override { build_file_type_index(); }

  // Writes an empty file at `relative` below the test folder.
  void write(const std::string& relative) {
    write_at(dir_ + "/" + relative, "");
  }
  static struct stat mode_stat(mode_t mode) {
    struct stat st {};
    st.st_mode = mode;
    return st;
  }

  test::Sandbox sandbox_;
  const std::string dir_ = sandbox_.path("data");
};

TEST_F(ThumbnailTest, ThumbnailBesideTheFileForKnownTypesOnly) {
  write("A/.@__thumb/s100b.jpg");
  write("A/.@__thumb/s100doc.PDF");
  write("A/.@__thumb/s100notes.txt");
  struct Case {
    const char* name;
    bool expected;
  };
  const Case cases[] = {
      {"b.jpg", true},       // media, thumbnail present
      {"doc.PDF", true},     // document, extension in any letter case
      {"c.jpg", false},      // media, no thumbnail
      {"notes.txt", false},  // unknown type: the disk is not asked
  };
  for (const Case& c : cases) {
    Entry e = Entry::from_cache(dir_ + "/A", c.name, mode_stat(S_IFREG), "");
    e.sub_path = "/sub";  // Not part of the thumbnail's path.
    EXPECT_EQ(has_thumbnail(e), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace orv
