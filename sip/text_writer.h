// text_writer: an append-only byte buffer with inline appends, for building wire text piece by
// piece and turning it into one str at the end (one allocation, one copy).
//
// Side-neutral; one writer belongs to one thread.
#pragma once

#include <cstdlib>
#include <cstring>

#include "base/str.h"

class text_writer {
 public:
  text_writer() = default;
  explicit text_writer(size_t capacity) { grow(capacity); }
  text_writer(const text_writer&) = delete;
  text_writer& operator=(const text_writer&) = delete;
  ~text_writer() { std::free(data_); }

  void put(const char* p, size_t n) {
    if (n > cap_ - len_ && !grow(n)) return;
    if (n) std::memcpy(data_ + len_, p, n);
    len_ += n;
  }
  void put(const str& s) { put(s.cbuffer(), s.length()); }
  template <size_t N>
  void put(const char (&lit)[N]) {
    put(lit, N - 1);
  }
  void put(char c) {
    if (len_ == cap_ && !grow(1)) return;
    data_[len_++] = c;
  }
  void put_unsigned(uint64_t v) {
    char digits[20];
    int i = 20;
    do {
      digits[--i] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v);
    put(digits + i, size_t(20 - i));
  }
  void put_int(int64_t v) {
    if (v < 0) {
      put('-');
      put_unsigned(uint64_t(0) - uint64_t(v));
    } else {
      put_unsigned(uint64_t(v));
    }
  }

  size_t length() const { return len_; }
  const char* data() const { return data_; }
  // Drops everything from position at on.
  void truncate(size_t at) {
    if (at < len_) len_ = at;
  }
  str to_str() const { return len_ ? str(data_, len_) : str(); }
  str to_str(size_t from) const { return from < len_ ? str(data_ + from, len_ - from) : str(); }

 private:
  // False when memory ran out; the append is then dropped.
  bool grow(size_t n) {
    size_t want = cap_ * 2 > len_ + n ? cap_ * 2 : len_ + n + 256;
    char* p = static_cast<char*>(std::realloc(data_, want));
    if (!p) return false;
    data_ = p;
    cap_ = want;
    return true;
  }
  char* data_ = nullptr;
  size_t len_ = 0;
  size_t cap_ = 0;
};
