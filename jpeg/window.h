#pragma once

// A JPEG's bytes read onward from an offset through a buffer, for its
// markers and for each scan's entropy-coded data.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "input.h"

namespace jpeg {

class Window {
 public:
  Window(Input& input, std::uint64_t offset, std::size_t size)
      : input_(&input), start_(offset), buffer_(size) {}

  // At least `count` bytes from the position on (count at most the buffer's
  // size): false where the input ends or fails first (failed() then).
  bool want(std::size_t count) { return end_ - pos_ >= count || fill(count); }
  const unsigned char* here() const { return buffer_.data() + pos_; }
  std::size_t held() const { return end_ - pos_; }
  void step(std::size_t count) { pos_ += count; }
  std::uint64_t offset() const { return start_ + pos_; }
  bool failed() const { return failed_; }
  std::string error() const { return input_->error(); }

  // One byte, or -1 where the input ends.
  int byte() {
    if (!want(1)) {
      return -1;
    }
    return buffer_[pos_++];
  }
  // Skips `count` bytes: false where the input ends first.
  bool skip(std::uint64_t count) {
    while (count > 0) {
      if (!want(1)) {
        return false;
      }
      const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(count, held()));
      pos_ += step;
      count -= step;
    }
    return true;
  }

 private:
  bool fill(std::size_t count) {
    if (pos_ > 0) {
      std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(pos_),
                buffer_.begin() + static_cast<std::ptrdiff_t>(end_), buffer_.begin());
      start_ += pos_;
      end_ -= pos_;
      pos_ = 0;
    }
    while (end_ < count && !ended_) {
      const long long got =
          input_->read(start_ + end_, buffer_.data() + end_, buffer_.size() - end_);
      if (got <= 0) {
        ended_ = true;
        failed_ = got < 0;
      } else {
        end_ += static_cast<std::size_t>(got);
      }
    }
    return end_ >= count;
  }

  Input* input_;
  std::uint64_t start_;  // the offset of the buffer's first byte
  std::vector<unsigned char> buffer_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool ended_ = false;
  bool failed_ = false;
};

}  // namespace jpeg
