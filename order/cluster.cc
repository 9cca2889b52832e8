#include "order/cluster.h"

#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <limits>

#include "common/utf8.h"
#include "order/collation.h"

namespace orv {

const SizeBand kSizeBands[kSizeBandCount] = {
    {"xs", 100},         {"s", 10240},
    {"m", 1048576},      {"l", 104857600},
    {"xl", 10737418240}, {"xxl", std::numeric_limits<int64_t>::max()},
};

int size_band(int64_t size) {
  for (int i = 0; i < kSizeBandCount; ++i) {
    if (size < kSizeBands[i].below) return i;
  }
  return kSizeBandCount - 1;
}

int size_band_index(std::string_view key) {
  for (int i = 0; i < kSizeBandCount; ++i) {
    if (key == kSizeBands[i].name) return i;
  }
  return -1;
}

Cluster::~Cluster() = default;

NameCluster::NameCluster(std::shared_ptr<icu::Transliterator> fold)
    : fold_(std::move(fold)) {}

std::string NameCluster::key(const Entry& entry) const {
  std::string first = utf8_substr(entry.name, 0, 1);
  // Hidden names group by their first two characters, so that ".@" system
  // folders and other dot names do not all fall into one group.
  if (first == ".") first = utf8_substr(entry.name, 0, 2);
  return fold(*fold_, first);
}

std::string DateCluster::key(const Entry& entry) const {
  const time_t seconds = entry.stat.st_mtim.tv_sec;
  struct tm local;
  if (localtime_r(&seconds, &local) == nullptr) return std::string();
  char text[32];
  snprintf(text, sizeof(text), "%04d/%02d", local.tm_year + 1900,
           local.tm_mon + 1);
  return text;
}

std::string TypeCluster::key(const Entry& entry) const {
  if (S_ISDIR(entry.stat.st_mode)) return "folder";
  return utf8_lower(entry.extension);
}

std::string SizeCluster::key(const Entry& entry) const {
  return kSizeBands[size_band(entry.stat.st_size)].name;
}

std::string OwnerCluster::key(const Entry& entry) const {
  return owner_name(entry);
}

std::string GroupCluster::key(const Entry& entry) const {
  return group_name(entry);
}

std::string PermissionCluster::key(const Entry& entry) const {
  char text[8];
  snprintf(text, sizeof(text), "%03o",
           static_cast<unsigned>(entry.stat.st_mode & 0777));
  return text;
}

std::shared_ptr<Cluster> make_cluster(std::string_view key,
                                      ErrorRecord* error) {
  if (key == "name") {
    std::shared_ptr<icu::Transliterator> fold = make_fold(error);
    if (!fold) return nullptr;
    return std::make_shared<NameCluster>(std::move(fold));
  }
  if (key == "date") return std::make_shared<DateCluster>();
  if (key == "type") return std::make_shared<TypeCluster>();
  if (key == "size") return std::make_shared<SizeCluster>();
  if (key == "owner") return std::make_shared<OwnerCluster>();
  if (key == "group") return std::make_shared<GroupCluster>();
  if (key == "permission") return std::make_shared<PermissionCluster>();
  set_error(error, kInvalidParameter, "invalid cluster");
  return nullptr;
}

}  // namespace orv
