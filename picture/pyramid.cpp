#include "pyramid.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "grid.h"
#include "halve.h"
#include "jpeg.h"
#include "pipeline.h"
#include "platform.h"
#include "source.h"

static constexpr int kEdge = 64;

static std::size_t offset(int x, int y, int stride) {
  return static_cast<std::size_t>(y) * static_cast<std::size_t>(stride) +
         static_cast<std::size_t>(x) * 3;
}

namespace {

// One band of a coarser level, filled by halving bands of the level above.
struct LevelBand {
  std::vector<unsigned char> pixels;
  int band = 0;  // which band of the level is being filled
  int rows = 0;  // rows filled so far
};

struct Shared {
  const PyramidRun& run;
  Grid grid;
  TileSource& source;
  PyramidOutput& out;
  int levels = 1;
  std::vector<Level> sizes{};        // by level
  std::vector<LevelBand> coarser{};  // by level; level 0's is unused
  BandTurns turns{};                 // for halving into the levels above
  std::atomic<int> damaged{0};
};

class Worker {
 public:
  explicit Worker(Shared& shared)
      : shared_(shared),
        tiles_(shared.out.tiles()),
        pixels_(static_cast<std::size_t>(shared.grid.width) * 3 * kEdge),
        band_{pixels_.data(), shared.grid.width * 3, shared.grid.width, kEdge},
        delivered_(static_cast<std::size_t>(shared.grid.columns)),
        half_(static_cast<std::size_t>((shared.grid.width + 1) / 2) * 3 * (kEdge / 2)),
        spares_(shared.coarser.size()) {}

  void run() {
    const Grid& grid = shared_.grid;
    const TileSource::Handler now = [this](int index, const unsigned char* jpeg, std::size_t size) {
      place(index, jpeg, size);
    };
    for (;;) {
      band_.height = kEdge;
      fill_gray(band_);
      std::fill(delivered_.begin(), delivered_.end(), false);
      const int band = shared_.source.next_band(batch_, now);
      if (band < 0) {
        return;
      }
      band_.height = grid.band_height(band);
      for (const TileBatch::Tile& tile : batch_.tiles) {
        place(tile.index, batch_.bytes.data() + tile.offset, tile.size);
      }
      // Tiles the file never delivered are gray in the pyramid too.
      for (int column = 0; column < grid.columns; ++column) {
        if (!delivered_[static_cast<std::size_t>(column)]) {
          tiles_->encode(0, column, band, cell_of(column));
        }
      }
      halve_in_turn(band);
    }
  }

 private:
  Pixels cell_of(int column) const {
    const Rect cell = shared_.grid.cell_in_band(column);
    return Pixels{band_.data + offset(cell.x, 0, band_.stride), band_.stride, cell.width,
                  band_.height};
  }

  // Decodes a tile into the band and hands it to the output: its own bytes
  // when they decode cleanly and the output takes them, else its cell's pixels.
  void place(int index, const unsigned char* jpeg, std::size_t size) {
    const Grid& grid = shared_.grid;
    const int column = index % grid.columns;
    const int row = index / grid.columns;
    delivered_[static_cast<std::size_t>(column)] = true;
    const Pixels cell = cell_of(column);
    std::string reason;
    int width = 0;
    int height = 0;
    const TileState state = decoder_.decode(jpeg, size, 1, cell, reason, width, height);
    if (state != TileState::clean) {
      ++shared_.damaged;
      shared_.run.console.say(
          "%s: tile %d (column %d, row %d) %s: %s", shared_.run.name, index, column, row,
          state == TileState::damaged ? "is damaged" : "cannot be decoded", reason.c_str());
    }
    if (state != TileState::clean || !tiles_->copy(column, row, jpeg, size, cell, width, height)) {
      tiles_->encode(0, column, row, cell);
    }
  }

