// The floor a tool is measured against: the files it must create, or read,
// with no container to walk and no lines to print.
//   floor COUNT SIZES            creates and writes the tile files from memory
//   floor COUNT SIZES --read OUT reads those files and writes them all into OUT
// SIZES: comma-separated items taken in turn for tiles 0, 1, 2, ...; an item is
// '-' (no file) or parts joined by '+', each BYTES or BYTES:EXTENSION (jpg when
// left out), so "200:zlib+1846" is tileNNNN.zlib of 200 bytes and tileNNNN.jpg
// of 1,846.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

struct Part {
  long bytes;
  std::string extension;
};

static std::vector<std::vector<Part>> parse_items(char* sizes) {
  std::vector<std::vector<Part>> items;
  for (char* item = std::strtok(sizes, ","); item != nullptr; item = std::strtok(nullptr, ",")) {
    std::vector<Part> parts;
    for (std::string rest = item; !rest.empty() && rest != "-";) {
      const std::size_t plus = rest.find('+');
      const std::string part = rest.substr(0, plus);
      const std::size_t colon = part.find(':');
      parts.push_back({std::strtol(part.c_str(), nullptr, 10),
                       colon == std::string::npos ? "jpg" : part.substr(colon + 1)});
      rest = plus == std::string::npos ? "" : rest.substr(plus + 1);
    }
    items.push_back(parts);
  }
  return items;
}

int main(int argc, char** argv) {
  const bool reading = argc == 5 && std::strcmp(argv[3], "--read") == 0;
  if (argc != 3 && !reading) {
    std::fputs("usage: floor COUNT SIZES [--read OUT]\n", stderr);
    return 2;
  }
  const long count = std::strtol(argv[1], nullptr, 10);
  const std::vector<std::vector<Part>> items = parse_items(argv[2]);
  static unsigned char bytes[65536];
  std::memset(bytes, 0xa5, sizeof bytes);
  const int out = reading ? open(argv[4], O_WRONLY | O_CREAT | O_TRUNC, 0666) : -1;
  std::vector<unsigned char> block;
  for (long tile = 0; tile < count && !items.empty(); ++tile) {
    for (const Part& part : items[static_cast<std::size_t>(tile) % items.size()]) {
      char name[64];
      std::snprintf(name, sizeof name, "tile%04ld.%s", tile, part.extension.c_str());
      if (reading) {
        const int fd = open(name, O_RDONLY);
        const ssize_t got = fd < 0 ? -1 : read(fd, bytes, sizeof bytes);
        if (got < 0) {
          return 1;
        }
        close(fd);
        block.insert(block.end(), bytes, bytes + got);
        if (block.size() >= (std::size_t{256} << 10)) {
          if (write(out, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
            return 1;
          }
          block.clear();
        }
        continue;
      }
      const int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC, 0777);
      if (fd < 0 || write(fd, bytes, static_cast<std::size_t>(part.bytes)) != part.bytes) {
        return 1;
      }
      close(fd);
    }
  }
  if (reading && write(out, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
    return 1;
  }
  return 0;
}
