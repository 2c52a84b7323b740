#pragma once

// TIZ: a container of separately compressed tiles.
//
//   file    = header record*            exactly `tiles` records
//   header  = "TIZ0" tiles reserved     8 bytes
//   tiles   = unsigned 16-bit, big-endian
//   reserved = 2 bytes, expected 0 (anything else is only warned about)
//
// Each record's kind byte is its method, which says how the payload is laid out:
//
//   '0'  zlib data, the whole payload
//   '1'  Z (unsigned 16-bit, big-endian), Z bytes of zlib data, JPEG data to the end
//   '2'  JPEG data, the whole payload
//
// Nothing is inflated or decoded; only the sizes are reported and the JPEG bytes copied.

#include "tiles.h"

enum class TizMethod { zlib, zlib_jpeg, jpeg, unknown };

// A record's payload split by its method. For a method-1 record whose zlib part
// leaves no room (a payload under 2 bytes, or Z past its end) jpeg_bytes is
// negative and `jpeg` is null; under 2 bytes Z counts as 0.
struct TizTile {
  TizMethod method = TizMethod::unknown;
  int zlib_bytes = 0;
  int jpeg_bytes = 0;
  const unsigned char* jpeg = nullptr;
};

TizTile split_tiz_tile(const TileRecord& record);

// A TIZ counts its records in 16 bits.
inline constexpr long kTizMostTiles = UINT16_MAX;

// The file header of a TIZ of `tiles` records.
void make_tiz_header(unsigned char (&header)[kFileHeaderBytes], unsigned char version,
                     std::uint16_t tiles, const unsigned char (&reserved)[2]);

struct TizHeader {
  unsigned char version = 0;
  int tiles = 0;
  unsigned char reserved[2] = {0, 0};
};

// Reads and checks the 8-byte file header, printing nothing; false when it is
// short or the magic is wrong (said through the buffer, unless silent).
bool read_tiz_fields(RecordBuffer& in, TizHeader& header);

// Reads and checks the 8-byte file header and prints its lines; false, with the
// failure line printed, when it is short or the magic is wrong.
bool read_tiz_header(RecordBuffer& in, int& tiles);

// The record's line: method, record size and the sizes of its parts.
void print_tiz_line(const TileRecord& record, const TizTile& tile);

// The walks behind tiz/tilelist and tiz/tilesave: 0 when every announced
// record was read, 1 (with the input closed) when the file fell short.
int list_tiz(RecordBuffer& in);
int save_tiz(RecordBuffer& in);
