#include "format/storage_probe.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "format/probe_test_util.h"

namespace orv {
namespace {

using test::install_printing_tool;
using test::set_attribute;
using test::tool_runs;
using test::write_at;

// An entry whose full path is exactly `full_path`.
Entry entry_at(const std::string& full_path) {
  Entry entry;
  size_t slash = full_path.rfind('/');
  entry.path = full_path.substr(0, slash);
  entry.name = full_path.substr(slash + 1);
  return entry;
}

class StorageProbeTest : public ::testing::Test {
 protected:
  // A folder of the sandbox whose path is at least 40 characters long, so
  // that it is the cache root of everything below it.
  std::string make_cache_root() {
    std::string base = sandbox_.path("cm");
    std::string root = base + "/" + std::string(40 - base.size() - 1, 'r');
    std::filesystem::create_directories(root);
    EXPECT_EQ(cache_root(root + "/a/b.txt"), root);
    return root;
  }

  test::Sandbox sandbox_;
};

TEST_F(StorageProbeTest, CacheRootCutsAtFirstSlashFromPosition35) {
  const std::string p34(34, 'a');  // characters 0 to 33
  const struct {
    std::string path;
    std::optional<std::string> root;
  } kCases[] = {
      {"", std::nullopt},
      {"/share/short/path", std::nullopt},
      {"/" + p34.substr(1), std::nullopt},  // 34 characters: too short
      {"/" + p34, "/" + p34},               // 35 characters, no "/" after
      {"/" + p34 + "/x", "/" + p34},        // "/" at position 35
      {"/" + p34 + "bcd/x/y", "/" + p34 + "bcd"},
      {"/a/b/c/" + p34 + "/d", "/a/b/c/" + p34},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(cache_root(c.path), c.root) << c.path;
  }
}

TEST_F(StorageProbeTest, CacheRootStatusFromGlobalErrorAttribute) {
  std::string root = make_cache_root();
  Entry file = entry_at(root + "/folder/file.txt");
  EXPECT_EQ(cache_root_status(file), 2000);  // No attribute yet.

  const struct {
    const char* value;
    int status;
  } kCases[] = {
      {"{\"status\": 7}", 7},
      {"{\"status\":0,\"msg\":\"x\"}", 0},
      {"{\"status\": \"7\"}", -1},
      {"{\"code\": 7}", -1},
      {"[7]", -1},
      {"not json", -1},
      {"", -1},
  };
  for (const auto& c : kCases) {
    if (!set_attribute(root, kGlobalErrorAttribute, c.value)) {
      GTEST_SKIP() << "the file system refuses user attributes";
    }
    EXPECT_EQ(cache_root_status(file), c.status) << c.value;
  }
}

TEST_F(StorageProbeTest, CacheProbesGiveDefaultsForUnusablePaths) {
  // Too short to hold a cache root, missing root, empty path.
  for (const std::string& path :
       {std::string("/share/a.txt"),
        sandbox_.path("cm/") + std::string(30, 'x') + "/gone/file.txt"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(cache_root_status(entry_at(path)), -1);
  }
  EXPECT_EQ(cache_root_status(Entry{}), -1);
  EXPECT_EQ(upload_failed_count(Entry{}), -1);
  EXPECT_EQ(upload_failed_count(entry_at("/share/a.txt")), -1);
}

TEST_F(StorageProbeTest, UploadFailedCountFromTrustedAttribute) {
  std::string root = make_cache_root();
  Entry file = entry_at(root + "/file.txt");
  EXPECT_EQ(upload_failed_count(file), 0);
  if (!set_attribute(root, kFailedCountAttribute, "12")) {
    GTEST_SKIP() << "trusted attributes need CAP_SYS_ADMIN";
  }
  EXPECT_EQ(upload_failed_count(file), 12);
  ASSERT_TRUE(set_attribute(root, kFailedCountAttribute, "4294967299"));
  EXPECT_EQ(upload_failed_count(file), 3);  // Taken as a 32-bit integer.
}

class EncryptedFolderTest : public StorageProbeTest {
 protected:
  // A path whose character 20 starts the volume segment "vol1".
  const std::string prefix_ = "/cm/" + std::string(16, 'p');
};

TEST_F(EncryptedFolderTest, LockCodeFromToolStatus) {
  const struct {
    const char* status;
    int lock;
  } kCases[] = {{"1", 0}, {"-2", -2}, {"0", 1}, {"3", 1}};
  Entry folder = entry_at(prefix_ + "vol1/uuid-42/Photos");
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.status);
    install_printing_tool(
        sandbox_, kFarmountTool,
        std::string(
            "{\"data\":{\"encrypted_folder\":\"/x/Photos\",\"status\":") +
            c.status + "}}",
        "");
    EncryptedFolderStatus status;
    ASSERT_EQ(probe_encrypted_folder(folder, &status), 0);
    EXPECT_EQ(status.encrypted, 1);
    EXPECT_EQ(status.lock_code, c.lock);
    EXPECT_EQ(status.folder_path, "/x/Photos");
  }
  EXPECT_EQ(tool_runs(sandbox_, kFarmountTool).front(),
            "--func get_encrypted_folder_runtime_status vol1 --uuid uuid-42");
}

TEST_F(EncryptedFolderTest, IncompleteAnswersFail) {
  const char* kAnswers[] = {
      "",
      "garbage",
      "{\"status\":1}",
      "{\"data\":[]}",
      "{\"data\":{\"status\":1}}",
      "{\"data\":{\"encrypted_folder\":\"/x\"}}",
      "{\"data\":{\"encrypted_folder\":\"/x\",\"status\":\"1\"}}",
      "{\"data\":{\"encrypted_folder\":7,\"status\":1}}",
  };
  for (const char* answer : kAnswers) {
    SCOPED_TRACE(answer);
    install_printing_tool(sandbox_, kFarmountTool, answer, "");
    EncryptedFolderStatus status;
    status.folder_path = "untouched";
    EXPECT_EQ(probe_encrypted_folder(entry_at(prefix_ + "vol1/u"), &status),
              -1);
    EXPECT_EQ(status.folder_path, "untouched");
    EXPECT_EQ(status.encrypted, 0);
  }
}

TEST_F(EncryptedFolderTest, PathsWithoutSegmentsNeverStartTool) {
  install_printing_tool(sandbox_, kFarmountTool,
                        "{\"data\":{\"encrypted_folder\":\"/x\",\"status\":1}}",
                        "");
  EncryptedFolderStatus status;
  for (const std::string& path : {std::string(""), std::string("/share/x"),
                                  prefix_, prefix_ + "vol1-without-slash"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(probe_encrypted_folder(entry_at(path), &status), -1);
  }
  EXPECT_TRUE(tool_runs(sandbox_, kFarmountTool).empty());
  // The uuid segment may run to the end of the path.
  EXPECT_EQ(probe_encrypted_folder(entry_at(prefix_ + "vol2/uuid-7"), &status),
            0);
  EXPECT_EQ(tool_runs(sandbox_, kFarmountTool).back(),
            "--func get_encrypted_folder_runtime_status vol2 --uuid uuid-7");
}

TEST_F(StorageProbeTest, MetaStatusTable) {
  const struct {
    const char* meta;
    int state, priority, status_code, overall, percent;
    float progress;
  } kCases[] = {
      {R"({"state":"uploading","status_code":2000,"upload_progress":42.7})", 5,
       0, 2000, 5, 42, 42.7f},
      // A progress written as an integer is not the cache manager's format.
      {R"({"state":"uploading","status_code":2000,"upload_progress":42})", 5, 0,
       2000, 5, 0, 0},
      {R"({"state":"full-cached","status_code":4031,"priority":"pin"})", 2, 1,
       4031, 6, 0, 0},
      {R"({"state":"error","status_code":2000,"error_type":"upload-error"})", 6,
       0, 2000, 8, 0, 0},
      {R"({"state":"downloading","status_code":500,"error_type":"download-error"})",
       4, 0, 500, 7, 0, 0},
      {R"({"state":"error","status_code":500,"priority":"low"})", 6, 3, 500,
       500, 0, 0},
      {R"({"state":"ignored","status_code":4000})", 10, 0, 4000, 10, 0, 0},
      {R"({"state":"nospace","priority":"normal"})", 11, 2, 0, 11, 0, 0},
      {R"({"state":"wait-for-uploading","status_code":10000})", 9, 0, 10000, 9,
       0, 0},
      {R"({"state":"partial-cached","status_code":10000,"priority":"urgent"})",
       3, 2, 10000, 3, 0, 0},
      {R"({"state":"non-cached","status_code":2000})", 1, 0, 2000, 1, 0, 0},
      {R"({"state":"frozen","status_code":2000})", -1, 0, 2000, 0, 0, 0},
      {R"({"state":5,"priority":1,"status_code":"2000"})", 0, 0, 0, 0, 0, 0},
      {R"({})", 0, 0, 0, 0, 0, 0},
  };
  std::string folder = sandbox_.path("data");
  write_at(folder + "/f.txt", "x");
  Entry file = Entry::from_path(folder, "f.txt");
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.meta);
    if (!set_attribute(file.full_path(), kMetaStatusAttribute, c.meta)) {
      GTEST_SKIP() << "the file system refuses user attributes";
    }
    CacheMetaStatus status;
    ASSERT_EQ(cache_status(file, &status), 0);
    EXPECT_EQ(status.state, c.state);
    EXPECT_EQ(status.priority, c.priority);
    EXPECT_EQ(status.status_code, c.status_code);
    EXPECT_EQ(status.overall_status, c.overall);
    EXPECT_EQ(status.progress_percent, c.percent);
    EXPECT_FLOAT_EQ(status.upload_progress, c.progress);
  }
}

