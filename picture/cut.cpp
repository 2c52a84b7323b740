#include "cut.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "bytes.h"
#include "jpeg.h"
#include "jpeg_in.h"
#include "moz.h"
#include "output.h"
#include "pipeline.h"
#include "platform.h"
#include "tiff_in.h"
#include "writer.h"

namespace {

constexpr unsigned char kTileKind = 'J';

// Bands of records go out in order: a worker done early waits its turn.
class BandWriter {
 public:
  BandWriter(int fd, Console& console) : fd_(fd), console_(console) {}

  bool write(int band, const std::vector<unsigned char>* records) {
    turns_.in_turn(band, [&] {
      if (records == nullptr) {
        failed_ = true;
      } else if (!failed_ && !write_all(fd_, records->data(), records->size())) {
        failed_ = true;
        console_.say("cannot write the MOZ: %s", std::strerror(errno));
      }
    });
    return !failed_;
  }

  bool failed() const { return failed_; }

 private:
  BandTurns turns_;
  std::atomic<bool> failed_{false};
  int fd_;
  Console& console_;
};

struct Layout {
  int width;
  int height;
  int columns;
  int rows;
  int cell_width(int column) const { return std::min(kMozTileEdge, width - column * kMozTileEdge); }
  int band_height(int band) const { return std::min(kMozTileEdge, height - band * kMozTileEdge); }
};

bool add_record(std::vector<unsigned char>& records, const unsigned char* jpeg, std::size_t bytes) {
  if (bytes > kLargestPayload) {
    return false;
  }
  unsigned char header[kRecordHeaderBytes];
  make_record_header(header, kTileKind, static_cast<std::uint16_t>(bytes));
  records.insert(records.end(), header, header + sizeof header);
  records.insert(records.end(), jpeg, jpeg + bytes);
  return true;
}

// What the workers share: the next band to take, and the first failure.
struct Turns {
  std::mutex mutex;
  int next = 0;
  bool failed = false;
};

void say_failure(Turns& turns, const CutRun& run, const std::string& what) {
  if (!turns.failed) {
    run.console.say("%s: %s", run.name, what.c_str());
  }
  turns.failed = true;
}

// The bands on every core: each worker takes the next band (`take` runs
// under the lock, where a picture is read in order), makes its tiles with
// `tile`, and hands the band's records to the writer. `make_worker` gives
// each thread its own worker, which holds its buffers and library handles.
template <typename MakeWorker>
bool make_bands(const Layout& layout, const CutRun& run, BandWriter& writer, std::size_t band_bytes,
                const MakeWorker& make_worker, std::size_t budget = kBandBudget) {
  Turns turns;
  run_workers(worker_count(band_bytes, budget), [&] {
    auto worker = make_worker();
    std::vector<unsigned char> records;
    for (;;) {
      int band = 0;
      bool taken = true;
      {
        const std::lock_guard<std::mutex> lock(turns.mutex);
        if (turns.failed || turns.next >= layout.rows || interruption() != 0) {
          return;
        }
        band = turns.next++;
        std::string why;
        if (!worker.take(band, why)) {
          say_failure(turns, run, why);
          taken = false;
        }
      }
      // The writer waits for the bands before this one, whose workers may
      // need the lock to say why they failed: it is not held here.
      if (!taken) {
        writer.write(band, nullptr);
        return;
      }
      records.clear();
      bool made = true;
      for (int column = 0; column < layout.columns && made; ++column) {
        const unsigned char* jpeg = nullptr;
        std::size_t bytes = 0;
        std::string why;
        made = worker.tile(band, column, jpeg, bytes, why) && add_record(records, jpeg, bytes);
        if (!made) {
          const std::lock_guard<std::mutex> lock(turns.mutex);
          say_failure(turns, run, "cannot make a tile: " + (why.empty() ? "too large" : why));
        }
      }
      run.console.advance(static_cast<long>(band + 1) * layout.columns);
      if (!writer.write(band, made ? &records : nullptr)) {
        return;
      }
    }
  });
  return !turns.failed && !writer.failed() && interruption() == 0;
}

// A picture's rows, a band at a time, encoded tile by tile.
class Encoding {
 public:
  Encoding(RowReader& reader, const Layout& layout, int quality)
      : reader_(reader),
        layout_(layout),
        stride_(static_cast<std::size_t>(layout.width) * 3),
        pixels_(stride_ * kMozTileEdge),
        encoder_(quality, true) {}

  bool take(int band, std::string& why) {
    const bool read =
        reader_.read_rows(pixels_.data(), static_cast<int>(stride_), layout_.band_height(band)) &&
        (band < layout_.rows - 1 || reader_.finish());
    why = reader_.error();
    return read;
  }

  bool tile(int band, int column, const unsigned char*& jpeg, std::size_t& bytes,
            std::string& why) {
    const Pixels cell{pixels_.data() + static_cast<std::ptrdiff_t>(column) * kMozTileEdge * 3,
                      static_cast<int>(stride_), layout_.cell_width(column),
                      layout_.band_height(band)};
    return encoder_.encode(cell, jpeg, bytes, why);
  }

