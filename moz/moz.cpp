#include "moz.h"

#include <cstdio>

#include "bytes.h"
#include "line.h"

int moz_tiles_across(int size) {
  const bool partial_tile = (size & (kMozTileEdge - 1)) != 0;
  return size / kMozTileEdge + (partial_tile ? 1 : 0);
}

std::int32_t moz_tile_count(std::int16_t width, std::int16_t height) {
  return moz_tiles_across(width) * moz_tiles_across(height);
}

void make_moz_header(unsigned char (&header)[kFileHeaderBytes], unsigned char version,
                     std::int16_t width, std::int16_t height) {
  std::memcpy(header, "MOZ", 3);
  header[3] = version;
  write_u16be(header + 4, static_cast<std::uint16_t>(width));
  write_u16be(header + 6, static_cast<std::uint16_t>(height));
}

bool read_moz_header(RecordBuffer& in, MozHeader& header) {
  const unsigned char* bytes = read_file_header(in, "MOZ0", "Not a MOZ file");
  if (bytes == nullptr) {
    return false;
  }
  header.version = bytes[3];
  header.width = read_s16be(bytes + 4);
  header.height = read_s16be(bytes + 6);
  header.tiles = moz_tile_count(header.width, header.height);
  return true;
}

bool read_moz_summary(RecordBuffer& in, int& tiles) {
  MozHeader header;
  if (!read_moz_header(in, header)) {
    return false;
  }
  std::printf("Found MOZ file version %c of size %d x %d (%d tiles)\n", header.version,
              header.width, header.height, header.tiles);
  tiles = header.tiles;
  return true;
}

// Nothing is printed for a record in order: only a short file or a missing tag speaks.
int check_moz(RecordBuffer& in) {
  int tiles = 0;
  if (!read_moz_summary(in, tiles)) {
    return fail_run(in);
  }
  return walk_records(in, tiles, [](const TileRecord&) {});
}

int save_moz(RecordBuffer& in) {
  int tiles = 0;
  if (!read_moz_summary(in, tiles)) {
    return fail_run(in);
  }
  return walk_records(in, tiles, [](const TileRecord& record) {
    print_moz_tile_line(record);
    save_tile(record.index, record.payload, record.payload_length);
  });
}

// The figure is the payload alone, unlike the record sizes TIZ lines show.
void print_moz_tile_line(const TileRecord& record) {
  Line()
      .text("Tile ")
      .number(record.index)
      .text(": ")
      .number(record.payload_length)
      .text(" bytes\n")
      .put();
}
