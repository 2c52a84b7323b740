#pragma once

// The records of a container one at a time, for the tools that rebuild or
// picture it. A plain walk stops at the first bad record, as the container
// tools do. A salvaging walk goes past it instead:
//
//   - a record is bad when it lacks its tag, or its length runs past the end
//     of the file, or its length lands on no tag while the bytes it claims hold
//     a chain of records (then its length is what was damaged);
//   - past a bad record the walk looks for the next chain: a tag whose length
//     leads to another tag, three records deep, or exactly to the end of the
//     file; a "TIL" inside a payload rarely passes that, and a truncated or
//     spliced run never does;
//   - every range it passes over is handed to `on_skip`, offset and length.
//
// Records carry no position, so a salvaged record's index is where it is
// placed: in order after the records before it, or, with `anchor_end` (MOZ,
// whose tiles have places), the chain that reaches the end of the file is put
// with its last record as the last tile, so tiles after a lost one keep their
// places. Finding that chain reads the rest of the file once more, which needs
// a file that can seek; a pipe's records are placed in order, and `on_note`
// says so.

#include <cstdint>
#include <functional>
#include <string>

#include "tiles.h"

struct WalkOptions {
  bool salvage = false;
  bool anchor_end = false;
  std::function<void(std::uint64_t offset, std::uint64_t bytes)> on_skip;
  std::function<void(const std::string& note)> on_note;
};

// Why a stream stopped, in words: "its record does not start with TIL", the
// system's reason for a failed read, or where the file ended.
std::string describe_failure(const StreamFailure& failure);

// "skipped N bytes at offset X: no intact record there"
std::string describe_skip(std::uint64_t offset, std::uint64_t bytes);

class RecordWalk {
 public:
  // `in` stands just past the file header, which announced `tiles` records.
  RecordWalk(RecordBuffer& in, int tiles, WalkOptions options);

  // The next record, its index the tile it belongs to (indices only grow);
  // false when every tile is placed or no record is left to find.
  bool next(TileRecord& record);

  // A plain walk stopped at a bad record (the stream's `failure` says why), or
  // a salvaging one skipped any bytes or ran out of file before the last tile.
  bool damaged() const { return damaged_; }
  // Where a plain walk stopped: the tile whose record was bad.
  int broke_at() const { return next_index_; }
  // Records handed out.
  int delivered() const { return delivered_; }
  // Every tile had its record (or its place was passed for good): what
  // follows in the file is no record of this container.
  bool finished() const { return next_index_ >= tiles_; }

 private:
  bool take_salvaged(TileRecord& record, std::uint64_t& offset, bool report);
  bool believable_here(bool last_tile);
  bool resync(std::uint64_t bad_at, bool report);
  void survey();
  int place(std::uint64_t offset);

  RecordBuffer& in_;
  int tiles_;
  WalkOptions options_;
  int next_index_ = 0;
  int delivered_ = 0;
  bool damaged_ = false;
  bool done_ = false;
  // The chain of records that reaches the end of the file, once surveyed.
  bool surveyed_ = false;
  std::uint64_t chain_start_ = 0;  // offset of the chain now being walked
  std::uint64_t final_start_ = UINT64_MAX;
  int final_count_ = 0;
  int floor_ = 0;  // indices below this were given out before the final chain
};
