#pragma once

// A TIFF page stored as JPEG tiles whose sides are multiples of 64 (as a
// tiled pyramidal TIFF's are): each tile's JPEG stream, its shared tables
// joined in, for its 64-pixel cells to be cut from its coefficients as a
// JPEG picture's are, with nothing decoded.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class TiffJpegTiles {
 public:
  // Null when the page is not such a TIFF: `why_not` says why for JPEG tiles
  // that cannot be cut, and is empty for a page of another kind (or no TIFF).
  static std::unique_ptr<TiffJpegTiles> open(int fd, int page, std::string& why_not);
  virtual ~TiffJpegTiles() = default;

  virtual int width() const = 0;
  virtual int height() const = 0;
  virtual int tile_width() const = 0;
  virtual int tile_height() const = 0;
  // Its JPEG tiles hold R, G and B as they are, with nothing in them to say so.
  virtual bool rgb() const = 0;
  // The whole JPEG stream of the tile whose top-left pixel is (x, y); false
  // with `error` when it cannot be read.
  virtual bool read(int x, int y, std::vector<unsigned char>& jpeg, std::string& error) = 0;
};
