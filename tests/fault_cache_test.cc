// Faults around the result cache of a real orv-service: the volume fills up,
// a writer or the daemon itself is killed, a slot file is overwritten, the
// daemon runs out of descriptors. After each, whatever a caller can read is a
// whole list or an error reply, and the daemon serves again.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/bus/hvservice.h"
#include "tests/private_mount.h"
#include "tests/service_fixture.h"

namespace orv::test {
namespace {

using std::chrono::milliseconds;

constexpr char kInvalidUuid[] =
    R"({"error_code":2,"error_message":"invalid uuid"})";

class CacheFaultTest : public ServiceTest {
 protected:
  // A daemon for a fresh login of "nobody" whose default volume is `volume`.
  void serve(const std::string& volume) {
    volume_ = volume;
    sandbox_.write_file("etc/config/def_share.info",
                        "[SHARE_DEF]\ndefVolMP = " + volume + "\n");
    sid_ = sandbox_.new_session("nobody");
    ASSERT_FALSE(sid_.empty());
    daemon_ = &start(sid_, {"-l", "7"});
    ASSERT_TRUE(serving(sid_)) << daemon_->err();
  }

  // A folder of `count` empty files outside the volume; the body of a
  // create.cache of it into slot 1.
  std::string share(const std::string& name, int count) {
    const std::string dir = sandbox_.path("shares/" + name);
    sandbox_.make_dir("shares/" + name);
    for (int i = 0; i < count; ++i) {
      char file[80];
      std::snprintf(file, sizeof(file), "%s/%s-%06d-with-a-longer-name.txt",
                    dir.c_str(), name.c_str(), i);
      int fd = open(file, O_WRONLY | O_CREAT | O_TRUNC, 0644);
      EXPECT_GE(fd, 0) << file;
      close(fd);
    }
    return R"({"index":1,"path":[{"full_path":")" + dir + R"(","alias":"/)" +
           name + R"("}]})";
  }

  Json fetch(const std::string& uuid) {
    return call(sid_, "fetch.cache",
                R"({"index":1,"limit":2000,"uuid":")" + uuid + "\"}");
  }

  std::string slot() const { return volume_ + "/.orv/" + sid_ + ".1"; }

  // Every uuid the slot file bears, read past the daemon: what a caller who
  // guessed one could ask for.
  std::vector<std::string> uuids_in_slot() const {
    std::vector<std::string> uuids;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(slot().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
        SQLITE_OK) {
      sqlite3_stmt* rows = nullptr;
      sqlite3_prepare_v2(db, "SELECT DISTINCT uuid FROM cache", -1, &rows,
                         nullptr);
      while (rows != nullptr && sqlite3_step(rows) == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(rows, 0);
        if (text != nullptr)
          uuids.emplace_back(reinterpret_cast<const char*>(text));
      }
      sqlite3_finalize(rows);
    }
    sqlite3_close(db);
    return uuids;
  }

  // Each uuid the slot bears answers its whole list of `entries` or "invalid
  // uuid"; never a part of it.
  void expect_no_partial_list(int entries) {
    for (const std::string& uuid : uuids_in_slot()) {
      if (uuid.size() != 36) continue;  // Not one a caller can send.
      Json page = fetch(uuid);
      if (int_of(page, "error_code") != 0) {
        EXPECT_EQ(json_text(page.get()), kInvalidUuid) << uuid;
      } else {
        EXPECT_EQ(int_of(page, "total"), entries) << uuid;
        EXPECT_EQ(json_array_size(json_object_get(page.get(), "datas")),
                  static_cast<size_t>(std::min(entries, 2000)))
            << uuid;
      }
    }
  }

  // A list made and read back whole; its uuid.
  std::string made(const std::string& body, int entries) {
    Json reply = call(sid_, "create.cache", body);
    EXPECT_EQ(int_of(reply, "error_code"), 0) << json_text(reply.get());
    EXPECT_EQ(int_of(reply, "total"), entries);
    const std::string uuid = text_of(reply, "uuid");
    EXPECT_EQ(int_of(fetch(uuid), "total"), entries);
    return uuid;
  }

  std::string volume_;
  std::string sid_;
  Process* daemon_ = nullptr;
};

