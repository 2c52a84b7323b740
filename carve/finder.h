#pragma once

// Finding TIZ and MOZ containers in bytes that may hold anything: a disk
// image, a phone's dump, an archive, a folder's files. The bytes are fed front
// to back in windows; nothing is read twice, and memory does not grow with
// the input.
//
//   - A container starts with a header ("TIZ0" or "MOZ0" and its counts) at
//     any offset, directly followed by a whole record. A magic with no record
//     behind it is text, not a container.
//   - From there its records are followed as a chain to the count the header
//     announced. A record is believed when its length lands on the next tag,
//     or, where it lands on none (and for the last record), when its tile's
//     data ends where the record does: a record that runs into bytes not its
//     own is lost, never counted or written. One whose length lands on no tag while the
//     bytes it claims hold a chain of their own is damaged, as the salvaging
//     walk has it.
//   - Where the chain breaks, the next believable chain (three records deep)
//     is looked for, but never past another container's header and never
//     further than the missing records could have reached: records after a
//     header belong to that container.
//   - A chain found again past damage is a guess: another container that
//     reaches it through a seam (a verified split) takes it, and the guess's
//     records are lost again. A container holding such a guess is reported
//     once the input is kFragmentReach past it.
//   - Headers are looked for in every byte, inside other containers' payloads
//     too, so a container stored in another is found at its own offset.
//   - A break may also be a seam, where a file system stored the rest of the
//     file elsewhere. On an input that can be read again, each chain further
//     on that carries the container on is tried as the next piece: the
//     record at the break is joined across every split the container's
//     cluster grid allows (inside its payload or its header), and the seam
//     is taken only when one split alone makes it a whole tile. The walk then
//     goes on in the next piece, so a container is joined from as many
//     pieces as it was stored in. A seam in the last record, which no tag
//     follows, is tried where a JPEG ends on the grid instead
//     (fragments.cpp holds these joins).

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "marks.h"
#include "seam.h"

inline constexpr std::uint32_t kDefaultClusters[] = {512, 4096, 32768, 65536};
// How far past a break the rest of a fragmented container is looked for.
inline constexpr std::uint64_t kFragmentReach = std::uint64_t{256} << 20;

enum class FoundState { intact, cut, damaged, fragmented };
const char* state_name(FoundState state);

// A range of the input.
struct Piece {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

// Records back to back in the container: `count` of them, the first the
// container's tile `first`, in the input's `ranges` one after another (more
// than one where seams joined pieces; a record may straddle two).
struct Run {
  std::vector<Piece> ranges;
  int first = 0;
  int count = 0;
};

struct Found {
  std::uint64_t offset = 0;
  bool tiz = false;
  unsigned char header[8] = {};
  int width = 0;  // MOZ, as stored
  int height = 0;
  int announced = 0;
  int found = 0;
  std::uint64_t length = 0;  // the pieces' bytes together
  FoundState state = FoundState::intact;
  std::vector<Piece> pieces;  // what makes up the container, in order
  // The records found, in order, for writing a cut or damaged container
  // again (an intact or fragmented one is its pieces).
  std::vector<Run> runs;
};

class Finder {
 public:
  struct Hooks {
    // A container's bytes as the finder takes them: its header, then each
    // record it keeps, under the container's offset. A reader that cannot
    // read the input again keeps these to write the container out.
    std::function<void(std::uint64_t container, const unsigned char* bytes, std::size_t count)>
        capture;
    // Each container, in the order of their offsets.
    std::function<void(Found&& found)> found;
    // Reads input bytes again (seekable inputs only; fragments need it).
    std::function<bool(std::uint64_t offset, unsigned char* bytes, std::size_t count)> read_at;
    // Whether a record's payload holds a whole tile: asked of a record its
    // chain cannot vouch for (whether it ends right), and of one joined
    // across a seam (whether it decodes cleanly).
    std::function<TileCheck(bool tiz, unsigned char kind, const unsigned char* payload,
                            std::size_t count, TileLook look)>
        tile_holds;
    // A candidate turned down, with why, for a person checking by hand.
    std::function<void(std::uint64_t offset, const char* why)> rejected;
  };

