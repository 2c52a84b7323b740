#include "console.h"

#include <cstdarg>
#include <cstdio>

#include "platform.h"

using Clock = std::chrono::steady_clock;

// "\r" and "erase to the end of the line": the progress line is redrawn in place.
static constexpr const char* kClearLine = "\r\033[K";

Console::Console(const char* program, bool quiet)
    : program_(program),
      live_(program != nullptr && !quiet && platform::is_terminal(STDERR_FILENO)) {}

void Console::start(long total) {
  const std::lock_guard<std::mutex> lock(mutex_);
  total_ = total;
  started_ = Clock::now();
  drawn_ = started_ - std::chrono::seconds(1);
}

void Console::advance(long done) {
  if (!live_) {
    return;
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  const Clock::time_point now = Clock::now();
  if (now - drawn_ < std::chrono::milliseconds(250)) {
    return;
  }
  drawn_ = now;
  draw_locked(done);
}

void Console::draw_locked(long done) {
  const double elapsed = std::chrono::duration<double>(Clock::now() - started_).count();
  const long percent = total_ > 0 ? done * 100 / total_ : 100;
  std::fprintf(stderr, "%s%s: %ld of %ld tiles (%ld%%)", kClearLine, program_, done, total_,
               percent);
  if (done > 0 && elapsed >= 1) {
    const auto left =
        static_cast<long>(elapsed * static_cast<double>(total_ - done) / static_cast<double>(done));
    std::fprintf(stderr, ", %ld:%02ld left", left / 60, left % 60);
  }
  std::fflush(stderr);
}

void Console::finish() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (live_) {
    std::fputs(kClearLine, stderr);
    std::fflush(stderr);
    live_ = false;
  }
}

void Console::say(const char* format, ...) {
  if (program_ == nullptr) {
    return;
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  std::fprintf(stderr, "%s%s: ", live_ ? kClearLine : "", program_);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}
