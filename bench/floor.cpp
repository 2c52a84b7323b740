// The floor an extractor is measured against: creates and writes the same tile
// files from memory, with no container to read and no lines to print.
//   floor COUNT SIZES    SIZES: comma-separated byte counts taken in turn for
//                        tiles 0, 1, 2, ...; '-' for a tile that gets no file
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: floor COUNT SIZES\n", stderr);
    return 2;
  }
  const long count = std::strtol(argv[1], nullptr, 10);
  long sizes[64];
  int kinds = 0;
  for (char* size = std::strtok(argv[2], ","); size != nullptr && kinds < 64;
       size = std::strtok(nullptr, ",")) {
    sizes[kinds++] = std::strcmp(size, "-") == 0 ? -1 : std::strtol(size, nullptr, 10);
  }
  static unsigned char bytes[65536];
  std::memset(bytes, 0xa5, sizeof bytes);
  for (long tile = 0; tile < count && kinds > 0; ++tile) {
    const long size = sizes[tile % kinds];
    if (size < 0) {
      continue;
    }
    char name[32];
    std::snprintf(name, sizeof name, "tile%04ld.jpg", tile);
    const int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC, 0777);
    if (fd < 0 || write(fd, bytes, static_cast<std::size_t>(size)) != size) {
      return 1;
    }
    close(fd);
  }
  return 0;
}
