// Invariant: on any bytes, gridcheck's and moz tilesave's walks end with status 0
// when every record the width and height announce is there with its tag, else 1;
// tilesave leaves exactly one file per record read before it stopped, holding
// that record's payload and nothing else. The last input byte picks the walk
// (even: check, odd: save); the rest is the MOZ file.

#include "harness.h"
#include "moz.h"

// Tiles along one side: the remainder's sign follows the size's, so any
// remainder at all means one more (or one fewer negative) partial tile.
static int tiles_along(std::int16_t size) { return size / 64 + (size % 64 != 0 ? 1 : 0); }

static int announced_tiles(const std::uint8_t* header) {
  return tiles_along(static_cast<std::int16_t>(be16(header + 4))) *
         tiles_along(static_cast<std::int16_t>(be16(header + 6)));
}

static bool whole_payload(std::uint8_t, const std::uint8_t* payload, std::size_t length,
                          std::string& bytes) {
  bytes.assign(reinterpret_cast<const char*>(payload), length);
  return true;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_walks(data, size, check_moz, save_moz, PlainFormat{"MOZ0", announced_tiles, whole_payload});
  return 0;
}
