#pragma once

// Output that appears under its final name only once complete: a file or a
// folder is made under a temporary name beside the target and renamed over it
// at the end. Until then an interruption (SIGINT, SIGTERM, SIGHUP) or a failure
// removes it, and an existing target is left as it was.

#include <functional>
#include <string>

class Console;

// The signal (SIGINT, SIGTERM or SIGHUP) that asked a run making a folder to
// stop, or 0. Such a run stops handing out work, removes what it staged, and
// then ends as the signal would have ended it, through end_as_interrupted.
int interruption();
[[noreturn]] void end_as_interrupted();

class StagedOutput {
 public:
  StagedOutput() = default;
  ~StagedOutput();  // removes what was not committed
  StagedOutput(const StagedOutput&) = delete;
  StagedOutput& operator=(const StagedOutput&) = delete;

  // A file for `path`: standard output itself for "-", else a new file beside
  // it. False, with `error`, when it cannot be made.
  bool open_file(const std::string& path, std::string& error);
  // A new empty folder beside `path`, which must not exist or be empty.
  bool make_folder(const std::string& path, std::string& error);

  int fd() const { return fd_; }                         // the file's descriptor
  const std::string& staged() const { return staged_; }  // the folder's temporary path

  // Makes the output permanent under its final name.
  bool commit(std::string& error);
  // Removes what was staged, leaving the target as it was.
  void discard();

 private:
  std::string target_;
  std::string staged_;
  int fd_ = -1;
  bool folder_ = false;
  bool committed_ = false;
};

// A run's statuses: every tool that writes an output ends with one of these.
inline constexpr int kOutputWhole = 0;
inline constexpr int kOutputDamaged = 1;  // written, from damaged input
inline constexpr int kNothingWritten = 2;

enum class OutputKind { file, folder };

// The sequence of every tool that writes one output: it is staged beside
// `path`, `make` fills it (the file's descriptor or the folder's staged path
// in `out`) and gives the run's status; the output is made permanent unless
// that status is kNothingWritten, and removed, with the process ended as the
// signal would have ended it, when a stop was asked for. What fails is said
// on the console; the status is returned.
int write_staged(const std::string& path, OutputKind kind, Console& console,
                 const std::function<int(StagedOutput& out)>& make);
