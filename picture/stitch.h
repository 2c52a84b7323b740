#pragma once

// The whole picture of a MOZ as a PNG, made band by band: each worker thread
// takes the next band from the file, decodes its tiles into the band's rows,
// filters and deflates them, and writes them when all bands above are out.
// Memory is a few bands, whatever the picture's height. A thumbnail's bands
// are halved in order instead, two rows at a time, and only the thumbnail
// is held whole.

#include <cstddef>

#include "console.h"
#include "moz.h"
#include "output.h"

struct StitchRun {
  RecordBuffer& in;  // just past the header
  MozHeader header;
  int scale = 1;  // 1, 2, 4 or 8
  const char* name = "";
  Console& console;
  bool salvage = false;  // go on past damaged records
  // Above 0, the whole picture fitted within size x size (a thumbnail): the
  // tiles decoded at a smaller scale, then halved; `scale` is then unused.
  int size = 0;
};

enum StitchStatus {
  kStitchClean = kOutputWhole,
  kStitchDamaged = kOutputDamaged,
  kStitchFailed = kNothingWritten
};

// Writes the PNG to `fd`: kStitchFailed (said on the console) when a write fails.
StitchStatus stitch_png(const StitchRun& run, int fd);
