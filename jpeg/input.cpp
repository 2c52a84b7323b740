#include "input.h"

#include <cerrno>
#include <cstring>

#include "exact_io.h"

namespace jpeg {

long long MemoryInput::read(std::uint64_t offset, unsigned char* into, std::size_t most) {
  if (offset < start_ || offset - start_ >= count_) {
    return 0;
  }
  const std::size_t at = static_cast<std::size_t>(offset - start_);
  const std::size_t got = std::min(most, count_ - at);
  std::memcpy(into, bytes_ + at, got);
  return static_cast<long long>(got);
}

long long FileInput::read(std::uint64_t offset, unsigned char* into, std::size_t most) {
  const long long got = read_all_at(fd_, start_ + offset, into, most);
  if (got < 0) {
    error_ = std::strerror(errno);
  }
  return got;
}

}  // namespace jpeg
