#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tiles.h"

void require(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "finding: %s\n", what);
    std::abort();
  }
}

// The private directory the walks write tile files into, and the directory the
// process was started in. Only the walks run in the first: libFuzzer and the
// replay resolve their paths (corpus folders, artifacts) in the second.
static int work_dir = -1;
static int start_dir = -1;
static std::string work_path;

// Once per process: standard output to /dev/null, a fresh working directory.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // In memory where there is tmpfs: a run may write thousands of tile files.
  work_path = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  work_path += "/tiletools-fuzz-XXXXXX";
  const int null = open("/dev/null", O_WRONLY);
  require(mkdtemp(work_path.data()) != nullptr && null >= 0 && dup2(null, 1) == 1,
          "cannot set up the fuzz directory");
  close(null);
  work_dir = open(work_path.c_str(), O_RDONLY | O_DIRECTORY);
  start_dir = open(".", O_RDONLY | O_DIRECTORY);
  require(work_dir >= 0 && start_dir >= 0, "cannot open the fuzz directories");
  // libFuzzer ends a timed run through exit: the folder goes with it.
  std::atexit(remove_fuzz_directory);
  return 0;
}

void remove_fuzz_directory() { rmdir(work_path.c_str()); }

// The descriptors this process has open. A run that leaves one behind would
// end a long fuzz run (or a long-lived caller) with every open failing.
static int open_descriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  require(dir != nullptr, "cannot list the open descriptors");
  while (readdir(dir) != nullptr) {
    ++count;
  }
  closedir(dir);
  return count;
}

void in_fuzz_directory(const std::function<void()>& work) {
  require(fchdir(work_dir) == 0, "cannot enter the fuzz directory");
  const int descriptors = open_descriptors();
  work();
  require(open_descriptors() == descriptors, "a descriptor was left open");
  require(fchdir(start_dir) == 0, "cannot return to the starting directory");
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

static std::string tile_name(int index) {
  char name[32];  // room for any int: the check does not lean on the tools' limit
  std::snprintf(name, sizeof name, "tile%04d.jpg", index);
  return name;
}

// Status and tile files as a plain reading of the container finds them.
static int expected_run(const std::uint8_t* data, std::size_t size, const PlainFormat& format,
                        TileFiles& files) {
  if (size < 8 || std::memcmp(data, format.magic, 4) != 0) {
    return 1;
  }
  const int tiles = format.announced_tiles(data);
  std::size_t at = 8;
  for (int tile = 0; tile < tiles; ++tile) {
    if (size - at < 6 || std::memcmp(data + at, "TIL", 3) != 0) {
      return 1;
    }
    const std::size_t length = be16(data + at + 4);
    if (size - at - 6 < length) {
      return 1;
    }
    std::string bytes;
    if (format.tile_file(data[at + 3], data + at + 6, length, bytes)) {
      files[tile_name(tile)] = bytes;
    }
    at += 6 + length;
  }
  return 0;
}

void check_walks(const std::uint8_t* data, std::size_t size, Walk read, Walk save,
                 const PlainFormat& format) {
  if (size == 0) {
    return;
  }
  const bool saving = (data[size - 1] & 1) != 0;
  TileFiles expected;
  const int expected_status = expected_run(data, size - 1, format, expected);
  in_fuzz_directory([&] {
    const int status = run_walk(saving ? save : read, data, size - 1);
    require(status == expected_status, "exit status differs from a plain reading");
    require(take_tile_files() == (saving ? expected : TileFiles{}),
            "tile files differ from the records' bytes");
  });
}
