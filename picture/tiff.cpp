#include "tiff.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "exact_io.h"
#include "jpeg_markers.h"
#include "platform.h"

namespace {

constexpr int kEdge = 64;
// Where the first tile goes: room for either header.
constexpr std::uint64_t kTilesStart = 16;
// Tiles are gathered and written this much at a time.
constexpr std::size_t kWriteBytes = std::size_t{1} << 20;

// The frame every tile of the file shares.
struct Frame {
  int components = 3;
  int h = 2;  // luma's sampling; chroma's is 1 x 1
  int v = 2;
};

// A frame the file can take as its own: 8-bit YCbCr with the subsampling TIFF
// allows (the vertical at most the horizontal), or gray.
bool frame_of(const JpegSegments& jpeg, Frame& frame) {
  if (jpeg.precision != 8) {
    return false;
  }
  if (jpeg.components == 1) {
    frame = Frame{1, 1, 1};
    return true;
  }
  const JpegComponent* c = jpeg.component;
  const bool sampling = (c[0].h == 1 || c[0].h == 2 || c[0].h == 4) && c[0].v >= 1 &&
                        c[0].v <= c[0].h && c[1].h == 1 && c[1].v == 1 && c[2].h == 1 &&
                        c[2].v == 1;
  if (jpeg.components != 3 || jpeg.rgb || !sampling) {
    return false;
  }
  frame = Frame{3, c[0].h, c[0].v};
  return true;
}

// Why a tile that decodes cleanly cannot go in as it is, or null when it can.
const char* obstacle(const JpegSegments& jpeg, const Frame& frame) {
  if (jpeg.frame == 0xC2 || jpeg.frame == 0xC6 || jpeg.frame == 0xCA || jpeg.frame == 0xCE) {
    return "it is progressive";
  }
  if (jpeg.frame >= 0xC9) {
    return "it is arithmetic-coded";
  }
  if (jpeg.frame != 0xC0 && jpeg.frame != 0xC1) {
    return "it is lossless or hierarchical JPEG";
  }
  if (jpeg.precision != 8) {
    return "its samples are not 8-bit";
  }
  Frame own;
  if (!frame_of(jpeg, own) || own.components != frame.components || own.h != frame.h ||
      own.v != frame.v) {
    return frame.components == 1 ? "it is not gray as the first tile is"
                                 : "its colour or sampling differs from the first tile's";
  }
  return nullptr;
}

void put16(std::vector<unsigned char>& out, std::uint64_t value) {
  out.push_back(static_cast<unsigned char>(value));
  out.push_back(static_cast<unsigned char>(value >> 8));
}
void put32(std::vector<unsigned char>& out, std::uint64_t value) {
  put16(out, value & 0xFFFF);
  put16(out, value >> 16);
}
void put64(std::vector<unsigned char>& out, std::uint64_t value) {
  put32(out, value & 0xFFFFFFFF);
  put32(out, value >> 32);
}

enum Type : std::uint16_t { kShort = 3, kLong = 4, kRational = 5, kUndefined = 7, kLong8 = 16 };

struct Entry {
  std::uint16_t tag;
  std::uint16_t type;
  std::uint64_t count;
  std::vector<unsigned char> value;  // little-endian, as stored
};

Entry shorts(std::uint16_t tag, std::initializer_list<std::uint64_t> values) {
  Entry entry{tag, kShort, values.size(), {}};
  for (const std::uint64_t value : values) {
    put16(entry.value, value);
  }
  return entry;
}

Entry longs(std::uint16_t tag, std::initializer_list<std::uint64_t> values) {
  Entry entry{tag, kLong, values.size(), {}};
  for (const std::uint64_t value : values) {
    put32(entry.value, value);
  }
  return entry;
}

// Offsets or byte counts: 32-bit in classic TIFF, 64-bit in BigTIFF.
Entry offsets(std::uint16_t tag, const std::vector<std::uint64_t>& values, bool big) {
  Entry entry{tag, big ? kLong8 : kLong, values.size(), {}};
  entry.value.reserve(values.size() * (big ? 8 : 4));
  for (const std::uint64_t value : values) {
    big ? put64(entry.value, value) : put32(entry.value, value);
  }
  return entry;
}

// One image file directory at `base`, its values that do not fit in their
// entries after it; the next directory's offset is patched in later at
// `next_at` (from the block's start).
std::vector<unsigned char> directory(std::vector<Entry> entries, std::uint64_t base, bool big,
                                     std::size_t& next_at) {
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
  const std::size_t inline_bytes = big ? 8 : 4;
  const std::size_t head = big ? 8 : 2;
  const std::size_t entry_bytes = big ? 20 : 12;
  std::vector<unsigned char> out;
  std::vector<unsigned char> outside;
  const std::uint64_t outside_at = base + head + entry_bytes * entries.size() + inline_bytes;
  big ? put64(out, entries.size()) : put16(out, entries.size());
  for (const Entry& entry : entries) {
    put16(out, entry.tag);
    put16(out, entry.type);
    big ? put64(out, entry.count) : put32(out, entry.count);
    if (entry.value.size() <= inline_bytes) {
      out.insert(out.end(), entry.value.begin(), entry.value.end());
      out.insert(out.end(), inline_bytes - entry.value.size(), 0);
    } else {
      if (outside.size() % 2 != 0) {
        outside.push_back(0);  // values start on a word
      }
      const std::uint64_t at = outside_at + outside.size();
      big ? put64(out, at) : put32(out, at);
      outside.insert(outside.end(), entry.value.begin(), entry.value.end());
    }
  }
  next_at = out.size();
  out.insert(out.end(), inline_bytes, 0);
  out.insert(out.end(), outside.begin(), outside.end());
  if (out.size() % 2 != 0) {
    out.push_back(0);
  }
  return out;
}

struct LevelTiles {
  Level size;
  std::vector<std::uint64_t> offsets;
  std::vector<std::uint64_t> counts;
  std::vector<unsigned char> tables;  // the JPEGTables its tiles lack, if any
};

class TiffFile final : public PyramidOutput {
 public:
  TiffFile(const PyramidRun& run, const TiffRun& tiff, int fd)
      : run_(run),
        tiff_(tiff),
        fd_(fd),
        levels_(levels_to_one_tile(run.header.width, run.header.height)) {
    JpegSegments first;
    if (tiff.first_tile != nullptr &&
        read_jpeg_segments(tiff.first_tile, tiff.first_tile_bytes, first)) {
      frame_of(first, frame_);
    }
    for (int level = 0; level < levels_; ++level) {
      LevelTiles tiles;
      tiles.size = halved_level(run.header.width, run.header.height, level);
      const auto count =
          static_cast<std::size_t>(tiles.size.columns) * static_cast<std::size_t>(tiles.size.rows);
      tiles.offsets.assign(count, 0);
      tiles.counts.assign(count, 0);
      levels_tiles_.push_back(std::move(tiles));
    }
    // The tables the encoder writes are the same in every tile: the reduced
    // levels share them.
    TileEncoder encoder(run.quality, false, shape());
    std::vector<unsigned char> gray(std::size_t{8} * 8 * 3, kGray);
    const unsigned char* jpeg = nullptr;
    std::size_t bytes = 0;
    std::string reason;
    JpegSegments encoded;
    if (encoder.encode(Pixels{gray.data(), 8 * 3, 8, 8}, jpeg, bytes, reason) &&
        read_jpeg_segments(jpeg, bytes, encoded)) {
      encoder_tables_ = jpeg_tables(jpeg, encoded);
    }
    for (int level = 1; level < levels_; ++level) {
      levels_tiles_[static_cast<std::size_t>(level)].tables = encoder_tables_;
    }
    if (platform::seek(fd_, static_cast<std::int64_t>(kTilesStart), SEEK_SET) < 0) {
      fail();
    }
  }

