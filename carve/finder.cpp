#include "finder.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include <algorithm>
#include <cstring>
#include <utility>

#include "bytes.h"
#include "chain.h"
#include "moz.h"
#include "tiles.h"

namespace {

constexpr std::uint64_t kLargestRecord = kRecordHeaderBytes + std::uint64_t{UINT16_MAX};
// Possible continuations of one break followed at once; each is a chain that
// starts on the break's cluster grid, which bytes other than records rarely make.
constexpr int kMostContinuations = 16;

static_assert(Finder::kLookAhead >= kFileHeaderBytes + kLargestRecord + 2 + kChainReach,
              "a record, and a chain in the bytes it claims, must fit the look-ahead");

constexpr std::size_t kBlock = 256;  // offsets passed over at a time

bool magic_at(const unsigned char* bytes) {
  return ((bytes[0] == 'T' && bytes[1] == 'I') || (bytes[0] == 'M' && bytes[1] == 'O')) &&
         bytes[2] == 'Z' && bytes[3] == '0';
}

// The search for "TIZ0" and "MOZ0", over nearly every byte of every input,
// is the finder's one cost that grows with the input: it tests 256 offsets at
// a time for a 'Z' before a '0' with the widest vectors the processor has.
using Lanes16 = unsigned char __attribute__((vector_size(16)));
using Lanes32 = unsigned char __attribute__((vector_size(32)));

// The magics' "Z0", two bytes in; a tag's "TI".
struct MagicPair {
  static constexpr unsigned char kFirst = 'Z';
  static constexpr unsigned char kSecond = '0';
  static constexpr std::size_t kAt = 2;
};
struct TagPair {
  static constexpr unsigned char kFirst = 'T';
  static constexpr unsigned char kSecond = 'I';
  static constexpr std::size_t kAt = 0;
};

// Marks in `hit` the lanes of the offsets from `bytes` on where `Pair`
// stands (by reference: a vector returned by value would change with the
// caller's instruction set).
template <typename Lanes, typename Pair>
[[gnu::always_inline]] inline void mark_pair(const unsigned char* bytes, Lanes& hit) {
  Lanes here;
  Lanes next;
  std::memcpy(&here, bytes + Pair::kAt, sizeof here);
  std::memcpy(&next, bytes + Pair::kAt + 1, sizeof next);
  hit |=
      reinterpret_cast<Lanes>((here == Lanes{} + Pair::kFirst) & (next == Lanes{} + Pair::kSecond));
}

// The first block of 256 offsets from `at` below `to` (which whole blocks
// fill) where any of `Pairs` may stand, else `to`. Inlined into each caller,
// so it is compiled for that caller's vectors.
template <typename Lanes, typename... Pairs>
[[gnu::always_inline]] inline std::size_t skip_blocks_in(const unsigned char* bytes, std::size_t at,
                                                         std::size_t to) {
  for (; at < to; at += kBlock) {
    Lanes hit{};
    for (std::size_t j = at; j < at + kBlock; j += sizeof(Lanes)) {
      (mark_pair<Lanes, Pairs>(bytes + j, hit), ...);
    }
    std::uint64_t words[sizeof(Lanes) / 8];
    std::memcpy(words, &hit, sizeof words);
    std::uint64_t any = 0;
    for (const std::uint64_t word : words) {
      any |= word;
    }
    if (any != 0) {
      return at;
    }
  }
  return to;
}

// The blocks with a magic, a tag, or either, in the widest vectors there are.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
__attribute__((target("avx2"))) std::size_t skip_to_magic_avx2(const unsigned char* bytes,
                                                               std::size_t at, std::size_t to) {
  return skip_blocks_in<Lanes32, MagicPair>(bytes, at, to);
}
__attribute__((target("avx2"))) std::size_t skip_to_tag_avx2(const unsigned char* bytes,
                                                             std::size_t at, std::size_t to) {
  return skip_blocks_in<Lanes32, TagPair>(bytes, at, to);
}
__attribute__((target("avx2"))) std::size_t skip_to_mark_avx2(const unsigned char* bytes,
                                                              std::size_t at, std::size_t to) {
  return skip_blocks_in<Lanes32, MagicPair, TagPair>(bytes, at, to);
}
// Asked once, of the processor itself (cpuid) and of the system (whether it
// saves the 256-bit registers): x86-64 always has SSE2, most of its
// processors AVX2. Not every C runtime this is built against answers
// __builtin_cpu_supports.
bool have_avx2() {
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx = 0;
  unsigned edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & bit_OSXSAVE) == 0) {
    return false;
  }
  unsigned low = 0;
  unsigned high = 0;
  __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  if ((low & 0x6) != 0x6) {
    return false;  // the system does not keep the vector registers' upper halves
  }
  return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 && (ebx & bit_AVX2) != 0;
}
const bool kHaveAvx2 = have_avx2();
#else
constexpr bool kHaveAvx2 = false;
std::size_t skip_to_magic_avx2(const unsigned char*, std::size_t, std::size_t to) { return to; }
std::size_t skip_to_tag_avx2(const unsigned char*, std::size_t, std::size_t to) { return to; }
std::size_t skip_to_mark_avx2(const unsigned char*, std::size_t, std::size_t to) { return to; }
#endif

