// Invariant: on any bytes, tilelist's and tilesave's walks end with status 0 when
// every announced record is there with its tag, else 1; tilesave leaves exactly
// the files of the method-1 and method-2 records read before it stopped, each
// holding that record's JPEG bytes and nothing else. The last input byte picks
// the walk (even: list, odd: save); the rest is the TIZ file.

#include "harness.h"
#include "tiz.h"

static int announced_tiles(const std::uint8_t* header) { return be16(header + 4); }

static bool jpeg_part(std::uint8_t method, const std::uint8_t* payload, std::size_t length,
                      std::string& bytes) {
  const auto* chars = reinterpret_cast<const char*>(payload);
  if (method == '2') {
    bytes.assign(chars, length);
    return true;
  }
  if (method == '1' && length >= 2 && be16(payload) <= length - 2) {
    const std::size_t zlib = be16(payload);
    bytes.assign(chars + 2 + zlib, length - 2 - zlib);
    return true;
  }
  return false;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_walks(data, size, list_tiz, save_tiz, PlainFormat{"TIZ0", announced_tiles, jpeg_part});
  return 0;
}
