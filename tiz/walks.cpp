#include "tiz.h"

// Every record is read whole, whatever its method, before its line is printed.
int list_tiz(RecordBuffer& in) {
  int tiles = 0;
  if (!read_tiz_header(in, tiles)) {
    return fail_run(in);
  }
  return walk_records(
      in, tiles, [](const TileRecord& record) { print_tiz_line(record, split_tiz_tile(record)); });
}

// Saves the JPEG part of each tile that has one; zlib-only tiles pass in silence.
// Files are numbered by the record's place in the file, not by how many were saved.
int save_tiz(RecordBuffer& in) {
  int tiles = 0;
  if (!read_tiz_header(in, tiles)) {
    return fail_run(in);
  }
  return walk_records(in, tiles, [](const TileRecord& record) {
    const TizTile tile = split_tiz_tile(record);
    if (tile.method == TizMethod::zlib) {
      return;
    }
    print_tiz_line(record, tile);
    if (tile.method == TizMethod::unknown) {
      return;
    }
    if (tile.jpeg == nullptr) {
      report_failed_save(record.index);
    } else {
      save_tile(record.index, tile.jpeg, static_cast<std::size_t>(tile.jpeg_bytes));
    }
  });
}