// The volume fills up while a list is written into its slot: the writer
// answers "cache failure", nothing of the list can be read by any uuid, and
// once space is freed the same request works.
TEST_F(CacheFaultTest, VolumeFillsUpWhileASlotIsWritten) {
  if (!inside_private_namespace(sandbox_)) return;
  TmpfsMount volume(mount_folder(), 4 << 20);
  ASSERT_TRUE(volume.mounted());
  serve(mount_folder());
  const std::string small = share("small", 5);
  const std::string big = share("big", 8000);
  const std::string old = made(small, 5);

  // Leave the list about a third of the room it needs.
  struct statvfs space {};
  ASSERT_EQ(statvfs(mount_folder().c_str(), &space), 0);
  const std::string filler = mount_folder() + "/filler";
  {
    int fd = open(filler.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    const std::string block(1 << 16, 'f');
    off_t left =
        static_cast<off_t>(space.f_bavail * space.f_frsize) - (512 << 10);
    for (; left > 0; left -= static_cast<off_t>(block.size())) {
      ASSERT_GT(write(fd, block.data(), block.size()), 0);
    }
    close(fd);
  }
  Json failed = call(sid_, "create.cache", big);
  EXPECT_EQ(json_text(failed.get()),
            R"({"error_code":3,"error_message":"cache failure"})");
  EXPECT_EQ(json_text(fetch(old).get()), kInvalidUuid);
  expect_no_partial_list(8000);
  // Nothing of the failed list stays on the volume to take its room.
  struct stat file {};
  EXPECT_NE(stat(slot().c_str(), &file), 0) << file.st_size << " bytes left";

  ASSERT_EQ(unlink(filler.c_str()), 0);
  made(big, 8000);
  EXPECT_TRUE(daemon_->running());
}

// A writer killed halfway through its list: neither the list it replaced nor
// the one it was writing can be read in part, and the next write works.
TEST_F(CacheFaultTest, WriterKilledHalfwayLeavesNoPartialList) {
  sandbox_.make_dir("volume");
  serve(sandbox_.path("volume"));
  const std::string old = made(share("small", 5), 5);
  const std::string big = share("big", 30000);

  // Handlers inherit the daemon's limits. Under a file size limit the kernel
  // kills the writer with SIGXFSZ the moment its slot reaches 512 KiB, a few
  // MiB short of the whole list: a kill at a known point, whatever the load
  // of the machine (a kill sent from here may come after the last row).
  const pid_t pid = daemon_->pid();
  rlimit before{};
  ASSERT_EQ(prlimit(pid, RLIMIT_FSIZE, nullptr, &before), 0);
  const rlimit no_core{0, 0};
  const rlimit small{512 << 10, before.rlim_max};
  ASSERT_EQ(prlimit(pid, RLIMIT_CORE, &no_core, nullptr), 0);
  ASSERT_EQ(prlimit(pid, RLIMIT_FSIZE, &small, nullptr), 0);
  Process& writer =
      sandbox_.start({bin("hvcall"), "orv-" + sid_, "create.cache", big});
  EXPECT_EQ(writer.wait(milliseconds(60000)), 6) << writer.out();
  ASSERT_EQ(prlimit(pid, RLIMIT_FSIZE, &before, nullptr), 0) << errno;

  Json page = fetch(old);
  if (int_of(page, "error_code") != 0) {
    EXPECT_EQ(json_text(page.get()), kInvalidUuid);
  } else {
    EXPECT_EQ(int_of(page, "total"), 5);
  }
  expect_no_partial_list(30000);
  made(big, 30000);
}

// The daemon killed outright leaves its socket and pid file behind; a new
// daemon of the same session takes both over and serves the lists that were
// complete.
TEST_F(CacheFaultTest, KilledDaemonIsReplacedAndServesCompleteSlots) {
  sandbox_.make_dir("volume");
  serve(sandbox_.path("volume"));
  const std::string one = made(share("one", 7), 7);
  std::string two_body = share("two", 3);
  two_body.replace(two_body.find("\"index\":1"), 9, "\"index\":2");
  Json two = call(sid_, "create.cache", two_body);
  ASSERT_EQ(int_of(two, "total"), 3);

  daemon_->signal(SIGKILL);
  ASSERT_EQ(daemon_->wait(milliseconds(5000)), 128 + SIGKILL);
  EXPECT_TRUE(sandbox_.exists("var/run/orv/orv-" + sid_ + ".pid"));
  EXPECT_TRUE(sandbox_.exists("var/run/hvbus/orv-" + sid_));

  Process& again = start(sid_, {"-l", "7"});
  ASSERT_TRUE(wait_until(
      [&] {
        return sandbox_.hvcall({"orv-" + sid_, "help"}).status == 0;
      },
      milliseconds(5000)))
      << again.err();
  EXPECT_EQ(sandbox_.read_file("var/run/orv/orv-" + sid_ + ".pid"),
            std::to_string(again.pid()));
  EXPECT_EQ(int_of(fetch(one), "total"), 7);
  Json page = call(sid_, "fetch.cache",
                   R"({"index":2,"uuid":")" + text_of(two, "uuid") + "\"}");
  EXPECT_EQ(int_of(page, "total"), 3);
}

