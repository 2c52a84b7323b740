// The platform layer on Windows: UTF-8 names opened as wide ones, binary
// files, 64-bit offsets, folders as descriptors, renames that replace, and
// console control events for signals.
#include <windows.h>
//
#include <io.h>
#include <shellapi.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform.h"

namespace platform {
namespace {

std::wstring wide(const char* text) {
  const int count = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  if (count <= 0) {
    return L"";
  }
  std::wstring out(static_cast<std::size_t>(count), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), count);
  out.pop_back();
  return out;
}

std::string narrow(const wchar_t* text) {
  const int count = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (count <= 0) {
    return "";
  }
  std::string out(static_cast<std::size_t>(count), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), count, nullptr, nullptr);
  out.pop_back();
  return out;
}

// errno for the last failed Windows call, as the C library would set it.
int set_errno_from_windows() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
      errno = ENOENT;
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      errno = EACCES;
      break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      errno = EEXIST;
      break;
    case ERROR_DIR_NOT_EMPTY:
      errno = ENOTEMPTY;
      break;
    case ERROR_DIRECTORY:
      errno = ENOTDIR;
      break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      errno = ENOSPC;
      break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      errno = ENOMEM;
      break;
    default:
      errno = EIO;
  }
  return -1;
}

// A folder is a descriptor above every file's: its slot holds its path.
constexpr int kFirstFolder = 1 << 24;
std::mutex folders_lock;
std::vector<std::string> folders;

