#include "exact_io.h"

#include <cerrno>

#include "platform.h"

bool write_all(int fd, const void* data, std::size_t count) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (count > 0) {
    const ssize_t written = platform::write(fd, bytes, count);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    bytes += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
}

long long read_some(int fd, void* bytes, std::size_t count) {
  for (;;) {
    const ssize_t got = platform::read(fd, bytes, count);
    if (got >= 0 || errno != EINTR) {
      return got;
    }
  }
}

long long read_all(int fd, void* bytes, std::size_t count, InputEnd end) {
  auto* into = static_cast<unsigned char*>(bytes);
  std::size_t got = 0;
  while (got < count) {
    const long long now = read_some(fd, into + got, count - got);
    if (now < 0) {
      return -1;
    }
    got += static_cast<std::size_t>(now);
    if (now == 0 || (end == InputEnd::at_short_read && got < count)) {
      break;
    }
  }
  return static_cast<long long>(got);
}

long long read_all_at(int fd, std::uint64_t offset, void* bytes, std::size_t count) {
  auto* into = static_cast<unsigned char*>(bytes);
  std::size_t got = 0;
  while (got < count) {
    const ssize_t now =
        platform::read_at(fd, into + got, count - got, static_cast<std::int64_t>(offset + got));
    if (now > 0) {
      got += static_cast<std::size_t>(now);
    } else if (now == 0) {
      break;
    } else if (errno != EINTR) {
      return -1;
    }
  }
  return static_cast<long long>(got);
}

bool copy_all(int from, int to) {
  unsigned char block[std::size_t{64} * 1024];
  for (;;) {
    const long long got = read_some(from, block, sizeof block);
    if (got <= 0) {
      return got == 0;
    }
    if (!write_all(to, block, static_cast<std::size_t>(got))) {
      return false;
    }
  }
}
