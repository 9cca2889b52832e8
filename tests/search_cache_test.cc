// Cached lists through the real daemon: paging a list by uuid and slot,
// replacing and deleting lists, the sweep of ended sessions' files, a
// missing default volume, and pages read while their slot is rewritten.
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/search_fixture.h"

namespace orv::test {
namespace {

using std::chrono::milliseconds;
using Names = std::vector<std::string>;
using SearchCacheTest = SearchTest;

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string page_request(const std::string& uuid, const std::string& more) {
  return R"({"uuid":")" + uuid + "\"" + (more.empty() ? "" : ",") + more + "}";
}

TEST_F(SearchCacheTest, ListsArePagedByUuidWithinTheirSlot) {
  const std::string dir = folder("share/Docs");
  const Names docs = make_files(dir, "doc%03d.txt", 120);
  const std::string create =
      "{" + path_member(dir, "/Docs") + R"(,"index":%d})";
  auto create_in = [&](int index) {
    char body[4096];
    std::snprintf(body, sizeof(body), create.c_str(), index);
    Json made = call("create.cache", body);
    EXPECT_EQ(int_of(made, "error_code"), 0) << json_text(made.get());
    EXPECT_EQ(int_of(made, "total"), 120);
    return text_of(made, "uuid");
  };
  const std::string one = create_in(1);
  const std::string two = create_in(2);
  // Having replied, the handler asks the daemon to watch the new list.
  EXPECT_TRUE(
      daemon_->wait_for_err("[resource] watch index 2: 0", milliseconds(5000)))
      << daemon_->err();

  Names paged;
  for (int offset : {0, 50, 100}) {
    Json page = call("fetch.cache",
                     page_request(two, R"("index":2,"limit":50,"offset":)" +
                                           std::to_string(offset)));
    EXPECT_EQ(int_of(page, "error_code"), 0) << json_text(page.get());
    EXPECT_EQ(int_of(page, "total"), 120);
    EXPECT_TRUE(json_is_false(json_object_get(page.get(), "changed")));
    for (const std::string& name : column(page)) paged.push_back(name);
  }
  EXPECT_EQ(paged, docs);
  EXPECT_EQ(column(call("fetch.cache", page_request(one, ""))), docs);
  Json beyond =
      call("fetch.cache", page_request(two, R"("index":2,"offset":120)"));
  EXPECT_EQ(int_of(beyond, "total"), 120);
  EXPECT_EQ(json_array_size(json_object_get(beyond.get(), "datas")), 0u);

  auto expect_invalid = [&](const std::string& body) {
    SCOPED_TRACE(body);
    Json reply = call("fetch.cache", body);
    EXPECT_EQ(json_text(reply.get()),
              R"({"error_code":2,"error_message":"invalid uuid"})");
  };
  expect_invalid(page_request(two, R"("index":1)"));
  expect_invalid(page_request(one, R"("index":2)"));

  // A new list in slot 2 retires the old one there; slot 1 keeps its own.
  const std::string three = create_in(2);
  expect_invalid(page_request(two, R"("index":2)"));
  EXPECT_EQ(
      int_of(call("fetch.cache", page_request(three, R"("index":2)")), "total"),
      120);
  EXPECT_EQ(int_of(call("fetch.cache", page_request(one, "")), "total"), 120);

  EXPECT_EQ(
      json_text(
          call("delete.cache", page_request(three, R"("index":2)")).get()),
      R"({"error_code":0,"error_message":""})");
  EXPECT_EQ(
      json_text(
          call("delete.cache", page_request(three, R"("index":2)")).get()),
      R"({"error_code":3,"error_message":"uuid not found"})");
  expect_invalid(page_request(three, R"("index":2)"));

  // A list without entries is still a list.
  Json empty = call("create.cache", "{" + path_member(dir + "/missing", "/M") +
                                        R"(,"index":2})");
  EXPECT_EQ(int_of(empty, "total"), 0);
  EXPECT_EQ(json_text(json_object_get(empty.get(), "cluster")), "[]");
  Json empty_page =
      call("fetch.cache", page_request(text_of(empty, "uuid"), R"("index":2)"));
  EXPECT_EQ(int_of(empty_page, "error_code"), 0);
  EXPECT_EQ(int_of(empty_page, "total"), 0);
  EXPECT_EQ(json_array_size(json_object_get(empty_page.get(), "datas")), 0u);
}

TEST_F(SearchCacheTest, SweepRemovesOnlyTheFilesOfEndedSessions) {
  const std::string dir = folder("share/P");
  make_file(dir, "a.txt");
  for (const char* index : {"1", "2"}) {
    Json made = call("create.cache", "{" + path_member(dir, "/P") +
                                         R"(,"index":)" + index + "}");
    ASSERT_EQ(int_of(made, "error_code"), 0) << json_text(made.get());
  }
  // Anyone may add a file to the folder, nobody may list it, and a slot is
  // its owner's alone.
  struct stat st;
  ASSERT_EQ(stat(cache_dir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 01733u);
  ASSERT_EQ(stat(slot(sid_, 1).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, getpwnam("nobody")->pw_uid);

  const std::string ended = sandbox_.new_session("nobody");
  ASSERT_EQ(sandbox_.run({bin("tovix-session"), "end", ended}).status, 0);
  const Names doomed{slot(ended, 1), slot(ended, 2), cache_dir() + "/" + ended};
  const Names kept{slot(sid_, 1), slot(sid_, 2), cache_dir() + "/.keep"};
  auto plant = [&] {
    for (const Names* files : {&doomed, &kept}) {
      for (const std::string& file : *files) {
        if (!exists(file)) std::ofstream(file) << "x";
      }
    }
  };
  auto check = [&] {
    for (const std::string& file : doomed) EXPECT_FALSE(exists(file)) << file;
    for (const std::string& file : kept) EXPECT_TRUE(exists(file)) << file;
  };

  {
    SCOPED_TRACE("daemon shut-down");
    plant();
    daemon_->signal(SIGTERM);
    EXPECT_EQ(daemon_->wait(milliseconds(5000)), 0) << daemon_->err();
    check();
  }
  {
    SCOPED_TRACE("-c");
    plant();
    RunResult cleared = sandbox_.run({bin("orv-service"), "-c"});
    EXPECT_EQ(cleared.status, 0) << cleared.err;
    check();
  }
}

TEST_F(SearchCacheTest,
       WithoutDefaultVolumeCacheEndpointsFailAndServingGoesOn) {
  const std::string dir = folder("share/N");
  make_file(dir, "a.txt");
  sandbox_.write_file("etc/config/def_share.info", "[SHARE_DEF]\n");
  const std::string uuid = std::string(R"({"uuid":")") + kUuid + "\"}";
  EXPECT_EQ(json_text(call("fetch.cache", uuid).get()),
            R"({"error_code":2,"error_message":"invalid uuid"})");
  EXPECT_EQ(json_text(call("delete.cache", uuid).get()),
            R"({"error_code":3,"error_message":"uuid not found"})");
  EXPECT_EQ(
      json_text(call("create.cache", "{" + path_member(dir, "/N") + "}").get()),
      R"({"error_code":3,"error_message":"cache failure"})");
  // Single pages need no cache folder.
  Json direct = call("fetch.resource", "{" + path_member(dir, "/N") + "}");
  EXPECT_EQ(int_of(direct, "error_code"), 0);
  EXPECT_EQ(column(direct), Names{"a.txt"});
  EXPECT_TRUE(daemon_->running());
  EXPECT_TRUE(
      daemon_->wait_for_err("[cache] no default volume", milliseconds(1000)));
}

TEST_F(SearchCacheTest, PageReadWhileItsSlotIsRewrittenIsOldListOrInvalid) {
  const std::string dir = folder("share/T");
  for (int f = 0; f < 10; ++f)
    make_files(folder("share/T/d" + std::to_string(f)), "doc%03d", 1000);
  const std::string create =
      "{" + path_member(dir, "/T") + R"(,"recursive":true,"type":"file"})";
  Json first = call("create.cache", create);
  ASSERT_EQ(int_of(first, "total"), 10000) << json_text(first.get());
  const std::string page = R"("limit":500,"offset":5000)";
  const Names expected =
      column(call("fetch.cache", page_request(text_of(first, "uuid"), page)));
  ASSERT_EQ(expected.size(), 500u);

  // The rewrites run in a shell of their own; this thread keeps reading the
  // newest list it knows of.
  RunOptions options;
  options.env = {
      {"HVCALL", bin("hvcall")}, {"SERVICE", "orv-" + sid_}, {"BODY", create}};
  Process& writer = sandbox_.start(
      {"/bin/sh", "-c",
       "for i in 1 2 3 4 5 6 7 8; do \"$HVCALL\" \"$SERVICE\" create.cache "
       "\"$BODY\" || exit 1; echo; done"},
      options);
  auto newest = [&] {
    std::string uuid = text_of(first, "uuid");
    std::istringstream lines(writer.out());
    for (std::string line; std::getline(lines, line);) {
      Json made = Json::adopt(json_loads(line.c_str(), 0, nullptr));
      if (made && int_of(made, "total") == 10000) uuid = text_of(made, "uuid");
    }
    return uuid;
  };
  int whole = 0;
  int invalid = 0;
  while (writer.running()) {
    Json reply = call("fetch.cache", page_request(newest(), page));
    if (int_of(reply, "error_code") == 0) {
      ++whole;
      EXPECT_EQ(int_of(reply, "total"), 10000);
      EXPECT_EQ(column(reply), expected);
    } else {
      ++invalid;
      EXPECT_EQ(json_text(reply.get()),
                R"({"error_code":2,"error_message":"invalid uuid"})");
    }
  }
  EXPECT_EQ(writer.wait(milliseconds(0)), 0) << writer.err();
  EXPECT_GT(whole, 0);
  Json last = call("fetch.cache", page_request(newest(), page));
  EXPECT_EQ(column(last), expected);
  RecordProperty("pages_whole", whole);
  RecordProperty("pages_invalid", invalid);
}

}  // namespace
}  // namespace orv::test
