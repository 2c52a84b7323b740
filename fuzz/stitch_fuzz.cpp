// Invariant: on any bytes, moz-stitch writes no picture when the header gives
// none, and otherwise a PNG of the header's size at the chosen scale whose zlib
// stream holds exactly its rows; the status is 1 whenever the file holds fewer
// whole tagged records than the grid has tiles. The last input byte picks the
// scale (1/1, 1/2, 1/4, 1/8); the rest is the MOZ file. Pictures over 512
// pixels a side are passed over, to keep each input quick.

#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "harness.h"
#include "source.h"
#include "stitch.h"

static int memfd_with(const std::uint8_t* data, std::size_t size) {
  const int fd = memfd_create("moz", 0);
  require(fd >= 0 && write(fd, data, size) == static_cast<ssize_t>(size), "cannot stage the input");
  return fd;
}

static std::vector<unsigned char> contents(int fd) {
  std::vector<unsigned char> bytes(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)));
  require(pread(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()),
          "cannot read the picture back");
  return bytes;
}

static std::uint32_t u32(const unsigned char* at) {
  return std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 | std::uint32_t{at[2]} << 8 |
         at[3];
}

// The rows a PNG's IDAT chunks inflate to, counted; -1 when they do not inflate.
static long inflated_bytes(const std::vector<unsigned char>& png, std::uint32_t& width,
                           std::uint32_t& height) {
  std::vector<unsigned char> idat;
  for (std::size_t at = 8; at + 12 <= png.size();) {
    const std::uint32_t size = u32(&png[at]);
    if (std::string(png.begin() + static_cast<long>(at) + 4,
                    png.begin() + static_cast<long>(at) + 8) == "IHDR") {
      width = u32(&png[at + 8]);
      height = u32(&png[at + 12]);
    } else if (png[at + 4] == 'I' && png[at + 5] == 'D') {
      idat.insert(idat.end(), png.begin() + static_cast<long>(at) + 8,
                  png.begin() + static_cast<long>(at + 8 + size));
    }
    at += 12 + size;
  }
  std::vector<unsigned char> raw(std::size_t{1} + (1 + std::size_t{width} * 3) * height);
  uLongf got = raw.size();
  return uncompress(raw.data(), &got, idat.data(), idat.size()) == Z_OK ? static_cast<long>(got)
                                                                        : -1;
}

static int whole_records(const std::uint8_t* data, std::size_t size, int tiles) {
  std::size_t at = 8;
  int count = 0;
  while (count < tiles && size - at >= 6 && std::memcmp(data + at, "TIL", 3) == 0 &&
         size - at - 6 >= be16(data + at + 4)) {
    at += std::size_t{6} + be16(data + at + 4);
    ++count;
  }
  return count;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 9) {
    return 0;
  }
  const int scale = 1 << (data[size - 1] & 3);
  --size;
  const auto width = static_cast<std::int16_t>(be16(data + 4));
  const auto height = static_cast<std::int16_t>(be16(data + 6));
  if (width > 512 || height > 512) {
    return 0;
  }
  const int input = memfd_with(data, size);
  const std::string path = "/proc/self/fd/" + std::to_string(input);
  static RecordBuffer in;
  in = RecordBuffer{};
  MozHeader header;
  Console console(nullptr, true);
  const bool picture = open_picture(path.c_str(), in, header, console);
  require(picture == (std::memcmp(data, "MOZ0", 4) == 0 && width > 0 && height > 0),
          "a picture where the header gives none, or none where it gives one");
  require(picture || in.fd < 0, "a refused input was left open");
  if (picture) {
    const int output = memfd_with(data, 0);
    const StitchStatus status = stitch_png({in, header, scale, "fuzz", console}, output);
    const std::vector<unsigned char> png = contents(output);
    std::uint32_t png_width = 0;
    std::uint32_t png_height = 0;
    const long rows = inflated_bytes(png, png_width, png_height);
    require(status != kStitchFailed, "a picture in memory could not be written");
    require(png_width == static_cast<std::uint32_t>((width + scale - 1) / scale) &&
                png_height == static_cast<std::uint32_t>((height + scale - 1) / scale),
            "the PNG's size differs from the header's");
    require(rows == (1 + long{png_width} * 3) * long{png_height},
            "the PNG's rows do not inflate to its size");
    require(status == kStitchDamaged || whole_records(data, size, header.tiles) == header.tiles,
            "a file short of tiles passed as clean");
    close(output);
  }
  if (in.fd >= 0) {
    close(in.fd);
  }
  close(input);
  return 0;
}