 private:
  RowReader& reader_;
  const Layout& layout_;
  std::size_t stride_;
  std::vector<unsigned char> pixels_;
  TileEncoder encoder_;
};

// A JPEG's tiles cut from its coefficients: each worker reads the next band
// of them (in order, under the lock) into its own, and writes its tiles.
class Cutting {
 public:
  Cutting(jpeg::BandSource& bands, jpeg::Colour colour, const Layout& layout)
      : bands_(bands), writer_(bands.frame(), colour), layout_(layout) {
    jpeg::shape(bands.frame(), band_);
  }

  bool take(int, std::string& why) { return bands_.read_band(band_, why); }

  bool tile(int band, int column, const unsigned char*& jpeg, std::size_t& bytes,
            std::string& why) {
    if (!writer_.write(band_, column * kMozTileEdge, layout_.cell_width(column),
                       layout_.band_height(band), tile_, why)) {
      return false;
    }
    jpeg = tile_.data();
    bytes = tile_.size();
    return true;
  }

 private:
  jpeg::BandSource& bands_;
  jpeg::TileWriter writer_;
  const Layout& layout_;
  jpeg::Band band_;
  std::vector<unsigned char> tile_;
};

// The bytes a worker cutting coefficients holds: its band, and the band's
// records, which are smaller. The bands in flight share at most this, with
// the reader's few megabytes besides: 64 MiB in all at the widest picture.
constexpr std::size_t kCuttingBudget = std::size_t{40} << 20;
std::size_t cutting_bytes(const jpeg::Frame& frame) {
  jpeg::Band band;
  jpeg::shape(frame, band);
  return band.blocks.size() * sizeof(jpeg::Block) * 3 / 2;
}

// A TIFF's JPEG tiles cut into cells from their coefficients: each worker
// reads its band's row of TIFF tiles under the lock, and reads the bands of
// one TIFF tile at a time.
class TiffCutting {
 public:
  TiffCutting(TiffJpegTiles& tiff, const Layout& layout) : tiff_(tiff), layout_(layout) {}

  bool take(int band, std::string& why) {
    const int top = band * kMozTileEdge / tiff_.tile_height() * tiff_.tile_height();
    if (top == row_top_) {
      return true;
    }
    row_top_ = top;
    decoded_ = -1;
    streams_.resize(
        static_cast<std::size_t>((tiff_.width() + tiff_.tile_width() - 1) / tiff_.tile_width()));
    for (std::size_t i = 0; i < streams_.size(); ++i) {
      if (!tiff_.read(static_cast<int>(i) * tiff_.tile_width(), top, streams_[i], why)) {
        row_top_ = -1;
        return false;
      }
    }
    return true;
  }

  bool tile(int band, int column, const unsigned char*& jpeg, std::size_t& bytes,
            std::string& why) {
    const int x = column * kMozTileEdge;
    const int across = x / tiff_.tile_width();
    const int wanted = (band * kMozTileEdge - row_top_) / jpeg::kBandHeight;
    if (across != decoded_ || band_.index > wanted) {
      writer_.reset();
      const std::vector<unsigned char>& stream = streams_[static_cast<std::size_t>(across)];
      picture_ = std::make_unique<MemoryJpeg>(stream.data(), stream.size());
      if (!picture_->open(tiff_.rgb(), why)) {
        return false;
      }
      writer_ = std::make_unique<jpeg::TileWriter>(picture_->reader().frame(), picture_->colour());
      picture_->reader().shape(band_);
      band_.index = -1;
      decoded_ = across;
    }
    while (band_.index < wanted) {
      if (!picture_->reader().read_band(band_, why)) {
        return false;
      }
    }
    if (!writer_->write(band_, x - across * tiff_.tile_width(), layout_.cell_width(column),
                        layout_.band_height(band), tile_, why)) {
      return false;
    }
    jpeg = tile_.data();
    bytes = tile_.size();
    return true;
  }

