#include "finder.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "bytes.h"
#include "chain.h"
#include "marks.h"
#include "moz.h"
#include "seam.h"
#include "tiles.h"
#include "walker.h"

const char* state_name(FoundState state) {
  switch (state) {
    case FoundState::intact:
      return "intact";
    case FoundState::cut:
      return "cut";
    case FoundState::damaged:
      return "damaged";
    case FoundState::fragmented:
      return "fragmented";
  }
  return "?";
}

Finder::Finder(Hooks hooks, std::vector<std::uint32_t> clusters)
    : hooks_(std::move(hooks)), clusters_(std::move(clusters)) {
  std::sort(clusters_.begin(), clusters_.end());
}

Finder::~Finder() = default;

std::uint64_t Finder::feed(const unsigned char* bytes, std::uint64_t base, std::size_t count,
                           bool ends, const Marks* marks) {
  const Window w{bytes, base, base + count, ends};
  // Offsets where nothing happens are decided as soon as their bytes are
  // here; one where something does waits until the look-ahead is here too.
  std::uint64_t decide = ends ? w.end : count > kMargin ? w.end - kMargin : base;
  if (marks != nullptr && !ends) {
    decide = std::min(decide, marks->to);
  }
  if (remembers_orphans() && !ends) {
    // Orphans are looked for in the offsets decided: a record there and the
    // tag after it must be here.
    decide = w.end > base + kOrphanReach ? std::min(decide, w.end - kOrphanReach) : base;
  }
  pos_ = std::max(pos_, base);
  while (pos_ < decide) {
    // The next event: a record a chain leads to, a tag while a chain is
    // looked for, or a magic.
    std::uint64_t q = decide;
    bool want_tags = false;
    bool want_ends = false;
    bool after_jpeg = true;  // only seams of JPEG tiles want them
    for (const Walker& k : walkers_) {
      want_tags = want_tags || k.searching();
      want_ends = want_ends || k.awaiting_end();
      after_jpeg = after_jpeg && (!k.searching() || (k.phase != Phase::lost && k.seam->jpeg));
      if (k.phase == Phase::following) {
        q = std::min(q, k.next);
      }
    }
    const std::uint64_t tag = want_tags ? next_tag(w, marks, q, after_jpeg) : q;
    const std::uint64_t head = next_magic(w, marks, std::min(q, tag));
    const std::uint64_t end = want_ends ? next_jpeg_end(w, std::min({q, tag, head})) : q;
    q = std::min({q, tag, head, end});
    if (remembers_orphans()) {
      remember_orphans(w, marks, std::min(q, decide));
    }
    if (q >= decide) {
      pos_ = decide;
      break;
    }
    const bool header = head == q && q + 4 <= w.end && magic_at(w.at(q));
    if (!ends && !all_here(w, q, header, tag == q)) {
      pos_ = q;  // decided once the bytes it needs are read
      break;
    }
    // A chain found again, or a seam's next piece, is stepped at once; a
    // header comes last, so that a chain that breaks right where it starts
    // is over there and never takes the new container's records.
    if (tag == q) {
      tag_at_offset(w, q);
    }
    if (end == q) {
      jpeg_end_at(q);
    }
    for (Walker& k : walkers_) {
      if (k.following_at(q)) {
        step(w, k);
      }
    }
    if (header) {
      header_at(w, q);
    }
    pos_ = q + 1;
    for (Walker& k : walkers_) {
      settle(k, pos_);
    }
    std::erase_if(walkers_, [](const Walker& k) { return k.phase == Phase::done; });
    emit_ready();
  }
  if (ends) {
    // Whatever is still open ends with the input.
    for (Walker& k : walkers_) {
      k.phase = Phase::over;
      k.seam.reset();
      k.guesses.clear();
      settle(k, UINT64_MAX);
    }
    walkers_.clear();
    pos_ = UINT64_MAX;
    emit_ready();
  }
  return pos_;
}

