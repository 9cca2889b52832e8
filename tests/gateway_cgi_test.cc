// orv-gateway run as the web server runs it, with CGI variables and a body,
// against gateway-peer (which shows what was forwarded) or against no
// service at all: refusals, the body read up to its length and no further,
// the forwarded parameters and session object, the rights, the start of a
// missing daemon, and the failures of the call.
#include <glob.h>
#include <gtest/gtest.h>
#include <jansson.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "common/json.h"
#include "tests/gateway_fixture.h"
#include "tests/sandbox.h"

namespace orv::test {
namespace {

using std::chrono::milliseconds;
using Vars = std::map<std::string, std::string>;

std::string error_reply(int code, const std::string& message) {
  return std::string(kJsonHeader) + R"({"error_code":)" + std::to_string(code) +
         R"(,"error_message":")" + message + "\"}";
}

// The session object of user `user` with the given rights and no client
// headers.
std::string session_object(const std::string& user, bool admin,
                           bool system_management) {
  auto flag = [](bool on) { return on ? "true" : "false"; };
  return R"({"ip":"127.0.0.1","user":")" + user + R"(","administrators":)" +
         flag(admin) +
         R"(,"client_id":null,"client_app":null,"client_agent":null,)"
         R"("is_system_management":)" +
         flag(system_management) +
         R"(,"is_application_management":false,"is_access_management":false,)"
         R"("is_system_monitoring":false,"is_user_group_management":false,)"
         R"("is_shared_folder_management":false,"is_backup_management":false})";
}

class GatewayCgiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sid_ = sandbox_.new_session("nobody");
    ASSERT_FALSE(sid_.empty());
    // The package's daemon is a script that notes how it was started and
    // then serves as gateway-peer.
    sandbox_.write_file(
        "etc/config/tpkg.conf",
        "[Orvane6]\nInstall_Path = " + sandbox_.path("pkg") + "\n");
    sandbox_.write_file(
        "pkg/usr/sbin/orv-service",
        "#!/bin/sh\n"
        "echo \"[$*] ORV_SID=$ORV_SID cookie=${HTTP_COOKIE-none} "
        "ORV_ROOT=$ORV_ROOT\" >> '" +
            sandbox_.path("started.log") +
            "'\n"
            "[ -n \"$ORV_SID\" ] && [ -n \"$ORV_ROOT\" ] || exit 1\n"
            "exec '" +
            bin("gateway-peer") + "\' \"orv-$ORV_SID\"\n",
        0755);
  }

  Vars request(const std::string& method, const std::string& location) const {
    return {{"HTTP_COOKIE", "lang=ENG; NAS_SID=" + sid_ + "; theme=dark"},
            {"REQUEST_SCHEME", "http"},
            {"REQUEST_METHOD", method},
            {"SCRIPT_URL", location},
            {"REMOTE_ADDR", "127.0.0.1"}};
  }

  Process& start_peer(const std::string& sid) {
    Process& peer = sandbox_.start({bin("gateway-peer"), "orv-" + sid});
    EXPECT_TRUE(peer.wait_for_err("ready", milliseconds(10000)));
    return peer;
  }

  // The {"method", "body"} reply of gateway-peer in `result`.
  static Json peer_reply(const RunResult& result) {
    const std::string header = kJsonHeader;
    EXPECT_EQ(result.out.substr(0, header.size()), header) << result.out;
    Json reply = Json::adopt(
        json_loads(result.out.substr(header.size()).c_str(), 0, nullptr));
    EXPECT_TRUE(reply) << result.out;
    return reply;
  }
  static std::string member(const Json& object, const char* name) {
    const char* text = json_string_value(json_object_get(object.get(), name));
    return text != nullptr ? text : "";
  }

  Sandbox sandbox_;
  SandboxReaper reaper_{sandbox_};
  std::string sid_;
};

