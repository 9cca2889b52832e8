#include "query/query.h"

#include <gtest/gtest.h>
#include <unicode/locid.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <typeinfo>

#include "common/json.h"
#include "order/collation.h"
#include "query/filter_name.h"
#include "query/filter_stat.h"

namespace orv {
namespace {

const char kPath[] = R"("path":[{"full_path":"/share/A","alias":"Public"}])";

// The operator a size or date filter was made with.
const char* operator_of(const Filter& filter) {
  Filter::Comparison c = filter.comparison();
  return c == &Filter::greater         ? ">"
         : c == &Filter::greater_equal ? ">="
         : c == &Filter::equal         ? "=="
         : c == &Filter::less_equal    ? "<="
         : c == &Filter::less          ? "<"
                                       : "?";
}

// One filter as a short text, such as "size >=1048576".
std::string describe(const Filter& f) {
  using std::to_string;
  if (auto* h = dynamic_cast<const HiddenFilter*>(&f)) {
    return h->hide() ? "hide" : "show";
  }
  if (auto* w = dynamic_cast<const WildCardFilter*>(&f)) {
    return "name " + w->text();
  }
  if (auto* m = dynamic_cast<const MIMEFilter*>(&f)) {
    return "mime " + to_string(m->mask()) + " " + m->extension();
  }
  if (auto* s = dynamic_cast<const StatModeFilter*>(&f)) {
    return "mode " + to_string(s->mode_bits());
  }
  if (auto* d = dynamic_cast<const ModifyDateFilter*>(&f)) {
    return "day " + std::string(operator_of(f)) + to_string(d->day());
  }
  if (auto* s = dynamic_cast<const SizeFilter*>(&f)) {
    return "size " + std::string(operator_of(f)) + to_string(s->size());
  }
  if (auto* o = dynamic_cast<const OwnerFilter*>(&f)) {
    return "uid " + to_string(o->uid());
  }
  if (auto* g = dynamic_cast<const GroupFilter*>(&f)) {
    return "gid " + to_string(g->gid());
  }
  return "?";
}

// The sort chain as its links' classes, each followed by + (ascending) or
// - (descending).
std::string chain_of(const Query& query) {
  std::string text;
  for (const Sorter* link = query.sorter.get(); link != nullptr;
       link = link->next().get()) {
    const std::type_info& t = typeid(*link);
    const char* name = t == typeid(Sorter)              ? "Sorter"
                       : t == typeid(NameSorter)        ? "Name"
                       : t == typeid(DateSorter)        ? "Date"
                       : t == typeid(TypeSorter)        ? "Type"
                       : t == typeid(SizeSorter)        ? "Size"
                       : t == typeid(OwnerSorter)       ? "Owner"
                       : t == typeid(GroupSorter)       ? "Group"
                       : t == typeid(PermissionSorter)  ? "Permission"
                       : t == typeid(ClusterSorter)     ? "Cluster"
                       : t == typeid(SizeClusterSorter) ? "SizeCluster"
                                                        : "?";
    text += std::string(text.empty() ? "" : " ") + name +
            (link->desc() ? "-" : "+");
  }
  return text;
}

class QueryTest : public ::testing::Test {
 protected:
  // Parses `text`, a JSON object in which "P" stands for one path item.
  void parse(std::string text) {
    size_t at = text.find("\"P\"");
    if (at != std::string::npos) text.replace(at, 3, kPath);
    json_error_t json_error;
    Json params =
        Json::adopt(json_loads(text.c_str(), JSON_ALLOW_NUL, &json_error));
    ASSERT_TRUE(params) << text << ": " << json_error.text;
    clear_error(&error_);
    parse_query(params.get(), &error_, &query_);
  }

  std::string filters() const {
    std::string text;
    for (const FilterPtr& f : query_.filters) {
      text += (text.empty() ? "" : ", ") + describe(*f);
    }
    return text;
  }

