#include "picture_support.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

Bytes run_filter(const std::string& command, const Bytes& input) {
  TempDir dir;
  write_file(dir.path + "/in", input);
  const std::string line = command + " < " + dir.path + "/in > " + dir.path + "/out 2>/dev/null";
  [[maybe_unused]] const int status = std::system(line.c_str());
  return read_file(dir.path + "/out");
}

bool have_cjpeg() { return std::system("command -v cjpeg djpeg > /dev/null 2>&1") == 0; }

Bytes cjpeg_tile(int width, int height, const std::string& options, unsigned seed) {
  Bytes ppm = "P6 " + std::to_string(width) + " " + std::to_string(height) + " 255\n";
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const auto ux = static_cast<unsigned>(x);
      const auto uy = static_cast<unsigned>(y);
      const unsigned v = (ux * 7 + uy * 3) * seed;
      ppm += {static_cast<char>(v & 0xff), static_cast<char>((ux * 4 + seed * 50) & 0xff),
              static_cast<char>((uy * 4 + (v >> 3)) & 0xff)};
    }
  }
  return run_filter("cjpeg -quality 90 " + options, ppm);
}

Bytes cjpeg(const Image& image, const std::string& options) {
  return run_filter("cjpeg " + options, "P6 " + std::to_string(image.width) + " " +
                                            std::to_string(image.height) + " 255\n" + image.rgb);
}

Image djpeg(const Bytes& jpeg, int scale) {
  const Bytes ppm = run_filter("djpeg -rgb -ppm -scale 1/" + std::to_string(scale), jpeg);
  // "P6 width height 255" and one white-space byte, as djpeg writes it.
  std::istringstream header(ppm);
  std::string magic;
  Image image;
  int depth = 0;
  if (!(header >> magic >> image.width >> image.height >> depth) || magic != "P6") {
    return {};
  }
  image.rgb = ppm.substr(static_cast<std::size_t>(header.tellg()) + 1);
  return image;
}

static std::size_t at(int offset) { return static_cast<std::size_t>(offset); }

Image expected_picture(int width, int height, const std::vector<Bytes>& tiles, int scale) {
  const int columns = (width + 63) / 64;
  const int cell = 64 / scale;
  Image picture{(width + scale - 1) / scale, (height + scale - 1) / scale, {}};
  picture.rgb.assign(at(picture.width) * at(picture.height) * 3, '\x80');
  for (std::size_t i = 0; i < tiles.size(); ++i) {
    const Image tile = djpeg(tiles[i], scale);
    const int x0 = static_cast<int>(i) % columns * cell;
    const int y0 = static_cast<int>(i) / columns * cell;
    for (int y = 0; y < std::min({tile.height, cell, picture.height - y0}); ++y) {
      const std::size_t run = at(std::min({tile.width, cell, picture.width - x0})) * 3;
      picture.rgb.replace((at(y0 + y) * at(picture.width) + at(x0)) * 3, run,
                          tile.rgb.substr(at(y) * at(tile.width) * 3, run));
    }
  }
  return picture;
}

static unsigned u32(const Bytes& bytes, std::size_t at) {
  return static_cast<unsigned>(static_cast<unsigned char>(bytes[at]) << 24 |
                               static_cast<unsigned char>(bytes[at + 1]) << 16 |
                               static_cast<unsigned char>(bytes[at + 2]) << 8 |
                               static_cast<unsigned char>(bytes[at + 3]));
}

Image read_png(const Bytes& png) {
  if (png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) {
    return {};
  }
  Image image;
  Bytes idat;
  for (std::size_t at = 8; at + 12 <= png.size();) {
    const std::size_t size = u32(png, at);
    const Bytes type = png.substr(at + 4, 4);
    if (crc32(0, reinterpret_cast<const Bytef*>(png.data() + at + 4),
              static_cast<uInt>(size + 4)) != u32(png, at + 8 + size)) {
      return {};
    }
    if (type == "IHDR") {
      image.width = static_cast<int>(u32(png, at + 8));
      image.height = static_cast<int>(u32(png, at + 12));
    } else if (type == "IDAT") {
      idat += png.substr(at + 8, size);
    }
    at += 12 + size;
  }
  const std::size_t row = static_cast<std::size_t>(image.width) * 3;
  Bytes raw((row + 1) * static_cast<std::size_t>(image.height), '\0');
  uLongf raw_size = raw.size();
  if (uncompress(reinterpret_cast<Bytef*>(raw.data()), &raw_size,
                 reinterpret_cast<const Bytef*>(idat.data()), idat.size()) != Z_OK ||
      raw_size != raw.size()) {
    return {};
  }
  image.rgb.assign(row * static_cast<std::size_t>(image.height), '\0');
  auto at = [&](int y, std::size_t x) -> int {
    return y < 0 ? 0 : static_cast<unsigned char>(image.rgb[static_cast<std::size_t>(y) * row + x]);
  };
  for (int y = 0; y < image.height; ++y) {
    const char filter = raw[static_cast<std::size_t>(y) * (row + 1)];
    for (std::size_t x = 0; x < row; ++x) {
      const int a = x >= 3 ? at(y, x - 3) : 0;
      const int b = at(y - 1, x);
      const int c = x >= 3 ? at(y - 1, x - 3) : 0;
      const int p = a + b - c;
      const int paeth = std::abs(p - a) <= std::abs(p - b) && std::abs(p - a) <= std::abs(p - c) ? a
                        : std::abs(p - b) <= std::abs(p - c)                                     ? b
                                                             : c;
      const int predicted[] = {0, a, b, (a + b) / 2, paeth};
      image.rgb[static_cast<std::size_t>(y) * row + x] = static_cast<char>(
          raw[static_cast<std::size_t>(y) * (row + 1) + 1 + x] + predicted[filter % 5]);
    }
  }
  return image;
}

// The picture halved as the pyramid halves it: rounded means of two by two.
Image halved(const Image& from) {
  Image to{(from.width + 1) / 2, (from.height + 1) / 2, {}};
  for (int y = 0; y < to.height; ++y) {
    for (int x = 0; x < to.width; ++x) {
      for (int c = 0; c < 3; ++c) {
        int sum = 0;
        int count = 0;
        for (int dy = 0; dy < 2 && 2 * y + dy < from.height; ++dy) {
          for (int dx = 0; dx < 2 && 2 * x + dx < from.width; ++dx, ++count) {
            sum += static_cast<unsigned char>(
                from.rgb[(at(2 * y + dy) * at(from.width) + at(2 * x + dx)) * 3 + at(c)]);
          }
        }
        to.rgb += static_cast<char>((sum + count / 2) / count);
      }
    }
  }
  return to;
}

Image crop(const Image& from, int x, int y, int width, int height) {
  Image to{width, height, {}};
  for (int row = y; row < y + height; ++row) {
    to.rgb += from.rgb.substr((at(row) * at(from.width) + at(x)) * 3, at(width) * 3);
  }
  return to;
}

std::vector<Bytes> moz_tiles(const Bytes& moz) {
  std::vector<Bytes> tiles;
  for (std::size_t offset = 8; offset + 6 <= moz.size();) {
    const std::size_t length = std::size_t{static_cast<unsigned char>(moz[offset + 4])} << 8 |
                               static_cast<unsigned char>(moz[offset + 5]);
    tiles.push_back(moz.substr(offset + 6, length));
    offset += 6 + length;
  }
  return tiles;
}
