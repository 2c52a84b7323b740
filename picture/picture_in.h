#pragma once

// A picture to cut into a MOZ, read from top to bottom as rows of 8-bit RGB:
// a PNG or a TIFF of any kind, or a JPEG decoded. JPEG's other way in, its coefficients
// cut without decoding, is in jpeg_in.h.

#include <memory>
#include <string>

#include "byte_source.h"

class RowReader {
 public:
  virtual ~RowReader() = default;
  int width() const { return width_; }
  int height() const { return height_; }
  // The next `rows` rows into `pixels`, rows `stride` bytes apart; false, with
  // error(), when the picture is broken or ends early.
  virtual bool read_rows(unsigned char* pixels, int stride, int rows) = 0;
  // After the last row: false, with error(), when the rest of the file is not whole.
  virtual bool finish() = 0;
  const std::string& error() const { return error_; }

 protected:
  int width_ = 0;
  int height_ = 0;
  std::string error_;
};

struct Rgb {
  unsigned char red = 255;
  unsigned char green = 255;
  unsigned char blue = 255;
};

// An interlaced PNG has no row before its last pass: it is read whole, up to
// this many bytes of pixels.
inline constexpr std::size_t kMostInterlacedBytes = std::size_t{256} << 20;

// Reads a PNG's header: null, with `error`, when it is no PNG or cannot be
// read. 16-bit samples are rounded to 8 bits, alpha composited over `background`.
std::unique_ptr<RowReader> open_png(ByteSource& source, Rgb background, std::string& error);

// Reads a TIFF's header, its first page or page `page` (from 0): null, with
// `error`, when it is no TIFF libtiff reads, or `fd` cannot seek. Alpha is
// composited over `background`.
std::unique_ptr<RowReader> open_tiff(int fd, Rgb background, int page, std::string& error);

inline bool is_tiff(const unsigned char* bytes, std::size_t count) {
  return count >= 4 && ((bytes[0] == 'I' && bytes[1] == 'I' && bytes[3] == 0 &&
                         (bytes[2] == 42 || bytes[2] == 43)) ||
                        (bytes[0] == 'M' && bytes[1] == 'M' && bytes[2] == 0 &&
                         (bytes[3] == 42 || bytes[3] == 43)));
}

inline bool is_png(const unsigned char* bytes, std::size_t count) {
  static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  return count >= 8 && std::memcmp(bytes, kSignature, 8) == 0;
}

inline bool is_jpeg(const unsigned char* bytes, std::size_t count) {
  return count >= 3 && bytes[0] == 0xff && bytes[1] == 0xd8 && bytes[2] == 0xff;
}
