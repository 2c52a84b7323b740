#pragma once

// A picture cut into a MOZ: tile i is the cell in column i mod C, row i div C,
// 64 pixels on a side, the last column's and row's cut to the picture. A JPEG
// is cut from its own coefficients where it can be, so nothing is lost to a
// second encoding; a PNG, a TIFF, or a JPEG that cannot be cut so, is read a
// band of 64 rows at a time and its tiles encoded. Bands are encoded on every core and
// written in order, so memory stays a few bands whatever the picture's height.

#include "console.h"
#include "picture_in.h"

struct CutRun {
  const char* name = "";  // the picture, for messages
  int quality = 90;       // for tiles encoded here
  bool reencode = false;  // encode a JPEG's tiles even where they could be cut
  Rgb background;         // under a PNG's or a TIFF's transparent pixels
  Console& console;
  int page = 0;  // a TIFF's page, from 0
};

// Reads the picture from `in` and writes the MOZ to `out`; false, said on the
// console, when the picture cannot be read whole (what was written is then
// not to be kept) or a write fails.
bool cut_picture(int in, int out, const CutRun& run);
