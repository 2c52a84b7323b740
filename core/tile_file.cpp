#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "tiles.h"

void tile_file_name(int tile, char (&name)[kTileNameBytes]) {
  std::snprintf(name, sizeof name, "tile%04d.jpg", tile);
}

bool write_all(int fd, const void* data, std::size_t count) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (count > 0) {
    const ssize_t written = write(fd, bytes, count);
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

void save_tile(int tile, const unsigned char* bytes, std::size_t count) {
  char name[kTileNameBytes];
  tile_file_name(tile, name);
  // Truncated, so that a shorter tile written over an earlier run's file does
  // not keep that file's tail. 0777 less the umask, as the tiles have always had.
  const int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC, 0777);
  if (fd < 0) {
    return;
  }
  std::printf("Saving %s", name);
  std::puts(write_all(fd, bytes, count) ? "" : " failed!");
  close(fd);
}

void report_failed_save(int tile) {
  char name[kTileNameBytes];
  tile_file_name(tile, name);
  std::printf("Saving %s failed!\n", name);
}