TEST_F(GatewayCgiTest, RefusedRequestsGetTheirErrorReplyAndStartNothing) {
  struct Case {
    const char* what;
    Vars change;
    std::vector<std::string> unset;
    int code;
  };
  const Case cases[] = {
      {"no REQUEST_SCHEME", {}, {"REQUEST_SCHEME"}, 401},
      {"no cookie", {}, {"HTTP_COOKIE"}, 401},
      {"no NAS_SID entry", {{"HTTP_COOKIE", "lang=ENG"}}, {}, 401},
      {"empty id", {{"HTTP_COOKIE", "NAS_SID=; x=1"}}, {}, 401},
      {"unknown id", {{"HTTP_COOKIE", "NAS_SID=Zz9Zz9Zz"}}, {}, 401},
      {"id outside A-Za-z0-9",
       {{"HTTP_COOKIE", "NAS_SID=../../etc/x"}},
       {},
       401},
      {"id too long",
       {{"HTTP_COOKIE", "NAS_SID=" + std::string(65, 'a')}},
       {},
       401},
      {"no slash after the application", {{"SCRIPT_URL", "/Orvane6"}}, {}, 400},
      {"another application", {{"SCRIPT_URL", "/Other/fetch.cache"}}, {}, 400},
      {"a query string in the location",
       {{"SCRIPT_URL", "/Orvane6/fetch.cache?__SESSION__=x"}},
       {},
       400},
      {"no SCRIPT_URL", {}, {"SCRIPT_URL"}, 400},
      {"no REQUEST_METHOD", {}, {"REQUEST_METHOD"}, 400},
      {"an empty method", {{"REQUEST_METHOD", ""}}, {}, 400},
      {"a query string in the method",
       {{"REQUEST_METHOD", "GET?__SESSION__=x"}},
       {},
       400},
      {"a location in the method",
       {{"REQUEST_METHOD", "POST /Orvane6/delete.cache"}},
       {},
       400},
      {"a body length that is no number", {{"CONTENT_LENGTH", "12 "}}, {}, 400},
      {"a body over the web server's limit",
       {{"CONTENT_LENGTH", "1048577"}},
       {},
       413},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Vars vars = request("GET", "/Orvane6/fetch.cache");
    for (const auto& [name, value] : c.change) vars[name] = value;
    RunResult result = run_gateway(sandbox_, vars, c.unset);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out,
              error_reply(c.code, c.code == 413 ? "request too large" : ""));
    EXPECT_EQ(result.err, "");  // Nothing was forwarded.
  }
  // A body that ends before its announced length is no request either.
  Vars cut = request("POST", "/Orvane6/fetch.cache");
  cut["CONTENT_LENGTH"] = "20";
  RunResult result = run_gateway(sandbox_, cut, {}, R"({"index":1})");
  EXPECT_EQ(result.out, error_reply(400, ""));
  EXPECT_EQ(result.err, "");
  EXPECT_FALSE(sandbox_.exists("started.log"));
  EXPECT_FALSE(sandbox_.exists("var/run/hvbus/orv-" + sid_));
}

TEST_F(GatewayCgiTest, ParametersAreForwardedWithTheSessionObject) {
  start_peer(sid_);
  const std::string session = session_object("nobody", false, false);
  struct Case {
    const char* method;
    const char* query;  // QUERY_STRING, or nullptr for none
    const char* body;   // standard input
    bool remote_addr;
    std::string forwarded;
    const char* length = nullptr;  // CONTENT_LENGTH; nullptr: the body's
  };
  const Case cases[] = {
      {"GET", "name=a+b%2Fc%zz&a[]=1&a[]=2&&flag", "ignored", true,
       R"({"name":"a b\/c%zz","a":["1","2"],"flag":"","__SESSION__":)" +
           session + "}"},
      {"gEt", "a=1&a=2", "", true,
       R"({"a":["1","2"],"__SESSION__":)" + session + "}"},
      {"GET", nullptr, "", true, R"({"__SESSION__":)" + session + "}"},
      {"POST", "ignored=1", R"({"index":1,"path":"\/x"})", true,
       R"({"index":1,"path":"\/x","__SESSION__":)" + session + "}"},
      {"post", nullptr, "not json", true, R"({"__SESSION__":)" + session + "}"},
      {"PUT", nullptr, "[1,{\"__SESSION__\":2}]", true,
       "[1,{\"__SESSION__\":2}]"},
      {"POST", nullptr, R"("text")", true, R"("text")"},
      {"POST", nullptr, R"({"__SESSION__":{"administrators":true}})", true,
       R"({"__SESSION__":)" + session + "}"},
      // Without the client's address no session object can be made, and
      // none the client sent goes through in its place.
      {"POST", nullptr, R"({"x":1,"__SESSION__":{"administrators":true}})",
       false, R"({"x":1})"},
      // The body is what CONTENT_LENGTH says, and none without it.
      {"POST", nullptr, R"({"index":1}{"index":2})", true,
       R"({"index":1,"__SESSION__":)" + session + "}", "11"},
      {"POST", nullptr, R"({"index":1})", true,
       R"({"__SESSION__":)" + session + "}", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + (c.query ? c.query : "") + " " +
                 c.body);
    Vars vars = request(c.method, "/Orvane6/fetch.resource");
    if (c.query != nullptr) vars["QUERY_STRING"] = c.query;
    std::vector<std::string> unset;
    if (c.query == nullptr) unset.push_back("QUERY_STRING");
    if (!c.remote_addr) unset.push_back("REMOTE_ADDR");
    if (c.length != nullptr) vars["CONTENT_LENGTH"] = c.length;
    RunResult result = run_gateway(sandbox_, vars, unset, c.body);
    EXPECT_EQ(result.status, 0);
    Json reply = peer_reply(result);
    EXPECT_EQ(member(reply, "body"), c.forwarded);
    EXPECT_EQ(member(reply, "method"),
              std::string(c.method) + " /Orvane6/fetch.resource");
    EXPECT_EQ(result.err, "service = orv-" + sid_ + ", method = " + c.method +
                              " /Orvane6/fetch.resource\n");
  }

  // Client headers go into the session object.
  Vars vars = request("GET", "/Orvane6/fetch.cache");
  vars["HTTP_CLIENT_ID"] = "c-1";
  vars["HTTP_CLIENT_APP"] = "files";
  vars["HTTP_CLIENT_AGENT"] = "agent/2";
  Json body = Json::adopt(json_loads(
      member(peer_reply(run_gateway(sandbox_, vars)), "body").c_str(), 0,
      nullptr));
  json_t* object = json_object_get(body.get(), "__SESSION__");
  EXPECT_STREQ(json_string_value(json_object_get(object, "client_id")), "c-1");
  EXPECT_STREQ(json_string_value(json_object_get(object, "client_app")),
               "files");
  EXPECT_STREQ(json_string_value(json_object_get(object, "client_agent")),
               "agent/2");
}