  int levels() const override { return levels_; }
  bool ok() const override { return ok_; }
  std::unique_ptr<PyramidTiles> tiles() override;

  const Frame& frame() const { return frame_; }
  TileShape shape() const { return TileShape{frame_.components, frame_.h, frame_.v, false}; }
  const PyramidRun& run() const { return run_; }
  const std::vector<unsigned char>& tables(int level) const {
    return levels_tiles_[static_cast<std::size_t>(level)].tables;
  }
  const Level& size(int level) const { return levels_tiles_[static_cast<std::size_t>(level)].size; }

  // Appends a tile's data and notes where it went.
  void put(int level, int column, int row, const unsigned char* bytes, std::size_t count) {
    LevelTiles& tiles = levels_tiles_[static_cast<std::size_t>(level)];
    const std::size_t index =
        static_cast<std::size_t>(row) * static_cast<std::size_t>(tiles.size.columns) +
        static_cast<std::size_t>(column);
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!ok_) {
      return;
    }
    tiles.offsets[index] = end_;
    tiles.counts[index] = count;
    end_ += count;
    pending_.insert(pending_.end(), bytes, bytes + count);
    if (pending_.size() >= kWriteBytes) {
      flush();
    }
  }

  // After the last tile: the directories, then the header.
  bool finish() {
    if (end_ % 2 != 0) {
      pending_.push_back(0);  // the directories start on a word
      ++end_;
    }
    flush();
    if (!ok_) {
      return false;
    }
    bool big = tiff_.bigtiff;
    std::vector<std::vector<unsigned char>> blocks = directories(big);
    if (!big && end_ + total(blocks) > UINT32_MAX) {
      big = true;
      blocks = directories(big);
    }
    for (const std::vector<unsigned char>& block : blocks) {
      if (!write_all(fd_, block.data(), block.size())) {
        fail();
        return false;
      }
    }
    std::vector<unsigned char> header = {'I', 'I'};
    if (big) {
      put16(header, 43);
      put16(header, 8);
      put16(header, 0);
      put64(header, end_);
    } else {
      put16(header, 42);
      put32(header, end_);
    }
    if (platform::seek(fd_, 0, SEEK_SET) < 0 || !write_all(fd_, header.data(), header.size())) {
      fail();
      return false;
    }
    return true;
  }

