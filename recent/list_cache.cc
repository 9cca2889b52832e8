#include "recent/list_cache.h"

#include <utility>

namespace orv::recent {

std::optional<std::string> ListCache::find(const ListKey& key,
                                           const DbStamp& stamp) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(key);
  if (it == entries_.end() || !(it->second.stamp == stamp)) {
    return std::nullopt;
  }
  return it->second.text;
}

void ListCache::put(const ListKey& key, const DbStamp& stamp,
                    std::string text) {
  if (text.size() > kRoom / 4) return;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(key);
  if (it != entries_.end()) {
    bytes_ -= it->second.text.size();
    entries_.erase(it);
  }
  if (bytes_ + text.size() > kRoom) {
    entries_.clear();
    bytes_ = 0;
  }
  bytes_ += text.size();
  entries_.emplace(key, Entry{stamp, std::move(text)});
}

}  // namespace orv::recent