 private:
  TiffJpegTiles& tiff_;
  const Layout& layout_;
  int row_top_ = -1;  // the row of TIFF tiles held
  int decoded_ = -1;  // the TIFF tile whose bands are read
  std::vector<std::vector<unsigned char>> streams_;
  std::unique_ptr<MemoryJpeg> picture_;
  std::unique_ptr<jpeg::TileWriter> writer_;
  jpeg::Band band_;
  std::vector<unsigned char> tile_;
};

// The TIFF's JPEG tiles when its first one can be cut from; else null, said.
std::unique_ptr<TiffJpegTiles> cuttable_tiff(int in, const CutRun& run) {
  std::string why;
  std::unique_ptr<TiffJpegTiles> tiff = TiffJpegTiles::open(in, run.page, why);
  std::vector<unsigned char> first;
  if (tiff != nullptr && tiff->read(0, 0, first, why)) {
    MemoryJpeg picture(first.data(), first.size());
    if (picture.open(tiff->rgb(), why)) {
      return tiff;
    }
  }
  if (!why.empty()) {
    run.console.say("%s: %s, so its tiles are decoded and encoded again at quality %d", run.name,
                    why.c_str(), run.quality);
  }
  return nullptr;
}

bool write_header(int out, const Layout& layout, Console& console) {
  unsigned char header[kFileHeaderBytes];
  make_moz_header(header, '0', static_cast<std::int16_t>(layout.width),
                  static_cast<std::int16_t>(layout.height));
  if (!write_all(out, header, sizeof header)) {
    console.say("cannot write the MOZ: %s", std::strerror(errno));
    return false;
  }
  return true;
}

bool fits(int width, int height, const CutRun& run) {
  if (width < 1 || height < 1 || width > kMozLargestSide || height > kMozLargestSide) {
    run.console.say("%s is %d x %d pixels: a MOZ holds 1 to 32767 a side", run.name, width, height);
    return false;
  }
  return true;
}

Layout layout_of(int width, int height) {
  return Layout{width, height, moz_tiles_across(width), moz_tiles_across(height)};
}

}  // namespace

bool cut_picture(int in, int out, const CutRun& run) {
  // A regular file's JPEG is read again where its scans lie; a pipe's onward.
  const std::int64_t origin = platform::file_size(in) >= 0 ? platform::seek(in, 0, SEEK_CUR) : -1;
  ByteSource source(in);
  const unsigned char* start = nullptr;
  const std::size_t sniffed = source.peek(start, 8);
  std::string error;
  std::unique_ptr<RowReader> rows;
  JpegIn jpeg(in, origin, source);
  if (is_png(start, sniffed)) {
    rows = open_png(source, run.background, error);
    if (rows == nullptr) {
      run.console.say("%s: not a PNG that can be read: %s", run.name, error.c_str());
      return false;
    }
  } else if (is_tiff(start, sniffed)) {
    std::unique_ptr<TiffJpegTiles> tiles = run.reencode ? nullptr : cuttable_tiff(in, run);
    if (tiles != nullptr) {
      if (!fits(tiles->width(), tiles->height(), run)) {
        return false;
      }
      const Layout layout = layout_of(tiles->width(), tiles->height());
      BandWriter writer(out, run.console);
      run.console.start(static_cast<long>(layout.columns) * layout.rows);
      // A band's records, its row of TIFF tiles as stored, and one tile's
      // band of coefficients: small.
      const std::size_t band_bytes = static_cast<std::size_t>(tiles->width()) * 3 * 16;
      return write_header(out, layout, run.console) &&
             make_bands(layout, run, writer, band_bytes,
                        [&] { return TiffCutting(*tiles, layout); });
    }
    rows = open_tiff(in, run.background, run.page, error);
    if (rows == nullptr) {
      run.console.say("%s: not a TIFF that can be read: %s", run.name, error.c_str());
      return false;
    }
  } else if (is_jpeg(start, sniffed)) {
    if (run.page > 0) {
      run.console.say("%s: --page is for a TIFF, and this is none", run.name);
      return false;
    }
    if (!jpeg.open(!run.reencode, error)) {
      run.console.say("%s: not a JPEG that can be read: %s", run.name, error.c_str());
      return false;
    }
    if (!jpeg.note().empty()) {
      run.console.say("%s: %s", run.name, jpeg.note().c_str());
    }
  } else {
    run.console.say("%s is not a PNG, a JPEG or a TIFF picture",
                    source.error().empty() ? run.name : source.error().c_str());
    return false;
  }
  if (run.page > 0 && !is_tiff(start, sniffed)) {
    run.console.say("%s: --page is for a TIFF, and this is none", run.name);
    return false;
  }
  const int width = rows != nullptr ? rows->width() : jpeg.width();
  const int height = rows != nullptr ? rows->height() : jpeg.height();
  if (!fits(width, height, run)) {
    return false;
  }
  const Layout layout = layout_of(width, height);
  BandWriter writer(out, run.console);
  run.console.start(static_cast<long>(layout.columns) * layout.rows);
  if (rows == nullptr) {
    jpeg::BandSource* bands = jpeg.bands();
    if (bands != nullptr) {
      const jpeg::Frame& frame = bands->frame();
      return write_header(out, layout, run.console) &&
             make_bands(
                 layout, run, writer, cutting_bytes(frame),
                 [&] { return Cutting(*bands, frame.colour, layout); }, kCuttingBudget);
    }
    run.console.say("%s: %s, so its tiles are decoded and encoded again at quality %d", run.name,
                    jpeg.why_decoded().c_str(), run.quality);
    rows = jpeg.decoded();
  }
  const std::size_t band_bytes = static_cast<std::size_t>(width) * 3 * kMozTileEdge;
  return write_header(out, layout, run.console) && make_bands(layout, run, writer, band_bytes, [&] {
           return Encoding(*rows, layout, run.quality);
         });
}