 private:
  static std::uint64_t total(const std::vector<std::vector<unsigned char>>& blocks) {
    std::uint64_t sum = 0;
    for (const std::vector<unsigned char>& block : blocks) {
      sum += block.size();
    }
    return sum;
  }

  std::vector<std::vector<unsigned char>> directories(bool big) const {
    std::vector<std::vector<unsigned char>> blocks;
    std::uint64_t at = end_;
    std::size_t previous_next = 0;
    for (int level = 0; level < levels_; ++level) {
      const LevelTiles& tiles = levels_tiles_[static_cast<std::size_t>(level)];
      std::vector<Entry> entries = {
          longs(254, {level == 0 ? 0U : 1U}),  // NewSubfileType: a reduced image
          longs(256, {static_cast<std::uint64_t>(tiles.size.width)}),
          longs(257, {static_cast<std::uint64_t>(tiles.size.height)}),
          shorts(259, {7}),  // JPEG
          shorts(262, {frame_.components == 3 ? 6U : 1U}),
          shorts(277, {static_cast<std::uint64_t>(frame_.components)}),
          shorts(284, {1}),  // contiguous
          shorts(322, {kEdge}),
          shorts(323, {kEdge}),
          offsets(324, tiles.offsets, big),
          offsets(325, tiles.counts, big),
      };
      entries.push_back(frame_.components == 3 ? shorts(258, {8, 8, 8}) : shorts(258, {8}));
      if (!tiles.tables.empty()) {
        Entry tables{347, kUndefined, tiles.tables.size(), tiles.tables};
        entries.push_back(std::move(tables));
      }
      if (frame_.components == 3) {
        entries.push_back(shorts(
            530, {static_cast<std::uint64_t>(frame_.h), static_cast<std::uint64_t>(frame_.v)}));
        Entry reference{532, kRational, 6, {}};
        for (const std::uint32_t value : {0U, 255U, 128U, 255U, 128U, 255U}) {
          put32(reference.value, value);
          put32(reference.value, 1);
        }
        entries.push_back(std::move(reference));
      }
      std::size_t next_at = 0;
      std::vector<unsigned char> block = directory(std::move(entries), at, big, next_at);
      if (!blocks.empty()) {
        std::vector<unsigned char>& last = blocks.back();
        for (std::size_t i = 0; i < (big ? 8U : 4U); ++i) {
          last[previous_next + i] = static_cast<unsigned char>(at >> (8 * i));
        }
      }
      previous_next = next_at;
      at += block.size();
      blocks.push_back(std::move(block));
    }
    return blocks;
  }

  // Writes the tiles gathered so far, under the lock.
  void flush() {
    if (ok_ && !write_all(fd_, pending_.data(), pending_.size())) {
      fail();
    }
    pending_.clear();
  }

  void fail() {
    if (ok_.exchange(false)) {
      run_.console.say("cannot write the TIFF: %s", std::strerror(errno));
    }
  }

  const PyramidRun& run_;
  TiffRun tiff_;
  int fd_;
  int levels_;
  Frame frame_;
  std::vector<unsigned char> encoder_tables_;
  std::vector<LevelTiles> levels_tiles_;
  std::mutex mutex_;
  std::vector<unsigned char> pending_;  // tiles not yet written, from before end_
  std::uint64_t end_ = kTilesStart;
  std::atomic<bool> ok_{true};
};

