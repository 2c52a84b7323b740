#include "twin_reads.h"

#include <algorithm>
#include <cerrno>

#include "finder.h"
#include "tiles.h"

namespace {

// A chunk takes each side some tens of microseconds, and a sleep and a wake
// cost about as much, so a side that waits for the other spins up to a
// millisecond or so before it sleeps.
constexpr int kSpins = 1000000;

// Up to a chunk from `offset`.
TwinReads::Got read_chunk(int fd, std::uint64_t offset, unsigned char* into) {
  const long long got = read_all_at(fd, offset, into, TwinReads::kChunk);
  TwinReads::Got chunk;
  chunk.bytes = got > 0 ? static_cast<std::size_t>(got) : 0;
  chunk.error = got < 0 ? errno : 0;
  return chunk;
}

}  // namespace

TwinReads::TwinReads(int second_fd) : fd_(second_fd), thread_([this] { serve(); }) {}

TwinReads::~TwinReads() {
  set(stopping);
  thread_.join();
}

// Waits for `wanted` (true) or `or_else` (false).
bool TwinReads::await(int wanted, int or_else) {
  auto reached = [&] {
    const int now = state_.load();
    return now == wanted || now == or_else;
  };
  for (int spin = 0; spin < kSpins && !reached(); ++spin) {
  }
  if (!reached()) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++sleepers_;
    changed_.wait(lock, reached);
    --sleepers_;
  }
  return state_.load() == wanted;
}

// The other side is woken only when it sleeps: a lock and a wake for every
// chunk would cost more than the search. Both sides' atomics are
// sequentially consistent, so a side about to sleep sees the new state first.
void TwinReads::set(int value) {
  state_.store(value);
  if (sleepers_.load() > 0) {
    { const std::lock_guard<std::mutex> lock(mutex_); }
    changed_.notify_all();
  }
}

void TwinReads::serve() {
  while (await(asked, stopping)) {
    got_ = read_chunk(fd_, offset_, into_);
    found_.magics.clear();
    found_.tags.clear();
    if (got_.bytes > 3) {
      find_marks(into_, offset_, offset_, offset_ + got_.bytes - 3, found_);
    }
    set(done);
  }
}

TwinReads::Got TwinReads::read(int fd, unsigned char* window, std::uint64_t base, std::size_t held,
                               std::size_t room, Marks& marks) {
  const std::uint64_t offset = base + held;
  const bool twin = room >= 2 * kChunk;
  if (twin) {
    into_ = window + held + kChunk;
    offset_ = offset + kChunk;
    set(asked);
  }
  Got got = read_chunk(fd, offset, window + held);
  mark_through(window, base, offset + got.bytes, marks);
  if (!twin) {
    return got;
  }
  await(done, stopping);
  state_.store(idle);
  if (got.bytes == kChunk && got.error == 0) {
    const std::uint64_t theirs = offset_ + got_.bytes;
    if (theirs >= marks.to + 3) {
      // The three offsets across the two chunks, then what the other found.
      find_marks(window, base, marks.to, std::min(offset_, theirs - 3), marks);
      marks.magics.insert(marks.magics.end(), found_.magics.begin(), found_.magics.end());
      marks.tags.insert(marks.tags.end(), found_.tags.begin(), found_.tags.end());
      marks.to = theirs - 3;
    }
    got.bytes += got_.bytes;
    got.error = got_.error;
  }
  return got;
}
