// The parameters of vimbrel's "add", "list" and "clear" requests: the user
// rule, the validation of each endpoint in its order with its messages, and
// the metadata object of an add. Every integer parameter but "user" is read
// with json_int. The first rule that fails sets code 2 and its message; the
// outputs then hold nothing that may be used.
#ifndef ORV_RECENT_REQUESTS_H_
#define ORV_RECENT_REQUESTS_H_

#include <jansson.h>

#include <cstdint>

#include "common/error.h"
#include "recent/store.h"

namespace orv::recent {

// The type an action bit files under: 1 open, 2 delete, 3 upload; 0 for a
// value that is not exactly one of the ten bits.
int32_t action_type(int64_t action);

// The number a "user" value gives: a JSON integer, or a string that is
// wholly a base-10 integer ("2001"). False for anything else (null, a real,
// a boolean, an array, an object, "abc", "5001junk"), which names no
// account. Any thread; looks nothing up.
bool user_number(const json_t* value, int64_t* number);

// The user rule: "user" present, its number (user_number) the uid of an
// account whose home folder is an existing directory; else "invalid user".
// Any thread (the account look-up is the re-entrant one).
bool read_user(const json_t* params, ErrorRecord* error, RecentUser* user);

// "add": ip, app, user, path, action, client_id, client_app, client_agent,
// then the metadata object (the seven st_ keys, each 0 when absent) and
// display_path. Stamps the event's time once the path is accepted.
bool read_add(const json_t* params, ErrorRecord* error, RecentItem* item);

// "list": the user rule, then "type" (absent 0; else 1, 2 or 3).
bool read_list(const json_t* params, ErrorRecord* error, ListRequest* request);

// "clear": the user rule, "type" as for "list", "id" (0 when absent) and
// "path" when it is a string.
bool read_clear(const json_t* params, ErrorRecord* error,
                ClearRequest* request);

}  // namespace orv::recent

#endif  // ORV_RECENT_REQUESTS_H_
