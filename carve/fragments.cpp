// The finder's joins of containers stored in pieces: the records a seam
// is tried at (a tag further on, or where a last record's JPEG ends), the
// orphans remembered for pieces stored before their header, the walk through
// a piece behind the window, and the split that joins a seam.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "bytes.h"
#include "chain.h"
#include "finder.h"
#include "marks.h"
#include "seam.h"
#include "tiles.h"
#include "walker.h"

// Whether a seam at a container's last record may join a tail that ends at
// `at`: on a grid, a whole number of clusters past where the record's bytes
// would end in one piece, within the seam's reach.
bool Finder::tail_may_end(const Walker& k, std::uint64_t at) const {
  if (!k.awaiting_end() || at <= k.seam->last_end || at > k.seam->until ||
      k.seam->tried >= kMostContinuations) {
    return false;
  }
  return std::any_of(clusters_.begin(), clusters_.end(),
                     [&](std::uint32_t cluster) { return (at - k.seam->last_end) % cluster == 0; });
}

// The first offset from pos_ below `q` right after a JPEG's end-of-image
// marker where a last record's tail may end, else `q`.
std::uint64_t Finder::next_jpeg_end(const Window& w, std::uint64_t q) const {
  const std::uint64_t limit = std::min(q, w.end);
  for (std::uint64_t at = std::max(pos_, w.base + 2); at < limit;) {
    const auto* marker = static_cast<const unsigned char*>(
        std::memchr(w.at(at - 2), 0xFF, static_cast<std::size_t>(limit - at)));
    if (marker == nullptr) {
      return q;
    }
    at = static_cast<std::uint64_t>(marker - w.bytes) + w.base + 2;
    if (marker[1] == 0xD9 && std::any_of(walkers_.begin(), walkers_.end(),
                                         [&](const Walker& k) { return tail_may_end(k, at); })) {
      return at;
    }
    ++at;
  }
  return q;
}

// A JPEG ends right before `at`: where the tail of a last record that
// straddles a seam may end.
void Finder::jpeg_end_at(std::uint64_t at) {
  for (Walker& k : walkers_) {
    if (tail_may_end(k, at) && join(k, at)) {
      return;
    }
  }
}

bool Finder::remembers_orphans() const { return !clusters_.empty() && hooks_.read_at != nullptr; }

// Whether a record that no container's chain leads to starts at `at`, so
// that a piece of a file stored before the piece with its header may be
// joined when that one breaks: its length lands on the next tag and its tile
// ends where it does. The walk then passes over the rest of its chain.
void Finder::orphan_at(const Window& w, std::uint64_t at) {
  // Its data must begin as a tile's does, which passes over text's tags
  // before their lengths are followed.
  if (at < orphan_skip_ || at + kRecordHeaderBytes + 4 > w.end || !tag_at(w.at(at))) {
    return;
  }
  if (!record_candidate(w.at(at), w.at(w.end))) {
    return;
  }
  const auto follows = [&](std::uint64_t record) {
    if (record + kRecordHeaderBytes > w.end || !tag_at(w.at(record))) {
      return record;
    }
    const std::uint64_t end = record + record_end(w.at(record), 0);
    return end + sizeof kRecordTag <= w.end && tag_at(w.at(end)) ? end : record;
  };
  const std::uint64_t end = follows(at);
  const unsigned char* record = w.at(at);
  const std::size_t payload = static_cast<std::size_t>(end - at) - kRecordHeaderBytes;
  if (end == at || payload < 4 ||
      !(record[3] == '0' ? tile_starts(true, '0', record + kRecordHeaderBytes)
                         : record[end - at - 2] == 0xFF && record[end - at - 1] == 0xD9)) {
    return;
  }
  remember_orphan(at);
  std::uint64_t next = end;
  for (std::uint64_t after = follows(next); after != next; after = follows(next)) {
    next = after;
  }
  orphan_skip_ = next;
}

void Finder::remember_orphan(std::uint64_t at) {
  if (orphans_.size() == kMostOrphans) {
    orphans_.erase(orphans_.begin());  // the oldest goes first
  }
  orphans_.push_back(at);
}