TEST_F(GatewayCgiTest, RightsComeFromTheDelegationToolAndTheGroups) {
  // The tool answers "delegated" for nobody alone, and notes its arguments.
  sandbox_.write_file("sbin/deputor",
                      "#!/bin/sh\necho \"$*\" >> '" +
                          sandbox_.path("deputor.log") +
                          "'\n"
                          "[ \"$5\" = nobody ] && echo delegated || echo no\n",
                      0755);
  // alice, a member of "administrators", in an account database of the
  // test's own (through nss_wrapper), with a session of her own.
  glob_t found;
  const bool have =
      glob("/usr/lib/*/libnss_wrapper.so", 0, nullptr, &found) == 0;
  const std::string library = have ? found.gl_pathv[0] : "";
  globfree(&found);
  ASSERT_TRUE(have) << "libnss_wrapper.so is not installed";
  sandbox_.write_file("nss/passwd",
                      "nobody:x:65534:65534::/:/bin/sh\n"
                      "alice:x:5001:5001::/:/bin/sh\n");
  sandbox_.write_file(
      "nss/group",
      "nogroup:x:65534:\nstaff:x:5001:\nadministrators:x:5100:alice\n");
  const std::string alice(48, 'A');  // A long id, kept whole.
  sandbox_.write_file("var/run/sessions/" + alice, "[session]\nuser = alice\n",
                      0600);
  start_peer(sid_);
  start_peer(alice);

  struct Case {
    std::string sid;
    std::string session;
  };
  const Case cases[] = {
      {sid_, session_object("nobody", false, true)},
      {alice, session_object("alice", true, false)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sid);
    Vars vars = request("GET", "/Orvane6/fetch.cache");
    vars["HTTP_COOKIE"] = "NAS_SID=" + c.sid;
    vars["LD_PRELOAD"] = library;
    vars["NSS_WRAPPER_PASSWD"] = sandbox_.path("nss/passwd");
    vars["NSS_WRAPPER_GROUP"] = sandbox_.path("nss/group");
    vars["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=0";
    RunResult result = run_gateway(sandbox_, vars);
    EXPECT_EQ(member(peer_reply(result), "body"),
              R"({"__SESSION__":)" + c.session + "}")
        << result.err;
  }
  EXPECT_EQ(sandbox_.read_file("deputor.log"),
            "--is_delegated -r 1 -u nobody\n--is_delegated -r 1 -u alice\n");
}

TEST_F(GatewayCgiTest, AMissingDaemonIsStartedWithTheWholeIdAndCalledAgain) {
  // A session id longer than 9 characters names its service in full; the
  // daemon must be started with that same id to serve it. The id goes in the
  // environment, never on the command line, and the cookie stays behind.
  const std::string sid = "Long" + std::string(56, 'x') + "1234";
  sandbox_.write_file("var/run/sessions/" + sid, "[session]\nuser = nobody\n",
                      0600);
  Vars vars = request("POST", "/Orvane6/fetch.cache");
  vars["HTTP_COOKIE"] = "NAS_SID=" + sid;
  RunResult result = run_gateway(sandbox_, vars, {}, R"({"index":1})");
  EXPECT_EQ(result.status, 0);
  Json reply = peer_reply(result);
  EXPECT_EQ(member(reply, "method"), "POST /Orvane6/fetch.cache");
  EXPECT_EQ(
      sandbox_.read_file("started.log"),
      "[] ORV_SID=" + sid + " cookie=none ORV_ROOT=" + sandbox_.root() + "\n");

  // Once running, it is called without another start.
  result = run_gateway(sandbox_, vars, {}, R"({"index":2})");
  EXPECT_EQ(member(peer_reply(result), "method"), "POST /Orvane6/fetch.cache");
  EXPECT_EQ(
      sandbox_.read_file("started.log"),
      "[] ORV_SID=" + sid + " cookie=none ORV_ROOT=" + sandbox_.root() + "\n");
}

TEST_F(GatewayCgiTest, AnswersWithoutWaitingForTheEndOfInput) {
  // The web server may keep standard input open after the body: both a
  // refusal and a forwarded request are answered once the body's length is
  // read.
  start_peer(sid_);
  const std::string body = R"({"index":1})";
  for (const bool valid : {false, true}) {
    SCOPED_TRACE(valid ? "forwarded" : "refused");
    RunOptions options;
    options.env = request("POST", "/Orvane6/fetch.cache");
    if (!valid) options.env["HTTP_COOKIE"] = "NAS_SID=Zz9Zz9Zz";
    options.env["CONTENT_LENGTH"] = std::to_string(body.size());
    options.env["BODY"] = body;
    options.env["GATEWAY"] = bin("orv-gateway");
    Process& held = sandbox_.start(
        {"/bin/sh", "-c",
         R"({ printf %s "$BODY"; exec sleep 60; } | "$GATEWAY")"},
        options);
    EXPECT_TRUE(wait_until(
        [&] {
          const std::string out = held.out();
          return !out.empty() && out.back() == '}';
        },
        milliseconds(5000)))
        << held.out();
    RunResult result;
    result.out = held.out();
    if (valid) {
      EXPECT_EQ(member(peer_reply(result), "body"),
                R"({"index":1,"__SESSION__":)" +
                    session_object("nobody", false, false) + "}");
    } else {
      EXPECT_EQ(result.out, error_reply(401, ""));
    }
    held.kill_group();
  }
}

TEST_F(GatewayCgiTest, FailedCallsAnswerTimeoutOrServiceUnavailable) {
  // A package without the daemon: started in vain, called once more.
  sandbox_.write_file("etc/config/tpkg.conf", "[Orvane6]\nInstall_Path = " +
                                                  sandbox_.path("none") + "\n");
  RunResult missing =
      run_gateway(sandbox_, request("GET", "/Orvane6/fetch.cache"));
  EXPECT_EQ(missing.out, error_reply(503, "service unavailable"));

  // A daemon that never answers: 408 once the call's time-out passes, here
  // the 2 s of the gateway's build for tests.
  start_peer(sid_);
  Vars vars = request("GET", "/Orvane6/test.silent");
  const auto start = std::chrono::steady_clock::now();
  RunResult silent =
      run_gateway(sandbox_, vars, {}, "", "gateway-short-timeout");
  EXPECT_EQ(silent.out, error_reply(408, "timeout"));
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(2000));
  EXPECT_FALSE(sandbox_.exists("started.log"));

  // The shipped gateway has no setting that shortens its 300 s: it is still
  // waiting when the test gives up on it.
  vars["ORV_GATEWAY_TEST_TIMEOUT"] = "1";
  RunOptions options;
  options.env = vars;
  options.timeout = milliseconds(2500);
  RunResult shipped = sandbox_.run({bin("orv-gateway")}, options);
  EXPECT_TRUE(shipped.timed_out) << shipped.out;
}

}  // namespace
}  // namespace orv::test