// The first tag from pos_ below `q`, else `q`.
std::uint64_t Finder::next_tag(const Window& w, const Marks* marks, std::uint64_t q,
                               bool after_jpeg) const {
  // Only a record whose data begins as a tile's is looked at, and only one
  // right behind a JPEG's end when seams of JPEG tiles are all that want
  // tags: the others in text and noise are passed over here, not as events.
  const auto wanted = [&](std::uint64_t at) {
    const bool jpeg_before = at < w.base + 2 || (w.at(at)[-2] == 0xFF && w.at(at)[-1] == 0xD9);
    return record_candidate(w.at(at), w.at(w.end)) && (!after_jpeg || jpeg_before);
  };
  std::uint64_t searched = pos_;
  if (marks != nullptr && pos_ < marks->to) {
    // Found beforehand: the first at or after this offset, if it comes first.
    searched = std::min(marks->to, q);
    for (auto next = std::lower_bound(marks->tags.begin(), marks->tags.end(), pos_);
         next != marks->tags.end() && *next < searched; ++next) {
      if (wanted(*next)) {
        return *next;
      }
    }
  }
  const auto limit = static_cast<std::size_t>(std::min(q + 2, w.end) - w.base);
  for (std::uint64_t from = searched; from < q;) {
    const std::size_t found =
        find_tag_fast(w.bytes, limit, static_cast<std::size_t>(from - w.base));
    if (found >= limit) {
      return q;
    }
    if (wanted(w.base + found)) {
      return w.base + found;
    }
    from = w.base + found + 1;
  }
  return q;
}

// The first magic from pos_ below `q`, else `q`.
std::uint64_t Finder::next_magic(const Window& w, const Marks* marks, std::uint64_t q) const {
  const std::uint64_t limit = std::min(q, w.end >= w.base + 3 ? w.end - 3 : w.base);
  std::uint64_t searched = pos_;
  if (marks != nullptr && pos_ < marks->to) {
    searched = std::min(marks->to, limit);
    const auto next = std::lower_bound(marks->magics.begin(), marks->magics.end(), pos_);
    if (next != marks->magics.end() && *next < searched) {
      return *next;
    }
  }
  if (searched >= limit) {
    return q;
  }
  const std::size_t found = find_magic(w.bytes, static_cast<std::size_t>(searched - w.base),
                                       static_cast<std::size_t>(limit - w.base));
  return w.base + found < limit ? w.base + found : q;
}

// Whether the window holds every byte the events at `at` look at: a
// header's first record, a walker's record and the tag after it, and, for a
// chain to be believed, three records more. Only an event waits for them,
// so the window holds little more than a read where nothing happens.
bool Finder::all_here(const Window& w, std::uint64_t at, bool header, bool tag) const {
  auto record_here = [&](std::uint64_t record) {
    return record + kRecordHeaderBytes <= w.end &&
           record_end(w.at(record), 0) + record + sizeof kRecordTag <= w.end;
  };
  if (header && !record_here(at + kFileHeaderBytes)) {
    return false;
  }
  if (tag && at + kChainReach > w.end) {
    return false;
  }
  for (const Walker& k : walkers_) {
    if (!k.following_at(at)) {
      continue;
    }
    if (!record_here(at)) {
      return false;
    }
    if (at + kLargestRecord + 2 + kChainReach > w.end) {
      // Its length may land on no tag; then the bytes it claims are searched
      // for a chain. Rarely needed, so asked for only when it lands on none.
      const std::uint64_t end = record_end(w.at(at), 0) + at;
      if (!tag_at(w.at(end))) {
        return false;
      }
    }
  }
  return true;
}

