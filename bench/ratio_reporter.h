// Console output as usual, plus each run's iterations per second and guest
// instructions per item, so that a benchmark can print its ratios against
// references measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench/icount.h"

// A pointer the optimiser must treat as unknown: a function called through
// it stays an indirect call it cannot inline, as a function of another module
// is. (A register operand: the library's DoNotOptimize may pick its memory
// alternative, and gcc has then been seen to drop the store of the pointer.)
template <typename Pointer>
Pointer Opaque(Pointer p) {
  asm volatile("" : "+r"(p));
  return p;
}

// Guest instructions per item from construction to Stop(), set as the run's
// "insn" counter; nothing when the program runs without the counter. Start it
// just before the timed loop and stop it just after.
class InstructionMeter {
 public:
  InstructionMeter() : start_(icount::Now()) {}

  void Stop(benchmark::State& state, double itemsPerIteration = 1) const {
    const int64_t end = icount::Now();
    if (start_ < 0 || end < 0 || state.iterations() == 0) return;
    state.counters["insn"] =
        static_cast<double>(end - start_) / (static_cast<double>(state.iterations()) * itemsPerIteration);
  }

 private:
  int64_t start_;
};

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      if (run.real_accumulated_time > 0)
        rates[run.benchmark_name()] = static_cast<double>(run.iterations) / run.real_accumulated_time;
      auto insn = run.counters.find("insn");
      if (insn != run.counters.end()) instructions[run.benchmark_name()] = insn->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Iterations per second of the run whose name starts with `prefix` (names
  // get suffixes such as "/min_time:2.000/real_time"); 0 when there is none.
  double Rate(const std::string& prefix) const { return Find(rates, prefix); }

  // Guest instructions per item of that run; 0 without the counter.
  double Instructions(const std::string& prefix) const { return Find(instructions, prefix); }

  std::map<std::string, double> rates;
  std::map<std::string, double> instructions;

 private:
  static double Find(const std::map<std::string, double>& values, const std::string& prefix) {
    for (const auto& entry : values)
      if (entry.first.compare(0, prefix.size(), prefix) == 0) return entry.second;
    return 0;
  }
};

// Whether the times are emulated ones: the counter only runs under qemu.
inline const char* TimeLabel() { return icount::Available() ? "time ratio (emulated)" : "time ratio"; }
