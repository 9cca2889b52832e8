#include "recent/requests.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "common/json.h"
#include "common/log.h"
#include "common/platform/accounts.h"

namespace orv::recent {

namespace {

constexpr int64_t kLastAction = 1023;  // the ten bits of the action table
constexpr int32_t kOpen = 1;
constexpr int32_t kDelete = 2;
constexpr int32_t kUpload = 3;
// The type of each action bit, from bit 0 (ADDED) to bit 9 (AUTO_UPLOADED).
constexpr int32_t kActionTypes[] = {kUpload, kOpen, kOpen,   kOpen, kUpload,
                                    kDelete, kOpen, kUpload, kOpen, kUpload};

// The account with `uid` and its home folder. False when there is none, it
// has no home folder or the database cannot answer.
bool lookup_home(uid_t uid, gid_t* gid, std::string* home) {
  platform::Account account;
  std::string reason;
  if (!platform::lookup_account_by_uid(uid, &account, &reason) ||
      account.home.empty()) {
    return false;
  }
  *gid = account.gid;
  *home = account.home;
  return true;
}

// An optional string parameter of at most `limit` bytes (0: no limit). False
// when it is present and is not such a string.
bool optional_text(const json_t* params, const char* key, size_t limit,
                   std::optional<std::string>* out) {
  const json_t* value = json_object_get(params, key);
  if (value == nullptr) return true;
  if (!json_is_string(value)) return false;
  size_t length = json_string_length(value);
  if (limit > 0 && length > limit) return false;
  *out = std::string(json_string_value(value), length);
  return true;
}

// "type" of a list or a clear: absent 0, else 1, 2 or 3.
bool read_type(const json_t* params, ErrorRecord* error, int64_t* type) {
  const json_t* value = json_object_get(params, "type");
  *type = 0;
  if (value == nullptr) return true;
  *type = json_int(value);
  if (*type >= kOpen && *type <= kUpload) return true;
  set_error(error, kInvalidParameter, "invalid type");
  return false;
}

// The metadata object of an add, as its compact JSON text.
std::string metadata_text(const json_t* params,
                          const std::optional<std::string>& display_path) {
  const auto u32 = [&](const char* key) {
    return static_cast<json_int_t>(
        static_cast<uint32_t>(json_int(json_object_get(params, key))));
  };
  const auto i64 = [&](const char* key) {
    return static_cast<json_int_t>(json_int(json_object_get(params, key)));
  };
  Json metadata = Json::adopt(
      json_pack("{sIsIsIsIsIsIsI}", "st_uid", u32("st_uid"), "st_gid",
                u32("st_gid"), "st_size", i64("st_size"), "st_mode",
                u32("st_mode"), "st_atime", i64("st_atime"), "st_ctime",
                i64("st_ctime"), "st_mtime", i64("st_mtime")));
  if (display_path) {
    json_object_set_new(
        metadata.get(), "display_path",
        json_stringn(display_path->data(), display_path->size()));
  }
  return json_text(metadata.get());
}

}  // namespace

int32_t action_type(int64_t action) {
  if (action <= 0 || action > kLastAction ||
      std::popcount(static_cast<uint64_t>(action)) != 1) {
    return 0;
  }
  return kActionTypes[std::countr_zero(static_cast<uint64_t>(action))];
}

bool user_number(const json_t* value, int64_t* number) {
  if (json_is_integer(value)) {
    *number = json_integer_value(value);
    return true;
  }
  if (!json_is_string(value)) return false;
  // Every byte is looked at, so a NUL inside the text fails too.
  const std::string_view text(json_string_value(value),
                              json_string_length(value));
  const size_t sign = text.starts_with('-') || text.starts_with('+') ? 1 : 0;
  if (text.size() == sign ||
      text.find_first_not_of("0123456789", sign) != std::string_view::npos) {
    return false;
  }
  // Saturates at the 64-bit limits, which are no uid either.
  *number = std::strtoll(text.data(), nullptr, 10);
  return true;
}

bool read_user(const json_t* params, ErrorRecord* error, RecentUser* user) {
  int64_t uid = 0;
  struct stat st;
  // Beyond 32 bits a number would wrap onto somebody else's uid; -1 is
  // never one.
  if (!user_number(json_object_get(params, "user"), &uid) || uid < 0 ||
      uid >= static_cast<int64_t>(static_cast<uid_t>(-1)) ||
      !lookup_home(static_cast<uid_t>(uid), &user->gid, &user->home) ||
      stat(user->home.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    set_error(error, kInvalidParameter, "invalid user");
    return false;
  }
  user->uid = static_cast<uid_t>(uid);
  return true;
}

bool read_add(const json_t* params, ErrorRecord* error, RecentItem* item) {
  const json_t* ip = json_object_get(params, "ip");
  if (ip != nullptr) {
    if (!json_is_string(ip)) {
      set_error(error, kInvalidParameter, "invalid ip");
      return false;
    }
    const char* text = json_string_value(ip);
    unsigned char address[sizeof(struct in6_addr)];
    // A NUL byte inside would hide whatever follows it from inet_pton.
    if (std::strlen(text) != json_string_length(ip) ||
        (inet_pton(AF_INET, text, address) != 1 &&
         inet_pton(AF_INET6, text, address) != 1)) {
      set_error(error, kInvalidParameter, "%s", text);
      return false;
    }
    item->ip = std::string(text, json_string_length(ip));
  }
  if (!optional_text(params, "app", 32, &item->app)) {
    set_error(error, kInvalidParameter, "invalid app");
    return false;
  }
  if (!read_user(params, error, &item->user)) return false;
  const json_t* path = json_object_get(params, "path");
  if (!json_is_string(path)) {
    set_error(error, kInvalidParameter, "invalid path");
    return false;
  }
  item->path.assign(json_string_value(path), json_string_length(path));
  item->time = local_clock();
  const json_t* action = json_object_get(params, "action");
  // The whole value counts: 2^32 + 1 is no action, not ADDED.
  item->type = action != nullptr ? action_type(json_int(action)) : 0;
  if (item->type == 0) {
    set_error(error, kInvalidParameter, "invalid action");
    return false;
  }
  item->action = static_cast<uint32_t>(json_int(action));
  if (!optional_text(params, "client_id", 64, &item->client_id)) {
    set_error(error, kInvalidParameter, "invalid client_id");
    return false;
  }
  if (!optional_text(params, "client_app", 128, &item->client_app)) {
    set_error(error, kInvalidParameter, "invalid client_app");
    return false;
  }
  if (!optional_text(params, "client_agent", 255, &item->client_agent)) {
    set_error(error, kInvalidParameter, "invalid client_agent");
    return false;
  }
  std::optional<std::string> display_path;
  if (!optional_text(params, "display_path", 0, &display_path)) {
    set_error(error, kInvalidParameter, "invalid display_path");
    return false;
  }
  item->metadata = metadata_text(params, display_path);
  return true;
}

bool read_list(const json_t* params, ErrorRecord* error, ListRequest* request) {
  int64_t type = 0;
  if (!read_user(params, error, &request->user) ||
      !read_type(params, error, &type)) {
    return false;
  }
  request->type = static_cast<int32_t>(type);
  request->id = json_int(json_object_get(params, "id"));
  return true;
}

bool read_clear(const json_t* params, ErrorRecord* error,
                ClearRequest* request) {
  if (!read_user(params, error, &request->user) ||
      !read_type(params, error, &request->type)) {
    return false;
  }
  // The whole value is bound: cut to 32 bits, a large id would name another
  // row.
  request->id = json_int(json_object_get(params, "id"));
  const json_t* path = json_object_get(params, "path");
  if (json_is_string(path)) {
    request->path =
        std::string(json_string_value(path), json_string_length(path));
  }
  return true;
}

}  // namespace orv::recent
