#pragma once

// libjpeg-turbo behind two small handles, one of each per thread, reused for
// every tile. Decoding uses the library's defaults (accurate integer IDCT,
// smooth chroma upsampling) and its scaled IDCT for 1/2 to 1/8, as djpeg
// does, so pixels are exactly what djpeg writes. The library reports errors
// by longjmp; that stays inside jpeg.cpp, in functions with nothing to unwind.

#include <cstddef>
#include <string>

// RGB pixels in memory: `width` x `height` visible, rows `stride` bytes apart.
struct Pixels {
  unsigned char* data = nullptr;
  int stride = 0;
  int width = 0;
  int height = 0;
};

// Neutral gray: what a picture shows where no tile's pixels land.
inline constexpr unsigned char kGray = 0x80;
void fill_gray(const Pixels& area);

enum class TileState {
  clean,        // decoded without a word from the library
  damaged,      // decoded, with a warning (data cut short, say): placed as decoded
  undecodable,  // not decoded at all: the cell is left gray
};

class TileDecoder {
 public:
  TileDecoder();
  ~TileDecoder();
  TileDecoder(const TileDecoder&) = delete;
  TileDecoder& operator=(const TileDecoder&) = delete;

  // Decodes the JPEG at 1/scale into `cell` (its top-left the tile's), clipped
  // to the cell. An undecodable tile leaves the cell gray; `reason` says why,
  // for a damaged tile too. `width` and `height` get the tile's own size at
  // that scale (0 when undecodable).
  TileState decode(const unsigned char* jpeg, std::size_t bytes, int scale, const Pixels& cell,
                   std::string& reason, int& width, int& height);
  TileState decode(const unsigned char* jpeg, std::size_t bytes, int scale, const Pixels& cell,
                   std::string& reason) {
    int width = 0;
    int height = 0;
    return decode(jpeg, bytes, scale, cell, reason, width, height);
  }

  struct State;

 private:
  State* state_;
};

// What a tile is encoded as: 3 components (YCbCr, the first sampled h x v
// times the others) or 1 (gray); `jfif` for a file on its own, without it for
// a tile inside another file, which says what its colours are.
struct TileShape {
  int components = 3;
  int h = 2;
  int v = 2;
  bool jfif = true;
};

class TileEncoder {
 public:
  // `optimize`: Huffman tables made for each tile, smaller for the same pixels.
  explicit TileEncoder(int quality, bool optimize = false, const TileShape& shape = {});
  ~TileEncoder();
  TileEncoder(const TileEncoder&) = delete;
  TileEncoder& operator=(const TileEncoder&) = delete;

  // A baseline JPEG of `pixels` (4:2:0 unless the shape says otherwise; the
  // library's defaults, as cjpeg's), valid until the next call; false with
  // `reason` on failure.
  bool encode(const Pixels& pixels, const unsigned char*& jpeg, std::size_t& bytes,
              std::string& reason);

  struct State;

 private:
  State* state_;
};

// A tile smaller than edge x edge made that size without decoding: its blocks
// kept as they are and the rest filled with the nearest block's mean, so its
// pixels stay as they were but where chroma upsampling meets the new edge.
class TilePadder {
 public:
  TilePadder();
  ~TilePadder();
  TilePadder(const TilePadder&) = delete;
  TilePadder& operator=(const TilePadder&) = delete;

  // The padded JPEG, valid until the next call, without JFIF or Adobe
  // markers; false with `reason`.
  bool pad(const unsigned char* jpeg, std::size_t bytes, int edge, const unsigned char*& padded,
           std::size_t& padded_bytes, std::string& reason);

  struct State;

 private:
  State* state_;
};
