#pragma once

// A container's walk as the finder keeps it: shared by the pass itself
// (finder.cpp) and by the joins of fragments (fragments.cpp).

#include <cstdint>
#include <optional>
#include <vector>

#include "chain.h"
#include "finder.h"
#include "seam.h"
#include "tiles.h"

inline constexpr std::uint64_t kLargestRecord = kRecordHeaderBytes + std::uint64_t{UINT16_MAX};
// Chains tried as a seam's next piece, at most: each is a chain on the
// grid of the break, which bytes other than records rarely make.
inline constexpr int kMostContinuations = 64;

static_assert(Finder::kLookAhead >= kFileHeaderBytes + kLargestRecord + 2 + kChainReach,
              "a record, and a chain in the bytes it claims, must fit the look-ahead");
static_assert(Finder::kOrphanReach == kLargestRecord + sizeof kRecordTag);

// Whether a record whose chain cannot vouch for it is kept, by its tile:
// one that ends right, or the last record where its kind cannot be checked.
inline bool kept(TileCheck check, bool last) {
  return check == TileCheck::whole || (check == TileCheck::unknown && last);
}

// Where a container's walk is.
enum class Finder::Phase {
  following,  // the next record must start at `next`
  lost,       // the chain broke: a believable one is looked for from `next` below `limit`
  over,       // its own walk is over; kept while the next piece of a seam may turn up
  done,       // reported, or given up
};

// A break that may be where a piece of the container ends: the first record
// the chain could not vouch for, how far the next piece is looked for, and
// how many chains have been tried as that piece.
struct Finder::OpenSeam {
  std::uint64_t record = 0;
  std::uint64_t until = 0;
  int tile = 0;
  int tried = 0;
  // Its tile is a JPEG (a MOZ's, a TIZ method 1 or 2), whose last two bytes,
  // right before the next record's tag, are its end-of-image marker: a test
  // that passes over nearly every tag at no cost.
  bool jpeg = false;
  // The container's last record, a JPEG, with no tag after it to resume at:
  // where its bytes would end were they in one piece. Its tail then ends
  // with an end-of-image marker a whole number of clusters from there.
  std::uint64_t last_end = 0;

  // The seam at the record at `at` of a container whose `tile` it is, given
  // the record's header (its first 6 bytes, or null where they are not a
  // tag), where its kind is one whose data can be checked.
  static std::optional<OpenSeam> at(const Found& found, int tile, std::uint64_t at,
                                    const unsigned char* header, std::uint64_t until) {
    const int kind = header != nullptr ? header[3] : -1;
    if (found.tiz && kind >= 0 && kind != '0' && kind != '1' && kind != '2') {
      return std::nullopt;
    }
    OpenSeam seam{at, until, tile, 0, !found.tiz || kind == '1' || kind == '2'};
    if (header != nullptr && seam.jpeg && tile == found.announced - 1) {
      seam.last_end = at + record_end(header, 0);
    }
    return seam;
  }
};

struct Finder::Walker {
  Found found;
  Phase phase = Phase::following;
  std::uint64_t next = 0;
  std::uint64_t limit = 0;
  int tile = 0;  // the next record's
  bool damaged = false;
  // One of its records held a tile that ends where the record does: the
  // container is one, not text or noise whose "records" happen to chain.
  bool tiles = false;
  std::optional<OpenSeam> seam;
  // Where each run it took past damage began: a chain believed only because
  // it was near. Another container that reaches one of them through a seam
  // takes it, so the walker is kept open while that may still happen.
  std::vector<std::uint64_t> guesses;

  bool following_at(std::uint64_t at) const { return phase == Phase::following && next == at; }
  // Whether tags are looked for on its behalf: a chain to find again, or the
  // record a seam resumes at. A seam at the last record waits for its tail's
  // end instead.
  bool searching() const {
    return phase == Phase::lost || (seam.has_value() && seam->last_end == 0);
  }
  bool awaiting_end() const { return seam.has_value() && seam->last_end != 0; }
};
