#pragma once

// A picture's bytes as they come from a file or a pipe: a block at a time, and
// its first bytes looked at before any reader takes them, to tell a PNG from a
// JPEG by its signature rather than its name.

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "exact_io.h"

class ByteSource {
 public:
  explicit ByteSource(int fd) : fd_(fd) {}

  // The first `count` bytes (at most the block), without taking them; fewer
  // when the input is shorter.
  std::size_t peek(const unsigned char*& bytes, std::size_t count) {
    while (end_ - begin_ < count && end_ < sizeof block_ && !ended_) {
      fill_more();
    }
    bytes = block_ + begin_;
    return std::min(count, end_ - begin_);
  }

  // Up to `most` of the next bytes, at least one unless the input has ended
  // (or failed: error() then says why); they are taken.
  std::size_t take(const unsigned char*& bytes, std::size_t most) {
    if (given_at_ < given_.size()) {
      bytes = given_.data() + given_at_;
      const std::size_t got = std::min(most, given_.size() - given_at_);
      given_at_ += got;
      return got;
    }
    if (begin_ == end_ && !ended_) {
      begin_ = end_ = 0;
      fill_more();
    }
    bytes = block_ + begin_;
    const std::size_t got = std::min(most, end_ - begin_);
    begin_ += got;
    return got;
  }

  // Bytes taken, given back to be taken again before the rest (once, before
  // any peek).
  void put_back(std::vector<unsigned char> bytes) {
    given_ = std::move(bytes);
    given_at_ = 0;
  }

  const std::string& error() const { return error_; }

 private:
  void fill_more() {
    const long long got = read_some(fd_, block_ + end_, sizeof block_ - end_);
    if (got > 0) {
      end_ += static_cast<std::size_t>(got);
    } else {
      ended_ = true;
      if (got < 0) {
        error_ = std::strerror(errno);
      }
    }
  }

  int fd_;
  unsigned char block_[std::size_t{64} * 1024];
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool ended_ = false;
  std::string error_;
  std::vector<unsigned char> given_;
  std::size_t given_at_ = 0;
};
