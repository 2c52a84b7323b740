#include "pyramid.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "grid.h"
#include "halve.h"
#include "jpeg.h"
#include "platform.h"
#include "source.h"

static constexpr int kEdge = 64;

// The descriptor the viewer reads, as XML.
static std::string dzi_descriptor(int width, int height) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<Image xmlns=\"http://schemas.microsoft.com/deepzoom/2008\"\n"
         "       Format=\"jpg\" Overlap=\"0\" TileSize=\"64\">\n"
         "  <Size Width=\"" +
         std::to_string(width) + "\" Height=\"" + std::to_string(height) +
         "\"/>\n"
         "</Image>\n";
}

static std::size_t offset(int x, int y, int stride) {
  return static_cast<std::size_t>(y) * static_cast<std::size_t>(stride) +
         static_cast<std::size_t>(x) * 3;
}

namespace {

struct LevelFolder {
  Level size;
  int fd = -1;
};

// Where tiles go: one open folder per level, files created beside nothing.
class TileFiles {
 public:
  TileFiles(const std::string& dir, int width, int height, Console& console)
      : console_(console), top_(top_level(width, height)) {
    const std::string files = dir + "/picture_files";
    ok_ = platform::make_folder(files.c_str()) == 0;
    for (int level = 0; ok_ && level <= top_; ++level) {
      const std::string path = files + "/" + std::to_string(level);
      LevelFolder folder{level_size(width, height, level), -1};
      if (platform::make_folder(path.c_str()) == 0) {
        folder.fd = platform::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      }
      ok_ = folder.fd >= 0;
      levels_.push_back(folder);
    }
    if (!ok_) {
      console_.say("cannot make the pyramid's folders in %s: %s", dir.c_str(),
                   std::strerror(errno));
    }
  }
  ~TileFiles() {
    for (const LevelFolder& level : levels_) {
      if (level.fd >= 0) {
        platform::close(level.fd);
      }
    }
  }
  TileFiles(const TileFiles&) = delete;
  TileFiles& operator=(const TileFiles&) = delete;

  int top() const { return top_; }
  const Level& size(int level) const { return levels_[static_cast<std::size_t>(level)].size; }
  bool ok() const { return ok_; }

  bool write(int level, int column, int row, const unsigned char* bytes, std::size_t count) {
    const std::string name = std::to_string(column) + "_" + std::to_string(row) + ".jpg";
    const int fd = platform::open_at(levels_[static_cast<std::size_t>(level)].fd, name.c_str(),
                                     O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    const bool written = fd >= 0 && write_all(fd, bytes, count);
    if ((fd >= 0 && platform::close(fd) != 0) || !written) {
      if (ok_.exchange(false)) {
        console_.say("cannot write the pyramid's tile %d/%s: %s", level, name.c_str(),
                     std::strerror(errno));
      }
      return false;
    }
    return true;
  }

 private:
  Console& console_;
  int top_;
  std::vector<LevelFolder> levels_;
  std::atomic<bool> ok_{true};
};

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
  TileFiles& files;
  std::vector<LevelBand> coarser{};  // by level, below the top
  std::mutex turn_mutex{};
  std::condition_variable turn{};
  int next_band = 0;  // the band whose turn it is to be halved
  std::atomic<int> damaged{0};
};

class Worker {
 public:
  explicit Worker(Shared& shared)
      : shared_(shared),
        pixels_(static_cast<std::size_t>(shared.grid.width) * 3 * kEdge),
        band_{pixels_.data(), shared.grid.width * 3, shared.grid.width, kEdge},
        delivered_(static_cast<std::size_t>(shared.grid.columns)),
        encoder_(shared.run.quality),
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
          encode_tile(shared_.files.top(), column, band, cell_of(column));
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

  // Decodes a tile into the band and writes its finest-level file: its own
  // bytes when they decode cleanly to exactly its cell, else its cell anew.
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
    if (state == TileState::clean && width == cell.width && height == cell.height) {
      shared_.files.write(shared_.files.top(), column, row, jpeg, size);
    } else {
      encode_tile(shared_.files.top(), column, row, cell);
    }
  }

  void encode_tile(int level, int column, int row, const Pixels& pixels) {
    const unsigned char* jpeg = nullptr;
    std::size_t size = 0;
    std::string reason;
    if (encoder_.encode(pixels, jpeg, size, reason)) {
      shared_.files.write(level, column, row, jpeg, size);
    } else {
      shared_.run.console.say("cannot encode tile %d/%d_%d: %s", level, column, row,
                              reason.c_str());
    }
  }