std::size_t skip_to_magic(const unsigned char* bytes, std::size_t at, std::size_t to) {
  return kHaveAvx2 ? skip_to_magic_avx2(bytes, at, to)
                   : skip_blocks_in<Lanes16, MagicPair>(bytes, at, to);
}

std::size_t skip_to_tag(const unsigned char* bytes, std::size_t at, std::size_t to) {
  return kHaveAvx2 ? skip_to_tag_avx2(bytes, at, to)
                   : skip_blocks_in<Lanes16, TagPair>(bytes, at, to);
}

std::size_t skip_to_mark(const unsigned char* bytes, std::size_t at, std::size_t to) {
  return kHaveAvx2 ? skip_to_mark_avx2(bytes, at, to)
                   : skip_blocks_in<Lanes16, MagicPair, TagPair>(bytes, at, to);
}

// The first offset from `from` below `to` where `found` holds, passing over
// the blocks `skip` finds nothing in.
template <typename Skip, typename Found>
std::size_t find_first(const unsigned char* bytes, std::size_t from, std::size_t to, Skip skip,
                       Found found) {
  std::size_t at = from;
  while (at < to) {
    at = skip(bytes, at, at + (to - at) / kBlock * kBlock);
    const std::size_t stop = std::min(at + kBlock, to);
    for (; at < stop; ++at) {
      if (found(bytes + at)) {
        return at;
      }
    }
  }
  return to;
}

// The first offset from `from` below `to` where "TIZ0" or "MOZ0" begins, else
// `to`; the bytes run to to + 3.
std::size_t find_magic(const unsigned char* bytes, std::size_t from, std::size_t to) {
  return find_first(bytes, from, to, skip_to_magic, magic_at);
}

// The first "TIL" that starts at `from` or later and ends by `limit`, else
// `limit`: the core's search, made for the long stretches a lost chain or a
// fragment's rest is looked for in.
std::size_t find_tag_fast(const unsigned char* bytes, std::size_t limit, std::size_t from) {
  if (limit < from + sizeof kRecordTag) {
    return limit;
  }
  const std::size_t found = find_first(bytes, from, limit - 2, skip_to_tag,
                                       [](const unsigned char* at) { return tag_at(at); });
  return found < limit - 2 ? found : limit;
}

std::uint64_t round_up(std::uint64_t offset, std::uint64_t step) {
  return (offset + step - 1) / step * step;
}

}  // namespace

void find_marks(const unsigned char* bytes, std::uint64_t base, std::uint64_t from,
                std::uint64_t to, Marks& marks) {
  const auto end = static_cast<std::size_t>(to - base);
  const auto either = [](const unsigned char* at) { return magic_at(at) || tag_at(at); };
  for (std::size_t at =
           find_first(bytes, static_cast<std::size_t>(from - base), end, skip_to_mark, either);
       at < end; at = find_first(bytes, at + 1, end, skip_to_mark, either)) {
    (magic_at(bytes + at) ? marks.magics : marks.tags).push_back(base + at);
  }
}

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

