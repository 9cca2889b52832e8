// The answers of recent lists, kept as their JSON text while the database
// they were read from stays as it was: a user's list is asked for far more
// often than that user's log changes, and reading and printing it costs
// many times a bus round trip.
#ifndef ORV_RECENT_LIST_CACHE_H_
#define ORV_RECENT_LIST_CACHE_H_

#include <sys/types.h>

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>

#include "recent/database.h"

namespace orv::recent {

// What a list depends on besides the file: the user, the type, and the time
// zone its times are printed in.
struct ListKey {
  uid_t uid = 0;
  int32_t type = 0;
  long zone = 0;  // the runtime's `timezone` when the list was made
  bool operator<(const ListKey& other) const {
    return std::tie(uid, type, zone) <
           std::tie(other.uid, other.type, other.zone);
  }
};

// A bounded map from ListKey to the text of a list read at one DbStamp.
// Any thread.
class ListCache {
 public:
  // The text stored for `key` when it was read at `stamp`.
  std::optional<std::string> find(const ListKey& key, const DbStamp& stamp);
  // Stores `text`, read at `stamp`. Texts over a quarter of the cache's
  // room are not kept; when the room is used up, everything is dropped.
  void put(const ListKey& key, const DbStamp& stamp, std::string text);

 private:
  struct Entry {
    DbStamp stamp;
    std::string text;
  };
  static constexpr size_t kRoom = 8 << 20;  // bytes of text

  std::mutex mutex_;
  std::map<ListKey, Entry> entries_;  // guarded by mutex_
  size_t bytes_ = 0;                  // guarded by mutex_
};

}  // namespace orv::recent

#endif  // ORV_RECENT_LIST_CACHE_H_
