#include "tiz.h"

#include <cstdio>

#include "bytes.h"
#include "line.h"

TizTile split_tiz_tile(const TileRecord& record) {
  const int length = record.payload_length;
  TizTile tile;
  switch (record.kind) {
    case '0':
      tile.method = TizMethod::zlib;
      tile.zlib_bytes = length;
      break;
    case '1':
      tile.method = TizMethod::zlib_jpeg;
      // A payload too short to hold Z has no zlib part to speak of.
      tile.zlib_bytes = length >= 2 ? read_u16be(record.payload) : 0;
      tile.jpeg_bytes = length - tile.zlib_bytes - 2;
      if (tile.jpeg_bytes >= 0) {
        tile.jpeg = record.payload + 2 + tile.zlib_bytes;
      }
      break;
    case '2':
      tile.method = TizMethod::jpeg;
      tile.jpeg_bytes = length;
      tile.jpeg = record.payload;
      break;
    default:
      break;
  }
  return tile;
}

void make_tiz_header(unsigned char (&header)[kFileHeaderBytes], unsigned char version,
                     std::uint16_t tiles, const unsigned char (&reserved)[2]) {
  std::memcpy(header, "TIZ", 3);
  header[3] = version;
  write_u16be(header + 4, tiles);
  header[6] = reserved[0];
  header[7] = reserved[1];
}

bool read_tiz_fields(RecordBuffer& in, TizHeader& header) {
  const unsigned char* bytes = read_file_header(in, "TIZ0", "Not a TIZ file");
  if (bytes == nullptr) {
    return false;
  }
  header.version = bytes[3];
  header.tiles = read_u16be(bytes + 4);
  header.reserved[0] = bytes[6];
  header.reserved[1] = bytes[7];
  return true;
}

bool read_tiz_header(RecordBuffer& in, int& tiles) {
  TizHeader header;
  if (!read_tiz_fields(in, header)) {
    return false;
  }
  tiles = header.tiles;
  std::printf("Found TIZ file version %c with %d tiles\n", header.version, tiles);
  if (header.reserved[0] != 0 || header.reserved[1] != 0) {
    std::printf("Reserved header field contains 0x%02x 0x%02x\n", header.reserved[0],
                header.reserved[1]);
  }
  return true;
}

void print_tiz_line(const TileRecord& record, const TizTile& tile) {
  const int index = record.index;
  const int record_bytes = record.payload_length + kRecordHeaderBytes;
  switch (tile.method) {
    case TizMethod::zlib:
      // "Tile %d: method 0, %d bytes (%d zlib)"
      Line()
          .text("Tile ")
          .number(index)
          .text(": method 0, ")
          .number(record_bytes)
          .text(" bytes (")
          .number(tile.zlib_bytes)
          .text(" zlib)\n")
          .put();
      break;
    case TizMethod::zlib_jpeg:
      // "Tile %d: method 1, %d bytes (%d zlib/%d jpeg)"
      Line()
          .text("Tile ")
          .number(index)
          .text(": method 1, ")
          .number(record_bytes)
          .text(" bytes (")
          .number(tile.zlib_bytes)
          .text(" zlib/")
          .number(tile.jpeg_bytes)
          .text(" jpeg)\n")
          .put();
      break;
    case TizMethod::jpeg:
      // "Tile %d: method 2, %d bytes (%d bytes jpeg)"
      Line()
          .text("Tile ")
          .number(index)
          .text(": method 2, ")
          .number(record_bytes)
          .text(" bytes (")
          .number(tile.jpeg_bytes)
          .text(" bytes jpeg)\n")
          .put();
      break;
    case TizMethod::unknown:
      // The byte goes out raw, whatever it is: that is what users see and match on.
      Line()
          .text("Tile ")
          .number(index)
          .text(": unknown method '")
          .character(static_cast<char>(record.kind))
          .text("'\n")
          .put();
      break;
  }
}
