#pragma once

// The tile that stands in for one whose record was lost, when a MOZ is
// written again: neutral gray, the size of the tile's own cell, so a cell cut
// by the picture's right or bottom edge gets a tile cut the same way.

#include <cstddef>
#include <string>
#include <vector>

#include "jpeg.h"

class GrayTiles {
 public:
  // The picture's size as its header stores it.
  GrayTiles(int width, int height) { resize(width, height); }
  void resize(int width, int height);

  // The whole record for tile `index`, of the given kind (the container's
  // first record's, as the packer and the carver write one), valid until the
  // next call; false with `why`.
  bool record(long index, unsigned char kind, const unsigned char*& bytes, std::size_t& count,
              std::string& why);

 private:
  // The JPEG for tile `index`, valid until the next call; false with `why`.
  bool jpeg(long index, const unsigned char*& bytes, std::size_t& count, std::string& why);

  int width_ = 0;
  int height_ = 0;
  int columns_ = 1;
  TileEncoder encoder_{90};
  std::vector<unsigned char> jpeg_;
  std::vector<unsigned char> record_;
  int made_width_ = 0;
  int made_height_ = 0;
};
