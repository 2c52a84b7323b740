#include "grid.h"

#include <algorithm>

#include "moz.h"

static int ceil_div(int size, int by) { return (size + by - 1) / by; }

int Grid::band_height(int row) const { return std::min(cell, height - row * cell); }

Rect Grid::cell_in_band(int index) const {
  const int x = index % columns * cell;
  return Rect{x, 0, std::min(cell, width - x), band_height(index / columns)};
}

Grid make_grid(int width, int height, int scale) {
  Grid grid;
  grid.scale = scale;
  grid.cell = kMozTileEdge / scale;
  grid.width = ceil_div(width, scale);
  grid.height = ceil_div(height, scale);
  grid.columns = moz_tiles_across(width);
  grid.rows = moz_tiles_across(height);
  return grid;
}

Fit fit_within(int width, int height, int size) {
  Fit fit;
  const int longest = std::max(width, height);
  for (const int scale : {8, 4, 2}) {
    if (ceil_div(longest, scale) >= size) {
      fit.scale = scale;
      break;
    }
  }
  fit.width = ceil_div(width, fit.scale);
  fit.height = ceil_div(height, fit.scale);
  while (std::max(fit.width, fit.height) > size) {
    ++fit.halvings;
    fit.width = ceil_div(fit.width, 2);
    fit.height = ceil_div(fit.height, 2);
  }
  return fit;
}

int top_level(int width, int height) {
  int level = 0;
  for (int size = std::max(width, height); (1 << level) < size;) {
    ++level;
  }
  return level;
}

Level level_size(int width, int height, int level) {
  return halved_level(width, height, top_level(width, height) - level);
}

Level halved_level(int width, int height, int halvings) {
  Level size{width, height, 0, 0};
  for (int down = halvings; down > 0; --down) {
    size.width = ceil_div(size.width, 2);
    size.height = ceil_div(size.height, 2);
  }
  size.columns = ceil_div(size.width, kMozTileEdge);
  size.rows = ceil_div(size.height, kMozTileEdge);
  return size;
}

int levels_to_one_tile(int width, int height) {
  int levels = 1;
  for (; std::max(width, height) > kMozTileEdge; ++levels) {
    width = ceil_div(width, 2);
    height = ceil_div(height, 2);
  }
  return levels;
}
