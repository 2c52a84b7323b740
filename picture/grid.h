#pragma once

// Where a MOZ's tiles land in its picture. Tile i sits in column i mod C and
// row i div C (C the columns of the tile-count rule); its decoded pixels start
// at its cell's top-left corner and are clipped to the cell and the picture.
// Scaled by 1/2, 1/4 or 1/8, the picture is ceil(size / N) and a cell 64 / N
// pixels on a side. A band is one row of cells: the unit everything is made in.

struct Rect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

struct Grid {
  int width = 0;  // the picture, in output pixels
  int height = 0;
  int columns = 0;  // cells
  int rows = 0;
  int cell = 64;  // a cell's edge, in output pixels
  int scale = 1;  // 1, 2, 4 or 8

  int tiles() const { return columns * rows; }
  // Output rows of band `row`: `cell`, or fewer in a cut last band.
  int band_height(int row) const;
  // Tile `index`'s cell clipped to the picture, `y` counted from its band's top.
  Rect cell_in_band(int index) const;
};

// The grid of a width x height picture (both at least 1) decoded at 1/scale.
Grid make_grid(int width, int height, int scale);

// A picture fitted within size x size, for a thumbnail: decoded at 1/scale,
// the smallest of the decoder's scales (down to 1/8) that still covers
// `size`, then halved `halvings` times as the pyramid halves, until it fits.
// A picture smaller than `size` is left as it is.
struct Fit {
  int scale = 1;
  int halvings = 0;
  int width = 0;  // the result
  int height = 0;
};
Fit fit_within(int width, int height, int size);  // size at least 1

// Deep Zoom levels: the full size is level ceil(log2(max(width, height))), and
// each level below is half the one above, rounded up, down to 1 x 1 at level 0.
struct Level {
  int width = 0;
  int height = 0;
  int columns = 0;  // 64-pixel tiles, the last ones cut to the level
  int rows = 0;
};
int top_level(int width, int height);
Level level_size(int width, int height, int level);

// The picture halved `halvings` times, each time rounded up.
Level halved_level(int width, int height, int halvings);
// The levels of a pyramid that ends at the first to fit in one tile: 1 for a
// picture of at most 64 x 64.
int levels_to_one_tile(int width, int height);
