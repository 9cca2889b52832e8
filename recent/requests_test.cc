#include "recent/requests.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/json.h"

namespace orv::recent {
namespace {

// "user" names an account only as a JSON integer or a text of digits; the
// other integer members keep the lenient reading. The account is the one
// this test runs as.
TEST(RecentRequestsTest, UserMustNameAnAccount) {
  const uid_t self = geteuid();
  const struct passwd* account = getpwuid(self);
  struct stat st;
  if (account == nullptr || stat(account->pw_dir, &st) != 0) {
    GTEST_SKIP() << "the test's account has no home folder";
  }
  const std::string n = std::to_string(self);
  const std::pair<std::string, int> cases[] = {
      // The request's members; the list's type, or -1 for "invalid user".
      {R"("user":)" + n, 0},
      {R"("user":"0)" + n + R"(","type":3)", 3},
      {R"("user":)" + n + R"(,"type":"2junk")", 2},
      {R"("user":)" + n + R"(,"type":true)", 1},
      {R"("user":null)", -1},
      {R"("user":)" + n + ".5", -1},
      {R"("user":true)", -1},
      {R"("user":false)", -1},
      {R"("user":[)" + n + "]", -1},
      {R"("user":{})", -1},
      {R"("user":"abc")", -1},
      {R"("user":")" + n + R"(junk")", -1},
      {R"("user":" )" + n + R"(")", -1},
      {R"("user":")" + n + R"(\u0000")", -1},
  };
  for (const auto& [members, type] : cases) {
    SCOPED_TRACE(members);
    Json params = Json::adopt(
        json_loads(("{" + members + "}").c_str(), JSON_ALLOW_NUL, nullptr));
    ErrorRecord error;
    ListRequest list;
    EXPECT_EQ(read_list(params.get(), &error, &list), type >= 0);
    if (type >= 0) {
      EXPECT_EQ(list.user.uid, self);
      EXPECT_EQ(list.type, type);
    } else {
      EXPECT_STREQ(error.message, "invalid user");
    }
  }
}

}  // namespace
}  // namespace orv::recent
