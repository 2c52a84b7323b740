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
