#pragma once

// The search for where a container or a record may start: "TIZ0" and "MOZ0"
// for a header, "TIL" for a record. It runs over nearly every byte of every
// input and is the carver's one cost that grows with the input, so it tests
// 256 offsets at a time with the widest vectors the processor has and looks
// closer only where a block holds a candidate.

#include <cstddef>
#include <cstdint>
#include <vector>

// The offsets where something may start, found ahead of the finder (by the
// reads, on two cores): every one below `to` where a header may start (a
// magic with a tag behind it), and every one where a record may, each list
// in order.
struct Marks {
  std::uint64_t to = 0;
  std::vector<std::uint64_t> magics;
  std::vector<std::uint64_t> tags;

  // Lets go of the marks below `offset`, which the window no longer holds.
  void forget_before(std::uint64_t offset);
};

// Appends to `marks` every header candidate and tag from `from` below `to` in `bytes`,
// whose first byte is at input offset `base`; the bytes run to to + 3.
void find_marks(const unsigned char* bytes, std::uint64_t base, std::uint64_t from,
                std::uint64_t to, Marks& marks);

// Moves `marks` on to every offset whose bytes are all in `window`, which
// holds the input from `base` below `end`.
void mark_through(const unsigned char* window, std::uint64_t base, std::uint64_t end, Marks& marks);

// Whether "TIZ0" or "MOZ0" begins at `bytes`.
bool magic_at(const unsigned char* bytes);

// Whether a tile's data begins as its kind's does: a JPEG's start-of-image
// marker (a MOZ's, TIZ method 2), a zlib header (method 0, and method 1
// behind its two-byte length). `data` holds four bytes at the least.
bool tile_starts(bool tiz, unsigned char kind, const unsigned char* data);

// Whether a record may start at `bytes`: a tag, and data that begins as a
// tile's, of either family, where the bytes (up to `end`) reach that far.
// A chain is only ever found again, or carried on, at such a record.
bool record_candidate(const unsigned char* bytes, const unsigned char* end);

// Whether a header may start at `bytes`: a magic, and a record's tag right
// behind its 8 bytes, where the bytes (up to `end`) reach that far. Text
// that names a magic is passed over here, at the search's own cost.
bool header_candidate(const unsigned char* bytes, const unsigned char* end);

// The first offset from `from` below `to` where a header may start, else
// `to`; the bytes run to to + 3.
std::size_t find_magic(const unsigned char* bytes, std::size_t from, std::size_t to);

// The first "TIL" that starts at `from` or later and ends by `limit`, else
// `limit`.
std::size_t find_tag_fast(const unsigned char* bytes, std::size_t limit, std::size_t from);
