#pragma once

// A TIZ's thumbnail: its first JPEG tile fitted within size x size, as
// moz-stitch --size fits a MOZ's whole picture. A file manager asks the same
// command for both.

#include "console.h"
#include "stitch.h"
#include "tiles.h"

// Whether the file at `path` starts as a TIZ does.
bool is_tiz_file(const char* path);

// Writes the PNG to `fd` from `in`, opened at the file's start: kStitchFailed
// (said on the console) when there is no JPEG tile or it cannot be written.
StitchStatus tiz_thumbnail(RecordBuffer& in, const char* name, int size, Console& console, int fd);
