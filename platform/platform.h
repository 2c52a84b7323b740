#pragma once

// What differs between POSIX systems and Windows, and nothing else: the file
// calls the tools make, folders, staged names, interruption and the command
// line. Everything above calls these and reads the same on both.
//
// On POSIX systems the file calls are the C library's own, inline, so a tool
// that needs nothing but the C library still needs nothing more. On Windows
// (windows.cpp) names are UTF-8 and opened as wide names, every file is
// binary, offsets are 64-bit, a folder is a descriptor as on POSIX systems,
// and a rename replaces its target.

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
// Flags the Windows C library lacks, which open() and open_at() understand.
#define O_DIRECTORY 0x01000000
#define O_NOFOLLOW 0x02000000
#define O_CLOEXEC 0x0080  // not inherited by child processes
#define O_NONBLOCK 0      // a pipe in a folder is not opened by name there
#else
#include <sys/stat.h>
#endif

namespace platform {

// Every tool's first call. On Windows: standard input, output and error in
// binary mode (a line ends in LF alone, as on POSIX systems), the arguments
// taken again from the wide command line as UTF-8, and a console shown UTF-8.
void start(int& argc, char**& argv);

// open(2) and openat(2) with the flags above; -1 with errno on failure. A
// symbolic link (a reparse point on Windows) refused by O_NOFOLLOW gives ELOOP.
int open(const char* path, int flags, int mode = 0);
int open_at(int folder, const char* name, int flags, int mode = 0);
ssize_t read(int fd, void* bytes, std::size_t count);
// pread(2): reads at `offset`, whatever the descriptor's own position. On
// Windows it moves that position; a descriptor read this way is read no other way.
ssize_t read_at(int fd, void* bytes, std::size_t count, std::int64_t offset);
ssize_t write(int fd, const void* bytes, std::size_t count);
int close(int fd);
std::int64_t seek(int fd, std::int64_t offset, int whence);
// Whether the descriptor is a terminal (a console on Windows).
bool is_terminal(int fd);

// fopen(3) for reading or writing bytes: give "rb" or "wb".
std::FILE* open_stream(const char* path, const char* mode);
// The size of an open regular file, or -1.
std::int64_t file_size(int fd);
// Whether `name` in `folder` is a symbolic link (a reparse point).
bool is_link_at(int folder, const char* name);

enum class Kind { none, file, folder };
Kind kind_of(const char* path);
bool readable(const char* path);
// A new folder (0777 less the umask on POSIX systems): 0, else -1 with errno.
int make_folder(const char* path);
// The names a folder holds, "." and ".." left out; false when it cannot be read.
bool list_folder(const char* path, std::vector<std::string>& names);

// A new file or folder whose name is `pattern` with its trailing XXXXXX made
// unique, both made with the usual permissions (0666 or 0777 less the umask).
int make_staged_file(std::string& pattern);
bool make_staged_folder(std::string& pattern);
// Flushes a file to its disk before it is renamed into place.
int sync(int fd);
// rename(2): a file replaces its target; a folder replaces an empty one.
int rename_over(const char* from, const char* to);
// Removes a file; safe in a signal handler.
int remove_file(const char* path);
int remove_at(int folder, const char* name);
// Removes a folder and everything in it, following no links.
void remove_tree(const char* path);

// Paths as this system's users write them: '/' between names on POSIX
// systems; on Windows '/' or a backslash, and a drive ("C:") in front. Every
// tool splits and joins paths through these two, so they read alike everywhere.
#ifdef _WIN32
inline constexpr bool kWindowsPaths = true;
#else
inline constexpr bool kWindowsPaths = false;
#endif
// The folder a path names its last part in, up to and with its separator
// ("", "out/", "C:\maps\" in Windows' own spelling, or "C:"), and that part's
// name, trailing separators left out: on Windows "..\dz\" gives "..\" and "dz".
struct PathParts {
  std::string folder;
  std::string name;
};
PathParts split_path(std::string_view path, bool windows = kWindowsPaths);
// `name` in `folder`, with a '/' between them unless the folder already ends
// in a separator or is "" (or a bare drive).
std::string join_path(std::string_view folder, std::string_view name, bool windows = kWindowsPaths);

// The running program's path, or "" when it cannot be told.
std::string program_path(const char* argv0);

// Calls `handler` with SIGINT, SIGTERM or SIGHUP when the user or the system
// asks the process to stop: Ctrl-C, a closed console or terminal, a kill.
// On POSIX systems it runs as a signal handler, on Windows on a thread of its
// own, so it may only touch static storage and call remove_file.
void on_stop_request(void (*handler)(int signal));
// Ends the process as the request would have ended it.
[[noreturn]] void end_as_stopped(int signal);

#ifndef _WIN32
inline void start(int&, char**&) {}
inline int open(const char* path, int flags, int mode) { return ::open(path, flags, mode); }
inline int open_at(int folder, const char* name, int flags, int mode) {
  return ::openat(folder, name, flags, mode);
}
inline ssize_t read(int fd, void* bytes, std::size_t count) { return ::read(fd, bytes, count); }
inline ssize_t read_at(int fd, void* bytes, std::size_t count, std::int64_t offset) {
  return ::pread(fd, bytes, count, static_cast<off_t>(offset));
}
inline ssize_t write(int fd, const void* bytes, std::size_t count) {
  return ::write(fd, bytes, count);
}
inline int close(int fd) { return ::close(fd); }
inline std::int64_t seek(int fd, std::int64_t offset, int whence) {
  return ::lseek(fd, static_cast<off_t>(offset), whence);
}
inline bool is_terminal(int fd) { return ::isatty(fd) != 0; }
inline int remove_file(const char* path) { return ::unlink(path); }
inline int remove_at(int folder, const char* name) { return ::unlinkat(folder, name, 0); }
#endif

}  // namespace platform
