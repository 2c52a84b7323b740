#pragma once

// Pictures for the picture tools' tests: tiles made by cjpeg, the picture
// djpeg's output of them assembles to, and PNG files read back to pixels.

#include <string>
#include <vector>

#include "support.h"

struct Image {
  int width = 0;
  int height = 0;
  Bytes rgb;  // rows of width * 3 bytes
  bool operator==(const Image&) const = default;
};

// What a shell command writes to standard output, given `input` on standard input.
Bytes run_filter(const std::string& command, const Bytes& input);

bool have_cjpeg();
// A width x height tile of a colourful pattern, encoded by cjpeg with `options`
// (e.g. "-grayscale", "-progressive", "-sample 1x1", "-restart 1").
Bytes cjpeg_tile(int width, int height, const std::string& options = "", unsigned seed = 1);
// A picture encoded by cjpeg with `options`.
Bytes cjpeg(const Image& image, const std::string& options);
// djpeg's picture of one JPEG at 1/scale; width 0 when it gives none.
Image djpeg(const Bytes& jpeg, int scale = 1);
// The picture moz-stitch must make of these tiles (missing ones gray).
Image expected_picture(int width, int height, const std::vector<Bytes>& tiles, int scale);

// An 8-bit RGB PNG's pixels; width 0 when it is not one.
Image read_png(const Bytes& png);

// The picture halved as the pyramid halves it: rounded means of two by two.
Image halved(const Image& from);

// The width x height cell of `from` at (x, y).
Image crop(const Image& from, int x, int y, int width, int height);

// The payloads of a MOZ's records, in order, as far as they go.
std::vector<Bytes> moz_tiles(const Bytes& moz);
