// Invariant: on any bytes, a TIZ or MOZ that unpacks cleanly (read to its last
// record) packs back to exactly the same bytes; and unpacked with --salvage it
// never crashes, writes nothing outside its folder, and packs into a
// container whose every announced record reads. The last input byte picks the
// format (bit 0: MOZ) and salvage (bit 1); the rest is the container.

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "harness.h"
#include "pack.h"
#include "unpack.h"
#include "walk.h"

namespace {

// Packing writes a tile for every missing one: past this many, the input is
// only unpacked, so that each run stays quick.
constexpr int kMostTilesPacked = 4096;

std::string read_all(const char* path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

void remove_tree(const char* path) {
  nftw(
      path,
      [](const char* file, const struct stat*, int, struct FTW*) { return std::remove(file); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

// Every announced record of the container in `path` reads.
bool reads_to_the_end(const char* path, bool tiz) {
  static RecordBuffer in;
  in = RecordBuffer{};
  Console quiet(nullptr, true);
  ContainerHeader header;
  if (!open_container(path, tiz, in, header, quiet)) {
    return false;
  }
  RecordWalk walk(in, header.tiles, WalkOptions{});
  TileRecord record;
  while (walk.next(record)) {
  }
  close(in.fd);
  return !walk.damaged();
}

std::set<std::string> entries() {
  std::set<std::string> names;
  DIR* dir = opendir(".");
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') {
      names.insert(entry->d_name);
    }
  }
  closedir(dir);
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const bool tiz = (data[size - 1] & 1) == 0;
  const bool salvage = (data[size - 1] & 2) != 0;
  const std::string input(reinterpret_cast<const char*>(data), size - 1);
  in_fuzz_directory([&] {
    std::ofstream("in", std::ios::binary) << input;
    static RecordBuffer in;
    in = RecordBuffer{};
    Console quiet(nullptr, true);
    ContainerHeader header;
    if (open_container("in", tiz, in, header, quiet)) {
      require(mkdir("parts", 0777) == 0, "cannot make the folder");
      const UnpackStatus status =
          unpack(UnpackRun{in, header, false, salvage, "in", quiet}, "parts");
      close(in.fd);
      require(status != kUnpackFailed, "unpacking failed with room to write");
      require(entries() == std::set<std::string>{"in", "parts"}, "a file outside the folder");
      if (header.tiles <= kMostTilesPacked && (status == kUnpackClean || salvage)) {
        const int out = open("out", O_WRONLY | O_CREAT | O_TRUNC, 0666);
        require(pack(PackRun{"parts", tiz, quiet}, out), "the folder does not pack");
        close(out);
        if (status == kUnpackClean) {
          require(read_all("out") == input, "the round trip changed the container");
        }
        require(reads_to_the_end("out", tiz), "a packed container does not read to its end");
      }
      remove_tree("parts");
    }
    unlink("in");
    unlink("out");
  });
  return 0;
}
