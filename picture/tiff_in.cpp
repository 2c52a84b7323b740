// A TIFF picture read through libtiff's RGBA interface, which brings every
// kind it reads (gray, RGB, palette, YCbCr, 1 to 16 bits, any compression it
// has) to 8-bit RGBA, its alpha premultiplied. Rows are read a strip or a
// row of tiles at a time, so memory stays that band whatever the height. A
// tiled file is read tile by tile: the library's reading of a band across
// tiles refuses some it reads one tile at a time (gray with alpha).
#include "tiff_in.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "exact_io.h"
#include "picture_in.h"
#include "platform.h"

namespace {

// A band of rows is read at most this large; a strip or tile taller than
// that is read in 64-row bands, each decoding the strip from its top again.
constexpr std::size_t kMostBandBytes = std::size_t{64} << 20;
// No single buffer libtiff makes for a hostile header may pass this.
constexpr tmsize_t kMostLibraryBuffer = tmsize_t{256} << 20;

// libtiff's calls on the descriptor, which the caller keeps open.
struct File {
  int fd;
  std::uint64_t size;
};

tmsize_t file_read(thandle_t handle, void* bytes, tmsize_t count) {
  const auto* file = static_cast<File*>(handle);
  return static_cast<tmsize_t>(
      read_all(file->fd, bytes, static_cast<std::size_t>(count), InputEnd::at_short_read));
}
tmsize_t file_write(thandle_t, void*, tmsize_t) { return -1; }
toff_t file_seek(thandle_t handle, toff_t offset, int whence) {
  const auto* file = static_cast<File*>(handle);
  const std::int64_t at = platform::seek(file->fd, static_cast<std::int64_t>(offset), whence);
  return at < 0 ? static_cast<toff_t>(-1) : static_cast<toff_t>(at);
}
int file_close(thandle_t) { return 0; }
toff_t file_size(thandle_t handle) { return static_cast<File*>(handle)->size; }
int no_map(thandle_t, void**, toff_t*) { return 0; }
void no_unmap(thandle_t, void*, toff_t) {}

// The library's first error for this file, kept for the message.
int on_error(TIFF*, void* said, const char*, const char* format, va_list args) {
  auto* message = static_cast<std::string*>(said);
  if (message->empty()) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    *message = text;
  }
  return 1;
}
int on_warning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

// The file through libtiff, with its errors kept in `said`: null, with
// `error`, when it cannot be opened or has no page `page`.
TIFF* open_library(File& file, int page, std::string& said, std::string& error) {
  const std::int64_t end = platform::seek(file.fd, 0, SEEK_END);
  if (end < 0 || platform::seek(file.fd, 0, SEEK_SET) != 0) {
    error = "a TIFF is read from a file, which can seek, not from a pipe";
    return nullptr;
  }
  file.size = static_cast<std::uint64_t>(end);
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  if (options == nullptr) {
    error = "out of memory";
    return nullptr;
  }
  TIFFOpenOptionsSetMaxSingleMemAlloc(options, kMostLibraryBuffer);
  TIFFOpenOptionsSetErrorHandlerExtR(options, on_error, &said);
  TIFFOpenOptionsSetWarningHandlerExtR(options, on_warning, nullptr);
  TIFF* tiff = TIFFClientOpenExt("TIFF", "rm", &file, file_read, file_write, file_seek, file_close,
                                 file_size, no_map, no_unmap, options);
  TIFFOpenOptionsFree(options);
  if (tiff == nullptr) {
    error = said.empty() ? "it cannot be opened" : "it cannot be opened: " + said;
    return nullptr;
  }
  if (page > 0 && TIFFSetDirectory(tiff, static_cast<tdir_t>(page)) == 0) {
    TIFFClose(tiff);
    error = "it has no page " + std::to_string(page) + " (they count from 0)";
    return nullptr;
  }
  return tiff;
}

