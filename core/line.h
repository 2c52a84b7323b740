#pragma once

// An output line put together in place and handed to standard output in one
// piece. The tools print a line or two per tile; musl's printf copies every
// piece of a line on its own, which made the static builds' listings three
// times slower than glibc's, so the per-tile lines are built here instead.

#include <cstddef>
#include <cstdio>
#include <cstring>

class Line {
 public:
  // Literal text; its length is known when compiling, so the copy is inline.
  template <std::size_t N>
  Line& text(const char (&literal)[N]) {
    static_assert(N - 1 <= kRoom, "a literal longer than any line");
    if (size_ + (N - 1) <= kRoom) {
      std::memcpy(bytes_ + size_, literal, N - 1);
      size_ += N - 1;
    }
    return *this;
  }

  Line& character(char c) {
    if (size_ < kRoom) {
      bytes_[size_++] = c;
    }
    return *this;
  }

  // A signed decimal, zero-padded to `digits` digits at least, as %0Nd prints it.
  Line& number(long value, int digits = 1) {
    char reversed[24];
    int count = 0;
    unsigned long magnitude =
        value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
      reversed[count++] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    while (count < digits - (value < 0 ? 1 : 0) && count < static_cast<int>(sizeof reversed)) {
      reversed[count++] = '0';
    }
    if (value < 0) {
      character('-');
    }
    while (count > 0) {
      character(reversed[--count]);
    }
    return *this;
  }

  const char* data() const { return bytes_; }
  std::size_t size() const { return size_; }

  void put() const { std::fwrite(bytes_, 1, size_, stdout); }

 private:
  // The longest line is a method-1 TIZ line of about 70 characters.
  static constexpr std::size_t kRoom = 120;
  char bytes_[kRoom];
  std::size_t size_ = 0;
};
