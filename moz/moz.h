#pragma once

// MOZ: an image stored as a grid of 64-pixel square tiles, each a JPEG image.
//
//   file   = header record*          exactly moz_tile_count(width, height) records
//   header = "MOZ0" width height     8 bytes
//   width, height = signed 16-bit, big-endian, in pixels
//
// Records carry no grid position; they are taken as a flat run numbered from 0,
// and a record's payload is the whole JPEG image of its tile.

#include <cstdint>

#include "tiles.h"

inline constexpr int kMozTileEdge = 64;
// The sides are signed 16-bit numbers: a picture holds 1 to this many a side.
inline constexpr int kMozLargestSide = 32767;

// The file header of a picture `width` x `height`.
void make_moz_header(unsigned char (&header)[kFileHeaderBytes], unsigned char version,
                     std::int16_t width, std::int16_t height);

// Tiles along one side: the size divided by 64 (truncated toward zero) plus one
// when the low six bits are not all zero.
int moz_tiles_across(int size);

// Columns times rows. Negative sizes go through the same rule, so a count can
// come out at 0 or below; the tools then read no record.
std::int32_t moz_tile_count(std::int16_t width, std::int16_t height);

struct MozHeader {
  unsigned char version = 0;
  std::int16_t width = 0;
  std::int16_t height = 0;
  std::int32_t tiles = 0;
};

// Reads and checks the 8-byte file header; false, with the failure reported
// through the buffer, when it is short or the magic is wrong.
bool read_moz_header(RecordBuffer& in, MozHeader& header);

// Reads and checks the 8-byte file header and prints the summary line; false,
// with the failure line printed, when it is short or the magic is wrong.
bool read_moz_summary(RecordBuffer& in, int& tiles);

// "Tile I: B bytes", B the payload alone.
void print_moz_tile_line(const TileRecord& record);

// The walks behind moz/gridcheck and moz/tilesave: the summary line, then 0
// when every announced record was read, 1 (with the input closed) when the
// file fell short.
int check_moz(RecordBuffer& in);
int save_moz(RecordBuffer& in);

// moz/tilesave's walk without its files: the summary line and a line per
// tile, each record handed to `on_record` as well (where its payload lies,
// for a reader that shows the picture). The page lists a MOZ with it.
template <typename OnRecord>
int list_moz(RecordBuffer& in, OnRecord on_record) {
  int tiles = 0;
  if (!read_moz_summary(in, tiles)) {
    return fail_run(in);
  }
  return walk_records(in, tiles, [&](const TileRecord& record) {
    print_moz_tile_line(record);
    on_record(record);
  });
}
