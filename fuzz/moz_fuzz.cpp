// Invariant: on any bytes, gridcheck's and moz tilesave's walks end with status 0
// when every record the width and height announce is there with its tag, else 1;
// tilesave leaves exactly one file per record read before it stopped, holding
// that record's payload and nothing else. The last input byte picks the walk
// (even: check, odd: save); the rest is the MOZ file.

#include <cstring>

#include "harness.h"
#include "moz.h"

// Tiles along one side: the remainder's sign follows the size's, so any
// remainder at all means one more (or one fewer negative) partial tile.
static int tiles_along(std::int16_t size) { return size / 64 + (size % 64 != 0 ? 1 : 0); }

static int expected_run(const std::uint8_t* data, std::size_t size, TileFiles& files) {
  if (size < 8 || std::memcmp(data, "MOZ0", 4) != 0) {
    return 1;
  }
  const int tiles = tiles_along(static_cast<std::int16_t>(be16(data + 4))) *
                    tiles_along(static_cast<std::int16_t>(be16(data + 6)));
  std::size_t at = 8;
  for (int tile = 0; tile < tiles; ++tile) {
    if (size - at < 6 || std::memcmp(data + at, "TIL", 3) != 0) {
      return 1;
    }
    const std::size_t length = be16(data + at + 4);
    if (size - at - 6 < length) {
      return 1;
    }
    files[tile_name(tile)] = std::string(reinterpret_cast<const char*>(data + at + 6), length);
    at += 6 + length;
  }
  return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  enter_private_directory();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_walks(data, size, check_moz, save_moz, expected_run);
  return 0;
}
