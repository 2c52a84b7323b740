#pragma once

// The in-order band pipeline every picture tool runs on: worker threads take
// bands in order, each works on its own band side by side with the others,
// and hands its result on in band order, a worker done early waiting for the
// bands before its own. Memory is a few bands whatever the picture's height.

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

// What the bands in flight share by default: at the largest width a band of
// pixels is 6 MiB, and its compressed data about half as much again.
inline constexpr std::size_t kBandBudget = std::size_t{16} << 20;

// Threads worth running for bands of `band_bytes` each: the cores there are,
// but never more bands at once than fit `budget`.
int worker_count(std::size_t band_bytes, std::size_t budget = kBandBudget);

// Runs `work` on `count` threads, this one among them, until all return.
template <typename Work>
void run_workers(int count, const Work& work) {
  std::vector<std::thread> threads;
  for (int i = 1; i < count; ++i) {
    threads.emplace_back(work);
  }
  work();
  for (std::thread& thread : threads) {
    thread.join();
  }
}

// Band order for what must go in turn: in_turn(band, step) runs `step`
// once every band before `band` has had its turn, then gives the next band
// its turn. Each band takes its turn once, in order from 0.
class BandTurns {
 public:
  template <typename Step>
  void in_turn(int band, const Step& step) {
    std::unique_lock<std::mutex> lock(mutex_);
    turn_.wait(lock, [&] { return next_ == band; });
    step();
    ++next_;
    turn_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable turn_;
  int next_ = 0;
};