class TiffRows final : public RowReader {
 public:
  TiffRows(int fd, Rgb background) : file_{fd, 0}, background_(background) {}
  ~TiffRows() override {
    if (began_) {
      TIFFRGBAImageEnd(&image_);
    }
    if (tiff_ != nullptr) {
      TIFFClose(tiff_);
    }
  }
  TiffRows(const TiffRows&) = delete;
  TiffRows& operator=(const TiffRows&) = delete;

  bool open(int page) {
    tiff_ = open_library(file_, page, said_, error_);
    if (tiff_ == nullptr) {
      return false;
    }
    // Gray with alpha is read here: the library's RGBA reading drops 16-bit
    // gray's alpha and misplaces a tile cut by the picture's edge.
    std::uint16_t photometric = 0;
    std::uint16_t samples = 1;
    std::uint16_t planar = PLANARCONFIG_CONTIG;
    TIFFGetFieldDefaulted(tiff_, TIFFTAG_BITSPERSAMPLE, &bits_);
    TIFFGetFieldDefaulted(tiff_, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tiff_, TIFFTAG_PLANARCONFIG, &planar);
    const bool gray =
        TIFFGetField(tiff_, TIFFTAG_PHOTOMETRIC, &photometric) != 0 &&
        (photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE);
    gray_alpha_ =
        gray && samples == 2 && planar == PLANARCONFIG_CONTIG && (bits_ == 8 || bits_ == 16);
    white_is_zero_ = photometric == PHOTOMETRIC_MINISWHITE;
    // The library premultiplies colour by alpha, but not gray.
    premultiplied_ = !gray;
    char why[1024] = "";
    if (TIFFRGBAImageOK(tiff_, why) == 0 || TIFFRGBAImageBegin(&image_, tiff_, 1, why) == 0) {
      error_ = why[0] != '\0' ? why : "its kind of picture cannot be read";
      return false;
    }
    began_ = true;
    image_.req_orientation = ORIENTATION_TOPLEFT;
    if (image_.width > INT32_MAX / 4 || image_.height > INT32_MAX) {
      error_ = "it is too large";
      return false;
    }
    width_ = static_cast<int>(image_.width);
    height_ = static_cast<int>(image_.height);
    // A band of rows the height the file stores them in, where that is not
    // too large to hold.
    std::uint32_t rows = 0;
    if (TIFFIsTiled(tiff_) != 0) {
      TIFFGetField(tiff_, TIFFTAG_TILEWIDTH, &tile_width_);
      TIFFGetField(tiff_, TIFFTAG_TILELENGTH, &rows);
      tile_height_ = rows;
      const std::size_t tile_bytes = std::size_t{tile_width_} * rows * 4;
      if (tile_width_ == 0 || rows == 0 || tile_bytes > kMostBandBytes ||
          tile_bytes * (image_.width / tile_width_ + 1) > 4 * kMostBandBytes) {
        error_ = "its tiles are too large to read a row of them at once";
        return false;
      }
      tile_.resize(std::size_t{tile_width_} * rows);
      // libtiff 4.5 reads an uncompressed tile only into a buffer of exactly
      // the tile's size, and rounds the one it makes itself up: it is given one.
      std::uint16_t compression = COMPRESSION_NONE;
      TIFFGetFieldDefaulted(tiff_, TIFFTAG_COMPRESSION, &compression);
      const tmsize_t raw = TIFFTileSize(tiff_);
      if (compression == COMPRESSION_NONE && raw > 0) {
        raw_.resize(static_cast<std::size_t>(raw));
        TIFFReadBufferSetup(tiff_, raw_.data(), raw);
      }
      if (gray_alpha_) {
        samples_.resize(static_cast<std::size_t>(std::max<tmsize_t>(raw, 0)));
      }
      band_rows_ = static_cast<int>(rows);
      band_.resize(static_cast<std::size_t>(width_) * rows);
      return true;
    } else if (gray_alpha_) {
      samples_.resize(static_cast<std::size_t>(std::max<tmsize_t>(TIFFScanlineSize(tiff_), 0)));
      rows = 64;
    } else {
      TIFFGetFieldDefaulted(tiff_, TIFFTAG_ROWSPERSTRIP, &rows);
    }
    const std::size_t row_bytes = static_cast<std::size_t>(width_) * 4;
    band_rows_ = rows >= 1 && rows * row_bytes <= kMostBandBytes ? static_cast<int>(rows) : 64;
    band_rows_ = std::max(1, std::min(band_rows_, height_));
    band_.resize(static_cast<std::size_t>(width_) * static_cast<std::size_t>(band_rows_));
    return true;
  }