void Finder::header_at(const Window& w, std::uint64_t at) {
  const unsigned char* header = w.at(at);
  auto reject = [&](const char* why) {
    if (hooks_.rejected) {
      hooks_.rejected(at, why);
    }
  };
  Walker k;
  Found& f = k.found;
  f.offset = at;
  f.tiz = header[0] == 'T';
  if (at + kFileHeaderBytes > w.end) {
    return reject("the input ends inside the header");
  }
  std::memcpy(f.header, header, sizeof f.header);
  if (f.tiz) {
    f.announced = read_u16be(header + 4);
  } else {
    f.width = read_s16be(header + 4);
    f.height = read_s16be(header + 6);
    f.announced = moz_tile_count(read_s16be(header + 4), read_s16be(header + 6));
  }
  if (f.announced < 1) {
    return reject("the header announces no tiles");
  }
  const std::uint64_t first = at + kFileHeaderBytes;
  if (first + kRecordHeaderBytes > w.end || !tag_at(w.at(first))) {
    return reject("no record follows the header");
  }
  if (first + kRecordHeaderBytes + read_u16be(w.at(first) + 4) > w.end) {
    return reject("its first record runs past the end of the input");
  }
  // A chain lost and looked for beyond this header is over: what follows
  // belongs to this container. The next piece of a seam may still be further
  // on, past other files.
  for (Walker& other : walkers_) {
    if (other.phase == Phase::lost) {
      other.phase = Phase::over;
    }
  }
  // Containers that only wait (for a seam's next piece, or for a claim on a
  // chain found past damage) make room for a new one, the longest waiting
  // first: a header is passed over only when that many are being followed.
  if (walkers_.size() >= kMostOpen && end_oldest_wait()) {
    std::erase_if(walkers_, [](const Walker& other) { return other.phase == Phase::done; });
  }
  if (walkers_.size() >= kMostOpen) {
    return reject("too many containers are open at once");
  }
  k.next = first;
  f.runs.push_back(Run{{Piece{first, 0}}, 0, 0});
  if (hooks_.capture) {
    hooks_.capture(at, header, kFileHeaderBytes);
  }
  walkers_.push_back(std::move(k));
}

// A tag at `at`: where a lost chain may be found again, or where the next
// piece of a container may begin.
void Finder::tag_at_offset(const Window& w, std::uint64_t at) {
  // A record another container's chain leads to belongs to that container:
  // it is no lost chain found again, nor any seam's next piece (a copy of
  // the same container further on would otherwise pass for one).
  for (const Walker& k : walkers_) {
    if (k.following_at(at)) {
      return;
    }
  }
  // Whether a JPEG ends right before this tag, asked once for all seams.
  int jpeg_ends = -1;
  const auto jpeg_ends_here = [&] {
    if (jpeg_ends < 0) {
      unsigned char marker[2] = {};
      const bool here = at >= w.base + 2;
      if (here) {
        std::memcpy(marker, w.at(at - 2), 2);
      }
      jpeg_ends = (here || (at >= 2 && hooks_.read_at(at - 2, marker, 2))) && marker[0] == 0xFF &&
                  marker[1] == 0xD9;
    }
    return jpeg_ends == 1;
  };
  // Seams first: a chain one container reaches through a seam whose tile
  // decodes whole is that container's, not a lost one's found again.
  for (Walker& k : walkers_) {
    if (k.seam && at > k.seam->record && at <= k.seam->until &&
        k.seam->tried < kMostContinuations && (!k.seam->jpeg || jpeg_ends_here()) &&
        carries_on(w, at, k.found.announced - k.seam->tile - 1) && join(k, at)) {
      return;
    }
  }
  for (Walker& k : walkers_) {
    if (k.phase == Phase::lost && k.next <= at && at < k.limit &&
        chain_at(w.at(at), static_cast<std::size_t>(w.end - at), w.ends, 0) == Chain::holds) {
      // Found again past damage: the records between are lost, and so is
      // any hope of a seam there. The chain is a guess, so it is also
      // remembered as an orphan, for a container that can prove it its own.
      k.phase = Phase::following;
      k.damaged = true;
      k.seam.reset();
      k.next = at;
      k.found.runs.push_back(Run{{Piece{at, 0}}, k.tile, 0});
      if (remembers_orphans()) {
        k.guesses.push_back(at);
        remember_orphan(at);
      }
      return;
    }
  }
  if (remembers_orphans()) {
    orphan_at(w, at);
  }
}

