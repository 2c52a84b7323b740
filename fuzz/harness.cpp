#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "tiles.h"

static void require(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "finding: %s\n", what);
    std::abort();
  }
}

void enter_private_directory() {
  // In memory where there is tmpfs: a run may write thousands of tile files.
  std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  dir += "/tiletools-fuzz-XXXXXX";
  const int null = open("/dev/null", O_WRONLY);
  require(
      mkdtemp(dir.data()) != nullptr && chdir(dir.c_str()) == 0 && null >= 0 && dup2(null, 1) == 1,
      "cannot set up the fuzz directory");
  close(null);
}

static int run_walk(Walk walk, const std::uint8_t* data, std::size_t size) {
  RecordBuffer in;
  in.fd = memfd_create("input", 0);
  require(in.fd >= 0 && write(in.fd, data, size) == static_cast<ssize_t>(size) &&
              lseek(in.fd, 0, SEEK_SET) == 0,
          "cannot stage the input");
  const int status = walk(in);
  if (in.fd >= 0) {
    close(in.fd);
  }
  std::fflush(stdout);
  return status;
}

static TileFiles take_tile_files() {
  TileFiles files;
  DIR* dir = opendir(".");
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    std::string bytes;
    if (FILE* file = std::fopen(name.c_str(), "rb")) {
      char chunk[4096];
      for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
        bytes.append(chunk, got);
      }
      std::fclose(file);
    }
    unlink(name.c_str());
    files[name] = bytes;
  }
  closedir(dir);
  return files;
}

std::string tile_name(int index) {
  char name[kTileNameBytes];
  std::snprintf(name, sizeof name, "tile%04d.jpg", index);
  return name;
}

void check_walks(const std::uint8_t* data, std::size_t size, Walk read, Walk save,
                 ExpectedRun expected_run) {
  if (size == 0) {
    return;
  }
  const bool saving = (data[size - 1] & 1) != 0;
  TileFiles expected;
  const int expected_status = expected_run(data, size - 1, expected);
  const int status = run_walk(saving ? save : read, data, size - 1);
  require(status == expected_status, "exit status differs from a plain reading");
  require(take_tile_files() == (saving ? expected : TileFiles{}),
          "tile files differ from the records' bytes");
}
