// Invariant: on any bytes, tilelist's and tilesave's walks end with status 0 when
// every announced record is there with its tag, else 1; tilesave leaves exactly
// the files of the method-1 and method-2 records read before it stopped, each
// holding that record's JPEG bytes and nothing else. The last input byte picks
// the walk (even: list, odd: save); the rest is the TIZ file.

#include <cstring>

#include "harness.h"
#include "tiz.h"

// Reads the file plainly, by offsets, for the status and files a run must leave.
static int expected_run(const std::uint8_t* data, std::size_t size, TileFiles& files) {
  if (size < 8 || std::memcmp(data, "TIZ0", 4) != 0) {
    return 1;
  }
  const int tiles = be16(data + 4);
  std::size_t at = 8;
  for (int tile = 0; tile < tiles; ++tile) {
    if (size - at < 6 || std::memcmp(data + at, "TIL", 3) != 0) {
      return 1;
    }
    const char method = static_cast<char>(data[at + 3]);
    const std::size_t length = be16(data + at + 4);
    const auto* payload = reinterpret_cast<const char*>(data + at + 6);
    if (size - at - 6 < length) {
      return 1;
    }
    if (method == '2') {
      files[tile_name(tile)] = std::string(payload, length);
    } else if (method == '1' && length >= 2 && be16(data + at + 6) <= length - 2) {
      const std::size_t zlib = be16(data + at + 6);
      files[tile_name(tile)] = std::string(payload + 2 + zlib, length - 2 - zlib);
    }
    at += 6 + length;
  }
  return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  enter_private_directory();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_walks(data, size, list_tiz, save_tiz, expected_run);
  return 0;
}
