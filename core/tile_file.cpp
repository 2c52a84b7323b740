#include <cerrno>
#include <cstdio>
#include <cstring>

#include "line.h"
#include "platform.h"
#include "tiles.h"

// "tile%04d.jpg"
static Line& with_tile_name(Line& line, int tile) {
  return line.text("tile").number(tile, 4).text(".jpg");
}

void tile_file_name(int tile, char (&name)[kTileNameBytes]) {
  Line built;
  with_tile_name(built, tile);
  const std::size_t size = built.size() < sizeof name ? built.size() : sizeof name - 1;
  std::memcpy(name, built.data(), size);
  name[size] = '\0';
}

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

void save_tile(int tile, const unsigned char* bytes, std::size_t count) {
  char name[kTileNameBytes];
  tile_file_name(tile, name);
  // Truncated, so that a shorter tile written over an earlier run's file does
  // not keep that file's tail. 0777 less the umask, as the tiles have always had.
  const int fd = platform::open(name, O_WRONLY | O_CREAT | O_TRUNC, 0777);
  if (fd < 0) {
    return;
  }
  Line saving;
  with_tile_name(saving.text("Saving "), tile).put();
  if (write_all(fd, bytes, count)) {
    Line().text("\n").put();
  } else {
    Line().text(" failed!\n").put();
  }
  platform::close(fd);
}

void report_failed_save(int tile) {
  Line failed;
  with_tile_name(failed.text("Saving "), tile).text(" failed!\n").put();
}
