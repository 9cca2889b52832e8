// tovix-session as scripts and tests use it: new, check, list, end, and the
// answers to bad input.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "tests/sandbox.h"

namespace orv::test {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

class PlatformSessionTest : public ::testing::Test {
 protected:
  RunResult tool(const std::vector<std::string>& args) {
    std::vector<std::string> argv{bin("tovix-session")};
    argv.insert(argv.end(), args.begin(), args.end());
    return sandbox_.run(argv);
  }
  // The lines of `tovix-session list`.
  std::vector<std::string> list() {
    RunResult result = tool({"list"});
    EXPECT_EQ(result.status, 0) << result.err;
    std::vector<std::string> lines;
    std::istringstream in(result.out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  Sandbox sandbox_;
};

TEST_F(PlatformSessionTest, NewCheckListEnd) {
  RunResult made = tool({"new", "root"});
  ASSERT_EQ(made.status, 0) << made.err;
  ASSERT_THAT(made.out, MatchesRegex("[A-Za-z0-9]{8}\n"));
  std::string sid = made.out.substr(0, 8);
  std::time_t now = std::time(nullptr);
  RunResult timed = tool({"new", "nobody", "--ttl", "600"});
  ASSERT_EQ(timed.status, 0) << timed.err;
  std::string later = timed.out.substr(0, 8);
  sandbox_.write_file("var/run/sessions/old",
                      "[session]\nuser = root\nexpire = 1000\n", 0600);

  EXPECT_EQ(tool({"check", sid}).status, 0);
  EXPECT_EQ(tool({"check", later}).status, 0);
  EXPECT_EQ(tool({"check", "old"}).status, 1);  // expired
  EXPECT_EQ(tool({"check", "never"}).status, 1);

  std::vector<std::string> lines = list();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(std::is_sorted(lines.begin(), lines.end()));
  EXPECT_THAT(lines, ::testing::Contains(sid + " root 0 live"));
  EXPECT_THAT(lines, ::testing::Contains("old root 1000 expired"));
  for (const std::string& line : lines) {
    if (line.rfind(later, 0) != 0) continue;
    long long expire = 0;
    ASSERT_EQ(std::sscanf(line.c_str() + 9, "nobody %lld live", &expire), 1)
        << line;
    EXPECT_GE(expire, now + 600);
    EXPECT_LE(expire, std::time(nullptr) + 600);
  }

  EXPECT_EQ(tool({"end", sid}).status, 0);
  EXPECT_EQ(tool({"check", sid}).status, 1);
  RunResult again = tool({"end", sid});
  EXPECT_EQ(again.status, 1);
  EXPECT_THAT(again.err, HasSubstr("no such session"));
  EXPECT_EQ(list().size(), 2u);
}

TEST_F(PlatformSessionTest, RefusesBadInputWithoutTouchingTheStore) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* message;
  } cases[] = {
      {{"new", "orv-no-such-user-7q"}, 1, "no such user"},
      {{"check", "../run"}, 1, "invalid session id"},
      {{"check", "a/b"}, 1, "invalid session id"},
      {{"end", ".."}, 1, "invalid session id"},
      {{"end", std::string(65, 'a')}, 1, "invalid session id"},
      {{}, 64, "usage"},
      {{"new"}, 64, "usage"},
      {{"new", "root", "--ttl"}, 64, "usage"},
      {{"new", "root", "--ttl", "-5"}, 64, "usage"},
      {{"new", "root", "--ttl", "10s"}, 64, "usage"},
      {{"check"}, 64, "usage"},
      {{"list", "extra"}, 64, "usage"},
      {{"start", "root"}, 64, "usage"},
  };
  for (const Case& c : cases) {
    RunResult result = tool(c.args);
    std::string shown = ::testing::PrintToString(c.args);
    EXPECT_EQ(result.status, c.status) << shown;
    EXPECT_THAT(result.err, HasSubstr(c.message)) << shown;
    EXPECT_EQ(result.out, "") << shown;
  }
  EXPECT_FALSE(sandbox_.exists("var/run/sessions"));
}

}  // namespace
}  // namespace orv::test
