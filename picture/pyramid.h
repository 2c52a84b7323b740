#pragma once

// A MOZ as a Deep Zoom pyramid: picture.dzi and picture_files/LEVEL/COL_ROW.jpg,
// 64-pixel tiles with no overlap. The finest level is the MOZ's own tiles,
// their bytes copied as they are wherever a tile decodes cleanly to exactly
// its cell's size; any other tile is placed as moz-stitch places it and
// encoded anew. Each coarser level is made from the decoded pixels of the one
// below, every pixel the rounded mean of the two-by-two it covers.
//
// Worker threads take bands (rows of MOZ tiles) in turn, decode them, write
// the finest level's files and halve the band; then, in band order, the half
// joins the level below, and every level band that fills is halved in turn
// and set aside, to be encoded by that worker once the next band may go on.
// Memory is a few bands per worker and one band per coarser level, whatever
// the picture's height.

#include <string>

#include "console.h"
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

// Writes the pyramid into the folder `dir`, which exists and is empty.
// kStitchFailed (said on the console) when a file cannot be written.
StitchStatus write_pyramid(const PyramidRun& run, const std::string& dir);