struct Finder::Walker {
  Found found;
  std::uint64_t next = 0;   // where the next tag must be; resyncing: looked for from here
  std::uint64_t limit = 0;  // resyncing: no further than this
  std::uint64_t last = 0;   // the last record taken
  std::uint64_t end = 0;    // and where it ends
  int tile = 0;             // the next record's tile
  bool resyncing = false;
  bool damaged = false;
  bool walked = false;  // its own walk is over; kept while a fragment may turn up
  bool dead = false;
  // A break that may be a fragment's end: the record before it, where the tag
  // was missed, and how far the rest is looked for.
  bool hunting = false;
  std::uint64_t seam_record = 0;
  std::uint64_t seam_break = 0;
  std::uint64_t hunt_until = 0;
  int seam_tile = 0;
  int continuations = 0;
  // A chain that may carry on a fragmented container from the tag at `start`.
  bool continuation = false;
  std::uint64_t parent = 0;
  std::uint64_t start = 0;
};

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
  pos_ = std::max(pos_, base);
  while (pos_ < decide) {
    std::uint64_t q = decide;
    bool want_tags = false;
    for (const Walker& k : walkers_) {
      want_tags = want_tags || k.hunting || (k.resyncing && !k.walked);
      if (!k.walked && !k.resyncing) {
        q = std::min(q, k.next);
      }
    }
    std::uint64_t tag = q;
    if (want_tags) {
      std::uint64_t searched = pos_;
      if (marks != nullptr && pos_ < marks->to) {
        // Found beforehand: the first at or after this offset, if it comes first.
        searched = std::min(marks->to, q);
        const auto next = std::lower_bound(marks->tags.begin(), marks->tags.end(), pos_);
        if (next != marks->tags.end() && *next < searched) {
          tag = *next;
          searched = q;
        }
      }
      const std::size_t limit = static_cast<std::size_t>(std::min(q + 2, w.end) - base);
      if (searched < q) {
        const std::size_t found =
            find_tag_fast(bytes, limit, static_cast<std::size_t>(searched - base));
        tag = found < limit ? base + found : q;
      }
    }
    std::uint64_t head = std::min(q, tag);
    const std::uint64_t magic_limit = std::min(head, w.end >= base + 3 ? w.end - 3 : base);
    std::uint64_t searched = pos_;
    if (marks != nullptr && pos_ < marks->to) {
      // Found beforehand: the first at or after this offset, if it comes first.
      searched = std::min(marks->to, magic_limit);
      const auto next = std::lower_bound(marks->magics.begin(), marks->magics.end(), pos_);
      if (next != marks->magics.end() && *next < searched) {
        head = *next;
        searched = magic_limit;
      }
    }
    if (searched < magic_limit) {
      const std::size_t found = find_magic(bytes, static_cast<std::size_t>(searched - base),
                                           static_cast<std::size_t>(magic_limit - base));
      head = base + found < magic_limit ? base + found : head;
    }
    q = std::min({q, tag, head});
    if (q >= decide) {
      pos_ = decide;
      break;
    }
    const bool header = head == q && q + 4 <= w.end && magic_at(w.at(q));
    if (!ends && !all_here(w, q, header, tag == q)) {
      pos_ = q;  // decided once the bytes it needs are read
      break;
    }
    // A chain found again, or a fragment's rest, is stepped at once; a header
    // comes last, so that a chain that breaks right where it starts is over
    // there and never takes the new container's records.
    if (tag == q) {
      tag_at_offset(w, q);
    }
    for (std::size_t i = 0; i < walkers_.size(); ++i) {
      if (!walkers_[i].dead && !walkers_[i].walked && !walkers_[i].resyncing &&
          walkers_[i].next == q) {
        step(w, walkers_[i]);
      }
    }
    if (header) {
      header_at(w, q);
    }
    pos_ = q + 1;
    for (Walker& k : walkers_) {
      settle(k, pos_);
    }
    std::erase_if(walkers_, [](const Walker& k) { return k.dead; });
    emit_ready();
  }
  if (ends) {
    // Whatever is still open ends with the input.
    for (Walker& k : walkers_) {
      k.dead = k.continuation;
      k.hunting = false;
      k.resyncing = false;
      k.walked = true;
    }
    for (Walker& k : walkers_) {
      if (!k.dead) {
        settle(k, UINT64_MAX);
      }
    }
    walkers_.clear();
    pos_ = UINT64_MAX;
    emit_ready();
  }
  return pos_;
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
    if (!k.dead && !k.walked && !k.resyncing && k.next == at && !record_here(at)) {
      return false;
    }
    if (!k.dead && !k.walked && !k.resyncing && k.next == at &&
        at + kLargestRecord + 2 + kChainReach > w.end) {
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
  if (walkers_.size() >= kMostOpen) {
    return reject("too many containers are open at once");
  }
  // A chain lost and looked for beyond this header is over: what follows
  // belongs to this container.
  for (Walker& other : walkers_) {
    if (other.resyncing && !other.walked && !other.continuation) {
      other.resyncing = false;
      other.walked = true;
    }
  }
  k.next = first;
  k.end = first;
  f.runs.push_back(Run{first, 0, 0, 0});
  if (hooks_.capture) {
    hooks_.capture(at, header, kFileHeaderBytes);
  }
  walkers_.push_back(std::move(k));
}

