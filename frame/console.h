#pragma once

// What the picture tools tell their user on standard error: a line per
// diagnostic, each after the program's name, and on a terminal (unless
// quiet) one progress line, refreshed a few times a second and cleared at
// the end. Safe to call from any thread. A console without a program name
// says nothing at all (for the fuzz target).

#include <chrono>
#include <mutex>

class Console {
 public:
  Console(const char* program, bool quiet);
  ~Console() { finish(); }
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  const char* program() const { return program_; }
  void start(long total);
  void advance(long done);
  void finish();
  void say(const char* format, ...) __attribute__((format(printf, 2, 3)));

 private:
  void draw_locked(long done);

  const char* program_;
  bool live_;  // a progress line is being shown
  long total_ = 0;
  std::chrono::steady_clock::time_point started_;
  std::chrono::steady_clock::time_point drawn_;
  std::mutex mutex_;
};
