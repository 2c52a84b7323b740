#pragma once

// A MOZ as a pyramid of 64-pixel tiles: level 0 is the MOZ's own picture, and
// each level above it is the one below halved, every pixel the rounded mean
// of the two-by-two it covers. Where the tiles go (Deep Zoom files, a tiled
// TIFF) is the output's business; which of level 0's tiles go in as the MOZ
// holds them is the output's choice too, and the rest are made from pixels.
//
// Worker threads take bands (rows of MOZ tiles) in turn, decode them, hand
// level 0's tiles to the output and halve the band; then, in band order, the
// half joins the level above, and every level band that fills is halved in
// turn and set aside, to be handed out by that worker once the next band may
// go on. Memory is a few bands per worker and one band per coarser level,
// whatever the picture's height.

#include <memory>
#include <string>

#include "console.h"
#include "grid.h"
#include "jpeg.h"
#include "moz.h"
#include "stitch.h"

struct PyramidRun {
  RecordBuffer& in;  // just past the header
  MozHeader header;
  int quality = 90;  // for every tile encoded here
  const char* name = "";
  Console& console;
  bool salvage = false;  // go on past damaged records
};

// What one worker thread hands its tiles to.
class PyramidTiles {
 public:
  virtual ~PyramidTiles() = default;
  // Level 0's tile at (column, row) as the MOZ holds it, which decoded cleanly
  // to width x height pixels into `cell` (the cell's pixels, clipped to the
  // picture): true when it went in as it is, false when it is to be made from
  // the cell's pixels instead.
  virtual bool copy(int column, int row, const unsigned char* jpeg, std::size_t size,
                    const Pixels& cell, int width, int height) = 0;
  // A tile made from its pixels, the cell clipped to its level.
  virtual void encode(int level, int column, int row, const Pixels& pixels) = 0;
};

class PyramidOutput {
 public:
  virtual ~PyramidOutput() = default;
  virtual int levels() const = 0;  // at least 1
  // One for each worker thread.
  virtual std::unique_ptr<PyramidTiles> tiles() = 0;
  // False once a tile could not be written (and the console said why).
  virtual bool ok() const = 0;
};

// Makes the pyramid into `out`: kStitchDamaged when the MOZ had damaged or
// missing tiles (gray, each named on the console), kStitchFailed when `out`
// failed.
StitchStatus make_pyramid(const PyramidRun& run, PyramidOutput& out);

// Writes the Deep Zoom pyramid into the folder `dir`, which exists and is
// empty: picture.dzi and picture_files/LEVEL/COL_ROW.jpg, with no overlap,
// down to 1 x 1. Level 0's tiles are copied wherever one decodes cleanly to
// exactly its cell's size. kStitchFailed (said on the console) when a file
// cannot be written.
StitchStatus write_deep_zoom(const PyramidRun& run, const std::string& dir);