// A tag at `at`: where a lost chain may be found again, or where the rest of
// a fragmented container may begin.
void Finder::tag_at_offset(const Window& w, std::uint64_t at) {
  // A record another container's chain leads to belongs to that container:
  // it is no lost chain found again, nor any fragment's rest (a copy of the
  // same container further on would otherwise pass for one).
  for (const Walker& k : walkers_) {
    if (!k.dead && !k.continuation && !k.walked && !k.resyncing && k.next == at) {
      return;
    }
  }
  std::vector<Walker> spawned;
  for (Walker& k : walkers_) {
    if (k.dead) {
      continue;
    }
    if (k.resyncing && !k.walked && k.next <= at && at < k.limit &&
        chain_at(w.at(at), static_cast<std::size_t>(w.end - at), w.ends, 0) == Chain::holds) {
      k.resyncing = false;
      k.damaged = true;
      k.next = at;
      k.found.runs.push_back(Run{at, 0, k.tile, 0});
    }
    if (k.hunting && at > k.seam_break && at <= k.hunt_until &&
        (at - k.seam_break) % clusters_.front() == 0 && k.continuations < kMostContinuations &&
        walkers_.size() + spawned.size() < kMostOpen) {
      ++k.continuations;
      Walker c;
      c.continuation = true;
      c.parent = k.found.offset;
      c.start = at;
      c.next = at;
      c.tile = k.seam_tile + 1;
      c.found.announced = k.found.announced;
      c.found.runs.push_back(Run{at, 0, c.tile, 0});
      spawned.push_back(std::move(c));
    }
  }
  for (Walker& c : spawned) {
    walkers_.push_back(std::move(c));
  }
}

void Finder::step(const Window& w, Walker& k) {
  const std::uint64_t at = k.next;
  if (at + kRecordHeaderBytes > w.end || !tag_at(w.at(at))) {
    return broke(k, at, at);
  }
  const unsigned char* bytes = w.at(at);
  const std::size_t waiting = static_cast<std::size_t>(w.end - at);
  const std::size_t end = record_end(bytes, 0);
  if (end > waiting) {
    return broke(k, at, at);  // the input ends inside it
  }
  const bool last = k.tile == k.found.announced - 1;
  const bool lands =
      (w.ends && end == waiting) || (end + sizeof kRecordTag <= waiting && tag_at(bytes + end));
  if (!last && !lands) {
    // Its length lands on no tag: the length is to blame when the bytes it
    // claims hold a chain of records, else what follows it is.
    const std::size_t limit = std::min(waiting, end + 2);
    for (std::size_t t = find_tag(bytes, limit, 1); t < limit; t = find_tag(bytes, limit, t + 1)) {
      if (chain_at(bytes, waiting, w.ends, t) == Chain::holds) {
        return broke(k, at, at + 1);
      }
    }
  }
  take(w, k, at, at + end);
}

