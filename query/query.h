// Query parsing: turns the parameters of a search request (`fetch.resource`,
// `create.cache`) into a Query with its working objects built at once: the
// entry filters, the sort chain, the grouping strategy and the root folders
// the walk starts from.
//
// Parameters are read in a fixed order, which is also the order of error
// precedence: limit, lang, path, name, type, date, size, owner, group, sort,
// cluster (and, for `create.cache`, the index before all of them). The first
// rejected parameter sets the ErrorRecord (code 2, "invalid <parameter>" and
// the like) and ends parsing. A collator or transliterator that cannot be
// made for the request's language ends it too, with code 3.
#ifndef ORV_QUERY_QUERY_H_
#define ORV_QUERY_QUERY_H_

#include <jansson.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "common/error.h"
#include "entry/entry.h"
#include "order/cluster.h"
#include "order/sorter.h"
#include "query/filter.h"

namespace orv {

// The reach limit of a request without "limit": the most entries one walk
// keeps.
inline constexpr int64_t kDefaultReachLimit = 100000;

// One parsed search request. A plain value of the handler: it owns its
// filters, sort chain, cluster strategy and root folders (the objects held
// through shared owners live as long as some holder keeps them). Used by
// the request's one thread.
struct Query {
  uint64_t limit = 500;  // page size, "limit"
  uint64_t offset = 0;   // first entry of the page, "offset"
  bool recursive = false;
  int64_t reach_time = 0;  // seconds the walk may take; 0 for no bound
  int64_t reach_limit = kDefaultReachLimit;  // entries the walk may keep
  // Every entry of the result passes each of them. Always starts with the
  // HiddenFilter once parsing got that far.
  FilterList filters;
  // Head of the sort chain: a plain Sorter, then the cluster sorter when
  // grouping is asked, then the sorter of the sort key.
  std::shared_ptr<Sorter> sorter;
  std::shared_ptr<Cluster> cluster;  // empty when no grouping is asked
  // The folder queue of the walk: one folder item per "path" item, in
  // request order.
  std::vector<Entry> roots;
};

// The parameters of `create.cache`: the cache slot and the search.
struct CreateRequest {
  uint64_t index = 1;
  Query query;
};

// Reads the whole query from `params` into `query`. Starts from the
// defaults; when `error` already holds an error, or a parameter is rejected,
// `query` holds what was built before the stop and must be discarded.
void parse_query(const json_t* params, ErrorRecord* error, Query* query);

// Reads "index" (1 or 2), then the query. On failure `request` must be
// discarded, as for parse_query.
void parse_create_request(const json_t* params, ErrorRecord* error,
                          CreateRequest* request);

}  // namespace orv

#endif  // ORV_QUERY_QUERY_H_
