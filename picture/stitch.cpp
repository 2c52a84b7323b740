#include "stitch.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <thread>
#include <vector>

#include "grid.h"
#include "jpeg.h"
#include "output.h"
#include "png.h"
#include "source.h"

// The pixels of the bands in flight share this much: at the largest width a
// band is 6 MiB of pixels, and its compressed data about half as much again.
static constexpr std::size_t kBandBudget = std::size_t{16} << 20;

int worker_count(std::size_t band_bytes) {
  const auto cores = static_cast<int>(std::max(1U, std::thread::hardware_concurrency()));
  const auto fit = static_cast<int>(std::max<std::size_t>(1, kBandBudget / band_bytes));
  return std::clamp(std::min(cores, fit), 1, 8);
}

static std::size_t band_bytes(const Grid& grid) {
  return static_cast<std::size_t>(grid.width) * 3 * static_cast<std::size_t>(grid.cell);
}

namespace {

// Bands go out in order: a worker done early waits for the bands above.
class OrderedWriter {
 public:
  OrderedWriter(int fd, Console& console) : fd_(fd), console_(console) {}

  // Writes band `band` once its turn comes; null for a band that could not be
  // made, which stops the output there.
  bool write(int band, const PngBandCompressor* compressed) {
    std::unique_lock<std::mutex> lock(mutex_);
    turn_.wait(lock, [&] { return next_ == band; });
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
    ++next_;
    turn_.notify_all();
    return !failed_;
  }

  bool failed() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return failed_;
  }
  const PngFrame& frame() const { return frame_; }

 private:
  std::mutex mutex_;
  std::condition_variable turn_;
  int next_ = 0;
  bool failed_ = false;
  int fd_;
  Console& console_;
  PngFrame frame_;
};

struct Shared {
  const StitchRun& run;
  Grid grid;
  TileSource& source;
  OrderedWriter& writer;
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

StitchStatus stitch_png(const StitchRun& run, int fd) {
  const Grid grid = make_grid(run.header.width, run.header.height, run.scale);
  TileSource source(run.in, grid, run.name, run.console, run.salvage);
  OrderedWriter writer(fd, run.console);
  Shared shared{run, grid, source, writer};

  const std::vector<unsigned char> head = PngFrame::head(grid.width, grid.height);
  if (!write_all(fd, head.data(), head.size())) {
    run.console.say("cannot write the picture: %s", std::strerror(errno));
    return kStitchFailed;
  }
  run.console.start(grid.tiles());
  const int workers = worker_count(band_bytes(grid));
  run_workers(workers, [&shared] { Worker(shared).run(); });
  run.console.finish();
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