void Finder::take(const Window& w, Walker& k, std::uint64_t at, std::uint64_t end) {
  if (!k.continuation && hooks_.capture) {
    hooks_.capture(k.found.offset, w.at(at), static_cast<std::size_t>(end - at));
  }
  Run& run = k.found.runs.back();
  run.bytes += end - at;
  ++run.count;
  ++k.found.found;
  ++k.tile;
  k.last = at;
  k.end = end;
  k.next = end;
  if (k.tile < k.found.announced) {
    return;
  }
  if (k.continuation) {
    joined(k);
  } else {
    k.walked = true;
  }
}

// The chain broke at `at` (no record there, or one not believed); a lost
// chain is looked for from `from`.
void Finder::broke(Walker& k, std::uint64_t at, std::uint64_t from) {
  if (k.continuation) {
    k.dead = true;
    if (Walker* parent = parent_of(k)) {
      --parent->continuations;
    }
    return;
  }
  // Only a first break, right after a record taken, can be a fragment's end:
  // a container in three pieces or more is not joined.
  if (!clusters_.empty() && hooks_.read_at && !k.damaged && !k.hunting && at == from &&
      k.found.found > 0) {
    k.hunting = true;
    k.seam_record = k.last;
    k.seam_break = at;
    k.seam_tile = k.tile - 1;
    k.hunt_until = at + kFragmentReach;
  }
  k.resyncing = true;
  k.next = from;
  const auto missing = static_cast<std::uint64_t>(k.found.announced - k.tile);
  k.limit = from + std::min(kFragmentReach, missing * kLargestRecord);
}

void Finder::settle(Walker& k, std::uint64_t now) {
  if (k.dead || k.continuation) {
    return;
  }
  if (k.resyncing && !k.walked && now >= k.limit) {
    k.resyncing = false;
    k.walked = true;
  }
  if (k.hunting && now > k.hunt_until) {
    k.hunting = false;
    for (Walker& c : walkers_) {
      if (c.continuation && c.parent == k.found.offset) {
        c.dead = true;
      }
    }
  }
  if (k.hunting && k.walked && k.continuations == 0 && k.damaged) {
    // Its own walk found the chain again past the break and took it to the
    // end without a continuation on the grid: nothing is left to join.
    k.hunting = false;
  }
  if (!k.walked || k.hunting) {
    return;
  }
  for (Walker& c : walkers_) {
    if (c.continuation && c.parent == k.found.offset) {
      c.dead = true;
    }
  }
  Found& f = k.found;
  std::erase_if(f.runs, [](const Run& run) { return run.count == 0; });
  if (!k.damaged) {
    f.state = f.found == f.announced ? FoundState::intact : FoundState::cut;
    f.pieces = {Piece{f.offset, k.end - f.offset}};
  } else {
    f.state = FoundState::damaged;
    if (!f.tiz && f.runs.size() > 1) {
      // The chain found last is placed so that its last record is the last
      // tile, so tiles after a lost one keep their places.
      Run& last = f.runs.back();
      last.first = std::max(last.first, f.announced - last.count);
    }
    f.pieces.clear();
    for (const Run& run : f.runs) {
      f.pieces.push_back(Piece{run.offset, run.bytes});
    }
    if (f.pieces.empty() || f.pieces.front().offset != f.offset + kFileHeaderBytes) {
      f.pieces.insert(f.pieces.begin(), Piece{f.offset, kFileHeaderBytes});
    } else {
      f.pieces.front().offset = f.offset;
      f.pieces.front().length += kFileHeaderBytes;
    }
  }
  f.length = 0;
  for (const Piece& piece : f.pieces) {
    f.length += piece.length;
  }
  ready_.emplace(f.offset, std::move(f));
  k.dead = true;
}

Finder::Walker* Finder::parent_of(const Walker& continuation) {
  for (Walker& k : walkers_) {
    if (!k.dead && !k.continuation && k.found.offset == continuation.parent) {
      return &k;
    }
  }
  return nullptr;
}

