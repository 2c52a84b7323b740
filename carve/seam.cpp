#include "seam.h"

#include <zlib.h>

#include "bytes.h"
#include "jpeg.h"

namespace {

bool jpeg_clean(const unsigned char* jpeg, std::size_t count) {
  // One decoder a thread, kept for every seam; 1/8 scale still reads every
  // bit of the entropy-coded data, which is where a wrong splice shows.
  thread_local TileDecoder decoder;
  unsigned char pixels[8 * 8 * 3];
  std::string reason;
  return decoder.decode(jpeg, count, 8, Pixels{pixels, 8 * 3, 8, 8}, reason) == TileState::clean;
}

bool zlib_clean(const unsigned char* zlib, std::size_t count) {
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) {
    return false;
  }
  unsigned char out[16384];
  stream.next_in = const_cast<unsigned char*>(zlib);
  stream.avail_in = static_cast<uInt>(count);
  int status = Z_OK;
  while (status == Z_OK) {
    stream.next_out = out;
    stream.avail_out = sizeof out;
    status = inflate(&stream, Z_NO_FLUSH);
  }
  const bool whole = status == Z_STREAM_END && stream.avail_in == 0;
  inflateEnd(&stream);
  return whole;
}

}  // namespace

bool seam_tile_clean(bool tiz, unsigned char kind, const unsigned char* payload,
                     std::size_t count) {
  if (!tiz) {
    return jpeg_clean(payload, count);
  }
  switch (kind) {
    case '0':
      return zlib_clean(payload, count);
    case '1': {
      if (count < 2) {
        return false;
      }
      const std::size_t zlib = read_u16be(payload);
      return zlib + 2 <= count && zlib_clean(payload + 2, zlib) &&
             jpeg_clean(payload + 2 + zlib, count - 2 - zlib);
    }
    case '2':
      return jpeg_clean(payload, count);
    default:
      return false;
  }
}