void Finder::step(const Window& w, Walker& k) {
  const std::uint64_t at = k.next;
  if (at + kRecordHeaderBytes > w.end || !tag_at(w.at(at))) {
    return broke(w, k, at, at);
  }
  const unsigned char* bytes = w.at(at);
  const std::size_t waiting = static_cast<std::size_t>(w.end - at);
  const std::size_t end = record_end(bytes, 0);
  if (end > waiting) {
    return broke(w, k, at, at);  // the input ends inside it
  }
  const bool last = k.tile == k.found.announced - 1;
  const bool lands =
      (w.ends && end == waiting) || (end + sizeof kRecordTag <= waiting && tag_at(bytes + end));
  if (lands && !last) {
    return take(k, w, at, at + end);
  }
  // Else its bytes are its own only if its tile ends where it does: a
  // record whose piece of the file ends inside it runs on into another
  // file's bytes. The last record has no next tag to vouch for it, so it is
  // checked too, and taken unchecked only where its kind cannot be.
  const TileCheck check = hooks_.tile_holds
                              ? hooks_.tile_holds(k.found.tiz, bytes[3], bytes + kRecordHeaderBytes,
                                                  end - kRecordHeaderBytes, TileLook::ends)
                              : TileCheck::unknown;
  if (!kept(check, last)) {
    return broke(w, k, at, at + 1);
  }
  if (!lands && !last) {
    // Its length lands on no tag, yet on a tile's end: the length is to
    // blame when the bytes it claims hold a chain of records.
    const std::size_t limit = std::min(waiting, end + 2);
    for (std::size_t t = find_tag(bytes, limit, 1); t < limit; t = find_tag(bytes, limit, t + 1)) {
      if (chain_at(bytes, waiting, w.ends, t) == Chain::holds) {
        return broke(w, k, at, at + 1);
      }
    }
  }
  take(k, w, at, at + end);
}

void Finder::take(Walker& k, const Window& w, std::uint64_t at, std::uint64_t end) {
  if (hooks_.capture) {
    hooks_.capture(k.found.offset, w.at(at), static_cast<std::size_t>(end - at));
  }
  if (!k.tiles && hooks_.tile_holds) {
    const unsigned char* record = w.at(at);
    k.tiles = hooks_.tile_holds(k.found.tiz, record[3], record + kRecordHeaderBytes,
                                static_cast<std::size_t>(end - at) - kRecordHeaderBytes,
                                TileLook::ends) == TileCheck::whole;
  }
  count_record(k, at, end);
}

// Counts the record from `at` to `end` as the container's next, in its
// last run's last range.
void Finder::count_record(Walker& k, std::uint64_t at, std::uint64_t end) {
  Run& run = k.found.runs.back();
  run.ranges.back().length += end - at;
  ++run.count;
  ++k.found.found;
  ++k.tile;
  k.next = end;
  if (k.tile >= k.found.announced) {
    k.phase = Phase::over;
  }
}

// The chain broke at `at`, where the record it led to is missing or not
// believed; a lost chain is looked for from `from`. On an input that can be
// read again, the break may be a seam.
void Finder::broke(const Window& w, Walker& k, std::uint64_t at, std::uint64_t from) {
  // A seam is looked for only behind tiles: records that chained by chance
  // in text hold none. The record's kind, where its header has it, must be
  // one whose data can be checked, or no split could be decided.
  const unsigned char* header =
      at + kRecordHeaderBytes <= w.end && tag_at(w.at(at)) ? w.at(at) : nullptr;
  // The first record comes whole from the container's first piece, up to
  // where its data begins, at the least (a piece is a cluster or more).
  const bool first = k.found.found == 0 && header != nullptr &&
                     at + kRecordHeaderBytes + 4 <= w.end &&
                     tile_starts(k.found.tiz, header[3], header + kRecordHeaderBytes);
  if (!clusters_.empty() && hooks_.read_at && (k.tiles || first)) {
    k.seam = OpenSeam::at(k.found, k.tile, at, header, at + kFragmentReach);
  }
  k.phase = Phase::lost;
  k.next = from;
  const auto missing = static_cast<std::uint64_t>(k.found.announced - k.tile);
  k.limit = from + std::min(kFragmentReach, missing * kLargestRecord);
  if (k.seam && !orphans_.empty()) {
    join_orphans(k);
  }
}

