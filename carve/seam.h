#pragma once

// Seams: where a file system stored a container in more than one piece. A
// piece ends on a cluster boundary of the container's own grid (a file starts
// on one) and the next begins on another, so the record that straddles a
// seam is its head in the piece before and its tail in the next.
//
// Two questions decide a seam: where the pieces may meet, given where the
// chain broke and where it resumes (a pure function of offsets and the
// cluster sizes), and whether a record made of bytes from both sides holds a
// tile that is whole (its JPEG decodes without a word from libjpeg, its zlib
// data inflates to the stream's end with nothing left over). Bytes spliced in
// from elsewhere almost never pass the second.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

enum class TileCheck {
  whole,
  spoiled,
  unknown,  // a TIZ method whose data cannot be checked
};

// How closely a tile is looked at: whether its data ends where the record
// does (a JPEG's end-of-image marker in its last two bytes, a zlib stream
// ending with its last byte), which is what a record whose file went on
// elsewhere fails; or whether it decodes cleanly too, which tells the one
// right split of a seam from the others, all of which end right.
enum class TileLook { ends, decodes };

TileCheck check_tile(bool tiz, unsigned char kind, const unsigned char* payload, std::size_t count,
                     TileLook look);

// A way for a container's pieces to meet: the piece before ends at `end`,
// inside the seam's record (or its 6-byte header), and the next begins at
// `next`, so the record is [record, end) followed by [next, resumed).
struct Split {
  std::uint64_t end = 0;
  std::uint64_t next = 0;
  bool operator==(const Split&) const = default;
};

// Every split where the record at `record`, the first one the chain could not
// vouch for, may straddle a seam, with the chain of records resuming at
// `resumed` in a later piece. `origin` is the container's start, on the grid
// of each of `clusters`. `length` is the record's whole length (its header
// and payload) as its header in the piece before gives it, when that header
// is there and tagged; splits inside the header are given either way, and
// then the next piece's first bytes must complete the header.
std::vector<Split> seam_splits(std::uint64_t origin, std::uint64_t record,
                               std::optional<std::uint64_t> length, std::uint64_t resumed,
                               std::span<const std::uint32_t> clusters);
