#pragma once

// A JPEG picture to cut into 64-pixel tiles: without decoding, each tile
// holding the picture's own DCT coefficients for its cell (as a lossless crop
// makes them), when its blocks fall on the tiles' grid and its coefficients
// fit in memory; else decoded into rows of RGB.

#include <cstddef>
#include <memory>
#include <string>

#include "picture_in.h"

// The coefficients of the whole picture are held at once, up to this much.
inline constexpr std::size_t kMostCoefficientBytes = std::size_t{512} << 20;

class JpegPicture {
 public:
  explicit JpegPicture(ByteSource& source);
  // A JPEG held in memory, which must stay there while the picture is used.
  JpegPicture(const unsigned char* bytes, std::size_t count);
  ~JpegPicture();
  JpegPicture(const JpegPicture&) = delete;
  JpegPicture& operator=(const JpegPicture&) = delete;

  // Reads the header; false with `error`. With `rgb`, its three components
  // are R, G and B whatever the JPEG says (as a TIFF says of its tiles), and
  // the tiles cut from it say so (an Adobe marker).
  bool open(std::string& error, bool rgb = false);
  int width() const;
  int height() const;

  // Why the tiles cannot be cut from the coefficients, or "" when they can.
  std::string lossless_obstacle() const;
  // Reads every coefficient of the picture; false with `error`.
  bool read_coefficients(std::string& error);
  // Decodes the picture instead (once open, and with no coefficients read).
  std::unique_ptr<RowReader> decode();

  struct State;
  State& state() { return *state_; }

 private:
  State* state_;
};

// Cuts tiles from a picture's coefficients; one per thread, each reused.
class JpegCutter {
 public:
  explicit JpegCutter(JpegPicture& picture);
  ~JpegCutter();
  JpegCutter(const JpegCutter&) = delete;
  JpegCutter& operator=(const JpegCutter&) = delete;

  // The JPEG of the cell at (x, y), width x height pixels, x and y multiples of
  // 64; valid until the next call. False with `error`.
  bool cut(int x, int y, int width, int height, const unsigned char*& jpeg, std::size_t& bytes,
           std::string& error);

  struct State;

 private:
  JpegPicture::State& picture_;
  State* state_;
};
