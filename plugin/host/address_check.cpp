// The memory map, read line by line ("start-end perms offset device inode
// path", addresses in hex, ascending) with a fixed buffer: nothing is
// allocated, and a line of any length is fine since only its first fields
// count.
#include "plugin/host/address_check.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "plugin/host/host.h"

namespace host {
namespace {

enum Access : unsigned { kReadable = 1, kWritable = 2, kExecutable = 4 };

// A run of bytes that must lie in mappings with the given access. `covered`
// is where the part still to be found starts: the map lists its mappings in
// ascending order, so adjacent mappings can cover one run between them.
struct Span {
  const char* what;
  uint64_t begin, end;
  unsigned access;
  uint64_t covered;
};

// A line that cannot be understood (the kernel writes none) makes the whole
// map not understood.
class MapReader {
 public:
  MapReader(Span* spans, int count) : spans_(spans), count_(count) {}

  void Feed(const char* bytes, long length) {
    for (long i = 0; i < length; ++i) Take(bytes[i]);
  }
  // False when the map could not be understood.
  bool Finish() {
    if (field_ != kStart || digits_ != 0) EndLine();
    return !malformed_ && lines_ > 0;
  }

 private:
  enum Field { kStart, kEnd, kPermissions, kRest };

  void Take(char c) {
    if (c == '\n') return EndLine();
    switch (field_) {  // GCOVR_EXCL_BR_LINE: every field has its case
      case kStart:
      case kEnd:
        if (c == (field_ == kStart ? '-' : ' ') && digits_ > 0) {
          field_ = field_ == kStart ? kEnd : kPermissions;
          digits_ = 0;
        } else if (!AddHexDigit(c, field_ == kStart ? &start_ : &end_)) {
          malformed_ = true;
        }
        break;
      case kPermissions:
        if (c == ' ' && permissions_ == 4) {
          field_ = kRest;
        } else {
          if (permissions_ == 0 && c == 'r') access_ |= kReadable;
          if (permissions_ == 1 && c == 'w') access_ |= kWritable;
          if (permissions_ == 2 && c == 'x') access_ |= kExecutable;
          ++permissions_;
        }
        break;
      case kRest:
        break;
    }
  }

  bool AddHexDigit(char c, uint64_t* value) {
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0 || ++digits_ > 16) return false;
    *value = *value << 4 | static_cast<unsigned>(digit);
    return true;
  }

  void EndLine() {
    if (field_ != kRest) malformed_ = true;
    if (!malformed_) {
      ++lines_;
      for (int i = 0; i < count_; ++i) {
        Span& s = spans_[i];
        if (s.covered < s.end && start_ <= s.covered && s.covered < end_ && (access_ & s.access) == s.access)
          s.covered = end_;
      }
    }
    field_ = kStart;
    start_ = end_ = 0;
    digits_ = permissions_ = 0;
    access_ = 0;
  }

  Span* spans_;
  int count_;
  Field field_ = kStart;
  uint64_t start_ = 0, end_ = 0;
  int digits_ = 0, permissions_ = 0;
  unsigned access_ = 0;
  int lines_ = 0;
  bool malformed_ = false;
};

// Reads the map into the spans; false when it cannot be read or understood.
bool ReadMemoryMap(Span* spans, int count) {
  const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  MapReader reader(spans, count);
  char buffer[1024];
  bool readError = false;
  for (;;) {
    const ssize_t length = read(fd, buffer, sizeof buffer);
    if (length < 0 && errno == EINTR) continue;
    if (length <= 0) {
      readError = length < 0;
      break;
    }
    reader.Feed(buffer, length);
  }
  close(fd);
  return !readError && reader.Finish();
}

const char* AccessName(unsigned access) {
  return access & kExecutable ? "executable" : access & kWritable ? "writable" : "readable";
}

}  // namespace

bool HostAddressesMapped(const void* codeAddress, UnmappedAddress* problem) {
  const uint64_t code = reinterpret_cast<uintptr_t>(codeAddress);
  const uint64_t word = code + kCodeEmbeddedAddressOffset;
  Span spans[] = {
      {"PluginData entry 17", code, code + 1, kReadable, code},
      {"the word 10 bytes past PluginData entry 17", word, word + 4, kReadable, word},
      {"the game variable", kGameVariable, kGameVariable + 4, kReadable | kWritable, kGameVariable},
      {"the bot game variable", kBotGameVariable, kBotGameVariable + 4, kReadable | kWritable, kBotGameVariable},
      {"the add-player routine", kAddPlayerRoutine, kAddPlayerRoutine + 1, kExecutable, kAddPlayerRoutine},
  };
  constexpr int kSpans = sizeof spans / sizeof spans[0];
  if (!ReadMemoryMap(spans, kSpans)) return true;
  for (const Span& s : spans) {
    if (s.covered < s.end) {
      *problem = {s.what, static_cast<uintptr_t>(s.begin), AccessName(s.access)};
      return false;
    }
  }
  return true;
}

}  // namespace host