// Orphans among the tags from pos_ below `until`, which no walker wants.
void Finder::remember_orphans(const Window& w, const Marks* marks, std::uint64_t until) {
  if (marks != nullptr && pos_ < marks->to) {
    for (auto t = std::lower_bound(marks->tags.begin(), marks->tags.end(), pos_);
         t != marks->tags.end() && *t < until; ++t) {
      orphan_at(w, *t);
    }
    return;
  }
  const auto limit = static_cast<std::size_t>(std::min(until + 2, w.end) - w.base);
  for (std::uint64_t from = pos_; from < until;) {
    const std::size_t t = find_tag_fast(w.bytes, limit, static_cast<std::size_t>(from - w.base));
    if (t >= limit || w.base + t >= until) {
      return;
    }
    orphan_at(w, w.base + t);
    from = std::max(w.base + t + 1, orphan_skip_);  // past the orphan's own chain
  }
}

// A break behind which the next piece may lie earlier in the input: the
// orphans remembered from before the container are tried, the latest first.
void Finder::join_orphans(Walker& k) {
  while (k.seam && k.phase != Phase::done) {
    bool joined = false;
    for (auto o = orphans_.rbegin(); o != orphans_.rend() && k.seam; ++o) {
      if (*o < k.found.offset && join(k, *o)) {
        for (Walker& other : walkers_) {
          give_up_guess(other, *o);
        }
        orphans_.erase(std::next(o).base());
        joined = true;
        break;
      }
    }
    if (!joined) {
      return;
    }
    walk_back(k);
  }
}

// The chain `k` found again at `at` past damage is another container's,
// which reached it through a seam: its records are lost to `k` again.
void Finder::give_up_guess(Walker& k, std::uint64_t at) {
  const auto guess = std::find(k.guesses.begin(), k.guesses.end(), at);
  if (guess == k.guesses.end()) {
    return;
  }
  k.guesses.erase(guess);
  std::vector<Run>& runs = k.found.runs;
  const auto run = std::find_if(runs.begin(), runs.end(), [&](const Run& r) {
    return !r.ranges.empty() && r.ranges.front().offset == at;
  });
  if (run == runs.end()) {
    return;
  }
  if (run + 1 == runs.end()) {
    // A seam at its end, or a chain it is in, is the other container's too.
    k.seam.reset();
    if (k.phase == Phase::following) {
      k.phase = Phase::over;
    }
  }
  k.found.found -= run->count;
  runs.erase(run);
}

// Follows a container's chain through a piece that lies behind the window,
// reading it again, until the piece ends or the container does.
void Finder::walk_back(Walker& k) {
  while (k.phase == Phase::following && k.next < pos_) {
    const std::uint64_t at = k.next;
    unsigned char header[kRecordHeaderBytes + sizeof kRecordTag];
    if (!hooks_.read_at(at, header, kRecordHeaderBytes) || !tag_at(header)) {
      return broke_back(k, at);
    }
    const std::uint64_t end = at + record_end(header, 0);
    const bool last = k.tile == k.found.announced - 1;
    const bool lands = hooks_.read_at(end, header + kRecordHeaderBytes, sizeof kRecordTag) &&
                       tag_at(header + kRecordHeaderBytes);
    if (!lands || last) {
      joined_.resize(static_cast<std::size_t>(end - at));
      const TileCheck check =
          hooks_.read_at(at, joined_.data(), joined_.size()) && hooks_.tile_holds
              ? hooks_.tile_holds(k.found.tiz, header[3], joined_.data() + kRecordHeaderBytes,
                                  joined_.size() - kRecordHeaderBytes, TileLook::ends)
              : TileCheck::spoiled;
      if (!kept(check, last)) {
        return broke_back(k, at);
      }
    }
    count_record(k, at, end);
  }
}