  // `clusters` empty: no fragments are looked for (an input read once).
  Finder(Hooks hooks, std::vector<std::uint32_t> clusters);
  ~Finder();
  Finder(const Finder&) = delete;
  Finder& operator=(const Finder&) = delete;

  // How far past the position being decided the window must reach: the
  // finder looks that far ahead to believe a chain or take a record.
  static constexpr std::size_t kLookAhead = std::size_t{320} * 1024;
  // Where nothing happens, the bytes a header's test needs past its offset.
  static constexpr std::size_t kMargin = 8;

  // Bytes [base, base + count) of the input, which ends with them when
  // `ends`. Decides offsets in turn until one needs bytes beyond the window
  // (an offset where a record or header starts needs kLookAhead of them),
  // and returns the first one not yet decided: the next window starts there
  // or before it. All of them are decided when the input ends.
  //
  // With `marks`, the magics and tags below marks->to are taken from them,
  // and no offset from there on is decided until the input ends.
  std::uint64_t feed(const unsigned char* bytes, std::uint64_t base, std::size_t count, bool ends,
                     const Marks* marks = nullptr);

  // Containers open at once, at most. Past that, the one that has waited
  // longest for a piece stops waiting; a header found while that many are
  // being followed is passed over (and said to `rejected`).
  static constexpr std::size_t kMostOpen = 256;
  // Containers found and held back while one before them is still being
  // followed, at most (a few megabytes).
  static constexpr std::size_t kMostHeld = 16384;
  // Orphans remembered, at most: the latest ones (8 bytes each).
  static constexpr std::size_t kMostOrphans = 4096;
  // The bytes an orphan's test looks at past its tag: a largest record and
  // the next tag.
  static constexpr std::size_t kOrphanReach = 6 + 65535 + 3;

 private:
  enum class Phase;
  struct OpenSeam;
  struct Walker;
  struct Window {
    const unsigned char* bytes;
    std::uint64_t base;
    std::uint64_t end;
    bool ends;
    const unsigned char* at(std::uint64_t offset) const { return bytes + (offset - base); }
  };

  std::uint64_t next_tag(const Window& w, const Marks* marks, std::uint64_t q,
                         bool after_jpeg) const;
  std::uint64_t next_magic(const Window& w, const Marks* marks, std::uint64_t q) const;
  bool tail_may_end(const Walker& walker, std::uint64_t at) const;
  std::uint64_t next_jpeg_end(const Window& w, std::uint64_t q) const;
  void jpeg_end_at(std::uint64_t at);
  bool all_here(const Window& w, std::uint64_t at, bool header, bool tag) const;
  void header_at(const Window& w, std::uint64_t at);
  static bool carries_on(const Window& w, std::uint64_t at, int left);
  void tag_at_offset(const Window& w, std::uint64_t at);
  void step(const Window& w, Walker& walker);
  void take(Walker& walker, const Window& w, std::uint64_t at, std::uint64_t end);
  void count_record(Walker& walker, std::uint64_t at, std::uint64_t end);
  void broke(const Window& w, Walker& walker, std::uint64_t at, std::uint64_t from);
  bool join(Walker& walker, std::uint64_t resumed);
  bool remembers_orphans() const;
  void orphan_at(const Window& w, std::uint64_t at);
  void remember_orphan(std::uint64_t at);
  void give_up_guess(Walker& walker, std::uint64_t at);
  void remember_orphans(const Window& w, const Marks* marks, std::uint64_t until);
  void join_orphans(Walker& walker);
  void walk_back(Walker& walker);
  void broke_back(Walker& walker, std::uint64_t at);
  void settle(Walker& walker, std::uint64_t now);
  bool end_oldest_wait();
  void emit_ready();

  Hooks hooks_;
  std::vector<std::uint32_t> clusters_;
  std::uint64_t pos_ = 0;
  std::vector<Walker> walkers_;
  std::map<std::uint64_t, Found> ready_;
  std::vector<unsigned char> joined_;  // a record tried across a seam
  // Where runs of records with no header in front began, the latest last:
  // pieces of files that may turn out to come after a piece further on.
  std::vector<std::uint64_t> orphans_;
  std::uint64_t orphan_skip_ = 0;  // the rest of the last orphan's chain
};