  // Halves the band into the level below: the first halving on its own, the
  // rest in band order, where each level band that fills is halved in turn
  // and set aside (its buffer swapped for a spare) to be encoded after.
  void halve_in_turn(int band) {
    const int top = shared_.files.top();
    if (top == 0) {
      return;
    }
    const Pixels half{half_.data(), ((band_.width + 1) / 2) * 3, (band_.width + 1) / 2,
                      (band_.height + 1) / 2};
    halve(band_, half);
    {
      std::unique_lock<std::mutex> lock(shared_.turn_mutex);
      shared_.turn.wait(lock, [&] { return shared_.next_band == band; });
      Pixels from = half;
      for (int level = top - 1; level >= 0; --level) {
        LevelBand& into = shared_.coarser[static_cast<std::size_t>(level)];
        const Level& size = shared_.files.size(level);
        const Pixels rows{into.pixels.data() + offset(0, into.rows, size.width * 3), size.width * 3,
                          from.width, from.height};
        if (level == top - 1) {
          for (int y = 0; y < from.height; ++y) {
            std::memcpy(rows.data + offset(0, y, rows.stride),
                        from.data + offset(0, y, from.stride),
                        static_cast<std::size_t>(from.width) * 3);
          }
        } else {
          halve(from, Pixels{rows.data, rows.stride, (from.width + 1) / 2, (from.height + 1) / 2});
        }
        into.rows += level == top - 1 ? from.height : (from.height + 1) / 2;
        if (into.rows < std::min(kEdge, size.height - into.band * kEdge)) {
          break;  // this level's band needs more from above
        }
        std::vector<unsigned char>& spare = spares_[static_cast<std::size_t>(level)];
        spare.resize(into.pixels.size());
        std::swap(spare, into.pixels);
        pending_.push_back({level, into.band, into.rows});
        from = Pixels{spare.data(), size.width * 3, size.width, into.rows};
        ++into.band;
        into.rows = 0;
      }
      ++shared_.next_band;
      shared_.turn.notify_all();
    }
    for (const Pending& done : pending_) {
      const Level& size = shared_.files.size(done.level);
      unsigned char* pixels = spares_[static_cast<std::size_t>(done.level)].data();
      for (int column = 0; column < size.columns; ++column) {
        const int x = column * kEdge;
        encode_tile(done.level, column, done.band,
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
  std::vector<unsigned char> pixels_;
  Pixels band_;
  std::vector<bool> delivered_;
  TileBatch batch_;
  TileDecoder decoder_;
  TileEncoder encoder_;
  std::vector<unsigned char> half_;                 // the band halved, before its turn
  std::vector<std::vector<unsigned char>> spares_;  // by level: filled bands to encode
  std::vector<Pending> pending_;
};

}  // namespace

StitchStatus write_pyramid(const PyramidRun& run, const std::string& dir) {
  const Grid grid = make_grid(run.header.width, run.header.height, 1);
  TileFiles files(dir, grid.width, grid.height, run.console);
  if (!files.ok()) {
    return kStitchFailed;
  }
  TileSource source(run.in, grid, run.name, run.console, run.salvage);
  Shared shared{run, grid, source, files};
  for (int level = 0; level < files.top(); ++level) {
    const Level& size = files.size(level);
    shared.coarser.push_back(LevelBand{
        std::vector<unsigned char>(static_cast<std::size_t>(size.width) * 3 * kEdge), 0, 0});
  }
  run.console.start(grid.tiles());
  const int workers = worker_count(static_cast<std::size_t>(grid.width) * 3 * kEdge);
  run_workers(workers, [&shared] { Worker(shared).run(); });
  run.console.finish();

  const std::string descriptor = dzi_descriptor(grid.width, grid.height);
  const int fd = platform::open((dir + "/picture.dzi").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
  const bool written = fd >= 0 && write_all(fd, descriptor.data(), descriptor.size());
  if ((fd >= 0 && platform::close(fd) != 0) || !written) {
    run.console.say("cannot write %s/picture.dzi: %s", dir.c_str(), std::strerror(errno));
    return kStitchFailed;
  }
  if (!files.ok()) {
    return kStitchFailed;
  }
  return shared.damaged > 0 || source.missing() > 0 || source.damaged() ? kStitchDamaged
                                                                        : kStitchClean;
}