  bool read_rows(unsigned char* pixels, int stride, int rows) override {
    for (int y = 0; y < rows; ++y) {
      if (next_ >= band_top_ + band_height_ && !read_band()) {
        return false;
      }
      const auto* from = band_.data() + static_cast<std::size_t>(next_ - band_top_) *
                                            static_cast<std::size_t>(width_);
      unsigned char* to = pixels + static_cast<std::ptrdiff_t>(y) * stride;
      for (std::size_t x = 0; x < static_cast<std::size_t>(width_); ++x) {
        const std::uint32_t sample = from[x];
        const std::uint32_t alpha = TIFFGetA(sample);
        to[x * 3] = over(TIFFGetR(sample), background_.red, alpha);
        to[x * 3 + 1] = over(TIFFGetG(sample), background_.green, alpha);
        to[x * 3 + 2] = over(TIFFGetB(sample), background_.blue, alpha);
      }
      ++next_;
    }
    return true;
  }

  bool finish() override { return true; }

 private:
  // A sample over the background.
  unsigned char over(std::uint32_t sample, unsigned char background, std::uint32_t alpha) const {
    const std::uint32_t clear = 255 - alpha;
    if (premultiplied_) {
      return static_cast<unsigned char>(std::min(255U, sample + (background * clear + 127) / 255));
    }
    return static_cast<unsigned char>((sample * alpha + background * clear + 127) / 255);
  }

