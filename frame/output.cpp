#include "output.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include "console.h"
#include "platform.h"

// The one path a signal handler may have to remove; a handler can reach
// nothing but static storage. Only one output is staged at a time.
static char pending_path[4096];
static volatile std::sig_atomic_t pending_is_folder = 0;
static volatile std::sig_atomic_t caught_signal = 0;

static void remove_staged(const char* path, bool folder) {
  if (folder) {
    platform::remove_tree(path);
  } else {
    platform::remove_file(path);
  }
}

// Removes a staged file and ends the process as the signal would have. A
// staged folder holds too many files to remove within a handler: the run is
// asked to stop instead, and removes it on its way out.
extern "C" void on_interrupt(int signal) {
  if (pending_path[0] != '\0' && pending_is_folder != 0) {
    caught_signal = signal;
    return;
  }
  if (pending_path[0] != '\0') {
    platform::remove_file(pending_path);
  }
  platform::end_as_stopped(signal);
}

int interruption() { return caught_signal; }

void end_as_interrupted() { platform::end_as_stopped(caught_signal); }

static void watch(const std::string& path, bool folder) {
  if (path.size() >= sizeof pending_path) {
    return;
  }
  std::memcpy(pending_path, path.c_str(), path.size() + 1);
  pending_is_folder = folder ? 1 : 0;
  platform::on_stop_request(on_interrupt);
}

static void unwatch() { pending_path[0] = '\0'; }

// The staged name, in the output's own folder so that the rename stays on its
// file system.
static std::string beside(const std::string& path) {
  const platform::PathParts parts = platform::split_path(path);
  return parts.folder + "." + parts.name + ".partial-XXXXXX";
}

static bool fail(std::string& error, const std::string& what) {
  error = what + ": " + std::strerror(errno);
  return false;
}

bool StagedOutput::open_file(const std::string& path, std::string& error) {
  target_ = path;
  if (path == "-") {
    if (platform::is_terminal(STDOUT_FILENO)) {
      error = "standard output is a terminal; give a file name, or send - to a file or pipe";
      return false;
    }
    fd_ = STDOUT_FILENO;
    return true;
  }
  staged_ = beside(path);
  fd_ = platform::make_staged_file(staged_);
  if (fd_ < 0) {
    staged_.clear();
    return fail(error, "cannot create a file beside " + path);
  }
  watch(staged_, false);
  return true;
}

bool StagedOutput::make_folder(const std::string& path, std::string& error) {
  target_ = path;
  folder_ = true;
  // An empty folder is replaced by the rename at the end; anything else stays as it is.
  const platform::Kind existing = platform::kind_of(path.c_str());
  if (existing != platform::Kind::none) {
    std::vector<std::string> names;
    const bool empty = existing == platform::Kind::folder &&
                       platform::list_folder(path.c_str(), names) && names.empty();
    if (existing != platform::Kind::folder) {
      error = path + ": exists and is not a folder";
      return false;
    }
    if (!empty) {
      error = path + ": exists and is not an empty folder";
      return false;
    }
  }
  staged_ = beside(path);
  if (!platform::make_staged_folder(staged_)) {
    staged_.clear();
    return fail(error, "cannot create a folder beside " + path);
  }
  watch(staged_, true);
  return true;
}

bool StagedOutput::commit(std::string& error) {
  if (target_ == "-") {
    committed_ = true;
    return true;
  }
  if (!folder_ && (platform::sync(fd_) != 0 || platform::close(fd_) != 0)) {
    fd_ = -1;
    return fail(error, "cannot write " + target_);
  }
  fd_ = -1;
  // A folder given with a trailing separator is renamed to its bare name.
  const platform::PathParts parts = platform::split_path(target_);
  if (platform::rename_over(staged_.c_str(), (parts.folder + parts.name).c_str()) != 0) {
    return fail(error, "cannot rename the finished output to " + target_);
  }
  committed_ = true;
  unwatch();
  return true;
}

void StagedOutput::discard() {
  if (fd_ > STDOUT_FILENO) {
    platform::close(fd_);
  }
  fd_ = -1;
  if (!committed_ && !staged_.empty()) {
    remove_staged(staged_.c_str(), folder_);
    unwatch();
  }
  committed_ = true;
}

StagedOutput::~StagedOutput() { discard(); }

int write_staged(const std::string& path, OutputKind kind, Console& console,
                 const std::function<int(StagedOutput& out)>& make) {
  StagedOutput out;
  std::string error;
  const bool staged =
      kind == OutputKind::file ? out.open_file(path, error) : out.make_folder(path, error);
  if (!staged) {
    console.say("%s", error.c_str());
    return kNothingWritten;
  }
  const int status = make(out);
  if (interruption() != 0) {
    out.discard();
    end_as_interrupted();
  }
  if (status == kNothingWritten) {
    return status;
  }
  if (!out.commit(error)) {
    console.say("%s", error.c_str());
    return kNothingWritten;
  }
  return status;
}
