#include "format/storage_probe.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "format/probe_test_util.h"

namespace orv {
namespace {

using test::install_printing_tool;
using test::set_attribute;
using test::tool_runs;

// An entry whose full path is exactly `full_path`.
Entry entry_at(const std::string& full_path) {
  size_t slash = full_path.rfind('/');
  Entry entry;
  entry.path = full_path.substr(0, slash);
  entry.name = full_path.substr(slash + 1);
  return entry;
}

class StorageProbeTest : public ::testing::Test {
 protected:
  // A sandbox folder of 40 characters: the cache root of all below it.
  std::string make_cache_root() {
    std::string base = sandbox_.path("cm");
    std::string root = base + "/" + std::string(40 - base.size() - 1, 'r');
    std::filesystem::create_directories(root);
    return root;
  }

  test::Sandbox sandbox_;
};

TEST_F(StorageProbeTest, CacheRootCutsAtFirstSlashFromPosition35) {
  const std::string p34(34, 'a');
  const struct {
    std::string path;
    std::string root;
  } kCases[] = {
      {"", ""},
      {"/share/short/path", "/share/short/path"},  // Nothing at position 35.
      {p34, p34},
      {"/" + p34, "/" + p34},         // 35 characters, no "/" after.
      {"/" + p34 + "/x", "/" + p34},  // "/" exactly at position 35.
      {"/a/b/" + p34 + "cd/e/f", "/a/b/" + p34 + "cd"},
  };
  for (const auto& c : kCases) EXPECT_EQ(cache_root(c.path), c.root) << c.path;
}

TEST_F(StorageProbeTest, CacheRootStatusAndFailedCount) {
  std::string root = make_cache_root();
  Entry file = entry_at(root + "/folder/file.txt");
  EXPECT_EQ(cache_root_status(file), 2000);  // No attribute: no error.
  // A path too short to be cut is its own root.
  const std::string short_path = sandbox_.path("s");
  ASSERT_LT(short_path.size(), 35u);
  test::write_at(short_path, "x");
  EXPECT_EQ(cache_root_status(entry_at(short_path)), 2000);
  EXPECT_EQ(upload_failed_count(entry_at(short_path)), 0);
  // Unusable paths: empty, a root that does not exist.
  EXPECT_EQ(cache_root_status(Entry{}), -1);
  EXPECT_EQ(cache_root_status(entry_at(root + "-gone/file.txt")), -1);

  const struct {
    const char* value;
    int status;
  } kCases[] = {
      {"{\"status\": 7}", 7},
      {"{\"status\":0,\"msg\":\"x\"}", 0},
      {"{\"status\": \"7\"}", -1},
      {"[7]", -1},
      {"not json", -1},
      {"", -1},
  };
  for (const auto& c : kCases) {
    ASSERT_TRUE(set_attribute(root, kGlobalErrorAttribute, c.value));
    EXPECT_EQ(cache_root_status(file), c.status) << c.value;
  }

  // The failed upload count lives beside it, with its own defaults.
  EXPECT_EQ(upload_failed_count(file), 0);
  EXPECT_EQ(upload_failed_count(Entry{}), -1);
  ASSERT_TRUE(set_attribute(root, kFailedCountAttribute, "12"));
  EXPECT_EQ(upload_failed_count(file), 12);
}

class EncryptedFolderTest : public StorageProbeTest {
 protected:
  // 20 characters: what follows starts the volume segment.
  const std::string prefix_ = "/cm/" + std::string(16, 'p');
};

TEST_F(EncryptedFolderTest, LockCodeFromToolStatus) {
  const struct {
    const char* status;
    int lock;
  } kCases[] = {{"1", 0}, {"-2", -2}, {"0", 1}, {"3", 1}};
  for (const auto& c : kCases) {
    install_printing_tool(
        sandbox_, kFarmountTool,
        std::string(
            "{\"data\":{\"encrypted_folder\":\"/x/Photos\",\"status\":") +
            c.status + "}}",
        "");
    EncryptedFolderStatus status;
    ASSERT_EQ(
        probe_encrypted_folder(entry_at(prefix_ + "vol1/uuid-42/P"), &status),
        0);
    EXPECT_EQ(status.encrypted, 1);
    EXPECT_EQ(status.lock_code, c.lock) << c.status;
    EXPECT_EQ(status.folder_path, "/x/Photos");
    EXPECT_EQ(tool_runs(sandbox_, kFarmountTool).back(),
              "--func get_encrypted_folder_runtime_status vol1 --uuid uuid-42");
  }
  // The uuid segment may run to the end of the path.
  EncryptedFolderStatus status;
  EXPECT_EQ(probe_encrypted_folder(entry_at(prefix_ + "vol2/u7"), &status), 0);
  EXPECT_EQ(tool_runs(sandbox_, kFarmountTool).back(),
            "--func get_encrypted_folder_runtime_status vol2 --uuid u7");
}

TEST_F(EncryptedFolderTest, UnusablePathsAndAnswersFail) {
  const std::string good =
      "{\"data\":{\"encrypted_folder\":\"/x\",\"status\":1}}";
  install_printing_tool(sandbox_, kFarmountTool, good, "");
  EncryptedFolderStatus status;
  status.folder_path = "untouched";
  for (const std::string& path : {std::string(""), std::string("/share/x"),
                                  prefix_, prefix_ + "vol-without-slash"}) {
    EXPECT_EQ(probe_encrypted_folder(entry_at(path), &status), -1) << path;
  }
  EXPECT_TRUE(tool_runs(sandbox_, kFarmountTool).empty());

  for (const char* answer :
       {"", "garbage", "{\"status\":1}", "{\"data\":[]}",
        "{\"data\":{\"status\":1}}", "{\"data\":{\"encrypted_folder\":\"/x\"}}",
        "{\"data\":{\"encrypted_folder\":\"/x\",\"status\":\"1\"}}"}) {
    install_printing_tool(sandbox_, kFarmountTool, answer, good);
    EXPECT_EQ(probe_encrypted_folder(entry_at(prefix_ + "v/u"), &status), -1)
        << answer;
  }
  EXPECT_EQ(status.folder_path, "untouched");
  EXPECT_EQ(status.encrypted, 0);
}

TEST_F(StorageProbeTest, MetaStatusTable) {
  const struct {
    const char* meta;
    int state, priority, status_code, overall, percent;
    float progress;
  } kCases[] = {
      {R"({"state":"uploading","status_code":2000,"upload_progress":42.7})", 5,
       0, 2000, 5, 42, 42.7f},
      // An integer progress is not the cache manager's format: not read.
      {R"({"state":"uploading","status_code":2000,"upload_progress":42})", 5, 0,
       2000, 5, 0, 0},
      {R"({"state":"full-cached","status_code":2000,"upload_progress":9.5})", 2,
       0, 2000, 2, 0, 9.5f},
      {R"({"state":"full-cached","status_code":4031,"priority":"pin"})", 2, 1,
       4031, 6, 0, 0},
      {R"({"state":"error","status_code":2000,"error_type":"upload-error"})", 6,
       0, 2000, 8, 0, 0},
      {R"({"state":"downloading","status_code":5,"error_type":"download-error"})",
       4, 0, 5, 7, 0, 0},
      {R"({"state":"error","status_code":500,"priority":"low"})", 6, 3, 500,
       500, 0, 0},
      {R"({"state":"ignored","status_code":4000})", 10, 0, 4000, 10, 0, 0},
      {R"({"state":"nospace","priority":"normal"})", 11, 2, 0, 11, 0, 0},
      {R"({"state":"wait-for-uploading","status_code":10000})", 9, 0, 10000, 9,
       0, 0},
      {R"({"state":"frozen","status_code":2000})", -1, 0, 2000, 0, 0, 0},
      {R"({"state":5,"priority":1,"status_code":"2000"})", 0, 0, 0, 0, 0, 0},
  };
  test::write_at(sandbox_.path("data/f.txt"), "x");
  Entry file = Entry::from_path(sandbox_.path("data"), "f.txt");
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.meta);
    ASSERT_TRUE(set_attribute(file.full_path(), kMetaStatusAttribute, c.meta));
    CacheMetaStatus status;
    ASSERT_EQ(cache_status(file, &status), 0);
    EXPECT_EQ(status.state, c.state);
    EXPECT_EQ(status.priority, c.priority);
    EXPECT_EQ(status.status_code, c.status_code);
    EXPECT_EQ(status.overall_status, c.overall);
    EXPECT_EQ(status.progress_percent, c.percent);
    EXPECT_FLOAT_EQ(status.upload_progress, c.progress);
  }
  // A broken value fails the read; the record stays zero.
  ASSERT_TRUE(set_attribute(file.full_path(), kMetaStatusAttribute, "{oops"));
  CacheMetaStatus status;
  EXPECT_EQ(read_meta_status(file, &status), -1);
  EXPECT_EQ(cache_status(file, &status), 0);
  EXPECT_EQ(status.overall_status, 0);
  EXPECT_EQ(cache_status(Entry{}, &status), -1);
}

