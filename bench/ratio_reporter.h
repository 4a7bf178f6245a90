// Console output as usual, plus each run's time per iteration and guest
// instructions per item, so that a benchmark can print its ratios against
// references measured in the same run, each with its target and whether it
// is met.
#pragma once

#include <benchmark/benchmark.h>
#include <cpuid.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
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

// The targets of every benchmark's ratios, ours over the reference's, by the
// two runs' names: the same limit for guest instructions and for native time
// (the median of the repetitions). A pair without an entry is reported, not
// targeted. Both sides of a pair do the same number of items per iteration.
struct RatioTarget {
  const char* ours;
  const char* reference;
  double limit;
};

inline constexpr RatioTarget kRatioTargets[] = {
    {"BM_PluginReply", "BM_IdealReply", 1.15},
    {"write/aligned/inline", "ref_write/aligned/inline", 1.0},
    {"write/aligned/heap", "ref_write/aligned/heap", 1.0},
    {"write/unaligned/inline", "ref_write/unaligned/inline", 1.1},
    {"write/unaligned/heap", "ref_write/unaligned/heap", 1.1},
    {"read/aligned/inline", "ref_read/aligned/inline", 1.0},
    {"read/aligned/heap", "ref_read/aligned/heap", 1.0},
    {"read/unaligned/inline", "ref_read/unaligned/inline", 1.0},
    {"read/unaligned/heap", "ref_read/unaligned/heap", 1.0},
    {"compressed_write", "ref_compressed_write", 1.1},
    {"compressed_read", "ref_compressed_read", 1.1},
    {"BM_Stristr/near_end", "BM_Strcasestr/near_end", 1.0},
    {"BM_Stristr/absent", "BM_Strcasestr/absent", 1.0},
    {"strnicmp/names", "strncasecmp/names", 1.0},
    {"url_unencode", "plain_url_decode", 1.0},
    {"base64_encode/20", "EVP_EncodeBlock/20", 1.0},
    {"base64_encode/1024", "EVP_EncodeBlock/1024", 1.0},
    {"base64_encode/49152", "EVP_EncodeBlock/49152", 1.0},
    {"itoa/10", "snprintf/10", 1.0},
    {"itoa/16", "snprintf/16", 1.0},
    {"itoa/10", "to_chars_call/10", 1.0},
    {"itoa/16", "to_chars_call/16", 1.0},
    // Time per request at most libcurl's: a request rate at or above it.
    {"CHttpClient/1KiB", "libcurl/1KiB", 1.0},
    {"CHttpClient/60KiB", "libcurl/60KiB", 1.0},
};

// The limit of a pair's ratio; 0 when it has none.
inline double TargetOf(const std::string& ours, const std::string& reference) {
  for (const RatioTarget& t : kRatioTargets)
    if (ours == t.ours && reference == t.reference) return t.limit;
  return 0;
}

// Whether this program's instructions are emulated: under the counter, or on
// a processor that names itself as qemu's translator. Such times say little
// about a real processor, so no time target is judged on them.
inline bool TimesEmulated() {
  if (icount::Available()) return true;
  unsigned words[12] = {};
  unsigned highest = __get_cpuid_max(0x80000000, nullptr);
  if (highest < 0x80000004) return false;
  for (unsigned i = 0; i < 3; ++i)
    __cpuid(0x80000002 + i, words[4 * i], words[4 * i + 1], words[4 * i + 2], words[4 * i + 3]);
  char brand[49] = {};
  std::memcpy(brand, words, 48);
  return std::strstr(brand, "QEMU") != nullptr;
}

