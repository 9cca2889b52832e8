// Searches through the real daemon: fetch.resource's whole reply, paging
// within the walk's limit, parameter errors, recursive lists across folders,
// every kind of filter, sort and cluster, and the time limit of a walk.
#include <grp.h>
#include <pwd.h>
#include <regex.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/search_fixture.h"

namespace orv::test {
namespace {

using Names = std::vector<std::string>;
using SearchResourceTest = SearchTest;

bool is_uuid(const std::string& text) {
  regex_t pattern;
  regcomp(&pattern,
          "^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$",
          REG_EXTENDED | REG_NOSUB);
  const bool match = regexec(&pattern, text.c_str(), 0, nullptr, 0) == 0;
  regfree(&pattern);
  return match;
}

std::string local_time(time_t seconds) {
  struct tm local {};
  localtime_r(&seconds, &local);
  char text[32];
  strftime(text, sizeof(text), "%F %T", &local);
  return text;
}

TEST_F(SearchResourceTest, ThreeFilesGiveTheWholeReply) {
  const std::string dir = folder("share/Public");
  struct File {
    const char* name;
    off_t size;
    time_t mtime;
  };
  // Made out of order: the reply sorts them by name.
  const File files[] = {
      {"b.txt", 12, 999}, {"c.txt", 0, 1600000000}, {"a.txt", 7, 1500000000}};
  for (const File& file : files)
    make_file(dir, file.name, file.size, file.mtime);

  const std::string body = "{" + path_member(dir, "/Public") + "}";
  Json reply = call("fetch.resource", body);
  EXPECT_EQ(keys(reply.get()),
            (Names{"cluster", "uuid", "total", "datas", "changed", "has_h265",
                   "medialib", "rtt_support", "medialib_enable",
                   "is_acl_enable", "is_winacl_enable", "is_winacl_support",
                   "error_code", "error_message"}));
  EXPECT_EQ(json_text(json_object_get(reply.get(), "cluster")),
            R"([{"value":"","count":3}])");
  EXPECT_EQ(int_of(reply, "total"), 3);
  EXPECT_TRUE(json_is_false(json_object_get(reply.get(), "changed")));
  EXPECT_EQ(int_of(reply, "error_code"), 0);
  EXPECT_EQ(text_of(reply, "error_message"), "");
  for (const char* page_member :
       {"has_h265", "rtt_support", "medialib_enable", "is_acl_enable",
        "is_winacl_enable", "is_winacl_support"}) {
    EXPECT_EQ(int_of(reply, page_member), 0) << page_member;
  }
  EXPECT_EQ(int_of(reply, "medialib"), 1);  // Not switched off.
  const std::string uuid = text_of(reply, "uuid");
  EXPECT_TRUE(is_uuid(uuid)) << uuid;
  EXPECT_NE(text_of(call("fetch.resource", body), "uuid"), uuid);

  const Names kEntryKeys{"filename",
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
                         "upload_failed_count"};
  json_t* datas = json_object_get(reply.get(), "datas");
  ASSERT_EQ(json_array_size(datas), 3u);
  const File* by_name[] = {&files[2], &files[0], &files[1]};
  for (size_t i = 0; i < 3; ++i) {
    const File& file = *by_name[i];
    SCOPED_TRACE(file.name);
    Json entry = Json::borrow(json_array_get(datas, i));
    EXPECT_EQ(keys(entry.get()), kEntryKeys);
    EXPECT_EQ(text_of(entry, "filename"), file.name);
    EXPECT_EQ(text_of(entry, "filepath"), std::string("/Public/") + file.name);
    EXPECT_EQ(int_of(entry, "filesize"), file.size);
    EXPECT_EQ(int_of(entry, "isfolder"), 0);
    EXPECT_EQ(text_of(entry, "owner"), "root");
    EXPECT_EQ(text_of(entry, "group"), "root");
    EXPECT_EQ(text_of(entry, "privilege"), "644");
    EXPECT_EQ(text_of(entry, "mt"), local_time(file.mtime));
    EXPECT_EQ(int_of(entry, "epochmt"), file.mtime);
    EXPECT_EQ(text_of(entry, "randno"),
              std::to_string(file.size) + std::to_string(file.mtime));
    EXPECT_EQ(int_of(entry, "play"), 1);
    // The handler reads as the session user, who may only read the file.
    EXPECT_EQ(int_of(entry, "acl"), 4);
    for (const char* flag :
         {"is_h265", "mp4_240", "mp4_org", "mp3", "trans", "has_thumbnail",
          "is_link", "is_cached", "sticky_bit", "encrypt_folder"}) {
      EXPECT_EQ(int_of(entry, flag), 0) << flag;
    }
  }
}

TEST_F(SearchResourceTest, LimitBoundsTheWalkAndOffsetPagesWithinIt) {
  const std::string dir = folder("share/Many");
  make_files(dir, "f%03d.txt", 200);
  const std::string path = path_member(dir, "/Many");
  Json first = call("fetch.resource", "{" + path + R"(,"limit":50})");
  EXPECT_EQ(int_of(first, "total"), 50);
  Names walked = column(first);
  ASSERT_EQ(walked.size(), 50u);
  EXPECT_TRUE(std::is_sorted(walked.begin(), walked.end()));

  // The directory hands out the same 50 names first again.
  Json paged =
      call("fetch.resource", "{" + path + R"(,"limit":50,"offset":40})");
  EXPECT_EQ(int_of(paged, "total"), 50);
  EXPECT_EQ(column(paged), Names(walked.begin() + 40, walked.end()));
}

TEST_F(SearchResourceTest, ParameterErrorsReportTheFirstInOrder) {
  const std::string path = path_member(folder("share/E"), "/E");
  struct Case {
    const char* method;
    std::string body;
    const char* message;
  };
  const Case cases[] = {
      {"fetch.resource", "{" + path + R"(,"type":"bogus","sort":"bogus"})",
       "invalid type"},
      {"fetch.resource", R"({"limit":10,"path":"not an array"})",
       "invalid limit"},
      {"create.cache", R"({"index":3})", "invalid index"},
      {"fetch.resource", R"({"path":"/share/E"})", "invalid path type"},
      {"fetch.resource", "{" + path + R"(,"size":"2K"})", "invalid size"},
      {"fetch.resource", "{" + path + R"(,"date":">=1"})", "invalid date"},
      {"fetch.resource", "{" + path + R"(,"date":["!=1"]})", "invalid date"},
      {"create.cache", "{" + path + R"(,"owner":"no-such-account"})",
       "invalid owner"},
      {"create.cache", "{" + path + R"(,"group":"no-such-group"})",
       "invalid group"},
      {"fetch.resource", "{" + path + R"(,"sort":"size:"})", "invalid sort"},
      {"fetch.resource", "{" + path + R"(,"cluster":false})",
       "invalid cluster"},
      {"create.cache", "{" + path + R"(,"cluster":true})", "invalid cluster"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.body);
    Json reply = call(c.method, c.body);
    EXPECT_EQ(int_of(reply, "error_code"), 2);
    EXPECT_EQ(text_of(reply, "error_message"), c.message);
    EXPECT_EQ(json_object_size(reply.get()), 2u);
  }
}

TEST_F(SearchResourceTest, RecursiveListKeepsEachEntryUnderItsOwnFolder) {
  // Sorted by name the files lie in A, then B, then A again.
  const std::string root = folder("share/R");
  make_file(folder("share/R/A"), "a1.txt");
  make_file(folder("share/R/B"), "b1.txt");
  make_file(root + "/A", "c1.txt");
  const std::string body =
      "{" + path_member(root, "/R") + R"(,"recursive":true,"type":"file"})";
  const Names paths{"/R/A/a1.txt", "/R/B/b1.txt", "/R/A/c1.txt"};

  Json direct = call("fetch.resource", body);
  EXPECT_EQ(int_of(direct, "total"), 3);
  EXPECT_EQ(column(direct, "filepath"), paths);

  Json made = call("create.cache", body);
  ASSERT_EQ(int_of(made, "error_code"), 0) << json_text(made.get());
  Json page =
      call("fetch.cache", R"({"uuid":")" + text_of(made, "uuid") + R"("})");
  EXPECT_EQ(int_of(page, "total"), 3);
  EXPECT_EQ(column(page, "filepath"), paths);
}

TEST_F(SearchResourceTest, FiltersSortsAndClustersCombine) {
  const std::string dir = folder("share/Mix");
  constexpr off_t kKiB = 1024;
  make_file(dir, ".secret", 1, 946684800);                         // 2000
  make_file(dir, "tiny.txt", 10, 978307200);                       // 2001
  make_file(dir, "two_k.mp3", 2 * kKiB, 1308009600);               // 2011
  make_file(dir, "readme.txt", 20, 1420070400);                    // 2015
  make_file(dir, "three_m.jpg", 3 * kKiB * kKiB, 1577836800);      // 2020
  make_file(dir, "huge.iso", 5 * kKiB * kKiB * kKiB, 1704067200);  // 2024
  folder("share/Mix/sub");  // Changed now.
  struct passwd* nobody = getpwnam("nobody");
  struct group* daemon_group = getgrnam("daemon");
  ASSERT_NE(nobody, nullptr);
  ASSERT_NE(daemon_group, nullptr);
  ASSERT_EQ(chown((dir + "/tiny.txt").c_str(), nobody->pw_uid, -1), 0);
  ASSERT_EQ(chown((dir + "/two_k.mp3").c_str(), -1, daemon_group->gr_gid), 0);

  struct Case {
    const char* params;
    Names names;
    const char* cluster = nullptr;  // the "cluster" member, when checked
  };
  const Case cases[] = {
      {"",
       {"huge.iso", "readme.txt", "sub", "three_m.jpg", "tiny.txt",
        "two_k.mp3"}},
      // "hidden" is read as an integer: the text "true" reads 0 and shows.
      {R"("hidden":"true","type":"file","sort":"size:asc")",
       {".secret", "tiny.txt", "readme.txt", "two_k.mp3", "three_m.jpg",
        "huge.iso"}},
      {R"("hidden":0,"type":"file","sort":"size")",
       {".secret", "tiny.txt", "readme.txt", "two_k.mp3", "three_m.jpg",
        "huge.iso"}},
      {R"("hidden":true,"type":"file","sort":"size:desc")",
       {"huge.iso", "three_m.jpg", "two_k.mp3", "readme.txt", "tiny.txt"}},
      {R"("type":"folder")", {"sub"}},
      {R"("type":"music")", {"two_k.mp3"}},
      {R"("type":"photo:ignored")", {"three_m.jpg"}},
      {R"("type":"extname:iso")", {"huge.iso"}},
      {R"("name":"T*")", {"three_m.jpg", "tiny.txt", "two_k.mp3"}},
      {R"("date":[">=1308009600","<1704067200"])",
       {"readme.txt", "three_m.jpg", "two_k.mp3"}},
      {R"("date":["<=978307200"])", {"tiny.txt"}},
      {R"("type":"file","size":">=2K")",
       {"huge.iso", "three_m.jpg", "two_k.mp3"}},
      {R"("type":"file","size":"<3M")",
       {"readme.txt", "tiny.txt", "two_k.mp3"}},
      {R"("size":"==3M")", {"three_m.jpg"}},
      {R"("size":">4G")", {"huge.iso"}},
      {R"("size":"<=1T","type":"file","sort":"date")",
       {"tiny.txt", "two_k.mp3", "readme.txt", "three_m.jpg", "huge.iso"}},
      {R"("size":">=1P")", {}},
      {R"("size":"<1P","type":"file","sort":"date:desc")",
       {"huge.iso", "three_m.jpg", "readme.txt", "two_k.mp3", "tiny.txt"}},
      {R"("owner":"nobody")", {"tiny.txt"}},
      {R"("group":"daemon")", {"two_k.mp3"}},
      {R"("type":"file","cluster":"type")",
       {"huge.iso", "three_m.jpg", "two_k.mp3", "readme.txt", "tiny.txt"},
       R"([{"value":"iso","count":1},{"value":"jpg","count":1},)"
       R"({"value":"mp3","count":1},{"value":"txt","count":2}])"},
      {R"("type":"file","cluster":"type:desc")",
       {"readme.txt", "tiny.txt", "two_k.mp3", "three_m.jpg", "huge.iso"},
       R"([{"value":"txt","count":2},{"value":"mp3","count":1},)"
       R"({"value":"jpg","count":1},{"value":"iso","count":1}])"},
      // The cluster takes its direction from the sort.
      {R"("type":"file","sort":"name:desc","cluster":"type")",
       {"tiny.txt", "readme.txt", "two_k.mp3", "three_m.jpg", "huge.iso"},
       R"([{"value":"txt","count":2},{"value":"mp3","count":1},)"
       R"({"value":"jpg","count":1},{"value":"iso","count":1}])"},
  };
  const std::string path = path_member(dir, "/Mix");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.params);
    std::string body = "{" + path;
    if (*c.params != '\0') body += std::string(",") + c.params;
    Json reply = call("fetch.resource", body + "}");
    EXPECT_EQ(int_of(reply, "error_code"), 0) << json_text(reply.get());
    EXPECT_EQ(column(reply), c.names);
    EXPECT_EQ(int_of(reply, "total"), static_cast<int64_t>(c.names.size()));
    if (c.cluster != nullptr) {
      EXPECT_EQ(json_text(json_object_get(reply.get(), "cluster")), c.cluster);
    }
  }
}