TEST_F(StorageProbeTest, MetaStatusMissingOrBroken) {
  std::string folder = sandbox_.path("data");
  write_at(folder + "/f.txt", "x");
  Entry file = Entry::from_path(folder, "f.txt");
  CacheMetaStatus status;
  EXPECT_EQ(read_meta_status(file, &status), -1);
  EXPECT_EQ(cache_status(file, &status), 0);  // A zeroed record.
  EXPECT_EQ(status.overall_status, 0);
  ASSERT_TRUE(set_attribute(file.full_path(), kMetaStatusAttribute, "{oops"));
  EXPECT_EQ(read_meta_status(file, &status), -1);
  EXPECT_EQ(read_meta_status(Entry{}, &status), -1);
  EXPECT_EQ(cache_status(Entry{}, &status), -1);
}

TEST_F(StorageProbeTest, WholeProgressTruncatesAndClamps) {
  EXPECT_EQ(whole_progress(42.7f), 42);
  EXPECT_EQ(whole_progress(-0.5f), 0);
  EXPECT_EQ(whole_progress(1e30f), 2147483647);
  EXPECT_EQ(whole_progress(std::numeric_limits<float>::quiet_NaN()), 0);
}

TEST_F(StorageProbeTest, AclEnabledByEitherSwitch) {
  const struct {
    const char* conf;
    int enabled;
  } kCases[] = {
      {"", 0},
      {"[ACL]\nenable = 1\n", 1},
      {"[ACL]\nrich acl = 1\n", 1},
      {"[ACL]\nwin acl = 1\nwin acl supported = 1\n", 0},
  };
  for (const auto& c : kCases) {
    sandbox_.write_file("etc/config/platform.conf", c.conf);
    EXPECT_EQ(acl_enabled(), c.enabled) << c.conf;
  }
}