int open_folder(const char* path, bool follow) {
  const DWORD attributes = GetFileAttributesW(wide(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return set_errno_from_windows();
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && !follow) {
    errno = ELOOP;
    return -1;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    errno = ENOTDIR;
    return -1;
  }
  const std::lock_guard<std::mutex> hold(folders_lock);
  std::size_t slot = 0;
  while (slot < folders.size() && !folders[slot].empty()) {
    ++slot;
  }
  if (slot == folders.size()) {
    folders.emplace_back();
  }
  folders[slot] = path;
  return kFirstFolder + static_cast<int>(slot);
}

// The path of a folder's descriptor, or "" with EBADF.
std::string folder_path(int fd) {
  const std::lock_guard<std::mutex> hold(folders_lock);
  const auto slot = static_cast<std::size_t>(fd - kFirstFolder);
  if (fd < kFirstFolder || slot >= folders.size() || folders[slot].empty()) {
    errno = EBADF;
    return "";
  }
  return folders[slot];
}

// A file for reading that is not a reparse point, checked on the handle it
// is then read through.
int open_no_follow(const char* path) {
  HANDLE file = CreateFileW(wide(path).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return set_errno_from_windows();
  }
  BY_HANDLE_FILE_INFORMATION about{};
  if (GetFileInformationByHandle(file, &about) == 0) {
    set_errno_from_windows();
    CloseHandle(file);
    return -1;
  }
  if ((about.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    CloseHandle(file);
    errno = (about.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? ELOOP : EISDIR;
    return -1;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(file);
  }
  return fd;
}

bool is_console(int fd) {
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_CHAR &&
         GetConsoleMode(handle, &mode) != 0;
}

void (*stop_handler)(int) = nullptr;

BOOL WINAPI on_console_event(DWORD event) {
  if (stop_handler == nullptr) {
    return FALSE;
  }
  stop_handler(event == CTRL_C_EVENT ? SIGINT : SIGTERM);
  return TRUE;
}

}  // namespace

void start(int& argc, char**& argv) {
  for (const int fd : {0, 1, 2}) {
    _setmode(fd, _O_BINARY);
  }
  if (is_console(1) || is_console(2)) {
    SetConsoleOutputCP(CP_UTF8);
  }
  // The progress line is redrawn with "erase to the end of the line".
  HANDLE errors = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (is_console(2) && GetConsoleMode(errors, &mode) != 0) {
    SetConsoleMode(errors, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  }
  int count = 0;
  wchar_t** given = CommandLineToArgvW(GetCommandLineW(), &count);
  if (given == nullptr) {
    return;
  }
  static std::vector<std::string> texts;
  static std::vector<char*> pointers;
  for (int i = 0; i < count; ++i) {
    texts.push_back(narrow(given[i]));
  }
  LocalFree(given);
  for (std::string& text : texts) {
    pointers.push_back(text.data());
  }
  pointers.push_back(nullptr);
  argc = count;
  argv = pointers.data();
}

int open(const char* path, int flags, int mode) {
  if ((flags & O_DIRECTORY) != 0) {
    return open_folder(path, (flags & O_NOFOLLOW) == 0);
  }
  const bool reading = (flags & (O_WRONLY | O_RDWR | O_CREAT)) == 0;
  if ((flags & O_NOFOLLOW) != 0 && reading) {
    return open_no_follow(path);
  }
  // A folder opens for reading as on POSIX systems; reading it fails (EISDIR).
  if (reading && kind_of(path) == Kind::folder) {
    return open_folder(path, true);
  }
  const int permissions = (mode & 0222) != 0 ? _S_IREAD | _S_IWRITE : _S_IREAD;
  return _wopen(wide(path).c_str(), (flags & ~O_NOFOLLOW) | _O_BINARY | _O_NOINHERIT, permissions);
}

// `name` in the folder of a descriptor, or "" with EBADF.
static std::string path_at(int folder, const char* name) {
  const std::string at = folder_path(folder);
  return at.empty() ? at : join_path(at, name);
}

int open_at(int folder, const char* name, int flags, int mode) {
  const std::string path = path_at(folder, name);
  return path.empty() ? -1 : open(path.c_str(), flags, mode);
}

ssize_t read(int fd, void* bytes, std::size_t count) {
  if (fd >= kFirstFolder) {
    errno = EISDIR;
    return -1;
  }
  return _read(fd, bytes, static_cast<unsigned>(count < INT_MAX ? count : INT_MAX));
}

ssize_t read_at(int fd, void* bytes, std::size_t count, std::int64_t offset) {
  if (seek(fd, offset, SEEK_SET) < 0) {
    return -1;
  }
  return read(fd, bytes, count);
}

ssize_t write(int fd, const void* bytes, std::size_t count) {
  return _write(fd, bytes, static_cast<unsigned>(count < INT_MAX ? count : INT_MAX));
}

int close(int fd) {
  if (fd >= kFirstFolder) {
    const std::lock_guard<std::mutex> hold(folders_lock);
    const auto slot = static_cast<std::size_t>(fd - kFirstFolder);
    if (slot >= folders.size() || folders[slot].empty()) {
      errno = EBADF;
      return -1;
    }
    folders[slot].clear();
    return 0;
  }
  return _close(fd);
}

std::int64_t seek(int fd, std::int64_t offset, int whence) {
  if (fd >= kFirstFolder) {
    return 0;
  }
  return _lseeki64(fd, offset, whence);
}

bool is_terminal(int fd) { return is_console(fd); }

std::FILE* open_stream(const char* path, const char* mode) {
  return _wfopen(wide(path).c_str(), wide(mode).c_str());
}

std::int64_t file_size(int fd) {
  struct _stat64 status {};
  return _fstat64(fd, &status) == 0 && (status.st_mode & _S_IFMT) == _S_IFREG ? status.st_size : -1;
}

bool is_link_at(int folder, const char* name) {
  const std::string path = path_at(folder, name);
  const DWORD attributes = GetFileAttributesW(wide(path.c_str()).c_str());
  return !path.empty() && attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

Kind kind_of(const char* path) {
  const DWORD attributes = GetFileAttributesW(wide(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return Kind::none;
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::folder : Kind::file;
}

bool readable(const char* path) { return _waccess(wide(path).c_str(), 4) == 0; }

int make_folder(const char* path) {
  return CreateDirectoryW(wide(path).c_str(), nullptr) != 0 ? 0 : set_errno_from_windows();
}

bool list_folder(const char* path, std::vector<std::string>& names) {
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW(wide(join_path(path, "*").c_str()).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    set_errno_from_windows();
    return false;
  }
  do {
    if (std::wcscmp(found.cFileName, L".") != 0 && std::wcscmp(found.cFileName, L"..") != 0) {
      names.push_back(narrow(found.cFileName));
    }
  } while (FindNextFileW(search, &found) != 0);
  FindClose(search);
  return true;
}

// XXXXXX at the end of `pattern` made into letters and digits that have not
// been tried yet in this process.
static void fill_unique(std::string& pattern) {
  static std::atomic<unsigned long long> tried{0};
  static const char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned long long seed =
      GetTickCount64() * 6364136223846793005ULL + GetCurrentProcessId() + (++tried << 20);
  for (std::size_t i = pattern.size() - 6; i < pattern.size(); ++i) {
    pattern[i] = kDigits[seed % 36];
    seed /= 36;
  }
}

// Shared for deletion, so that a stop request can remove it while it is open.
int make_staged_file(std::string& pattern) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    fill_unique(pattern);
    HANDLE file = CreateFileW(wide(pattern.c_str()).c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDWR | _O_BINARY);
      if (fd < 0) {
        CloseHandle(file);
      }
      return fd;
    }
    if (set_errno_from_windows() < 0 && errno != EEXIST) {
      return -1;
    }
  }
  return -1;
}

bool make_staged_folder(std::string& pattern) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    fill_unique(pattern);
    if (make_folder(pattern.c_str()) == 0) {
      return true;
    }
    if (errno != EEXIST) {
      return false;
    }
  }
  return false;
}

int sync(int fd) { return _commit(fd); }

int rename_over(const char* from, const char* to) {
  const std::wstring source = wide(from), target = wide(to);
  if (kind_of(from) == Kind::folder && kind_of(to) == Kind::folder &&
      RemoveDirectoryW(target.c_str()) == 0) {
    return set_errno_from_windows();  // not empty, or not ours to replace
  }
  return MoveFileExW(source.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0
             ? 0
             : set_errno_from_windows();
}

int remove_file(const char* path) {
  return DeleteFileW(wide(path).c_str()) != 0 ? 0 : set_errno_from_windows();
}

int remove_at(int folder, const char* name) {
  const std::string path = path_at(folder, name);
  return path.empty() ? -1 : remove_file(path.c_str());
}

void remove_tree(const char* path) {
  const DWORD attributes = GetFileAttributesW(wide(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return;
  }
  // A reparse point is removed, never entered.
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    std::vector<std::string> names;
    list_folder(path, names);
    for (const std::string& name : names) {
      remove_tree(join_path(path, name).c_str());
    }
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    RemoveDirectoryW(wide(path).c_str());
  } else {
    DeleteFileW(wide(path).c_str());
  }
}

std::string program_path(const char*) {
  std::wstring path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  if (length == 0 || length >= path.size()) {
    return "";
  }
  path.resize(length);
  std::string out = narrow(path.c_str());
  for (char& c : out) {
    c = c == '\\' ? '/' : c;
  }
  return out;
}

void on_stop_request(void (*handler)(int signal)) {
  if (stop_handler == nullptr) {
    SetConsoleCtrlHandler(on_console_event, TRUE);
  }
  stop_handler = handler;
}

void end_as_stopped(int signal) { std::_Exit(128 + signal); }

}  // namespace platform
