#include "stitch.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <thread>
#include <vector>

#include "grid.h"
#include "halve.h"
#include "jpeg.h"
#include "output.h"
#include "pipeline.h"
#include "png.h"
#include "source.h"

static std::size_t band_bytes(const Grid& grid) {
  return static_cast<std::size_t>(grid.width) * 3 * static_cast<std::size_t>(grid.cell);
}

namespace {

class OrderedWriter {
 public:
  OrderedWriter(int fd, Console& console) : fd_(fd), console_(console) {}

  // Writes band `band` once its turn comes; null for a band that could not be
  // made, which stops the output there.
  bool write(int band, const PngBandCompressor* compressed) {
    turns_.in_turn(band, [&] {
      if (compressed == nullptr) {
        failed_ = true;
      } else if (!failed_) {
        const std::span<const unsigned char> chunk = compressed->chunk();
        if (write_all(fd_, chunk.data(), chunk.size())) {
          frame_.add(*compressed);
        } else {
          failed_ = true;
          console_.say("cannot write the picture: %s", std::strerror(errno));
        }
      }
    });
    return !failed_;
  }

  bool failed() const { return failed_; }
  const PngFrame& frame() const { return frame_; }

 private:
  BandTurns turns_;
  std::atomic<bool> failed_{false};
  int fd_;
  Console& console_;
  PngFrame frame_;
};

// A thumbnail: the bands' rows, in order, halved `halvings` times, each
// stage halving two rows as soon as it holds them, so it keeps at most one
// row (the picture is the same as halving it whole, again and again).
class Reducer {
 public:
  Reducer(int width, int halvings) {
    for (int i = 0; i < halvings; ++i) {
      stages_.push_back(Stage{width, false, std::vector<unsigned char>(row_bytes(width) * 2),
                              std::vector<unsigned char>(row_bytes((width + 1) / 2))});
      width = (width + 1) / 2;
    }
    width_ = width;
  }

  // Takes band `band`'s rows once its turn comes.
  void take(int band, const Pixels& rows) {
    turns_.in_turn(band, [&] {
      for (int y = 0; y < rows.height; ++y) {
        push(0, rows.data + static_cast<std::ptrdiff_t>(y) * rows.stride);
      }
    });
  }

  // After the last band: a stage's last row, left alone, halved on its own.
  Pixels finish() {
    for (std::size_t i = 0; i < stages_.size(); ++i) {
      if (stages_[i].pending) {
        stages_[i].pending = false;
        push(i + 1, halve_stage(stages_[i], 1));
      }
    }
    return Pixels{picture_.data(), static_cast<int>(row_bytes(width_)), width_,
                  static_cast<int>(picture_.size() / std::max<std::size_t>(1, row_bytes(width_)))};
  }

 private:
  struct Stage {
    int width;
    bool pending;                     // its first row holds one waiting for a second
    std::vector<unsigned char> rows;  // two rows
    std::vector<unsigned char> half;  // one row of the next stage
  };

  static std::size_t row_bytes(int width) { return static_cast<std::size_t>(width) * 3; }

  const unsigned char* halve_stage(Stage& stage, int rows) {
    halve(Pixels{stage.rows.data(), static_cast<int>(row_bytes(stage.width)), stage.width, rows},
          Pixels{stage.half.data(), static_cast<int>(stage.half.size()), (stage.width + 1) / 2, 1});
    return stage.half.data();
  }

  void push(std::size_t at, const unsigned char* row) {
    if (at == stages_.size()) {
      picture_.insert(picture_.end(), row, row + row_bytes(width_));
      return;
    }
    Stage& stage = stages_[at];
    const std::size_t bytes = row_bytes(stage.width);
    std::memcpy(stage.rows.data() + (stage.pending ? bytes : 0), row, bytes);
    stage.pending = !stage.pending;
    if (!stage.pending) {
      push(at + 1, halve_stage(stage, 2));
    }
  }

  BandTurns turns_;
  std::vector<Stage> stages_;
  int width_ = 0;
  std::vector<unsigned char> picture_;  // the thumbnail's rows, at most size x size
};

struct Shared {
  const StitchRun& run;
  Grid grid;
  TileSource& source;
  OrderedWriter& writer;
  Reducer* reducer;  // a thumbnail's, else null
  std::atomic<int> damaged{0};
  std::atomic<bool> stop{false};
};

class Worker {
 public:
  explicit Worker(Shared& shared)
      : shared_(shared),
        pixels_(band_bytes(shared.grid)),
        band_{pixels_.data(), shared.grid.width * 3, shared.grid.width, shared.grid.cell} {}

