#pragma once

// An input that can be read at any offset, read by two threads at once: this
// one reads and searches every even chunk, a second thread every odd one, each
// into its place in one window. The kernel's copy of the bytes and the search
// for headers in them are the pass's whole cost, and a core copies only so
// fast: on two cores they take half the time, and the pass keeps pace with cat.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "finder.h"

class TwinReads {
 public:
  // A chunk as cat reads it.
  static constexpr std::size_t kChunk = std::size_t{256} << 10;

  explicit TwinReads(int second_fd);  // the same input, opened again for the other thread
  ~TwinReads();
  TwinReads(const TwinReads&) = delete;
  TwinReads& operator=(const TwinReads&) = delete;

  struct Got {
    std::size_t bytes = 0;
    int error = 0;  // errno of a read that failed, else 0
  };

  // Reads up to two chunks from input offset base + held of `fd` into
  // window + held (`room` bytes free there), window holding the input from
  // `base` on. Appends to `marks`, in order, every magic and tag from
  // marks.to on whose bytes are now here, and moves marks.to past them.
  Got read(int fd, unsigned char* window, std::uint64_t base, std::size_t held, std::size_t room,
           Marks& marks);

 private:
  void serve();
  bool await(int wanted, int or_else);
  void set(int value);

  enum State { idle, asked, done, stopping };
  int fd_;
  std::atomic<int> state_{idle};
  std::atomic<int> sleepers_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
  // The other thread's chunk: where to read it, and what it found.
  unsigned char* into_ = nullptr;
  std::uint64_t offset_ = 0;
  Got got_;
  Marks found_;
  std::thread thread_;
};
