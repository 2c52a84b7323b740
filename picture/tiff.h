#pragma once

// A MOZ as a tiled pyramidal TIFF (TIFF 6.0, with Technical Note 2's JPEG):
// one image per level in 64 x 64 JPEG tiles (Compression 7), the full size
// first and each reduced one after it (NewSubfileType 1), down to the first
// level that fits in one tile.
//
// Level 0's tiles are the MOZ's own entropy-coded data: a tile that shares
// the first tile's frame (baseline, 8-bit, the same components and sampling)
// goes in as it is, with its own tables but without its application markers;
// an edge tile is padded to 64 x 64 from its coefficients. Any other tile, and
// every tile of the reduced levels, is encoded at the run's quality in the
// first tile's shape; a reduced level's tiles share the encoder's tables,
// stored once as the level's JPEGTables. Colour is YCbCr
// with the first tile's subsampling, gray is BlackIsZero.
//
// Tiles are written as workers finish them, in no set order, with the offset
// tables kept in memory; the directories follow the tiles, and the header,
// written last, says classic TIFF when every offset fits in 32 bits and
// BigTIFF otherwise.

#include <cstddef>

#include "pyramid.h"

struct TiffRun {
  bool bigtiff = false;  // BigTIFF whatever the size
  // The MOZ's first tile, whose frame the file takes; null when the file has
  // none that reads (then YCbCr 4:2:0).
  const unsigned char* first_tile = nullptr;
  std::size_t first_tile_bytes = 0;
};

// Writes the TIFF to `fd`, a new file that can seek: kStitchDamaged when the
// MOZ had damaged or missing tiles, kStitchFailed (said on the console) when a
// write fails.
StitchStatus write_tiff(const PyramidRun& run, const TiffRun& tiff, int fd);