TEST_F(StorageProbeTest, PathKindByShareTypeAndDisplayFolder) {
  std::string data = sandbox_.path("data");
  sandbox_.write_file("etc/config/tvk2.conf",
                      "[global]\nworkgroup = x\n"
                      "[Remote]\npath = " +
                          data +
                          "/remote\nshare type = 2\n"
                          "[Cloud]\npath = " +
                          data +
                          "/cloud\nshare type = 1\n"
                          "[Usb]\npath = /share/Usb\nmtp = yes\n"
                          "[Disc]\npath = /share/Disc\nodd = yes\n");
  const struct {
    std::string path, alias;
    int kind;
  } kCases[] = {
      {data + "/remote", "/snapshot:x", 2},
      {data + "/cloud", "/remote:x", 12},
      {data + "/plain", "/remote:host/a", 4},
      {data + "/plain", "/ubuntu:vm", 5},
      {data + "/plain", "/zentra:vm", 6},
      {data + "/plain", "/snapshot:2024-05-01", 7},
      {data + "/plain", "/snapshot_vault:1", 8},
      {data + "/plain", "/mnt/snapshot/1/Public", 11},
      {data + "/plain", "/share/Usb/DCIM", 1},
      {data + "/plain", "/share/Disc", 3},
      {data + "/plain", "/share/Public", 0},
      {data + "/plain", "", 0},
      {data + "/plain", "/snapshot", 0},
  };
  for (const auto& c : kCases) {
    Entry entry = Entry::folder_item(c.path, "", c.alias);
    entry.name = "f.txt";
    EXPECT_EQ(path_kind(entry), c.kind) << c.path << " " << c.alias;
  }
}

TEST_F(StorageProbeTest, AutotierFollowsLinkTarget) {
  test::ScratchFolder area("/share/external/.autotier");
  if (!area.ok()) GTEST_SKIP() << area.reason();
  std::string data = sandbox_.path("data");
  std::filesystem::create_directories(data);
  write_at(area.path() + "/big.bin", "x");
  write_at(data + "/plain.bin", "x");
  ASSERT_EQ(
      symlink((area.path() + "/big.bin").c_str(), (data + "/tiered").c_str()),
      0);
  ASSERT_EQ(symlink((data + "/plain.bin").c_str(), (data + "/local").c_str()),
            0);
  EXPECT_TRUE(is_autotier(Entry::from_path(data, "tiered")));
  EXPECT_FALSE(is_autotier(Entry::from_path(data, "local")));
  EXPECT_FALSE(is_autotier(Entry::from_path(data, "missing")));
}

}  // namespace
}  // namespace orv