// One line of a ratio table: a label and the two runs' names (name prefixes:
// runs get suffixes such as "/min_time:2.000/real_time").
struct RatioRow {
  std::string label;
  std::string ours;
  std::string reference;
};

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Takes the program's arguments before benchmark::Initialize removes the
  // library's flags: colour only when --benchmark_color asks for it or, by
  // default, when the output is a terminal, never into a file or a pipe.
  RatioReporter(int argc, char** argv) : ConsoleReporter(Options(argc, argv)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const std::string name = run.run_name.str();
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type != Run::RT_Iteration && !median) continue;
      // The time the benchmark asked for: real time where it set
      // UseRealTime (it waits for another process), else CPU time.
      const double adjusted =
          run.run_name.time_type == "real_time" ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime();
      const double seconds = adjusted / benchmark::GetTimeUnitMultiplier(run.time_unit);
      if (median) {
        medians_[name] = seconds;
        repetitions_ = std::max(repetitions_, static_cast<int>(run.repetitions));
      } else if (run.iterations > 0) {
        times_[name].push_back(seconds);
        repetitions_ = std::max(repetitions_, static_cast<int>(times_[name].size()));
      }
      auto insn = run.counters.find("insn");
      if (insn != run.counters.end()) instructions_[name] = insn->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Median time per iteration, in seconds, of the run whose name starts
  // with `prefix`: the library's median aggregate where it reported one, else
  // the median of the repetitions seen; 0 when there is none.
  double Time(const std::string& prefix) const {
    for (const auto& entry : medians_)
      if (Starts(entry.first, prefix)) return entry.second;
    for (const auto& entry : times_) {
      if (!Starts(entry.first, prefix)) continue;
      std::vector<double> t = entry.second;
      std::sort(t.begin(), t.end());
      const size_t n = t.size();
      return n % 2 ? t[n / 2] : (t[n / 2 - 1] + t[n / 2]) / 2;
    }
    return 0;
  }

  // Guest instructions per item of that run; 0 without the counter.
  double Instructions(const std::string& prefix) const {
    for (const auto& entry : instructions_)
      if (Starts(entry.first, prefix)) return entry.second;
    return 0;
  }

  // How the times were taken: one run or the median of how many
  // repetitions, native or emulated.
  std::string Method() const {
    std::string method = repetitions_ > 1 ? "median of " + std::to_string(repetitions_) : "one run";
    return method + (TimesEmulated() ? ", emulated" : ", native");
  }

  // The table of ratios, ours / reference, instructions and time side by
  // side, each with its target and whether it is met. Time targets are
  // judged on native times only. A pair with one side missing (its run
  // failed) is printed as such, not left out.
  void PrintRatios(const std::vector<RatioRow>& rows) const {
    const bool emulated = TimesEmulated();
    int width = 16;
    for (const RatioRow& row : rows) width = std::max(width, static_cast<int>(row.label.size()));
    std::printf("\n%-*s %10s %10s %10s %-15s %10s %s\n", width, "ours / reference", "insn/item", "ref insn",
                "insn ratio", "target", "time ratio", ("target (times: " + Method() + ")").c_str());
    for (const RatioRow& row : rows) {
      const double time = Time(row.ours), refTime = Time(row.reference);
      if (time <= 0 && refTime <= 0) continue;  // neither run: filtered out
      if (time <= 0 || refTime <= 0) {
        std::printf("%-*s no result from %s (failed)\n", width, row.label.c_str(),
                    (time <= 0 ? row.ours : row.reference).c_str());
        continue;
      }
      const double insn = Instructions(row.ours), refInsn = Instructions(row.reference);
      const double limit = TargetOf(row.ours, row.reference);
      char counts[48] = "         -          -          -";
      std::string insnVerdict = limit > 0 ? "-" : "reported";
      if (insn > 0 && refInsn > 0) {
        std::snprintf(counts, sizeof counts, "%10.1f %10.1f %10.2f", insn, refInsn, insn / refInsn);
        if (limit > 0) insnVerdict = Verdict(insn / refInsn, limit);
      }
      const std::string timeVerdict = limit <= 0 ? "reported"
                                      : emulated ? "not judged"
                                                 : Verdict(time / refTime, limit);
      std::printf("%-*s %s %-15s %10.2f %s\n", width, row.label.c_str(), counts, insnVerdict.c_str(), time / refTime,
                  timeVerdict.c_str());
    }
  }

 private:
  static bool Starts(const std::string& name, const std::string& prefix) {
    return name.compare(0, prefix.size(), prefix) == 0;
  }

  static std::string Verdict(double ratio, double limit) {
    char text[32];
    std::snprintf(text, sizeof text, "<= %.2f %s", limit, ratio <= limit ? "met" : "NOT MET");
    return text;
  }

  static OutputOptions Options(int argc, char** argv) {
    bool colour = isatty(STDOUT_FILENO) == 1;
    const char flag[] = "--benchmark_color=";
    for (int i = 1; i < argc; ++i) {
      if (std::strncmp(argv[i], flag, sizeof flag - 1) != 0) continue;
      const std::string value = argv[i] + sizeof flag - 1;
      if (value != "auto") colour = value == "true" || value == "yes" || value == "1";
    }
    return colour ? OO_ColorTabular : OO_Tabular;
  }

  std::map<std::string, double> medians_;
  std::map<std::string, std::vector<double>> times_;
  std::map<std::string, double> instructions_;
  int repetitions_ = 1;
};