  // Halves the band into the level above: the first halving on its own, the
  // rest in band order, where each level band that fills is halved in turn
  // and set aside (its buffer swapped for a spare) to be encoded after.
  void halve_in_turn(int band) {
    const int levels = shared_.levels;
    if (levels == 1) {
      return;
    }
    const Pixels half{half_.data(), ((band_.width + 1) / 2) * 3, (band_.width + 1) / 2,
                      (band_.height + 1) / 2};
    halve(band_, half);
    shared_.turns.in_turn(band, [&] {
      Pixels from = half;
      for (int level = 1; level < levels; ++level) {
        LevelBand& into = shared_.coarser[static_cast<std::size_t>(level)];
        const Level& size = shared_.sizes[static_cast<std::size_t>(level)];
        const Pixels rows{into.pixels.data() + offset(0, into.rows, size.width * 3), size.width * 3,
                          from.width, from.height};
        if (level == 1) {
          for (int y = 0; y < from.height; ++y) {
            std::memcpy(rows.data + offset(0, y, rows.stride),
                        from.data + offset(0, y, from.stride),
                        static_cast<std::size_t>(from.width) * 3);
          }
        } else {
          halve(from, Pixels{rows.data, rows.stride, (from.width + 1) / 2, (from.height + 1) / 2});
        }
        into.rows += level == 1 ? from.height : (from.height + 1) / 2;
        if (into.rows < std::min(kEdge, size.height - into.band * kEdge)) {
          break;  // this level's band needs more from below
        }
        std::vector<unsigned char>& spare = spares_[static_cast<std::size_t>(level)];
        spare.resize(into.pixels.size());
        std::swap(spare, into.pixels);
        pending_.push_back({level, into.band, into.rows});
        from = Pixels{spare.data(), size.width * 3, size.width, into.rows};
        ++into.band;
        into.rows = 0;
      }
    });
    for (const Pending& done : pending_) {
      const Level& size = shared_.sizes[static_cast<std::size_t>(done.level)];
      unsigned char* pixels = spares_[static_cast<std::size_t>(done.level)].data();
      for (int column = 0; column < size.columns; ++column) {
        const int x = column * kEdge;
        tiles_->encode(done.level, column, done.band,
                       Pixels{pixels + offset(x, 0, size.width * 3), size.width * 3,
                              std::min(kEdge, size.width - x), done.rows});
      }
    }
    pending_.clear();
  }

  struct Pending {
    int level;
    int band;
    int rows;
  };

  Shared& shared_;
  std::unique_ptr<PyramidTiles> tiles_;
  std::vector<unsigned char> pixels_;
  Pixels band_;
  std::vector<bool> delivered_;
  TileBatch batch_;
  TileDecoder decoder_;
  std::vector<unsigned char> half_;                 // the band halved, before its turn
  std::vector<std::vector<unsigned char>> spares_;  // by level: filled bands to encode
  std::vector<Pending> pending_;
};

}  // namespace

StitchStatus make_pyramid(const PyramidRun& run, PyramidOutput& out) {
  const Grid grid = make_grid(run.header.width, run.header.height, 1);
  TileSource source(run.in, grid, run.name, run.console, run.salvage);
  Shared shared{run, grid, source, out};
  shared.levels = out.levels();
  for (int level = 0; level < shared.levels; ++level) {
    const Level size = halved_level(grid.width, grid.height, level);
    shared.sizes.push_back(size);
    shared.coarser.push_back(LevelBand{
        std::vector<unsigned char>(level == 0 ? 0
                                              : static_cast<std::size_t>(size.width) * 3 * kEdge),
        0, 0});
  }
  run.console.start(grid.tiles());
  const int workers = worker_count(static_cast<std::size_t>(grid.width) * 3 * kEdge);
  run_workers(workers, [&shared] { Worker(shared).run(); });
  run.console.finish();
  if (!out.ok()) {
    return kStitchFailed;
  }
  return shared.damaged > 0 || source.missing() > 0 || source.damaged() ? kStitchDamaged
                                                                        : kStitchClean;
}
