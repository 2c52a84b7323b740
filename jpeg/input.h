#pragma once

// Where a JPEG's bytes come from. A file or memory can be read anywhere, as
// many times as asked; a pipe only onward, once. The reader asks for bytes
// by their offset in the JPEG either way.

#include <cstddef>
#include <cstdint>
#include <string>

namespace jpeg {

class Input {
 public:
  virtual ~Input() = default;
  // Up to `most` bytes from `offset` into `into`: how many came, 0 where the
  // input ends, -1 when it failed (error() says why). Without random access,
  // offsets never go back.
  virtual long long read(std::uint64_t offset, unsigned char* into, std::size_t most) = 0;
  virtual bool random_access() const = 0;
  virtual std::string error() const { return ""; }
};

class MemoryInput final : public Input {
 public:
  // The bytes must stay while they are read; `start` is the offset of the first.
  MemoryInput(const unsigned char* bytes, std::size_t count, std::uint64_t start = 0)
      : bytes_(bytes), count_(count), start_(start) {}
  long long read(std::uint64_t offset, unsigned char* into, std::size_t most) override;
  bool random_access() const override { return true; }

 private:
  const unsigned char* bytes_;
  std::size_t count_;
  std::uint64_t start_;
};

// A regular file, its JPEG beginning at `start` (read with pread, whatever
// the descriptor's position).
class FileInput final : public Input {
 public:
  FileInput(int fd, std::uint64_t start) : fd_(fd), start_(start) {}
  long long read(std::uint64_t offset, unsigned char* into, std::size_t most) override;
  bool random_access() const override { return true; }
  std::string error() const override { return error_; }

 private:
  int fd_;
  std::uint64_t start_;
  std::string error_;
};

}  // namespace jpeg
