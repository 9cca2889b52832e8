// How orv-service serves requests: parameter objects, the identity of
// handler processes, reply descriptors, bad input and the client watchdog.
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "tests/service_fixture.h"

namespace orv::test {
namespace {

using std::chrono::milliseconds;

using ServiceRequestTest = ServiceTest;

// The groups an account's handler must run with, as the account database
// lists them.
std::set<int> groups_of(const char* user) {
  struct passwd* entry = getpwnam(user);
  if (entry == nullptr) return {};
  std::vector<gid_t> groups(256);
  int count = static_cast<int>(groups.size());
  getgrouplist(user, entry->pw_gid, groups.data(), &count);
  return std::set<int>(groups.begin(), groups.begin() + std::max(count, 0));
}

std::set<int> groups_in(const Json& reply) {
  std::set<int> groups;
  size_t i;
  json_t* item;
  json_array_foreach(json_object_get(reply.get(), "groups"), i, item) {
    groups.insert(static_cast<int>(json_integer_value(item)));
  }
  return groups;
}

// The effective uid of a running process, from /proc.
int effective_uid(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string word;
  while (status >> word) {
    if (word == "Uid:") {
      int real = -1;
      int effective = -1;
      status >> real >> effective;
      return effective;
    }
  }
  return -1;
}

TEST_F(ServiceRequestTest, BodyThatIsNoObjectGivesQueryParametersOnly) {
  std::string sid = sandbox_.new_session("nobody");
  start(sid, {}, {}, "service-test-daemon");
  ASSERT_TRUE(serving(sid));
  struct BodyCase {
    const char* method;
    const char* body;
    const char* params;
  };
  const BodyCase cases[] = {
      {"test.identity?limit=60&name=a+b", "[1,2,3]",
       R"({"limit":"60","name":"a b"})"},
      {"test.identity?limit=60", "this is not JSON", R"({"limit":"60"})"},
      {"test.identity", R"("text")", R"({})"},
      {"test.identity?index=2", R"({"index":1,"uuid":"u"})",
       R"({"index":"2","uuid":"u"})"},
  };
  for (const BodyCase& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.body);
    Json reply = call(sid, c.method, c.body);
    EXPECT_EQ(json_text(json_object_get(reply.get(), "params")), c.params);
  }
  // A real endpoint reads the query string's parameters the same way.
  Json limited =
      call(sid, std::string("fetch.cache?uuid=") + kUuid + "&limit=49",
           "[\"ignored\"]");
  EXPECT_EQ(text_of(limited, "error_message"), "invalid limit");
  // Valid parameters: the handler looks for the list, which does not exist.
  Json valid = call(sid, std::string("fetch.cache?uuid=") + kUuid, "nonsense");
  EXPECT_EQ(int_of(valid, "error_code"), 2);
  EXPECT_EQ(text_of(valid, "error_message"), "invalid uuid");
}

TEST_F(ServiceRequestTest, HandlersRunAsTheSessionUserDaemonStaysRoot) {
  for (const char* user : {"nobody", "daemon", "root"}) {
    SCOPED_TRACE(user);
    struct passwd* account = getpwnam(user);
    ASSERT_NE(account, nullptr);
    std::string sid = sandbox_.new_session(user);
    Process& daemon = start(sid, {}, {}, "service-test-daemon");
    ASSERT_TRUE(serving(sid)) << daemon.err();
    Json reply = call(sid, "test.identity", "{}");
    EXPECT_EQ(int_of(reply, "error_code"), 0) << json_text(reply.get());
    // Real, effective and saved ids alike: a handler keeps no root id to
    // switch back to.
    for (const char* id : {"uid", "euid", "suid"}) {
      EXPECT_EQ(int_of(reply, id), static_cast<int>(account->pw_uid)) << id;
    }
    for (const char* id : {"gid", "egid", "sgid"}) {
      EXPECT_EQ(int_of(reply, id), static_cast<int>(account->pw_gid)) << id;
    }
    // The effective group counts whether or not the list holds it.
    std::set<int> handler_groups = groups_in(reply);
    handler_groups.insert(static_cast<int>(int_of(reply, "egid")));
    std::set<int> account_groups = groups_of(user);
    account_groups.insert(static_cast<int>(account->pw_gid));
    EXPECT_EQ(handler_groups, account_groups);
    // The handler is a grandchild, not the daemon itself, which keeps root.
    EXPECT_NE(int_of(reply, "pid"), daemon.pid());
    EXPECT_EQ(effective_uid(daemon.pid()), 0);
  }
}

TEST_F(ServiceRequestTest, ProgramsAHandlerRunsCannotTakeRootBack) {
  std::string sid = sandbox_.new_session("nobody");
  Process& daemon = start(sid, {}, {}, "service-test-daemon");
  ASSERT_TRUE(serving(sid)) << daemon.err();
  Json reply = call(sid, "test.exec", "{}");
  EXPECT_EQ(int_of(reply, "status"), 0) << json_text(reply.get());
  EXPECT_EQ(text_of(reply, "output"),
            "seteuid_root=0 cap_prm=0000000000000000");
}

TEST_F(ServiceRequestTest, FailedIdentitySwitchAnswersInsteadOfServing) {
  // A daemon that runs unprivileged cannot take another user's identity: its
  // handlers must refuse rather than serve with the daemon's rights.
  struct passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  std::string other = sandbox_.new_session("daemon");
  std::string own = sandbox_.new_session("nobody");
  // Let the unprivileged daemon read the session store and write its pid
  // file.
  chmod(sandbox_.path("var/run").c_str(), 01777);
  for (const std::string& entry :
       {std::string("var/run/sessions"), "var/run/sessions/" + other,
        "var/run/sessions/" + own}) {
    ASSERT_EQ(
        chown(sandbox_.path(entry).c_str(), nobody->pw_uid, nobody->pw_gid), 0)
        << entry;
  }
  RunOptions as_nobody;
  as_nobody.uid = static_cast<int>(nobody->pw_uid);
  as_nobody.gid = static_cast<int>(nobody->pw_gid);

  Process& refusing = start(other, {}, as_nobody, "service-test-daemon");
  ASSERT_TRUE(serving(other)) << refusing.err();
  for (const char* method : {"test.identity", "fetch.cache"}) {
    SCOPED_TRACE(method);
    Json reply =
        call(other, method, std::string("{\"uuid\":\"") + kUuid + "\"}");
    EXPECT_EQ(int_of(reply, "error_code"), 3);
    EXPECT_EQ(text_of(reply, "error_message"),
              "cannot switch to user daemon: setgroups: Operation not "
              "permitted");
    EXPECT_EQ(json_object_get(reply.get(), "euid"), nullptr);
  }

  // Serving its own user needs no switch and works.
  Process& own_daemon = start(own, {}, as_nobody, "service-test-daemon");
  ASSERT_TRUE(serving(own)) << own_daemon.err();
  Json reply = call(own, "test.identity", "{}");
  EXPECT_EQ(int_of(reply, "error_code"), 0) << json_text(reply.get());
  EXPECT_EQ(int_of(reply, "euid"), static_cast<int>(nobody->pw_uid));
}

TEST_F(ServiceRequestTest, ReplyDescriptorOfAnyKindGetsTheReply) {
  // hvcall -o hands over its standard output, here a regular file.
  std::string sid = sandbox_.new_session("nobody");
  start(sid);
  ASSERT_TRUE(serving(sid));
  RunResult result =
      sandbox_.hvcall({"-o", "orv-" + sid, "delete.cache", R"({"index":2})"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out,
            "Content-Type: application/json; charset=utf-8\r\n\r\n"
            R"({"error_code":2,"error_message":"invalid uuid"})");
}

TEST_F(ServiceRequestTest, AnyParameterValueGetsTheAnswerOfTheFirstCheck) {
  std::string sid = sandbox_.new_session("nobody");
  Process& daemon = start(sid);
  ASSERT_TRUE(serving(sid));
  const char* values[] = {
      "null",  "true",          "-1",
      "1e308", "\"\"",          "\"\\u00e9\\u0301\"",
      "[]",    "{\"a\":[[1]]}", "\"%s%n../\"",
  };
  // Which check stops a request: `usual` for every value but true, which
  // the lenient readers take for 1.
  struct Answer {
    const char* name;  // an endpoint, or a parameter read alone
    const char* usual;
    const char* for_true;
  };
  auto check = [&](const std::string& method, const std::string& body,
                   const std::string& message) {
    SCOPED_TRACE(method + " " + body);
    Json reply = call(sid, method, body);
    EXPECT_EQ(text_of(reply, "error_message"), message);
    EXPECT_EQ(int_of(reply, "error_code"), message.empty() ? 0 : 2);
    EXPECT_EQ(json_object_size(reply.get()), 2u);
  };
  // Every parameter of every endpoint at once...
  const Answer endpoints[] = {
      {"watch", "invalid index", ""},
      {"fetch.cache", "invalid uuid", "invalid uuid"},
      {"delete.cache", "invalid uuid", "invalid uuid"},
      {"create.cache", "invalid index", "invalid limit"},
      {"fetch.resource", "invalid limit", "invalid limit"},
  };
  for (const Answer& endpoint : endpoints) {
    for (const std::string value : values) {
      std::string body = "{";
      for (const char* name : {"uuid", "index", "limit", "offset", "lang"}) {
        body += std::string(body.size() > 1 ? "," : "") + "\"" + name +
                "\":" + value;
      }
      check(endpoint.name, body + "}",
            value == "true" ? endpoint.for_true : endpoint.usual);
    }
  }
  // ...and each one alone behind a valid uuid, so that it is read. A valid
  // value leads on to the list, which does not exist.
  const Answer parameters[] = {
      {"index", "invalid index", "invalid uuid"},
      {"limit", "invalid limit", "invalid limit"},
      {"offset", "invalid uuid", "invalid uuid"},
      {"lang", "invalid lang", "invalid lang"},
  };
  for (const Answer& parameter : parameters) {
    for (const std::string value : values) {
      check(std::string(parameter.name) == "lang" ? "fetch.resource"
                                                  : "fetch.cache",
            std::string("{\"uuid\":\"") + kUuid + "\",\"" + parameter.name +
                "\":" + value + "}",
            value == "true" ? parameter.for_true : parameter.usual);
    }
  }
  EXPECT_TRUE(daemon.running());
}

TEST_F(ServiceRequestTest, HandlerWhoseCallerLeavesEndsWithStatusOne) {
  Subreaper subreaper;
  std::string sid = sandbox_.new_session("nobody");
  Process& daemon = start(sid, {}, {}, "service-test-daemon");
  ASSERT_TRUE(serving(sid));
  RunResult left =
      sandbox_.hvcall({"-t", "1", "orv-" + sid, "test.linger", "{}"});
  EXPECT_EQ(left.status, 1) << "hvcall should time out: " << left.err;

  // The handler logs its pid as it starts; on a slow machine that may come
  // after the caller has already given up.
  pid_t handler = logged_pid(daemon, "[test] linger pid ");
  ASSERT_GT(handler, 0) << daemon.err();
  EXPECT_EQ(wait_child(handler, milliseconds(12000)), 1)
      << "the handler outlived its caller";
  EXPECT_TRUE(daemon.running());
}

}  // namespace
}  // namespace orv::test
