// Mutated requests for the request fuzzer: a valid request of an endpoint
// with a few of its members replaced by what a careless or hostile caller
// sends (wrong types, huge and negative numbers, deep nesting, texts up to
// 1 MiB, bytes that are not UTF-8, NUL bytes), members moved into the
// method's query string, or a body that is no JSON object at all.
#ifndef ORV_TESTS_REQUEST_MUTATOR_H_
#define ORV_TESTS_REQUEST_MUTATOR_H_

#include <jansson.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace orv::test {

// One request as the bus carries it.
struct MutatedRequest {
  std::string method;  // the endpoint, maybe with a query string
  std::string body;    // JSON text, or not
};

// Makes mutated requests from one seed: the same seed gives the same
// requests, so a failing one can be made again. Not thread-safe; one per
// thread or per request.
class RequestMutator {
 public:
  // `paths` are the folder and file paths a path member may be replaced by;
  // made-up texts never start with "/", so that no mutation names a folder
  // outside the test's own.
  RequestMutator(uint64_t seed, std::vector<std::string> paths);

  // A mutation of `base`, a valid request object of `method`.
  MutatedRequest mutate(const std::string& method, const json_t* base);

 private:
  size_t below(size_t bound) { return random_() % bound; }
  bool chance(int percent) { return below(100) < static_cast<size_t>(percent); }

  // A body that is not one JSON object: empty, another type, cut short,
  // nested past any parser's depth, or raw bytes.
  std::string wild_body(const std::string& valid);
  // Any JSON value, `depth` levels deep at most. New reference.
  json_t* wild_value(int depth);
  std::string wild_text();
  // Mutates `object` in place: members replaced, removed or added, nested
  // objects and arrays mutated in turn.
  void mutate_object(json_t* object, int depth);
  void mutate_array(json_t* array, int depth);
  // "%XX" for every byte that is not a letter or digit.
  static std::string url_encode(const std::string& text);

  std::mt19937_64 random_;
  const std::vector<std::string> paths_;
};

}  // namespace orv::test

#endif  // ORV_TESTS_REQUEST_MUTATOR_H_
