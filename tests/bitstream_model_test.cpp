// Differential test: long random operation sequences on the real streams and
// on the bit-by-bit model, compared after every step.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>

#include "tests/bitstream_ops.h"

namespace {

struct SeededSource {
  explicit SeededSource(uint32_t seed) : rng(seed) {}
  bool Done() { return false; }
  uint32_t Next() { return rng(); }
  std::mt19937 rng;
};

// PrintBits writes to stdout; catch it through a temporary file.
std::string CapturePrint(const RakNet::BitStream& s) {
  std::fflush(stdout);
  FILE* sink = std::tmpfile();
  const int saved = dup(1);
  dup2(fileno(sink), 1);
  s.PrintBits();
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::string text;
  std::rewind(sink);
  for (int c; (c = std::fgetc(sink)) != EOF;) text += static_cast<char>(c);
  std::fclose(sink);
  return text;
}

constexpr uint32_t kFirstSeed = 20261208;
constexpr int kRuns = 40;
constexpr int kOpsPerRun = 2500;

TEST(BitStreamModel, RandomSequencesAgree) {
  for (uint32_t seed = kFirstSeed; seed < kFirstSeed + kRuns; ++seed) {
    SeededSource source(seed);
    bsmodel::OpRunner<SeededSource> runner(source);
    const std::string failure = runner.Run(kOpsPerRun, CapturePrint);
    ASSERT_EQ(failure, "") << "seed " << seed;
  }
}

}  // namespace
