// vimbrel's request validation on any JSON object: "add", "list" and
// "clear". A rejection is code 2; an accepted request names its user by a
// JSON integer or a text that is wholly one; an accepted add is one action
// bit filed under its type, with texts within their byte limits and a
// metadata text that is a JSON object.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_util.h"
#include "recent/requests.h"

namespace {

using orv::ErrorRecord;
using orv::fuzz::check;

void check_rejection(bool accepted, const ErrorRecord& error) {
  check(accepted == error.ok(), "answer and record disagree");
  check(accepted || error.code == orv::kInvalidParameter,
        "rejection other than code 2");
}

// A JSON integer, or a text that strtoll reads whole, with nothing before
// its sign or digits.
bool names_a_number(const json_t* user) {
  if (json_is_integer(user)) return true;
  if (!json_is_string(user)) return false;
  const char* text = json_string_value(user);
  char* end = nullptr;
  std::strtoll(text, &end, 10);
  return end != text && !std::isspace(static_cast<unsigned char>(text[0])) &&
         static_cast<size_t>(end - text) == json_string_length(user);
}

template <typename T>
bool within(const T& text, size_t limit) {
  return !text.has_value() || text->size() <= limit;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const orv::Json params = orv::fuzz::params_of(data, size);
  if (!params) return 0;
  const bool numbered = names_a_number(json_object_get(params.get(), "user"));

  ErrorRecord error;
  orv::recent::RecentItem item;
  bool accepted = orv::recent::read_add(params.get(), &error, &item);
  check_rejection(accepted, error);
  check(!accepted || numbered, "user other than a number");
  if (accepted) {
    check(item.action != 0 && (item.action & (item.action - 1)) == 0 &&
              item.action <= 512,
          "action other than one bit");
    check(item.type == orv::recent::action_type(item.action),
          "type other than the action's");
    check(within(item.app, 32) && within(item.client_id, 64) &&
              within(item.client_app, 128) && within(item.client_agent, 255),
          "text over its limit");
    orv::Json metadata = orv::Json::adopt(
        json_loads(item.metadata.c_str(), JSON_ALLOW_NUL, nullptr));
    check(json_is_object(metadata.get()), "metadata not an object");
  }

  ErrorRecord list_error;
  orv::recent::ListRequest list;
  accepted = orv::recent::read_list(params.get(), &list_error, &list);
  check_rejection(accepted, list_error);
  check(!accepted || numbered, "user other than a number");
  if (accepted) check(list.type >= 0 && list.type <= 3, "list type");

  ErrorRecord clear_error;
  orv::recent::ClearRequest clear;
  accepted = orv::recent::read_clear(params.get(), &clear_error, &clear);
  check_rejection(accepted, clear_error);
  check(!accepted || numbered, "user other than a number");
  if (accepted) check(clear.type >= 0 && clear.type <= 3, "clear type");
  return 0;
}