TEST_F(StorageProbeTest, PathKindByShareTypeAndDisplayFolder) {
  std::string data = sandbox_.path("data");
  sandbox_.write_file("etc/config/tvk2.conf",
                      "[Remote]\npath = " + data + "/remote\nshare type = 2\n" +
                          "[Cloud]\npath = " + data +
                          "/cloud\nshare type = 1\n" +
                          "[Usb]\npath = /share/Usb\nmtp = yes\n"
                          "[Disc]\npath = /share/Disc\nodd = yes\n");
  const struct {
    std::string folder, alias;
    int kind;
  } kCases[] = {
      {"/remote", "/snapshot:x", 2},
      {"/cloud", "/remote:x", 12},
      {"/plain", "/remote:host/a", 4},
      {"/plain", "/ubuntu:vm", 5},
      {"/plain", "/zentra:vm", 6},
      {"/plain", "/snapshot:2024-05-01", 7},
      {"/plain", "/snapshot_vault:1", 8},
      {"/plain", "/mnt/snapshot/1/Public", 11},
      {"/plain", "/share/Usb/DCIM", 1},
      {"/plain", "/share/Disc", 3},
      {"/plain", "/share/Public", 0},
      {"/plain", "/snapshot", 0},
      {"/plain", "", 0},
  };
  for (const auto& c : kCases) {
    Entry entry = Entry::folder_item(data + c.folder, "", c.alias);
    entry.name = "f.txt";
    EXPECT_EQ(path_kind(entry), c.kind) << c.folder << " " << c.alias;
  }
}

TEST_F(StorageProbeTest, AutotierFollowsLinkTarget) {
  test::SandboxShares shares(sandbox_);
  const std::string area = shares.path() + "/external/.autotier";
  std::string data = sandbox_.path("data");
  test::write_at(area + "/big.bin", "x");
  test::write_at(data + "/plain.bin", "x");
  ASSERT_EQ(symlink((area + "/big.bin").c_str(), (data + "/tiered").c_str()),
            0);
  ASSERT_EQ(symlink("plain.bin", (data + "/local").c_str()), 0);
  EXPECT_TRUE(is_autotier(Entry::from_path(data, "tiered")));
  EXPECT_FALSE(is_autotier(Entry::from_path(data, "local")));
  EXPECT_FALSE(is_autotier(Entry::from_path(data, "missing")));
}

}  // namespace
}  // namespace orv
