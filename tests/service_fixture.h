// The fixture of the orv-service process tests: a sandbox, daemons started
// in it for fresh login sessions, and calls to them through hvcall.
#ifndef ORV_TESTS_SERVICE_FIXTURE_H_
#define ORV_TESTS_SERVICE_FIXTURE_H_

#include <gtest/gtest.h>
#include <jansson.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/json.h"
#include "tests/sandbox.h"

namespace orv::test {

class ServiceTest : public ::testing::Test {
 protected:
  static constexpr char kUuid[] = "0f8fad5b-d9cb-469f-a165-70867728950e";

  // Starts `program` ("orv-service" or "service-test-daemon") with -s `sid`
  // and `args`, and waits until its service answers on the bus (false when
  // it does not within a few seconds).
  Process& start(const std::string& sid,
                 const std::vector<std::string>& args = {},
                 const RunOptions& options = {},
                 const std::string& program = "orv-service") {
    std::vector<std::string> argv{bin(program), "-s", sid};
    argv.insert(argv.end(), args.begin(), args.end());
    return sandbox_.start(argv, options);
  }

  bool serving(const std::string& sid) {
    return wait_until(
        [&] { return sandbox_.exists("var/run/hvbus/orv-" + sid); },
        std::chrono::milliseconds(5000));
  }

  // Calls `method` of the session's daemon with `body`; the reply parsed
  // (null when it is not JSON, which fails the test).
  Json call(const std::string& sid, const std::string& method,
            const std::string& body,
            const std::vector<std::string>& flags = {}) {
    std::vector<std::string> args = flags;
    args.push_back("orv-" + sid);
    args.push_back(method);
    args.push_back(body);
    RunResult result = sandbox_.hvcall(args);
    EXPECT_EQ(result.status, 0) << method << " " << body << ": " << result.err;
    json_error_t error;
    Json reply = Json::adopt(json_loads(result.out.c_str(), 0, &error));
    EXPECT_TRUE(reply) << method << " " << body << ": " << result.out;
    return reply;
  }

  static int64_t int_of(const Json& object, const char* key) {
    return json_integer_value(json_object_get(object.get(), key));
  }
  static std::string text_of(const Json& object, const char* key) {
    const char* text = json_string_value(json_object_get(object.get(), key));
    return text != nullptr ? text : "";
  }

  Sandbox sandbox_;
};

}  // namespace orv::test

#endif  // ORV_TESTS_SERVICE_FIXTURE_H_
