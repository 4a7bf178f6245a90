// Arbitrary bytes read in place as a stream by ReadCompressed, Read and
// ReadAlignedBytes with sizes and flags from the input's head. The stream
// bytes end where the input ends, so any read past them is caught; every
// result must equal the model's.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tests/bitstream_ops.h"

namespace {

[[noreturn]] void Differ(const char* what) {
  std::fprintf(stderr, "stream and model differ: %s\n", what);
  std::abort();
}

}  // namespace

// Under user-mode emulation the sanitizer's 32-bit allocator fails once the
// process has mapped a few hundred MB, which the default quarantine reaches
// in under a minute of this allocation-heavy target; a small one keeps the
// memory flat.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t controlBytes = std::min<size_t>(2 * (data[0] % 24), size - 1);
  const uint8_t* control = data + 1;
  const uint8_t* bytes = control + controlBytes;
  const unsigned length = static_cast<unsigned>(data + size - bytes);

  RakNet::BitStream stream(const_cast<uint8_t*>(bytes), length, false);
  bsmodel::Model model = bsmodel::Model::FromBytes(bytes, length, false);

  for (size_t i = 0; i + 1 < controlBytes; i += 2) {
    const uint8_t op = control[i], arg = control[i + 1];
    bool realOk = false, modelOk = false;
    int outSize = 0;
    std::vector<uint8_t> a, b;
    auto prepare = [&](int n) {
      outSize = n > 0 ? n : 0;
      a.assign(outSize + 2 * bsmodel::kGuard, bsmodel::kGuardByte);
      b = a;
    };
    prepare(0);
    switch (op % 4) {
      case 0: {  // sizes -8 to 71 bits, either flag
        const int bits = arg % 80 - 8;
        const bool isUnsigned = op & 0x10;
        prepare(bits / 8);
        realOk = stream.ReadCompressed(a.data() + bsmodel::kGuard, bits, isUnsigned);
        modelOk = model.ReadCompressed(b.data() + bsmodel::kGuard, bits, isUnsigned);
        break;
      }
      case 1: {
        const int count = arg % 40 - 2;
        prepare(count);
        realOk = stream.Read(reinterpret_cast<char*>(a.data() + bsmodel::kGuard), count);
        modelOk = model.Read(b.data() + bsmodel::kGuard, count);
        break;
      }
      case 2: {
        const int count = arg % 40 - 2;
        prepare(count);
        realOk = stream.ReadAlignedBytes(a.data() + bsmodel::kGuard, count);
        modelOk = model.ReadAlignedBytes(b.data() + bsmodel::kGuard, count);
        break;
      }
      default: {  // move the read position, also backwards and past the end
        const int bits = static_cast<int8_t>(arg);
        stream.IgnoreBits(bits);
        model.IgnoreBits(bits);
        break;
      }
    }
    if (realOk != modelOk) Differ("result");
    if (a != b) Differ("destination bytes");
    for (int g = 0; g < bsmodel::kGuard; ++g)
      if (a[g] != bsmodel::kGuardByte || a[a.size() - 1 - g] != bsmodel::kGuardByte) Differ("guard bytes");
    if (stream.readOffset != model.readOffset) Differ("readOffset");
  }
  return 0;
}
