#include "thumbnail.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "grid.h"
#include "halve.h"
#include "jpeg.h"
#include "jpeg_markers.h"
#include "platform.h"
#include "png.h"
#include "tiz.h"

// The most a decoded tile may take: far more than any tile, far less than
// the 65535 x 65535 a JPEG may claim.
static constexpr std::size_t kLargestDecoded = std::size_t{64} << 20;

bool is_tiz_file(const char* path) {
  const int fd = platform::open(path, O_RDONLY);
  char magic[4] = {};
  const bool read = fd >= 0 && platform::read(fd, magic, sizeof magic) == sizeof magic;
  if (fd >= 0) {
    platform::close(fd);
  }
  return read && std::memcmp(magic, "TIZ0", 4) == 0;
}

// The size a JPEG's frame header gives; false when none comes before the scan.
static bool jpeg_size(const unsigned char* jpeg, std::size_t bytes, int& width, int& height) {
  JpegSegments segments;
  read_jpeg_segments(jpeg, bytes, segments);  // a tile cut short still gives its frame
  width = segments.width;
  height = segments.height;
  return width > 0 && height > 0;
}

static StitchStatus write_thumbnail(const unsigned char* jpeg, std::size_t bytes, const char* name,
                                    int size, Console& console, int fd) {
  int width = 0;
  int height = 0;
  if (!jpeg_size(jpeg, bytes, width, height)) {
    console.say("%s: its first JPEG tile has no size", name);
    return kStitchFailed;
  }
  const Fit fit = fit_within(width, height, size);
  Pixels picture{nullptr, 0, (width + fit.scale - 1) / fit.scale,
                 (height + fit.scale - 1) / fit.scale};
  picture.stride = picture.width * 3;
  if (std::size_t(picture.stride) * std::size_t(picture.height) > kLargestDecoded) {
    console.say("%s: its first JPEG tile is too large for a thumbnail (%d x %d)", name, width,
                height);
    return kStitchFailed;
  }
  std::vector<unsigned char> pixels(std::size_t(picture.stride) * std::size_t(picture.height));
  picture.data = pixels.data();
  TileDecoder decoder;
  std::string reason;
  const TileState state = decoder.decode(jpeg, bytes, fit.scale, picture, reason);
  if (state == TileState::undecodable) {
    console.say("%s: its first JPEG tile does not decode (%s)", name, reason.c_str());
    return kStitchFailed;
  }
  std::vector<unsigned char> halved;
  for (int step = 0; step < fit.halvings; ++step) {
    Pixels to{nullptr, 0, (picture.width + 1) / 2, (picture.height + 1) / 2};
    to.stride = to.width * 3;
    halved.assign(std::size_t(to.stride) * std::size_t(to.height), 0);
    to.data = halved.data();
    halve(picture, to);
    pixels.swap(halved);
    picture = to;
    picture.data = pixels.data();
  }
  PngBandCompressor band;
  if (!band.compress(picture, true, true)) {
    console.say("cannot compress the picture: out of memory");
    return kStitchFailed;
  }
  PngFrame frame;
  frame.add(band);
  const std::vector<unsigned char> head = PngFrame::head(picture.width, picture.height);
  const std::vector<unsigned char> tail = frame.tail();
  if (!write_all(fd, head.data(), head.size()) ||
      !write_all(fd, band.chunk().data(), band.chunk().size()) ||
      !write_all(fd, tail.data(), tail.size())) {
    console.say("cannot write the picture: %s", std::strerror(errno));
    return kStitchFailed;
  }
  if (state == TileState::damaged) {
    console.say("%s: its first JPEG tile is damaged (%s)", name, reason.c_str());
    return kStitchDamaged;
  }
  return kStitchClean;
}

StitchStatus tiz_thumbnail(RecordBuffer& in, const char* name, int size, Console& console, int fd) {
  in.silent = true;
  TizHeader header;
  if (!read_tiz_fields(in, header)) {
    console.say("%s is not a TIZ file", name);
    return kStitchFailed;
  }
  for (int tile = 0; tile < header.tiles; ++tile) {
    TileRecord record;
    if (!read_record_header(in, tile, record) || !read_payload(in, record)) {
      break;
    }
    const TizTile found = split_tiz_tile(record);
    if (found.jpeg != nullptr && found.jpeg_bytes > 0) {
      return write_thumbnail(found.jpeg, static_cast<std::size_t>(found.jpeg_bytes), name, size,
                             console, fd);
    }
  }
  console.say("%s holds no JPEG tile to make a thumbnail of", name);
  return kStitchFailed;
}
