// The platform layer on POSIX systems: the C library's calls, named as the
// layer names them.
#include <dirent.h>
#include <ftw.h>
#include <stdlib.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "platform.h"

namespace platform {

std::FILE* open_stream(const char* path, const char* mode) { return std::fopen(path, mode); }

std::int64_t file_size(int fd) {
  struct stat status {};
  return fstat(fd, &status) == 0 && S_ISREG(status.st_mode) ? status.st_size : -1;
}

bool is_link_at(int folder, const char* name) {
  struct stat status {};
  return fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode);
}

Kind kind_of(const char* path) {
  struct stat status {};
  if (stat(path, &status) != 0) {
    return Kind::none;
  }
  return S_ISDIR(status.st_mode) ? Kind::folder : Kind::file;
}

bool readable(const char* path) { return access(path, R_OK) == 0; }

int make_folder(const char* path) { return mkdir(path, 0777); }

bool list_folder(const char* path, std::vector<std::string>& names) {
  DIR* dir = opendir(path);
  if (dir == nullptr) {
    return false;
  }
  while (const dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.emplace_back(entry->d_name);
    }
  }
  closedir(dir);
  return true;
}

static mode_t umask_now() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

int make_staged_file(std::string& pattern) {
  const int fd = mkstemp(pattern.data());
  if (fd >= 0) {
    // mkstemp makes it private; a finished output gets the usual 0666 less the umask.
    fchmod(fd, 0666 & ~umask_now());
  }
  return fd;
}

bool make_staged_folder(std::string& pattern) {
  if (mkdtemp(pattern.data()) == nullptr) {
    return false;
  }
  chmod(pattern.c_str(), 0777 & ~umask_now());
  return true;
}

int sync(int fd) { return fsync(fd); }

int rename_over(const char* from, const char* to) { return std::rename(from, to); }

static int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  return std::remove(path);
}

void remove_tree(const char* path) { nftw(path, remove_entry, 16, FTW_DEPTH | FTW_PHYS); }

// The kernel's word on Linux, elsewhere argv[0] when it names a path.
std::string program_path(const char* argv0) {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length > 0) {
    return std::string(path, static_cast<std::size_t>(length));
  }
  if (argv0 != nullptr && std::strchr(argv0, '/') != nullptr && realpath(argv0, path) != nullptr) {
    return path;
  }
  return "";
}

void on_stop_request(void (*handler)(int signal)) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    std::signal(signal, handler);
  }
}

void end_as_stopped(int signal) {
  std::signal(signal, SIG_DFL);
  raise(signal);
  std::_Exit(128 + signal);
}

}  // namespace platform