void Finder::settle(Walker& k, std::uint64_t now) {
  if (k.phase == Phase::done) {
    return;
  }
  if (k.phase == Phase::lost && now >= k.limit) {
    k.phase = Phase::over;
  }
  if (k.seam && now > k.seam->until) {
    k.seam.reset();
  }
  if (!k.guesses.empty() && now > k.guesses.back() + kFragmentReach) {
    k.guesses.clear();
  }
  if (k.phase != Phase::over || k.seam || !k.guesses.empty()) {
    return;
  }
  k.phase = Phase::done;
  Found& f = k.found;
  if (f.found == 0 || !k.tiles) {
    // Not one record behind the header is believed, or none holds a tile:
    // text that names a magic and tags whose lengths happen to chain, or a
    // header whose records are all gone.
    if (hooks_.rejected) {
      hooks_.rejected(f.offset, f.found == 0 ? "no record behind the header is believed"
                                             : "its records hold no tile");
    }
    return;
  }
  std::erase_if(f.runs, [](const Run& run) { return run.count == 0; });
  f.pieces.clear();
  if (!k.damaged) {
    const bool pieces = !f.runs.empty() && f.runs.front().ranges.size() > 1;
    f.state = f.found < f.announced ? FoundState::cut
              : pieces              ? FoundState::fragmented
                                    : FoundState::intact;
  } else {
    f.state = FoundState::damaged;
    if (!f.tiz && f.runs.size() > 1) {
      // The chain found last is placed so that its last record is the last
      // tile, so tiles after a lost one keep their places.
      Run& last = f.runs.back();
      last.first = std::max(last.first, f.announced - last.count);
    }
  }
  for (const Run& run : f.runs) {
    f.pieces.insert(f.pieces.end(), run.ranges.begin(), run.ranges.end());
  }
  if (f.pieces.empty() || f.pieces.front().offset != f.offset + kFileHeaderBytes) {
    f.pieces.insert(f.pieces.begin(), Piece{f.offset, kFileHeaderBytes});
  } else {
    f.pieces.front().offset = f.offset;
    f.pieces.front().length += kFileHeaderBytes;
  }
  f.length = 0;
  for (const Piece& piece : f.pieces) {
    f.length += piece.length;
  }
  ready_.emplace(f.offset, std::move(f));
}

// The container that has waited longest (the first in the input) for a
// seam's next piece or a claim on its guesses stops waiting; false when none
// waits.
bool Finder::end_oldest_wait() {
  auto oldest = walkers_.end();
  for (auto k = walkers_.begin(); k != walkers_.end(); ++k) {
    if (k->phase != Phase::done && (k->seam || !k->guesses.empty()) &&
        (oldest == walkers_.end() || k->found.offset < oldest->found.offset)) {
      oldest = k;
    }
  }
  if (oldest == walkers_.end()) {
    return false;
  }
  oldest->seam.reset();
  oldest->guesses.clear();
  settle(*oldest, pos_);
  return true;
}

// Containers go out in the order of their offsets: one is held while one
// before it is still being followed.
void Finder::emit_ready() {
  // Held results are bounded: past kMostHeld, the oldest search for a
  // fragment gives up (or the oldest hold on chains found past damage), and
  // if none is left, what is held goes out
  // before the container that holds it up.
  while (ready_.size() > kMostHeld && end_oldest_wait()) {
  }
  std::uint64_t open = pos_;
  for (const Walker& k : walkers_) {
    if (k.phase != Phase::done && ready_.size() <= kMostHeld) {
      open = std::min(open, k.found.offset);
    }
  }
  while (!ready_.empty() && ready_.begin()->first < open) {
    Found f = std::move(ready_.begin()->second);
    ready_.erase(ready_.begin());
    if (hooks_.found) {
      hooks_.found(std::move(f));
    }
  }
}