  bool read_band() {
    if (next_ >= height_) {
      error_ = "asked for more rows than it has";
      return false;
    }
    band_top_ = next_;
    band_height_ = std::min(band_rows_, height_ - next_);
    if (!tile_.empty()) {
      return read_tile_row();
    }
    if (gray_alpha_) {
      for (int y = 0; y < band_height_; ++y) {
        if (TIFFReadScanline(tiff_, samples_.data(), static_cast<std::uint32_t>(band_top_ + y), 0) <
            0) {
          return failed("its row " + std::to_string(band_top_ + y) + " cannot be read");
        }
        gray_alpha_row(
            samples_.data(), 0,
            band_.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width_),
            static_cast<std::uint32_t>(width_));
      }
      return true;
    }
    image_.row_offset = band_top_;
    image_.col_offset = 0;
    if (TIFFRGBAImageGet(&image_, band_.data(), image_.width,
                         static_cast<std::uint32_t>(band_height_)) == 0) {
      return failed("its rows from " + std::to_string(band_top_) + " cannot be read");
    }
    return true;
  }

  // A row of tiles, each read whole (its raster from the bottom up) and its
  // rows within the picture copied into the band.
  bool read_tile_row() {
    for (std::uint32_t x = 0; x < image_.width; x += tile_width_) {
      if (gray_alpha_) {
        if (TIFFReadTile(tiff_, samples_.data(), x, static_cast<std::uint32_t>(band_top_), 0, 0) <
            0) {
          return failed("its tile at " + std::to_string(x) + ", " + std::to_string(band_top_) +
                        " cannot be read");
        }
        const std::uint32_t across = std::min(tile_width_, image_.width - x);
        for (int y = 0; y < band_height_; ++y) {
          gray_alpha_row(
              samples_.data(), static_cast<std::size_t>(y) * tile_width_,
              band_.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + x,
              across);
        }
        continue;
      }
      if (TIFFReadRGBATile(tiff_, x, static_cast<std::uint32_t>(band_top_), tile_.data()) == 0) {
        return failed("its tile at " + std::to_string(x) + ", " + std::to_string(band_top_) +
                      " cannot be read");
      }
      const std::uint32_t across = std::min(tile_width_, image_.width - x);
      for (int y = 0; y < band_height_; ++y) {
        const std::uint32_t* from =
            tile_.data() +
            std::size_t{tile_height_ - 1 - static_cast<std::uint32_t>(y)} * tile_width_;
        std::memcpy(
            band_.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + x, from,
            std::size_t{across} * 4);
      }
    }
    return true;
  }

  // `count` pixels of gray and alpha, from pixel `first` of `from`, as RGBA.
  void gray_alpha_row(const unsigned char* from, std::size_t first, std::uint32_t* to,
                      std::uint32_t count) const {
    for (std::uint32_t x = 0; x < count; ++x) {
      std::uint32_t gray = 0;
      std::uint32_t alpha = 0;
      if (bits_ == 8) {
        gray = from[(first + x) * 2];
        alpha = from[(first + x) * 2 + 1];
      } else {
        std::uint16_t wide[2];
        std::memcpy(wide, from + (first + x) * 4, sizeof wide);
        gray = (wide[0] * 255U + 32767U) / 65535U;  // to the nearest, as for a PNG
        alpha = (wide[1] * 255U + 32767U) / 65535U;
      }
      if (white_is_zero_) {
        gray = 255 - gray;
      }
      to[x] = gray | gray << 8 | gray << 16 | alpha << 24;
    }
  }

  bool failed(const std::string& what) {
    error_ = said_.empty() ? what : what + ": " + said_;
    return false;
  }

  File file_;
  Rgb background_;
  bool premultiplied_ = true;
  bool gray_alpha_ = false;  // read without the library's RGBA reading
  bool white_is_zero_ = false;
  std::uint16_t bits_ = 8;
  std::vector<unsigned char> samples_;  // a row or a tile as stored, for gray with alpha
  TIFF* tiff_ = nullptr;
  TIFFRGBAImage image_{};
  bool began_ = false;
  std::string said_;
  std::vector<std::uint32_t> band_;
  std::vector<std::uint32_t> tile_;  // one tile, for a tiled file
  std::vector<unsigned char> raw_;   // an uncompressed tile as stored
  std::uint32_t tile_width_ = 0;
  std::uint32_t tile_height_ = 0;
  int band_rows_ = 64;
  int band_top_ = 0;
  int band_height_ = 0;
  int next_ = 0;
};

}  // namespace

std::unique_ptr<RowReader> open_tiff(int fd, Rgb background, int page, std::string& error) {
  auto rows = std::make_unique<TiffRows>(fd, background);
  if (!rows->open(page)) {
    error = rows->error();
    return nullptr;
  }
  return rows;
}

namespace {

class JpegTiles final : public TiffJpegTiles {
 public:
  explicit JpegTiles(int fd) : file_{fd, 0} {}
  ~JpegTiles() override {
    if (tiff_ != nullptr) {
      TIFFClose(tiff_);
    }
  }
  JpegTiles(const JpegTiles&) = delete;
  JpegTiles& operator=(const JpegTiles&) = delete;