// A slot file damaged behind the daemon's back: reads answer "invalid uuid",
// deletes "uuid not found", nothing crashes, and the slot is written anew.
TEST_F(CacheFaultTest, SlotOverwrittenWithRandomBytes) {
  sandbox_.make_dir("volume");
  serve(sandbox_.path("volume"));
  const std::string body = share("docs", 40);
  std::mt19937 random(17);
  auto noise = [&](size_t length) {
    std::string bytes(length, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
  };
  struct Damage {
    const char* what;
    std::function<std::string(const std::string&)> content;
  } damages[] = {
      {"random bytes",
       [&](const std::string& was) { return noise(was.size()); }},
      {"database header, then random bytes",
       [&](const std::string& was) {
         return was.substr(0, 100) + noise(was.size() - 100);
       }},
      {"first half",
       [&](const std::string& was) { return was.substr(0, was.size() / 2); }},
      {"one random page",
       [&](const std::string& was) {
         return was.substr(0, 32768) + noise(32768) + was.substr(65536);
       }},
  };
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.what);
    const std::string uuid = made(body, 40);
    std::ifstream file(slot(), std::ios::binary);
    const std::string was((std::istreambuf_iterator<char>(file)),
                          std::istreambuf_iterator<char>());
    ASSERT_GT(was.size(), 65536u);
    {
      int fd = open(slot().c_str(), O_WRONLY | O_TRUNC);
      ASSERT_GE(fd, 0);
      const std::string bytes = damage.content(was);
      ASSERT_EQ(write(fd, bytes.data(), bytes.size()),
                static_cast<ssize_t>(bytes.size()));
      close(fd);
    }
    Json page = fetch(uuid);
    Json removed =
        call(sid_, "delete.cache", R"({"index":1,"uuid":")" + uuid + "\"}");
    if (int_of(page, "error_code") == 0) {
      // The damage missed the list: it is whole, and it goes.
      EXPECT_EQ(int_of(page, "total"), 40);
      EXPECT_EQ(int_of(removed, "error_code"), 0) << json_text(removed.get());
    } else {
      EXPECT_EQ(json_text(page.get()), kInvalidUuid);
      EXPECT_EQ(int_of(removed, "error_code"), 3) << json_text(removed.get());
    }
    EXPECT_TRUE(daemon_->running());
  }
  made(body, 40);
}

// The daemon at its descriptor limit, the last of them held by callers that
// send their requests a byte at a time (so the bus does not drop them as
// idle): every other request is answered or refused at once rather than left
// waiting until descriptors are free, and once they are the daemon serves as
// before.
TEST_F(CacheFaultTest, DaemonAtItsDescriptorLimitAnswersOrRefuses) {
  sandbox_.make_dir("volume");
  serve(sandbox_.path("volume"));
  const std::string body = share("docs", 30);
  const pid_t pid = daemon_->pid();
  const auto descriptors =
      std::distance(std::filesystem::directory_iterator(
                        "/proc/" + std::to_string(pid) + "/fd"),
                    std::filesystem::directory_iterator());
  const rlimit low{static_cast<rlim_t>(descriptors) + 4,
                   static_cast<rlim_t>(descriptors) + 4};
  ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &low, nullptr), 0);

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof(address.sun_path), "%s",
                sandbox_.path("var/run/hvbus/orv-" + sid_).c_str());
  std::vector<int> slow;
  for (int i = 0; i < 12; ++i) {
    slow.push_back(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(connect(slow.back(), reinterpret_cast<sockaddr*>(&address),
                      sizeof(address)),
              0);
  }
  // A request of a method text and a long body, sent a byte per 200 ms.
  std::string frame(24, '\0');
  const uint32_t header[] = {0x31515648, 0, 4, 0};
  const uint64_t body_length = 1 << 20;
  std::memcpy(frame.data(), header, sizeof(header));
  std::memcpy(frame.data() + 16, &body_length, sizeof(body_length));
  frame += "help" + std::string(4096, 'x');
  std::atomic<bool> trickling{true};
  std::thread trickle([&] {
    for (size_t at = 0; trickling.load() && at < frame.size(); ++at) {
      for (int fd : slow) send(fd, &frame[at], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      std::this_thread::sleep_for(milliseconds(200));
    }
  });

  std::vector<int> results(8, -1);
  std::vector<std::string> replies(8);
  std::vector<std::thread> callers;
  for (size_t i = 0; i < results.size(); ++i) {
    callers.emplace_back([&, i] {
      hv_io_t* io = hv_io_create();
      hv_io_write(io, body.data(), body.size());
      const char* method = i % 2 == 0 ? "fetch.resource" : "create.cache";
      results[i] = hv_call(("orv-" + sid_).c_str(), method, io, 10, -1);
      replies[i].assign(hv_io_read(io, 0), hv_io_size(io));
      hv_io_free(io);
    });
  }
  for (std::thread& caller : callers) caller.join();
  trickling = false;
  trickle.join();
  for (size_t i = 0; i < results.size(); ++i) {
    SCOPED_TRACE("request " + std::to_string(i));
    EXPECT_NE(results[i], HV_TIMEOUT);
    if (results[i] != HV_OK) continue;
    Json reply = Json::adopt(json_loads(replies[i].c_str(), 0, nullptr));
    EXPECT_TRUE(json_is_integer(json_object_get(reply.get(), "error_code")))
        << replies[i].substr(0, 300);
  }
  for (int fd : slow) close(fd);

  EXPECT_TRUE(daemon_->running());
  made(body, 30);
  EXPECT_EQ(int_of(call(sid_, "fetch.resource", body), "total"), 30);
}

}  // namespace
}  // namespace orv::test
