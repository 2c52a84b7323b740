#pragma once

// The MOZ as the picture tools read it: through the record stream, one band
// (a row of tiles) at a time, by whichever worker thread asks next. A band's
// payloads are copied out under the lock, so decoding happens outside it.

#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

#include "console.h"
#include "grid.h"
#include "moz.h"
#include "walk.h"

// Opens `path` and reads its MOZ header: false, with the reason said and the
// input closed again, when it cannot be read, is not a MOZ or gives no picture
// (no tiles, a size below 1).
bool open_picture(const char* path, RecordBuffer& in, MozHeader& header, Console& console);

// The payload of tile 0 when the MOZ at `path` starts with its record whole;
// empty otherwise. For an output that takes its shape from the first tile
// before the workers start.
std::vector<unsigned char> read_first_tile(const char* path);

struct TileBatch {
  struct Tile {
    int index;
    std::size_t offset;
    std::size_t size;
  };
  std::vector<unsigned char> bytes;
  std::vector<Tile> tiles;
};

class TileSource {
 public:
  // With `salvage`, records past damage are placed as RecordWalk places them.
  TileSource(RecordBuffer& in, const Grid& grid, const char* name, Console& console, bool salvage);

  // Hands out the next band: its index (-1 when all are out) and, in `batch`,
  // the payloads of its tiles that the file holds. A payload too large for the
  // batch's share of memory goes to `now` instead, still under the lock.
  using Handler = std::function<void(int index, const unsigned char* payload, std::size_t size)>;
  int next_band(TileBatch& batch, const Handler& now);

  // Tiles the file never delivered: none unless it broke off.
  int missing() const;
  // Damage was met: the walk stopped at it, or skipped bytes past it.
  bool damaged() const { return walk_.damaged(); }

 private:
  void report_end();

  std::mutex mutex_;
  RecordBuffer& in_;
  RecordWalk walk_;
  TileRecord pending_;  // read, but in a band after the one being handed out
  bool has_pending_ = false;
  Grid grid_;
  const char* name_;
  Console& console_;
  int next_band_ = 0;
  int read_ = 0;  // records read whole and tagged
  bool ended_ = false;
  bool salvage_;
};
