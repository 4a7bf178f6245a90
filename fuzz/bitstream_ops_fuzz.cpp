// Reads the input as a sequence of stream operations, runs it on the real
// streams and on the bit-by-bit model, and stops at the first difference.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tests/bitstream_ops.h"

namespace {

// Two input bytes per choice; an exhausted input ends the sequence.
struct InputSource {
  const uint8_t* at;
  const uint8_t* end;
  bool Done() const { return at == end; }
  uint32_t Next() {
    uint32_t v = 0;
    for (int i = 0; i < 2 && at != end; ++i) v = v << 8 | *at++;
    return v;
  }
};

}  // namespace

// Under user-mode emulation the sanitizer's 32-bit allocator fails once the
// process has mapped a few hundred MB, which the default quarantine reaches
// in under a minute of this allocation-heavy target; a small one keeps the
// memory flat.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputSource source{data, data + size};
  bsmodel::OpRunner<InputSource> runner(source);
  const std::string failure = runner.Run(100000);
  if (!failure.empty()) {
    std::fprintf(stderr, "stream and model differ at %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