class TiffTiles final : public PyramidTiles {
 public:
  explicit TiffTiles(TiffFile& file)
      : file_(file),
        encoder_(file.run().quality, false, file.shape()),
        square_(std::size_t{kEdge} * kEdge * 3) {}

  bool copy(int column, int row, const unsigned char* jpeg, std::size_t size, const Pixels& cell,
            int width, int height) override {
    JpegSegments segments;
    const char* why = read_jpeg_segments(jpeg, size, segments) ? obstacle(segments, file_.frame())
                                                               : "its markers cannot be read";
    if (why == nullptr && (width != cell.width || height != cell.height) &&
        (width != kEdge || height != kEdge)) {
      why = "its size is not its cell's";
    }
    if (why != nullptr) {
      say(column, row, why);
      return false;
    }
    if (width == kEdge && height == kEdge) {
      put(0, column, row, jpeg, size, segments);
      return true;
    }
    const unsigned char* padded = nullptr;
    std::size_t padded_bytes = 0;
    std::string reason;
    if (!padder_.pad(jpeg, size, kEdge, padded, padded_bytes, reason) ||
        !read_jpeg_segments(padded, padded_bytes, segments)) {
      say(column, row, ("it cannot be padded: " + reason).c_str());
      return false;
    }
    put(0, column, row, padded, padded_bytes, segments);
    return true;
  }

  // The pixels made 64 x 64, the last row and column repeated, and encoded.
  void encode(int level, int column, int row, const Pixels& pixels) override {
    const Pixels square{square_.data(), kEdge * 3, kEdge, kEdge};
    for (int y = 0; y < kEdge; ++y) {
      const unsigned char* from =
          pixels.data + static_cast<std::ptrdiff_t>(std::min(y, pixels.height - 1)) * pixels.stride;
      unsigned char* to = square.data + static_cast<std::ptrdiff_t>(y) * square.stride;
      std::memcpy(to, from, static_cast<std::size_t>(pixels.width) * 3);
      const unsigned char* last = from + static_cast<std::ptrdiff_t>(pixels.width - 1) * 3;
      for (std::ptrdiff_t x = pixels.width; x < kEdge; ++x) {
        std::memcpy(to + x * 3, last, 3);
      }
    }
    const unsigned char* jpeg = nullptr;
    std::size_t size = 0;
    std::string reason;
    JpegSegments segments;
    if (!encoder_.encode(square, jpeg, size, reason) || !read_jpeg_segments(jpeg, size, segments)) {
      file_.run().console.say("cannot encode tile %d of level %d: %s",
                              row * file_.size(level).columns + column, level, reason.c_str());
      return;
    }
    put(level, column, row, jpeg, size, segments);
  }

 private:
  // The tile without what the file says for it: its tables where they are the
  // level's, its application markers always. Only the reduced levels share
  // tables: a MOZ's tiles often have their own, and a reader decoding a tile
  // without them keeps whichever tables the tile it decoded last had.
  void put(int level, int column, int row, const unsigned char* jpeg, std::size_t size,
           const JpegSegments& segments) {
    const bool shared = level > 0 && jpeg_tables(jpeg, segments) == file_.tables(level);
    strip_jpeg(jpeg, size, segments, shared, stripped_);
    file_.put(level, column, row, stripped_.data(), stripped_.size());
  }

  void say(int column, int row, const char* why) {
    const int columns = file_.size(0).columns;
    file_.run().console.say("%s: tile %d (column %d, row %d) is encoded again: %s",
                            file_.run().name, row * columns + column, column, row, why);
  }

  TiffFile& file_;
  TileEncoder encoder_;
  TilePadder padder_;
  std::vector<unsigned char> square_;
  std::vector<unsigned char> stripped_;
};

std::unique_ptr<PyramidTiles> TiffFile::tiles() { return std::make_unique<TiffTiles>(*this); }

}  // namespace

StitchStatus write_tiff(const PyramidRun& run, const TiffRun& tiff, int fd) {
  TiffFile file(run, tiff, fd);
  if (!file.ok()) {
    return kStitchFailed;
  }
  const StitchStatus status = make_pyramid(run, file);
  if (status == kStitchFailed || !file.finish()) {
    return kStitchFailed;
  }
  return status;
}
