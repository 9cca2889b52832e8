// The rows a benchmark adds to the summary table that `make bench` prints at
// its end: a figure, our time, the time of its reference measured in the
// same run, their ratio and the goal. Each figure is sampled once per
// repetition; its row, written when the benchmark program ends, holds the
// medians. Rows go to the file named by ORV_BENCH_SUMMARY, one a line, with
// tabs between the columns; without it nothing is written.
#ifndef ORV_TESTS_BENCH_SUMMARY_H_
#define ORV_TESTS_BENCH_SUMMARY_H_

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace orv::bench {

// How a figure's ratio reads against its goal.
enum class RatioKind {
  kOursOverReference,  // "1.20": ours takes 1.2 times the reference's time
  kTimesFaster,        // "3.6x faster": the reference takes 3.6 times ours
  kNone,               // no reference: the goal bounds our figure itself
};

class Summary {
 public:
  static Summary& get() {
    static Summary summary;
    return summary;
  }

  // One sample of `figure`: `ours` and `reference` in `unit`; a negative
  // value is no sample (a figure without a reference, or a reference timed
  // by a benchmark of its own).
  void add(const std::string& figure, const std::string& unit, double ours,
           double reference, RatioKind kind, const std::string& goal) {
    auto [row, fresh] = rows_.try_emplace(figure);
    if (fresh) order_.push_back(figure);
    row->second.unit = unit;
    row->second.kind = kind;
    row->second.goal = goal;
    if (ours >= 0) row->second.ours.push_back(ours);
    if (reference >= 0) row->second.reference.push_back(reference);
  }

  ~Summary() {
    const char* file = std::getenv("ORV_BENCH_SUMMARY");
    if (file == nullptr || *file == '\0' || order_.empty()) return;
    FILE* out = std::fopen(file, "a");
    if (out == nullptr) return;
    for (const std::string& figure : order_) {
      const Row& row = rows_[figure];
      const double ours = median(row.ours);
      std::string reference = "-";
      std::string ratio = "-";
      if (!row.reference.empty()) {
        const double base = median(row.reference);
        reference = number(base) + " " + row.unit;
        if (row.kind == RatioKind::kOursOverReference && base > 0) {
          ratio = number(ours / base, 2);
        } else if (row.kind == RatioKind::kTimesFaster && ours > 0) {
          ratio = number(base / ours, 1) + "x faster";
        }
      }
      std::fprintf(out, "%s\t%s %s\t%s\t%s\t%s\n", figure.c_str(),
                   number(ours).c_str(), row.unit.c_str(), reference.c_str(),
                   ratio.c_str(), row.goal.c_str());
    }
    std::fclose(out);
  }

 private:
  struct Row {
    std::string unit;
    RatioKind kind = RatioKind::kNone;
    std::string goal;
    std::vector<double> ours;
    std::vector<double> reference;
  };

  static double median(std::vector<double> samples) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const size_t half = samples.size() / 2;
    return samples.size() % 2 != 0 ? samples[half]
                                   : (samples[half - 1] + samples[half]) / 2;
  }

  // Three significant digits unless `decimals` is given.
  static std::string number(double value, int decimals = -1) {
    char text[32];
    if (decimals < 0) {
      decimals = value >= 100 ? 0 : value >= 10 ? 1 : 2;
    }
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
  }

  std::map<std::string, Row> rows_;
  std::vector<std::string> order_;
};

}  // namespace orv::bench

#endif  // ORV_TESTS_BENCH_SUMMARY_H_