TEST_F(SearchResourceTest, ReachTimeAnswersAfterAboutOneSecondSorted) {
  // One tree of 2,000 files listed as 2,500 roots: a search of five million
  // names, far more than a walk reads in a second, without writing them all.
  const std::string tree = folder("share/Big");
  constexpr int kFolders = 5;
  constexpr int kRoots = 2500;
  for (int f = 0; f < kFolders; ++f) {
    char sub[16];
    std::snprintf(sub, sizeof(sub), "d%02d", f);
    const std::string dir = folder("share/Big/" + std::string(sub));
    make_files(dir, "f%d", 400);
    make_file(dir, "keep" + std::string(sub));
  }
  std::string roots;
  for (int r = 0; r < kRoots; ++r) {
    roots += std::string(r == 0 ? "" : ",") + R"({"full_path":")" + tree +
             R"(","alias":"/Big"})";
  }
  const std::string body = R"({"path":[)" + roots +
                           R"(],"recursive":true,"name":"keep*",)"
                           R"("reach_time":1})";

  const auto start = std::chrono::steady_clock::now();
  Json reply = call("fetch.resource", body);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(int_of(reply, "error_code"), 0) << text_of(reply, "error_message");
  EXPECT_GE(elapsed, std::chrono::milliseconds(1000));
  EXPECT_LT(elapsed, std::chrono::milliseconds(3000));
  // The walk was cut short, and what it found comes back sorted.
  const int64_t total = int_of(reply, "total");
  EXPECT_GT(total, 0);
  EXPECT_LT(total, kFolders * kRoots);
  Names names = column(reply);
  EXPECT_EQ(names.size(), std::min<size_t>(total, 500));
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
}

}  // namespace
}  // namespace orv::test
