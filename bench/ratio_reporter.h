// Console output as usual, plus each run's iterations per second, so that a
// benchmark can print its ratios against references measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (!run.error_occurred && run.run_type == Run::RT_Iteration && run.real_accumulated_time > 0)
        rates[run.benchmark_name()] = static_cast<double>(run.iterations) / run.real_accumulated_time;
    ConsoleReporter::ReportRuns(runs);
  }

  // Iterations per second of the run whose name starts with `prefix` (names
  // get suffixes such as "/min_time:2.000/real_time"); 0 when there is none.
  double Rate(const std::string& prefix) const {
    for (const auto& entry : rates)
      if (entry.first.compare(0, prefix.size(), prefix) == 0) return entry.second;
    return 0;
  }

  std::map<std::string, double> rates;
};