// The chain broke at `at`, behind the window: a seam whose next piece is
// further on, or an orphan again.
void Finder::broke_back(Walker& k, std::uint64_t at) {
  unsigned char header[kRecordHeaderBytes] = {};
  const bool tagged = hooks_.read_at(at, header, sizeof header) && tag_at(header);
  k.phase = Phase::over;
  k.seam = OpenSeam::at(k.found, k.tile, at, tagged ? header : nullptr, pos_ + kFragmentReach);
}

// Whether a record at `at` may carry on a container with `left` records to
// go after a seam. A piece of a file may hold no more than the seam's tail
// and a record that runs on into the next piece, so no chain is asked of it:
// the split that joins the seam is the test.
bool Finder::carries_on(const Window& w, std::uint64_t at, int left) {
  return left >= 1 && at + kRecordHeaderBytes <= w.end && tag_at(w.at(at));
}

// A chain that carries on the container resumes at `resumed`: its seam is
// tried at every split the cluster grid allows, and joined only when a
// single one makes the seam's record a whole tile.
bool Finder::join(Walker& k, std::uint64_t resumed) {
  OpenSeam& seam = *k.seam;
  unsigned char header[kRecordHeaderBytes];
  std::optional<std::uint64_t> length;
  if (hooks_.read_at(seam.record, header, sizeof header) && tag_at(header)) {
    length = kRecordHeaderBytes + std::uint64_t{read_u16be(header + 4)};
  }
  const std::vector<Split> splits =
      seam_splits(k.found.offset, seam.record, length, resumed, clusters_);
  if (splits.empty()) {
    return false;
  }
  ++seam.tried;
  std::optional<Split> taken;
  int whole = 0;
  // A piece is no part of one already taken.
  const auto taken_already = [&](std::uint64_t from, std::uint64_t to) {
    if (from < k.found.offset + kFileHeaderBytes && k.found.offset < to) {
      return true;
    }
    for (const Run& run : k.found.runs) {
      for (const Piece& range : run.ranges) {
        if (from < range.offset + range.length && range.offset < to) {
          return true;
        }
      }
    }
    return false;
  };
  for (const Split& split : splits) {
    if (taken_already(split.next, resumed) || (split.next < split.end && seam.record < resumed)) {
      continue;
    }
    const auto head = static_cast<std::size_t>(split.end - seam.record);
    const auto tail = static_cast<std::size_t>(resumed - split.next);
    joined_.resize(head + tail);
    // The header first: where the split cuts it, the next piece must
    // complete it with a length that leads to `resumed`.
    const std::size_t from_next = head < kRecordHeaderBytes ? kRecordHeaderBytes - head : 0;
    if (from_next > tail || !hooks_.read_at(seam.record, joined_.data(), head) ||
        !hooks_.read_at(split.next, joined_.data() + head, from_next) || !tag_at(joined_.data()) ||
        kRecordHeaderBytes + std::size_t{read_u16be(joined_.data() + 4)} != joined_.size() ||
        !hooks_.read_at(split.next + from_next, joined_.data() + head + from_next,
                        tail - from_next)) {
      continue;
    }
    if (hooks_.tile_holds &&
        hooks_.tile_holds(k.found.tiz, joined_[3], joined_.data() + kRecordHeaderBytes,
                          joined_.size() - kRecordHeaderBytes,
                          TileLook::decodes) == TileCheck::whole) {
      taken = split;
      if (++whole > 1) {
        break;
      }
    }
  }
  if (whole != 1) {
    if (hooks_.rejected) {
      hooks_.rejected(k.found.offset, whole == 0
                                          ? "no split at a seam makes its tile whole"
                                          : "more than one split at a seam makes a whole tile");
    }
    return false;
  }
  // The record straddles the seam: the piece before ends inside it, and its
  // tile, decoded whole, is the container's.
  Run& run = k.found.runs.back();
  run.ranges.back().length = taken->end - run.ranges.back().offset;
  run.ranges.push_back(Piece{taken->next, 0});
  k.seam.reset();
  k.tiles = true;
  k.phase = Phase::following;
  count_record(k, taken->next, resumed);
  return true;
}
