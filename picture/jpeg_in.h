#pragma once

// A JPEG picture to cut into 64-pixel tiles. Where its blocks fall on the
// tiles' grid and its colour is gray, YCbCr or RGB, its tiles are made of its
// own DCT coefficients (as a lossless crop makes them), a band at a time; an
// arithmetic-coded one is read whole by libjpeg for that, within a limit.
// Else it is decoded into rows of RGB, and why is said.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "picture_in.h"
#include "reader.h"

// An arithmetic-coded picture's coefficients are held whole, up to this much;
// so is a picture of many scans that comes through a pipe.
inline constexpr std::size_t kMostHeldBytes = std::size_t{512} << 20;

// Why a frame's tiles cannot be its own coefficients (its colour, blocks off
// the 64-pixel grid), or "".
std::string cut_obstacle(const jpeg::Frame& frame);

class JpegIn {
 public:
  // The JPEG in `fd`, begun at `origin` in a regular file (-1 for a pipe),
  // whose first bytes `source` has looked at.
  JpegIn(int fd, std::int64_t origin, ByteSource& source);
  ~JpegIn();
  JpegIn(const JpegIn&) = delete;
  JpegIn& operator=(const JpegIn&) = delete;

  // Reads the header and takes the way in: cut from the coefficients when
  // `lossless` and it can be, else decoded. False with `error` when it is no
  // JPEG that can be read.
  bool open(bool lossless, std::string& error);
  int width() const;
  int height() const;

  // The coefficient bands when the tiles are cut from them, else null.
  jpeg::BandSource* bands();
  // Otherwise the picture decoded, and why it is.
  std::unique_ptr<RowReader> decoded();
  const std::string& why_decoded() const;
  // Something to say of the way taken, or "".
  const std::string& note() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// Cuts tiles from a JPEG held in memory (a TIFF's tile), whose three
// components are R, G and B when `rgb`: the bands read in order.
class MemoryJpeg {
 public:
  MemoryJpeg(const unsigned char* bytes, std::size_t count);
  // Opens it to be cut: false with `error` (why it cannot be).
  bool open(bool rgb, std::string& error);
  jpeg::CoefficientReader& reader() { return reader_; }
  jpeg::Colour colour() const { return colour_; }

 private:
  jpeg::MemoryInput input_;
  jpeg::CoefficientReader reader_;
  jpeg::Colour colour_ = jpeg::Colour::ycbcr;
};

// libjpeg's decoder, for what is decoded rather than cut, and for the
// coefficients of an arithmetic-coded picture.
class JpegPicture {
 public:
  explicit JpegPicture(ByteSource& source);
  // A JPEG held in memory, which must stay there while the picture is used.
  JpegPicture(const unsigned char* bytes, std::size_t count);
  ~JpegPicture();
  JpegPicture(const JpegPicture&) = delete;
  JpegPicture& operator=(const JpegPicture&) = delete;

  // Reads the header; false with `error`.
  bool open(std::string& error);
  int width() const;
  int height() const;
  // Reads every coefficient of the picture, when they take no more than
  // kMostHeldBytes: false with `error`.
  bool read_coefficients(std::string& error);
  // The coefficients read, as bands.
  std::unique_ptr<jpeg::BandSource> bands();
  // Decodes the picture instead (once open, and with no coefficients read).
  std::unique_ptr<RowReader> decode();

  struct State;

 private:
  State* state_;
};