  Query query_;
  ErrorRecord error_;
};

TEST_F(QueryTest, OnePathAndNothingElseGivesTheDefaults) {
  parse(R"({"P"})");
  ASSERT_TRUE(error_.ok()) << error_.message;
  EXPECT_EQ(query_.limit, 500u);
  EXPECT_EQ(query_.offset, 0u);
  EXPECT_FALSE(query_.recursive);
  EXPECT_EQ(query_.reach_time, 0);
  EXPECT_EQ(query_.reach_limit, 100000);
  ASSERT_EQ(query_.roots.size(), 1u);
  const Entry& root = query_.roots[0];
  EXPECT_EQ(root.path + "|" + root.alias + "|" + root.sub_path + "|" +
                root.name + "|" + root.cluster + "|" + root.extension,
            "/share/A|Public||||");
  EXPECT_EQ(root.stat.st_mode, 0u);
  EXPECT_EQ(filters(), "hide");
  EXPECT_EQ(chain_of(query_), "Sorter+ Name+");
  EXPECT_EQ(query_.cluster, nullptr);
  EXPECT_STREQ(icu::Locale::getDefault().getName(), "en_US");
}

TEST_F(QueryTest, PlainParametersAndTheReachLimit) {
  parse(R"({"P","limit":"100","offset":40,"recursive":"TRUE",)"
        R"("reach_time":"3","lang":"jpn"})");
  ASSERT_TRUE(error_.ok()) << error_.message;
  EXPECT_EQ(query_.limit, 100u);
  EXPECT_EQ(query_.offset, 40u);
  EXPECT_TRUE(query_.recursive);
  EXPECT_EQ(query_.reach_time, 3);
  EXPECT_EQ(query_.reach_limit, 100);  // A page-sized search reads no more.
  EXPECT_STREQ(icu::Locale::getDefault().getName(), "ja_JP");

  parse(R"({"P","reach_limit":7,"recursive":0})");
  EXPECT_EQ(query_.reach_limit, 100000);  // Only "limit" bounds the walk.
  EXPECT_FALSE(query_.recursive);
  EXPECT_STREQ(icu::Locale::getDefault().getName(), "en_US");
}

TEST_F(QueryTest, PathForms) {
  struct Case {
    const char* params;
    const char* message;
    const char* roots;  // path:alias of each root
  };
  const Case cases[] = {
      {R"({"path":[]})", "", ""},
      {R"({"path":[{"full_path":"/a","alias":"A"},{"full_path":"/b","alias":""}]})",
       "", "/a:A /b: "},
      {R"({})", "invalid path", ""},
      {R"({"path":"/share/A"})", "invalid path type", ""},
      {R"({"path":{"full_path":"/a","alias":""}})", "invalid path type", ""},
      {R"({"path":["/share/A"]})", "invalid path array item", ""},
      {R"({"path":[{"alias":"A"}]})", "invalid full_path object format", ""},
      {R"({"path":[{"full_path":7,"alias":"A"}]})",
       "invalid full_path object format", ""},
      {R"({"path":[{"full_path":"/a\u0000/b","alias":"A"}]})",
       "invalid full_path object format", ""},
      {R"({"path":[{"full_path":"/a"}]})", "invalid alias object format", ""},
      {R"({"path":[{"full_path":"/a","alias":null}]})",
       "invalid alias object format", ""},
      {R"({"path":[{"full_path":"/a","alias":"A"},5]})",
       "invalid path array item", "/a:A "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.params);
    parse(c.params);
    EXPECT_STREQ(error_.message, c.message);
    EXPECT_EQ(error_.code, *c.message ? 2 : 0);
    std::string roots;
    for (const Entry& e : query_.roots) roots += e.path + ":" + e.alias + " ";
    EXPECT_EQ(roots, c.roots);
  }
}

// The filters each parameter adds after the HiddenFilter, which is always
// first.
TEST_F(QueryTest, FiltersFromParameters) {
  struct Case {
    const char* params;
    const char* filters;
  };
  const Case cases[] = {
      // "hidden" is read as an integer: the text "true" shows hidden names.
      {R"({"P","hidden":true})", "hide"},
      {R"({"P","hidden":"1"})", "hide"},
      {R"({"P","hidden":"true"})", "show"},
      {R"({"P","hidden":false})", "show"},
      {R"({"P","hidden":0})", "show"},
      {R"({"P","name":"*.JPG"})", "hide, name *.JPG"},
      {R"({"P","type":"music"})", "hide, mime 1 "},
      {R"({"P","type":"video"})", "hide, mime 2 "},
      {R"({"P","type":"photo:abc"})", "hide, mime 4 "},
      {R"({"P","type":"extname:mp3"})", "hide, mime 256 mp3"},
      {R"({"P","type":"extname"})", "hide, mime 256 "},
      {R"({"P","type":"file"})", "hide, mode 32768"},
      {R"({"P","type":"folder"})", "hide, mode 16384"},
      {R"({"P","date":[">=1310572800","<1310659200"]})",
       "hide, day >=1310515200, day <1310601600"},
      {R"({"P","date":[]})", "hide"},
      {R"({"P","size":">=1024K"})", "hide, size >=1048576"},
      {R"({"P","size":"==7"})", "hide, size ==7"},
      {R"({"P","size":"<=2G"})", "hide, size <=2147483648"},
      {R"({"P","size":">1T"})", "hide, size >1099511627776"},
      {R"({"P","size":"<5P"})", "hide, size <5629499534213120"},
      // Too large for 64 bits: the largest size rather than a wrapped one.
      {R"({"P","size":"<99999P"})", "hide, size <9223372036854775807"},
      {R"({"P","size":">99999999999999999999M"})",
       "hide, size >9223372036854775807"},
      {R"({"P","owner":"daemon","group":"nogroup"})", "hide, uid 1, gid 65534"},
      {R"({"P","owner":"root","group":"root","hidden":0})",
       "show, uid 0, gid 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.params);
    parse(c.params);
    EXPECT_TRUE(error_.ok()) << error_.message;
    EXPECT_EQ(filters(), c.filters);
  }
}

TEST_F(QueryTest, SortAndClusterChains) {
  struct Case {
    const char* params;
    const char* chain;
    const std::type_info* cluster;  // nullptr: no grouping
  };
  const Case cases[] = {
      {R"({"P","sort":"size:desc"})", "Sorter- Size-", nullptr},
      {R"({"P","sort":"type:asc"})", "Sorter+ Type+", nullptr},
      {R"({"P","sort":"permission"})", "Sorter+ Permission+", nullptr},
      // The cluster takes the sort's direction unless it has its own.
      {R"({"P","sort":"date:desc","cluster":"name"})", "Sorter- Cluster- Date-",
       &typeid(NameCluster)},
      {R"({"P","cluster":"size:asc"})", "Sorter+ SizeCluster+ Name+",
       &typeid(SizeCluster)},
      {R"({"P","sort":"name:asc","cluster":"date:desc"})",
       "Sorter+ Cluster- Name+", &typeid(DateCluster)},
      {R"({"P","sort":"owner","cluster":"type"})", "Sorter+ Cluster+ Owner+",
       &typeid(TypeCluster)},
      {R"({"P","cluster":"owner"})", "Sorter+ Cluster+ Name+",
       &typeid(OwnerCluster)},
      {R"({"P","cluster":"group"})", "Sorter+ Cluster+ Name+",
       &typeid(GroupCluster)},
      {R"({"P","sort":"group:desc","cluster":"permission:asc"})",
       "Sorter- Cluster+ Group-", &typeid(PermissionCluster)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.params);
    parse(c.params);
    ASSERT_TRUE(error_.ok()) << error_.message;
    EXPECT_EQ(chain_of(query_), c.chain);
    EXPECT_TRUE(c.cluster == nullptr
                    ? query_.cluster == nullptr
                    : query_.cluster && typeid(*query_.cluster) == *c.cluster);
  }
}

// Each bad parameter, mostly beside a later bad one that must not be the
// one reported.
TEST_F(QueryTest, RejectionsAndTheirPrecedence) {
  struct Case {
    const char* params;
    const char* message;
  };
  const Case cases[] = {
      {R"({"limit":49,"path":"x"})", "invalid limit"},
      {R"({"limit":-1,"P"})", "invalid limit"},
      {R"({"lang":"xx","path":"x"})", "invalid lang"},
      {R"({"path":"x","name":1})", "invalid path type"},
      {R"({"P","name":1,"type":"any"})", "invalid name"},
      {R"({"P","name":"a\u0000b"})", "invalid name"},
      {R"({"P","type":"Music","sort":"bad"})", "invalid type"},
      {R"({"P","type":"audio"})", "invalid type"},
      {R"({"P","type":"extname:"})", "invalid type"},
      {R"({"P","type":7})", "invalid type"},
      {R"({"P","date":">=1","size":"x"})", "invalid date"},
      {R"({"P","date":[">=1","!=2"]})", "invalid date"},
      {R"({"P","date":[1310572800]})", "invalid date"},
      {R"({"P","date":["1310572800"]})", "invalid date"},
      {R"({"P","size":"1024","owner":"nosuchuser-orv"})", "invalid size"},
      {R"({"P","size":">=1k"})", "invalid size"},
      {R"({"P","size":">=1KB"})", "invalid size"},
      {R"({"P","size":1024})", "invalid size"},
      {R"({"P","owner":"nosuchuser-orv","group":"x"})", "invalid owner"},
      {R"({"P","owner":0})", "invalid owner"},
      {R"({"P","owner":""})", "invalid owner"},
      {R"({"P","owner":"root\u0000x"})", "invalid owner"},
      {R"({"P","group":"nosuchgroup-orv","sort":"x"})", "invalid group"},
      {R"({"P","group":65534})", "invalid group"},
      {R"({"P","sort":"name:","cluster":"x"})", "invalid sort"},
      {R"({"P","sort":"Name"})", "invalid sort"},
      {R"({"P","sort":"name:up"})", "invalid sort"},
      {R"({"P","cluster":false})", "invalid cluster"},
      {R"({"P","cluster":"extension"})", "invalid cluster"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.params);
    parse(c.params);
    EXPECT_STREQ(error_.message, c.message);
    EXPECT_EQ(error_.code, 2);
  }
}

TEST_F(QueryTest, CreateRequestReadsTheIndexFirst) {
  struct Case {
    const char* params;
    const char* message;
    uint64_t index;
  };
  const Case cases[] = {
      {R"({"index":3})", "invalid index", 1},
      {R"({"index":2,"limit":20})", "invalid limit", 2},
      {R"({"index":"2","path":[],"sort":"size"})", "", 2},
      {R"({"path":[]})", "", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.params);
    Json params = Json::adopt(json_loads(c.params, 0, nullptr));
    ErrorRecord error;
    CreateRequest request;
    parse_create_request(params.get(), &error, &request);
    EXPECT_STREQ(error.message, c.message);
    EXPECT_EQ(request.index, c.index);
    EXPECT_EQ(request.query.sorter != nullptr, error.ok());
  }
}

icu::Collator* failing_factory(const icu::Locale&, UErrorCode& status) {
  status = U_MISSING_RESOURCE_ERROR;
  return nullptr;
}

TEST_F(QueryTest, CollatorFailureEndsParsing) {
  set_collator_factory(failing_factory);
  parse(R"({"P","lang":"swe"})");
  set_collator_factory(nullptr);
  EXPECT_EQ(error_.code, kCacheFailure);
  EXPECT_NE(std::strstr(error_.message, "sv_SE"), nullptr) << error_.message;
}

}  // namespace
}  // namespace orv