  // Why the page's tiles cannot be cut from, or "" when they can.
  std::string open(int page) {
    std::string error;
    tiff_ = open_library(file_, page, said_, error);
    if (tiff_ == nullptr) {
      return "-";
    }
    std::uint16_t compression = 0;
    std::uint16_t photometric = 0;
    std::uint16_t bits = 0;
    std::uint16_t samples = 0;
    std::uint16_t planar = 0;
    TIFFGetFieldDefaulted(tiff_, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(tiff_, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff_, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tiff_, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetField(tiff_, TIFFTAG_PHOTOMETRIC, &photometric);
    if (compression != COMPRESSION_JPEG || TIFFIsTiled(tiff_) == 0) {
      return "-";
    }
    const bool kind =
        bits == 8 && planar == PLANARCONFIG_CONTIG &&
        ((samples == 3 && (photometric == PHOTOMETRIC_YCBCR || photometric == PHOTOMETRIC_RGB)) ||
         (samples == 1 && photometric == PHOTOMETRIC_MINISBLACK));
    if (!kind) {
      return "its JPEG tiles are neither 8-bit colour nor gray";
    }
    rgb_ = photometric == PHOTOMETRIC_RGB;
    TIFFGetField(tiff_, TIFFTAG_IMAGEWIDTH, &width_);
    TIFFGetField(tiff_, TIFFTAG_IMAGELENGTH, &height_);
    TIFFGetField(tiff_, TIFFTAG_TILEWIDTH, &tile_width_);
    TIFFGetField(tiff_, TIFFTAG_TILELENGTH, &tile_height_);
    if (tile_width_ == 0 || tile_height_ == 0 || tile_width_ % 64 != 0 || tile_height_ % 64 != 0) {
      return "its tiles' sides are not multiples of 64";
    }
    if (std::size_t{tile_width_} * tile_height_ > kMostTilePixels) {
      return "its tiles are too large to cut from";
    }
    std::uint32_t count = 0;
    void* tables = nullptr;
    if (TIFFGetField(tiff_, TIFFTAG_JPEGTABLES, &count, &tables) != 0 && count >= 4) {
      const auto* bytes = static_cast<const unsigned char*>(tables);
      tables_.assign(bytes, bytes + count - 2);  // without its end of image
    }
    return "";
  }

  int width() const override { return static_cast<int>(width_); }
  int height() const override { return static_cast<int>(height_); }
  int tile_width() const override { return static_cast<int>(tile_width_); }
  int tile_height() const override { return static_cast<int>(tile_height_); }
  bool rgb() const override { return rgb_; }

  bool read(int x, int y, std::vector<unsigned char>& jpeg, std::string& error) override {
    const std::uint32_t tile =
        TIFFComputeTile(tiff_, static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y), 0, 0);
    const std::uint64_t stored = TIFFGetStrileByteCount(tiff_, tile);
    if (stored < 4 || stored > kMostTileBytes) {
      error = "its tile at " + std::to_string(x) + ", " + std::to_string(y) +
              (stored < 4 ? " is missing" : " is too large");
      return false;
    }
    raw_.resize(static_cast<std::size_t>(stored));
    said_.clear();
    const tmsize_t got =
        TIFFReadRawTile(tiff_, tile, raw_.data(), static_cast<tmsize_t>(raw_.size()));
    if (got < 4 || raw_[0] != 0xFF || raw_[1] != 0xD8) {
      error = "its tile at " + std::to_string(x) + ", " + std::to_string(y) + " cannot be read" +
              (said_.empty() ? "" : ": " + said_);
      return false;
    }
    // The tables, then the tile's own segments after its start of image.
    jpeg.assign(tables_.begin(), tables_.end());
    jpeg.insert(jpeg.end(), raw_.begin() + (tables_.empty() ? 0 : 2),
                raw_.begin() + static_cast<std::ptrdiff_t>(got));
    return true;
  }

 private:
  // A tile is cut from its coefficients, all held at once: up to 4096 x 4096.
  static constexpr std::size_t kMostTilePixels = std::size_t{4096} * 4096;
  static constexpr std::uint64_t kMostTileBytes = std::uint64_t{64} << 20;

  File file_;
  TIFF* tiff_ = nullptr;
  std::string said_;
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  std::uint32_t tile_width_ = 0;
  std::uint32_t tile_height_ = 0;
  bool rgb_ = false;
  std::vector<unsigned char> tables_;
  std::vector<unsigned char> raw_;
};

}  // namespace

std::unique_ptr<TiffJpegTiles> TiffJpegTiles::open(int fd, int page, std::string& why_not) {
  auto tiles = std::make_unique<JpegTiles>(fd);
  why_not = tiles->open(page);
  if (why_not.empty()) {
    return tiles;
  }
  if (why_not == "-") {
    why_not.clear();  // no JPEG tiles, or no TIFF that opens: nothing to explain
  }
  return nullptr;
}
