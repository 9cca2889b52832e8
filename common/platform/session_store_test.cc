#include "common/platform/session_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>

#include "common/platform/test_root.h"
#include "common/platform/tovix.h"
#include "gtest/gtest.h"

namespace orv::platform {
namespace {

using test::TempRoot;

constexpr char kNoSuchUser[] = "orv-no-such-user-7q";

class SessionStoreTest : public ::testing::Test {
 protected:
  TempRoot root_;
  std::string store_ = root_.path("/var/run/sessions");

  // Writes a session file by hand.
  void put(const std::string& sid, const std::string& content) {
    root_.write("/var/run/sessions/" + sid, content, 0600);
  }
  bool live(const char* sid) {
    tovix_session_t record;
    return auth_get_session(sid, 1, &record) == 0;
  }
  std::string expiring(long long offset) {
    return "[session]\nuser = root\nexpire = " +
           std::to_string(std::time(nullptr) + offset) + "\n";
  }
};

TEST_F(SessionStoreTest, NewSessionIsLiveAndPrivate) {
  std::string sid, error;
  ASSERT_TRUE(create_session("nobody", 0, &sid, &error)) << error;
  EXPECT_EQ(sid.size(), kNewSessionIdLength);
  EXPECT_TRUE(valid_session_id(sid.c_str())) << sid;

  tovix_session_t record;
  std::memset(&record, 0x55, sizeof record);
  ASSERT_EQ(auth_get_session_ex(sid.c_str(), 1, &record), 0);
  EXPECT_STREQ(record.user, "nobody");
  EXPECT_EQ(record.uid, 65534u);
  EXPECT_EQ(record.gid, 65534u);
  EXPECT_EQ(record.expire, 0);

  struct stat st;
  ASSERT_EQ(stat(store_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(stat((store_ + "/" + sid).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  // Nothing but the session itself is left in the store.
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(store_)) {
    names.insert(entry.path().filename());
  }
  EXPECT_EQ(names, std::set<std::string>{sid});
}

TEST_F(SessionStoreTest, RefusesUserWithoutAccount) {
  std::string sid = "unchanged", error;
  EXPECT_FALSE(create_session(kNoSuchUser, 0, &sid, &error));
  EXPECT_EQ(sid, "unchanged");
  EXPECT_NE(error.find(kNoSuchUser), std::string::npos) << error;
  EXPECT_FALSE(std::filesystem::exists(store_));
}

TEST_F(SessionStoreTest, LooseStoreIsClosedUp) {
  ASSERT_TRUE(std::filesystem::create_directories(store_));
  chmod(store_.c_str(), 0755);
  std::string sid, error;
  ASSERT_TRUE(create_session("root", 0, &sid, &error)) << error;
  struct stat st;
  ASSERT_EQ(stat(store_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST_F(SessionStoreTest, LivenessOfStoredFiles) {
  put("fresh", expiring(3600));
  put("stale", expiring(-10));
  put("now", expiring(0));  // expires at this very second
  put("forever", "[session]\nuser = root\nexpire = 0\n");
  put("noexpiry", "[Session]\nUSER = root\n");
  put("garbled", "[session]\nuser = root\nexpire = soon\n");
  put("stranger", std::string("[session]\nuser = ") + kNoSuchUser + "\n");
  put("nouser", "[session]\nexpire = 0\n");
  put("elsewhere", "[other]\nuser = root\n");
  std::filesystem::create_directories(store_ + "/folder");
  std::filesystem::create_symlink(store_ + "/forever", store_ + "/link");

  struct Case {
    const char* sid;
    bool live;
    StoredSession::State state;
  } cases[] = {
      {"fresh", true, StoredSession::State::kLive},
      {"stale", false, StoredSession::State::kExpired},
      {"now", false, StoredSession::State::kExpired},
      {"forever", true, StoredSession::State::kLive},
      {"noexpiry", true, StoredSession::State::kLive},
      {"garbled", false, StoredSession::State::kInvalid},
      {"stranger", false, StoredSession::State::kNoAccount},
      {"nouser", false, StoredSession::State::kInvalid},
      {"elsewhere", false, StoredSession::State::kInvalid},
      {"folder", false, StoredSession::State::kInvalid},
      {"link", false, StoredSession::State::kInvalid},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(live(c.sid), c.live) << c.sid;
    StoredSession session;
    ASSERT_TRUE(read_session(c.sid, std::time(nullptr), &session, nullptr))
        << c.sid;
    EXPECT_EQ(session.state, c.state) << c.sid;
  }
  EXPECT_FALSE(live("absent"));
}

TEST_F(SessionStoreTest, MalformedIdsNeverReachTheFileSystem) {
  // Valid sessions wait where each malformed id would lead if it were used
  // as a path, so a lookup that touched them would find a live login.
  std::string good = "[session]\nuser = root\n";
  root_.write("/var/run/escaped", good, 0600);
  root_.write("/var/run/sessions/sub/inner", good, 0600);
  root_.write("/var/run/sessions/a.b", good, 0600);
  std::string too_long(kMaxSessionIdLength + 1, 'a');
  put(too_long, good);
  std::string longest(kMaxSessionIdLength, 'a');
  put(longest, good);
  EXPECT_TRUE(live(longest.c_str()));

  const std::string bad[] = {"",          "..",          ".",      "../escaped",
                             "sub/inner", "a.b",         too_long, "a b",
                             "abc\n",     "/etc/passwd", "%2e%2e"};
  for (const std::string& sid : bad) {
    tovix_session_t record;
    std::memset(&record, 0x55, sizeof record);
    tovix_session_t copy = record;
    EXPECT_NE(auth_get_session_ex(sid.c_str(), 1, &record), 0) << sid;
    EXPECT_EQ(std::memcmp(&record, &copy, sizeof record), 0) << sid;
    EXPECT_FALSE(auth_valid_session_id(sid.c_str())) << sid;
    std::string error;
    EXPECT_FALSE(end_session(sid.c_str(), &error)) << sid;
    EXPECT_EQ(error, "invalid session id") << sid;
  }
  EXPECT_NE(auth_get_session(nullptr, 1, nullptr), 0);
  // end_session must not have removed what the ids pointed at.
  EXPECT_TRUE(std::filesystem::exists(root_.path("/var/run/escaped")));
  EXPECT_TRUE(
      std::filesystem::exists(root_.path("/var/run/sessions/sub/inner")));
  EXPECT_TRUE(std::filesystem::exists(store_ + "/" + too_long));
}

TEST_F(SessionStoreTest, ListSkipsNamesThatAreNotIds) {
  put("b2", "[session]\nuser = root\n");
  put("a1", std::string("[session]\nuser = ") + kNoSuchUser + "\n");
  put(".new-abc123", "[session]\nuser = root\n");  // a write in progress
  put("d.4", "[session]\nuser = root\n");
  std::vector<StoredSession> sessions;
  std::string error;
  ASSERT_TRUE(list_sessions(std::time(nullptr), &sessions, &error)) << error;
  ASSERT_EQ(sessions.size(), 2u);
  EXPECT_EQ(sessions[0].sid, "a1");
  EXPECT_EQ(sessions[0].state, StoredSession::State::kNoAccount);
  EXPECT_EQ(sessions[1].sid, "b2");
  EXPECT_EQ(sessions[1].state, StoredSession::State::kLive);
}

}  // namespace
}  // namespace orv::platform
