#pragma once

// libjpeg-turbo behind two small handles, one of each per thread, reused for
// every tile. Decoding uses the library's defaults (accurate integer IDCT,
// smooth chroma upsampling), so pixels are exactly what djpeg writes.

#include <cstddef>
#include <string>
#include <vector>

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

  // The JPEG's size in pixels at 1/scale; false, with `reason`, when its header
  // cannot be read or it is not a picture this decoder places (CMYK, too large).
  bool size(const unsigned char* jpeg, std::size_t bytes, int scale, int& width, int& height,
            std::string& reason);

  // Decodes the JPEG at 1/scale into `cell` (its top-left the tile's), clipped
  // to the cell. An undecodable tile leaves the cell gray; `reason` says why,
  // for a damaged tile too.
  TileState decode(const unsigned char* jpeg, std::size_t bytes, int scale, const Pixels& cell,
                   std::string& reason);

 private:
  void* handle_;
  std::vector<unsigned char> scratch_;  // for a tile larger than its cell
};

class TileEncoder {
 public:
  explicit TileEncoder(int quality);
  ~TileEncoder();
  TileEncoder(const TileEncoder&) = delete;
  TileEncoder& operator=(const TileEncoder&) = delete;

  // A baseline 4:2:0 JPEG of `pixels`, valid until the next call; empty with
  // `reason` on failure.
  bool encode(const Pixels& pixels, const unsigned char*& jpeg, std::size_t& bytes,
              std::string& reason);

 private:
  void* handle_;
  int quality_;
  unsigned char* buffer_ = nullptr;  // the library's, grown by it as needed
  unsigned long capacity_ = 0;
};