  void run() {
    const Grid& grid = shared_.grid;
    TileSource::Handler now = [this](int index, const unsigned char* jpeg, std::size_t size) {
      place(index, jpeg, size);
    };
    while (!shared_.stop) {
      band_.height = grid.cell;
      fill_gray(band_);
      const int band = shared_.source.next_band(batch_, now);
      if (band < 0) {
        return;
      }
      for (const TileBatch::Tile& tile : batch_.tiles) {
        place(tile.index, batch_.bytes.data() + tile.offset, tile.size);
      }
      band_.height = grid.band_height(band);
      if (shared_.reducer != nullptr) {
        shared_.reducer->take(band, band_);
        continue;
      }
      const bool compressed = compressor_.compress(band_, band == 0, band == grid.rows - 1);
      if (!compressed) {
        shared_.run.console.say("cannot compress the picture: out of memory");
      }
      if (!shared_.writer.write(band, compressed ? &compressor_ : nullptr)) {
        shared_.stop = true;
      }
    }
  }

 private:
  void place(int index, const unsigned char* jpeg, std::size_t size) {
    const Grid& grid = shared_.grid;
    const Rect cell = grid.cell_in_band(index);
    const Pixels target{band_.data + static_cast<std::ptrdiff_t>(cell.x) * 3, band_.stride,
                        cell.width, cell.height};
    std::string reason;
    const TileState state = decoder_.decode(jpeg, size, grid.scale, target, reason);
    if (state != TileState::clean) {
      ++shared_.damaged;
      shared_.run.console.say("%s: tile %d (column %d, row %d) %s: %s", shared_.run.name, index,
                              index % grid.columns, index / grid.columns,
                              state == TileState::damaged ? "is damaged" : "cannot be decoded",
                              reason.c_str());
    }
  }

  Shared& shared_;
  std::vector<unsigned char> pixels_;
  Pixels band_;
  TileBatch batch_;
  TileDecoder decoder_;
  PngBandCompressor compressor_;
};

}  // namespace

static bool write_head(const StitchRun& run, int fd, int width, int height) {
  const std::vector<unsigned char> head = PngFrame::head(width, height);
  if (!write_all(fd, head.data(), head.size())) {
    run.console.say("cannot write the picture: %s", std::strerror(errno));
    return false;
  }
  return true;
}

StitchStatus stitch_png(const StitchRun& run, int fd) {
  const Fit fit = run.size > 0 ? fit_within(run.header.width, run.header.height, run.size) : Fit{};
  const Grid grid =
      make_grid(run.header.width, run.header.height, run.size > 0 ? fit.scale : run.scale);
  TileSource source(run.in, grid, run.name, run.console, run.salvage);
  OrderedWriter writer(fd, run.console);
  Reducer reducer(grid.width, fit.halvings);
  Shared shared{run, grid, source, writer, run.size > 0 ? &reducer : nullptr};

  if (run.size == 0 && !write_head(run, fd, grid.width, grid.height)) {
    return kStitchFailed;
  }
  run.console.start(grid.tiles());
  const int workers = worker_count(band_bytes(grid));
  run_workers(workers, [&shared] { Worker(shared).run(); });
  run.console.finish();
  if (run.size > 0) {
    // The thumbnail, small whatever the picture's size, as one band.
    const Pixels thumbnail = reducer.finish();
    PngBandCompressor band;
    if (!band.compress(thumbnail, true, true)) {
      run.console.say("cannot compress the picture: out of memory");
      return kStitchFailed;
    }
    if (!write_head(run, fd, thumbnail.width, thumbnail.height) || !writer.write(0, &band)) {
      return kStitchFailed;
    }
  }
  if (shared.stop || writer.failed()) {
    return kStitchFailed;
  }
  const std::vector<unsigned char> tail = writer.frame().tail();
  if (!write_all(fd, tail.data(), tail.size())) {
    run.console.say("cannot write the picture: %s", std::strerror(errno));
    return kStitchFailed;
  }
  return shared.damaged > 0 || source.missing() > 0 || source.damaged() ? kStitchDamaged
                                                                        : kStitchClean;
}
