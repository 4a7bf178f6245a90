// A string placed so that its terminator is the last readable byte: the page
// after it is inaccessible, so any read or write past the terminator faults.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

class GuardedString {
 public:
  GuardedString() {
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* mem = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED || mprotect(static_cast<char*>(mem) + page_, page_, PROT_NONE) != 0) abort();
    base_ = static_cast<char*>(mem);
  }
  ~GuardedString() { munmap(base_, 2 * page_); }
  GuardedString(const GuardedString&) = delete;
  GuardedString& operator=(const GuardedString&) = delete;

  // Largest string length that fits before the guard page.
  size_t capacity() const { return page_ - 1; }

  // Copies the n bytes at text (n <= capacity()) and a terminator so that the
  // terminator is the last byte before the guard page.
  char* place(const char* text, size_t n) {
    char* start = base_ + page_ - 1 - n;
    memcpy(start, text, n);
    start[n] = 0;
    return start;
  }

 private:
  size_t page_;
  char* base_;
};
