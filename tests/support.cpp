#include "support.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

Bytes be16(unsigned value) {
  return {static_cast<char>((value >> 8) & 0xff), static_cast<char>(value & 0xff)};
}

Bytes record(char kind, const Bytes& payload) {
  return "TIL" + Bytes(1, kind) + be16(static_cast<unsigned>(payload.size())) + payload;
}

Bytes tiz_file(unsigned tiles, const Bytes& records, unsigned char reserved6,
               unsigned char reserved7) {
  return "TIZ0" + be16(tiles) + Bytes{static_cast<char>(reserved6), static_cast<char>(reserved7)} +
         records;
}

Bytes moz_file(unsigned width_field, unsigned height_field, const Bytes& records) {
  return "MOZ0" + be16(width_field) + be16(height_field) + records;
}

Bytes pattern(std::size_t count, unsigned seed) {
  Bytes bytes(count, '\0');
  for (std::size_t i = 0; i < count; ++i) {
    bytes[i] = static_cast<char>((i * 131 + std::size_t{seed} * 7 + i / 256) & 0xff);
  }
  return bytes;
}

static std::string temp_root() {
  if (const char* tmpdir = std::getenv("TMPDIR"); tmpdir != nullptr && *tmpdir != '\0') {
    return tmpdir;
  }
  // Tests that make thousands of tile files are far steadier in memory than on disk.
  return access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
}

TempDir::TempDir() {
  std::string name = temp_root() + "/tiletools-test-XXXXXX";
  if (mkdtemp(name.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path = name;
}

TempDir::~TempDir() {
  nftw(
      path.c_str(),
      [](const char* file, const struct stat*, int, struct FTW*) { return std::remove(file); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

Files files_in(const std::string& dir) {
  Files files;
  DIR* listing = opendir(dir.c_str());
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") {
      files[name] = read_file(dir + "/" + name);
    }
  }
  closedir(listing);
  return files;
}

static void write_all(int fd, const Bytes& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
    if (written <= 0) {
      return;
    }
    done += static_cast<std::size_t>(written);
  }
}

Outcome run_tool(const std::string& tool, const std::vector<std::string>& args,
                 const std::string& cwd, const Bytes* piped_input) {
  return run_tool(tool, args, cwd, Surroundings{piped_input});
}

// Whether `dir` holds an output staged beside its target (".NAME.partial-...").
static bool has_staged_entry(const std::string& dir) {
  DIR* folder = opendir(dir.c_str());
  bool found = false;
  while (const dirent* entry = folder != nullptr ? readdir(folder) : nullptr) {
    found = found || std::strstr(entry->d_name, ".partial-") != nullptr;
  }
  if (folder != nullptr) {
    closedir(folder);
  }
  return found;
}

Outcome run_tool(const std::string& tool, const std::vector<std::string>& args,
                 const std::string& cwd, const Surroundings& around) {
  const Bytes* piped_input = around.piped_input;
  TempDir streams;
  const std::string out_path = streams.path + "/out", err_path = streams.path + "/err";
  std::vector<std::string> argv_strings;
  std::istringstream emulator(TILETOOLS_EMULATOR);
  for (std::string word; emulator >> word;) {
    argv_strings.push_back(word);
  }
  argv_strings.push_back(tool);
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(argv_strings.size() + 1);
  for (std::string& arg : argv_strings) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);

  int input[2] = {-1, -1};
  if (piped_input != nullptr && pipe(input) != 0) {
    throw std::runtime_error("pipe failed");
  }
  // A tool that stops reading early must not take the test down with its pipe.
  signal(SIGPIPE, SIG_IGN);
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    const int out = around.stdout_path != nullptr
                        ? open(around.stdout_path, O_WRONLY)
                        : open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (piped_input != nullptr) {
      dup2(input[0], 0);
      close(input[0]);
      close(input[1]);
    }
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(cwd.c_str()) != 0) {
      _exit(127);
    }
    // The tool starts with no signal ignored or blocked, whatever this
    // process was started with.
    for (const int reset : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) {
      signal(reset, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // qemu-user sets the guest's stack up itself and needs more than a small limit.
    if (around.stack_kib > 0 && std::string(TILETOOLS_EMULATOR).empty()) {
      const rlim_t bytes = static_cast<rlim_t>(around.stack_kib) * 1024;
      const rlimit limit{bytes, bytes};
      setrlimit(RLIMIT_STACK, &limit);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  if (piped_input != nullptr) {
    close(input[0]);
    write_all(input[1], *piped_input);
    if (around.input_ends) {
      close(input[1]);
    }
  }
  if (around.stop_signal != 0) {
    // Once something is staged, the tool is at work and listening.
    for (int wait = 0; wait < 2000 && !has_staged_entry(cwd); ++wait) {
      usleep(5000);
    }
    usleep(20000);
    kill(child, around.stop_signal);
  }
  int wait_status = 0;
  waitpid(child, &wait_status, 0);
  if (piped_input != nullptr && !around.input_ends) {
    close(input[1]);
  }
  Outcome run;
  run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  run.out = read_file(out_path);
  run.err = read_file(err_path);
  return run;
}

Outcome capture(const std::function<int()>& walk) {
  TempDir dir;
  const std::string path = dir.path + "/out";
  std::fflush(stdout);
  const int saved = dup(1);
  const int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(out, 1);
  close(out);
  Outcome run;
  run.status = walk();
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  run.out = read_file(path);
  return run;
}

ToolResult run_on_file(const std::string& tool, const Bytes& input) {
  TempDir dir;
  const std::string input_path = dir.path + "/input", cwd = dir.path + "/out";
  write_file(input_path, input);
  mkdir(cwd.c_str(), 0755);
  ToolResult result;
  result.run = run_tool(tool, {input_path}, cwd);
  result.files = files_in(cwd);
  return result;
}

void expect_runs(const char* tool, const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ToolResult result = run_on_file(tool, c.input);
    EXPECT_EQ(result.run.out, c.out);
    EXPECT_EQ(result.run.status, c.status);
    EXPECT_EQ(result.run.err, "");
    EXPECT_EQ(result.files, c.files);
  }
}