// A continuation ran to the announced count: the seam is tried at every
// cluster boundary where the first piece could end, and joined only when a
// single one makes the seam's record a clean tile.
void Finder::joined(Walker& c) {
  c.dead = true;
  Walker* found_parent = parent_of(c);
  if (found_parent == nullptr || !found_parent->hunting) {
    return;
  }
  Walker& p = *found_parent;
  const std::uint64_t record = p.seam_record;
  const std::uint64_t gap = p.seam_break;  // where the first piece's bytes no longer fit
  const std::uint64_t start = c.start;
  const std::uint64_t payload = record + kRecordHeaderBytes;
  unsigned char header[kRecordHeaderBytes];
  std::vector<std::uint64_t> splits;
  if (hooks_.read_at(record, header, sizeof header)) {
    for (const std::uint32_t cluster : clusters_) {
      if ((start - gap) % cluster != 0) {
        continue;
      }
      for (std::uint64_t split = round_up(payload, cluster); split <= gap; split += cluster) {
        const std::uint64_t resumed = start - (gap - split);
        if (resumed >= split + cluster &&
            std::find(splits.begin(), splits.end(), split) == splits.end()) {
          splits.push_back(split);
        }
      }
    }
  }
  std::vector<std::uint64_t> clean;
  std::vector<unsigned char> joined_payload;
  for (const std::uint64_t split : splits) {
    const auto head = static_cast<std::size_t>(split - payload);
    const auto tail = static_cast<std::size_t>(gap - split);
    joined_payload.resize(head + tail);
    if (hooks_.read_at(payload, joined_payload.data(), head) &&
        hooks_.read_at(start - tail, joined_payload.data() + head, tail) && hooks_.seam_holds &&
        hooks_.seam_holds(p.found.tiz, header[3], joined_payload.data(), joined_payload.size())) {
      clean.push_back(split);
    }
  }
  Found f = p.found;
  f.runs.resize(1);
  if (clean.size() == 1) {
    const std::uint64_t split = clean.front();
    const std::uint64_t resumed = start - (gap - split);
    f.state = FoundState::fragmented;
    f.pieces = {Piece{f.offset, split - f.offset}, Piece{resumed, c.end - resumed}};
    f.found = f.announced;
    f.runs.clear();  // written from its pieces, byte for byte
  } else {
    if (hooks_.rejected) {
      hooks_.rejected(f.offset, clean.empty()
                                    ? "no split at the seam makes its tile decode cleanly"
                                    : "more than one split at the seam makes a clean tile");
    }
    // The seam's record is lost; the records after it keep their places.
    Run& first = f.runs.front();
    first.bytes -= gap - record;
    --first.count;
    f.state = FoundState::damaged;
    f.found = first.count + c.found.found;
    f.pieces = {Piece{f.offset, record - f.offset}, Piece{start, c.end - start}};
    f.runs.push_back(c.found.runs.front());
    std::erase_if(f.runs, [](const Run& run) { return run.count == 0; });
  }
  f.length = f.pieces[0].length + f.pieces[1].length;
  for (Walker& other : walkers_) {
    if (other.continuation && other.parent == p.found.offset) {
      other.dead = true;
    }
  }
  ready_.emplace(f.offset, std::move(f));
  p.dead = true;
}

// Containers go out in the order of their offsets: one is held while one
// before it is still being followed.
void Finder::emit_ready() {
  // Held results are bounded: past kMostHeld, the oldest search for a
  // fragment gives up, and if none is searching, what is held goes out
  // before the container that holds it up.
  while (ready_.size() > kMostHeld) {
    auto oldest = walkers_.end();
    for (auto k = walkers_.begin(); k != walkers_.end(); ++k) {
      if (!k->dead && k->hunting &&
          (oldest == walkers_.end() || k->found.offset < oldest->found.offset)) {
        oldest = k;
      }
    }
    if (oldest == walkers_.end()) {
      break;
    }
    oldest->hunt_until = 0;
    settle(*oldest, pos_);
  }
  std::uint64_t open = pos_;
  for (const Walker& k : walkers_) {
    if (!k.dead && !k.continuation && ready_.size() <= kMostHeld) {
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
