// vimbrel with a user's home folder on a volume that fills up: the adds that
// do not fit are lost, as the store allows, but nothing crashes, the user's
// database and what it held stay, and once there is room again adds land.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/private_mount.h"
#include "tests/vimbrel_fixture.h"

namespace orv::test {
namespace {

using std::chrono::milliseconds;
using VimbrelFaultTest = VimbrelTest;

// Rows of `db`'s table of events; -1 when it cannot be read.
int rows_of(const std::string& db) {
  sqlite3* handle = nullptr;
  int rows = -1;
  if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) ==
      SQLITE_OK) {
    sqlite3_busy_timeout(handle, 5000);
    sqlite3_stmt* count = nullptr;
    sqlite3_prepare_v2(handle, "SELECT COUNT(*) FROM recent", -1, &count,
                       nullptr);
    if (count != nullptr && sqlite3_step(count) == SQLITE_ROW) {
      rows = sqlite3_column_int(count, 0);
    }
    sqlite3_finalize(count);
  }
  sqlite3_close(handle);
  return rows;
}

TEST_F(VimbrelFaultTest, HomeOnAFullVolume) {
  if (!inside_private_namespace(sandbox_)) return;
  // An account whose home is a small volume of its own.
  constexpr int kDana = 5006;
  const std::string home = mount_folder();
  TmpfsMount volume(home, 256 << 10, "uid=5006,gid=5006,mode=0700");
  ASSERT_TRUE(volume.mounted());
  sandbox_.write_file("nss/passwd", sandbox_.read_file("nss/passwd") +
                                        "dana:x:5006:5006::" + home +
                                        ":/bin/sh\n");
  Process& daemon = start();
  const std::string db = home + "/.recent";
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(post("add", add_body(kDana, "/share/kept/" + std::to_string(i))),
              HV_OK);
  }
  ASSERT_TRUE(
      wait_until([&] { return rows_of(db) == 3; }, milliseconds(10000)));
  struct stat before {};
  ASSERT_EQ(stat(db.c_str(), &before), 0);

  // Fill the volume to its last byte.
  const std::string filler = home + "/filler";
  {
    int fd = open(filler.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    const std::string block(4096, 'f');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    close(fd);
  }
  const std::string long_path = "/share/lost/" + std::string(1500, 'p');
  for (int i = 0; i < 300; ++i) {
    std::string reply;
    ASSERT_EQ(
        post("add", add_body(kDana, long_path + std::to_string(i)), &reply),
        HV_OK);
    EXPECT_EQ(reply, "");
  }
  // The writer tells of the adds it could not store.
  EXPECT_TRUE(daemon.wait_for_err("full", milliseconds(20000))) << daemon.err();
  Json list = call_json("list", R"({"user":5006,"type":1})");
  EXPECT_EQ(json_integer_value(json_object_get(list.get(), "error")), 0);
  EXPECT_EQ(call("version", "{}"),
            R"({"version":"1.0.0","error":0,"cause":""})");

  // With room again the next add lands, after the lost ones (the writer
  // keeps each user's order), in the same database beside what it held.
  ASSERT_EQ(unlink(filler.c_str()), 0);
  ASSERT_EQ(post("add", add_body(kDana, "/share/after")), HV_OK);
  std::string rows;
  EXPECT_TRUE(wait_until(
      [&] {
        rows = json_text(call_json("list", R"({"user":5006,"type":1})").get());
        return rows.find("after") != std::string::npos;
      },
      milliseconds(10000)));
  for (int i = 0; i < 3; ++i) {
    EXPECT_NE(rows.find("\\/share\\/kept\\/" + std::to_string(i)),
              std::string::npos)
        << rows;
  }
  struct stat after {};
  ASSERT_EQ(stat(db.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  // Made once, when the first add came, and never made anew.
  EXPECT_EQ(count_of(daemon.err(), "[database] initial"), 1u);
  EXPECT_TRUE(daemon.running());
}

}  // namespace
}  // namespace orv::test
