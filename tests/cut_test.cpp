// moz-pack PICTURE OUT.moz: every kind of PNG and TIFF, JPEG cut losslessly, refusals.
#include <gtest/gtest.h>

#include <functional>

#include "picture_support.h"
// libpng's header by its versioned path, as the tools include it.
#include <libpng16/png.h>
#include <tiffio.h>

#include <cstring>

namespace {

// A PNG of `type` and `depth` from rows already in that layout.
struct PngLayout {
  int width, height, type, depth;
  bool interlaced = false;
  Bytes palette{};  // RGB triplets
  Bytes alphas{};   // tRNS for a palette
};

extern "C" void append_png(png_structp png, png_bytep data, std::size_t size) {
  static_cast<Bytes*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(data), size);
}
extern "C" void flush_png(png_structp) {}

Bytes png_of(const PngLayout& layout, const std::vector<Bytes>& rows) {
  Bytes out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(png, &out, append_png, flush_png);
  png_set_IHDR(png, info, static_cast<png_uint_32>(layout.width),
               static_cast<png_uint_32>(layout.height), layout.depth, layout.type,
               layout.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  std::vector<png_color> colors;
  for (std::size_t i = 0; i + 2 < layout.palette.size(); i += 3) {
    colors.push_back({static_cast<png_byte>(layout.palette[i]),
                      static_cast<png_byte>(layout.palette[i + 1]),
                      static_cast<png_byte>(layout.palette[i + 2])});
  }
  if (!colors.empty()) {
    png_set_PLTE(png, info, colors.data(), static_cast<int>(colors.size()));
  }
  if (!layout.alphas.empty()) {
    png_set_tRNS(png, info, reinterpret_cast<png_const_bytep>(layout.alphas.data()),
                 static_cast<int>(layout.alphas.size()), nullptr);
  }
  png_write_info(png, info);
  std::vector<png_bytep> starts;
  starts.reserve(rows.size());
  for (const Bytes& row : rows) {
    starts.push_back(reinterpret_cast<png_bytep>(const_cast<char*>(row.data())));
  }
  png_write_image(png, starts.data());
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return out;
}

unsigned char byte_at(const Bytes& bytes, std::size_t i) {
  return static_cast<unsigned char>(bytes[i]);
}

// A picture of `width` x `height` whose sample at (x, y, channel) is `value`.
struct Kind {
  const char* name;
  int type, depth, channels;
  bool interlaced;
};

// What moz-pack must make of a picture: each cell encoded as cjpeg does
// (quality 90, 4:2:0, optimized Huffman tables), then decoded by djpeg.
Image expected_moz_picture(const Image& picture) {
  std::vector<Bytes> tiles;
  for (int y = 0; y < picture.height; y += 64) {
    for (int x = 0; x < picture.width; x += 64) {
      Image cell{std::min(64, picture.width - x), std::min(64, picture.height - y), {}};
      for (int row = 0; row < cell.height; ++row) {
        cell.rgb += picture.rgb.substr(
            (static_cast<std::size_t>(y + row) * static_cast<std::size_t>(picture.width) +
             static_cast<std::size_t>(x)) *
                3,
            static_cast<std::size_t>(cell.width) * 3);
      }
      tiles.push_back(cjpeg(cell, "-quality 90 -optimize"));
    }
  }
  return expected_picture(picture.width, picture.height, tiles, 1);
}

struct Packed {
  Outcome run;
  Bytes moz;
};

Packed pack_picture(const Bytes& picture, const std::vector<std::string>& options = {},
                    bool piped = false) {
  TempDir dir;
  write_file(dir.path + "/in", picture);
  write_file(dir.path + "/out.moz", "the old output");
  std::vector<std::string> args = options;
  args.insert(args.end(), {piped ? "-" : dir.path + "/in", dir.path + "/out.moz"});
  Surroundings around;
  around.piped_input = piped ? &picture : nullptr;
  around.input_ends = true;  // a JPEG of many scans is read to its end
  Packed packed{run_tool(MOZ_PACK, args, dir.path, around), read_file(dir.path + "/out.moz")};
  EXPECT_EQ(files_in(dir.path).size(), 2U) << "a partial file was left behind";
  return packed;
}

Image stitched(const Bytes& moz) {
  TempDir dir;
  write_file(dir.path + "/in.moz", moz);
  const Outcome run = run_tool(MOZ_STITCH, {"in.moz", "out.png"}, dir.path);
  EXPECT_EQ(run.status, 0) << run.err;
  return read_png(read_file(dir.path + "/out.png"));
}

unsigned sample(int x, int y, int channel) {
  return static_cast<unsigned>(x * 5 + y * 3 + channel * 80 + (x * y) % 17) & 0xff;
}

// Each of a 200 x 130 MOZ's 12 tiles decodes as what `crop` makes of its cell
// (x, y, width, height), and the records fill the file.
void expect_cropped(const Bytes& moz, const std::function<Bytes(int, int, int, int)>& crop) {
  const std::vector<Bytes> tiles = moz_tiles(moz);
  ASSERT_EQ(tiles.size(), 12U);
  std::size_t at = 8;
  for (int tile = 0; tile < 12; ++tile) {
    const int x = tile % 4 * 64;
    const int y = tile / 4 * 64;
    const Bytes& ours = tiles[static_cast<std::size_t>(tile)];
    at += 6 + ours.size();
    EXPECT_TRUE(djpeg(ours) == djpeg(crop(x, y, std::min(64, 200 - x), std::min(64, 130 - y))))
        << "tile " << tile;
  }
  EXPECT_EQ(at, moz.size());
}

}  // namespace

// Every kind of PNG, at awkward sizes: stitched back, the MOZ is each cell of
// the picture (alpha over white) as cjpeg encodes it.
TEST(PackPicture, EveryKindOfPng) {
  if (!have_cjpeg()) {
    GTEST_SKIP() << "cjpeg and djpeg are not installed";
  }
  struct Row {
    const char* name;
    int width, height, type, depth;
    bool interlaced;
  };
  const Row rows[] = {
      {"RGB", 200, 130, PNG_COLOR_TYPE_RGB, 8, false},
      {"RGB, interlaced", 200, 130, PNG_COLOR_TYPE_RGB, 8, true},
      {"RGB, 16 bits", 65, 1, PNG_COLOR_TYPE_RGB, 16, false},
      {"RGBA", 64, 64, PNG_COLOR_TYPE_RGBA, 8, false},
      {"RGBA, 16 bits", 70, 3, PNG_COLOR_TYPE_RGBA, 16, false},
      {"gray", 1, 1, PNG_COLOR_TYPE_GRAY, 8, false},
      {"gray, 1 bit", 67, 9, PNG_COLOR_TYPE_GRAY, 1, false},
      {"gray, 16 bits", 9, 70, PNG_COLOR_TYPE_GRAY, 16, false},
      {"gray and alpha", 100, 65, PNG_COLOR_TYPE_GRAY_ALPHA, 8, false},
      {"palette with tRNS", 130, 20, PNG_COLOR_TYPE_PALETTE, 8, false},
      {"palette, 4 bits, interlaced", 33, 70, PNG_COLOR_TYPE_PALETTE, 4, true},
      {"the widest", 32767, 1, PNG_COLOR_TYPE_RGB, 8, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const int channels = row.type == PNG_COLOR_TYPE_RGB          ? 3
                         : row.type == PNG_COLOR_TYPE_RGBA       ? 4
                         : row.type == PNG_COLOR_TYPE_GRAY_ALPHA ? 2
                                                                 : 1;
    const bool palette = row.type == PNG_COLOR_TYPE_PALETTE;
    PngLayout layout{row.width, row.height, row.type, row.depth, row.interlaced};
    const int entries = palette ? 1 << row.depth : 0;
    for (int i = 0; i < entries; ++i) {
      layout.palette +=
          {static_cast<char>(i * 37), static_cast<char>(255 - i * 11), static_cast<char>(i * 90)};
      layout.alphas += static_cast<char>(i * 255 / std::max(1, entries - 1));
    }
    std::vector<Bytes> raw;
    Image picture{row.width, row.height, {}};
    for (int y = 0; y < row.height; ++y) {
      Bytes line;
      unsigned bits = 0;
      int filled = 0;
      for (int x = 0; x < row.width; ++x) {
        unsigned value[4] = {};
        for (int c = 0; c < channels; ++c) {
          const unsigned full = sample(x, y, c);
          const unsigned most = (1U << row.depth) - 1;
          value[c] = row.depth >= 8 ? full : full * most / 255;
          if (row.depth == 16) {
            value[c] = (full * 257) ^ (x & 1);  // rounds back to `full`
            line += {static_cast<char>(value[c] >> 8), static_cast<char>(value[c] & 0xff)};
          } else if (row.depth == 8) {
            line += static_cast<char>(value[c]);
          } else {
            bits = bits << row.depth | value[c];
            filled += row.depth;
            if (filled == 8) {
              line += static_cast<char>(bits);
              bits = 0;
              filled = 0;
            }
          }
        }
        // The RGB the reader must give: gray widened, palette looked up,
        // depths scaled to 8 bits, alpha over white.
        unsigned rgb[3] = {};
        unsigned alpha = 255;
        if (palette) {
          for (int c = 0; c < 3; ++c) {
            rgb[c] = byte_at(layout.palette, value[0] * 3 + static_cast<unsigned>(c));
          }
          alpha = byte_at(layout.alphas, value[0]);
        } else {
          const auto eight = [&](unsigned v) {
            return row.depth == 16 ? (v * 255 + 32895) >> 16 : v * 255 / ((1U << row.depth) - 1);
          };
          for (int c = 0; c < 3; ++c) {
            rgb[c] = eight(value[channels >= 3 ? c : 0]);
          }
          if (channels == 2 || channels == 4) {
            alpha = eight(value[channels - 1]);
          }
        }
        for (const unsigned c : rgb) {
          picture.rgb += static_cast<char>((c * alpha + 255 * (255 - alpha) + 127) / 255);
        }
      }
      if (filled > 0) {
        line += static_cast<char>(bits << (8 - filled));
      }
      raw.push_back(line);
    }
    const Packed packed = pack_picture(png_of(layout, raw));
    ASSERT_EQ(packed.run.status, 0) << packed.run.err;
    EXPECT_EQ(packed.run.err, "");
    EXPECT_TRUE(stitched(packed.moz) == expected_moz_picture(picture));
  }
}

// A JPEG's tiles are its own coefficients: each decodes to the pixels of
// jpegtran's lossless crop of its cell.
TEST(PackPicture, JpegIsCutWithoutDecoding) {
  if (!have_cjpeg() || std::system("command -v jpegtran > /dev/null 2>&1") != 0) {
    GTEST_SKIP() << "cjpeg, djpeg and jpegtran are not installed";
  }
  Image picture{200, 130, {}};
  for (int y = 0; y < picture.height; ++y) {
    for (int x = 0; x < picture.width; ++x) {
      for (int c = 0; c < 3; ++c) {
        picture.rgb += static_cast<char>(sample(x, y, c));
      }
    }
  }
  struct Row {
    const char* options;
    bool piped;
    const char* said;  // on standard error
  };
  const std::vector<Row> rows = {
      {"-quality 85", false, ""},
      {"-sample 1x1", false, ""},
      {"-sample 2x1 -restart 1", false, ""},
      {"-grayscale", false, ""},
      {"-progressive", false, ""},
      {"-sample 4x1", false, ""},
      // One scan is read as it comes; many are held, then read where they lie.
      {"-sample 2x2 -restart 2B", true, ""},
      {"-progressive -sample 1x2", true, ""},
      {"-arithmetic", false, "arithmetic-coded: its coefficients are held whole to be cut\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.options);
    const Bytes jpeg = cjpeg(picture, row.options);
    const Packed packed = pack_picture(jpeg, {}, row.piped);
    ASSERT_EQ(packed.run.status, 0) << packed.run.err;
    if (*row.said == '\0') {
      EXPECT_EQ(packed.run.err, "");
    } else {
      EXPECT_TRUE(packed.run.err.ends_with(row.said)) << packed.run.err;
    }
    expect_cropped(packed.moz, [&](int x, int y, int width, int height) {
      return run_filter("jpegtran -crop " + std::to_string(width) + "x" + std::to_string(height) +
                            "+" + std::to_string(x) + "+" + std::to_string(y),
                        jpeg);
    });
  }

  // Blocks off the tiles' grid (an MCU 24 pixels wide) are decoded and encoded.
  const Packed off_grid = pack_picture(cjpeg(picture, "-sample 3x1"));
  EXPECT_EQ(off_grid.run.status, 0);
  EXPECT_NE(off_grid.run.err.find("do not fall on the 64-pixel tiles, so its tiles are decoded"),
            std::string::npos)
      << off_grid.run.err;
  const Packed asked =
      pack_picture(cjpeg(picture, "-quality 85"), {"--reencode", "--quality", "70"});
  EXPECT_EQ(asked.run.status, 0);
  EXPECT_NE(
      asked.run.err.find("--reencode, so its tiles are decoded and encoded again at quality 70"),
      std::string::npos);
}

// The widest picture a MOZ holds, baseline and progressive, one full band and
// a band of one row: its corner tiles are jpegtran's crops of their cells.
TEST(PackPicture, TheWidestJpegIsCutWithoutLoss) {
  if (!have_cjpeg() || std::system("command -v jpegtran > /dev/null 2>&1") != 0) {
    GTEST_SKIP() << "cjpeg, djpeg and jpegtran are not installed";
  }
  Image picture{32767, 65, {}};
  picture.rgb.reserve(std::size_t{32767} * 65 * 3);
  for (int y = 0; y < picture.height; ++y) {
    for (int x = 0; x < picture.width; ++x) {
      for (int c = 0; c < 3; ++c) {
        picture.rgb += static_cast<char>(sample(x, y, c));
      }
    }
  }
  for (const char* options : {"-sample 2x2", "-progressive -sample 2x1"}) {
    SCOPED_TRACE(options);
    const Bytes jpeg = cjpeg(picture, options);
    const Packed packed = pack_picture(jpeg);
    ASSERT_EQ(packed.run.status, 0) << packed.run.err;
    const std::vector<Bytes> tiles = moz_tiles(packed.moz);
    ASSERT_EQ(tiles.size(), 512U * 2);
    for (const int tile : {0, 511, 512, 1023}) {
      const int x = tile % 512 * 64;
      const int y = tile / 512 * 64;
      const std::string cell = std::to_string(std::min(64, 32767 - x)) + "x" +
                               std::to_string(std::min(64, 65 - y)) + "+" + std::to_string(x) +
                               "+" + std::to_string(y);
      EXPECT_TRUE(djpeg(tiles[static_cast<std::size_t>(tile)]) ==
                  djpeg(run_filter("jpegtran -crop " + cell, jpeg)))
          << cell;
    }
  }
}

TEST(PackPicture, RefusalsLeaveOutAsItWas) {
  PngLayout wide{32768, 1, PNG_COLOR_TYPE_GRAY, 8};
  const Bytes good =
      png_of(PngLayout{64, 64, PNG_COLOR_TYPE_GRAY, 8}, std::vector<Bytes>(64, Bytes(64, 'x')));
  Bytes corrupt = good;
  corrupt[corrupt.size() - 20] ^= 0x40;  // in the image data: its check fails
  const Bytes jpeg =
      have_cjpeg() ? cjpeg(Image{64, 64, Bytes(std::size_t{64} * 64 * 3, 'y')}, "") : "";
  struct Row {
    const char* name;
    Bytes picture;
    std::vector<std::string> options;
    const char* said;
  };
  const std::vector<Row> rows = {
      {"wider than a MOZ",
       png_of(wide, {Bytes(32768, 'x')}),
       {},
       "is 32768 x 1 pixels: a MOZ holds 1 to 32767 a side"},
      {"neither PNG nor JPEG", "GIF89a....", {}, "is not a PNG, a JPEG or a TIFF picture"},
      {"a PNG cut short", good.substr(0, good.size() / 2), {}, "the file ends early"},
      {"a corrupt PNG", corrupt, {}, "IDAT: incorrect data check"},
      {"a JPEG cut short", jpeg.substr(0, jpeg.size() / 2), {}, "the file ends early"},
      {"a bad quality", good, {"--quality", "0"}, "--quality takes a number from 1 to 100"},
      {"a bad background", good, {"--background", "red"}, "--background takes a colour as RRGGBB"},
      {"a quality with a sign", good, {"--quality", "+50"}, "--quality takes a number"},
      {"a quality with a space", good, {"--quality", " 50"}, "--quality takes a number"},
      {"a background with a sign", good, {"--background", "-fffff"}, "takes a colour as RRGGBB"},
      {"a background with a space", good, {"--background", " fffff"}, "takes a colour as RRGGBB"},
      {"a background too long", good, {"--background", "1234567"}, "takes a colour as RRGGBB"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.picture.empty()) {
      continue;
    }
    const Packed packed = pack_picture(row.picture, row.options);
    EXPECT_EQ(packed.run.status, 2);
    EXPECT_NE(packed.run.err.find(row.said), std::string::npos) << packed.run.err;
    EXPECT_EQ(packed.moz, "the old output");
  }

  // From standard input, over a background of the caller's.
  PngLayout clear{3, 2, PNG_COLOR_TYPE_RGBA, 8};
  const Packed piped = pack_picture(png_of(clear, {Bytes(12, '\0'), Bytes(12, '\0')}),
                                    {"--background", "2060a0"}, true);
  ASSERT_EQ(piped.run.status, 0) << piped.run.err;
  if (have_cjpeg()) {
    EXPECT_TRUE(
        stitched(piped.moz) ==
        expected_moz_picture(Image{3, 2,
                                   Bytes("\x20\x60\xa0", 3) + Bytes("\x20\x60\xa0", 3) +
                                       Bytes("\x20\x60\xa0", 3) + Bytes("\x20\x60\xa0", 3) +
                                       Bytes("\x20\x60\xa0", 3) + Bytes("\x20\x60\xa0", 3)}));
  }
}

namespace {

// A TIFF written by libtiff: `pages` pages, the last the picture, the ones
// before it a plain 8 x 8 gray.
struct TiffLayout {
  const char* name;
  int samples;  // 1 gray or palette, 2 gray and alpha, 3 RGB, 4 RGB and alpha
  int bits;     // 8 or 16
  bool palette;
  int compression;
  int tile;  // 0 for strips
  bool big;
  int pages;
};

unsigned tiff_sample(const TiffLayout& layout, int x, int y, int channel) {
  const bool alpha = (layout.samples == 2 || layout.samples == 4) && channel == layout.samples - 1;
  if (alpha) {
    return (x + y) % 3 == 0 ? 0U : 255U;  // clear or opaque, so rounding cannot differ
  }
  return sample(x, y, channel);
}

Bytes tiff_of(const TiffLayout& layout, int width, int height) {
  TempDir dir;
  const std::string path = dir.path + "/made.tif";
  TIFF* tiff = TIFFOpen(path.c_str(), layout.big ? "w8" : "w");
  for (int page = 0; page < layout.pages; ++page) {
    const bool picture = page == layout.pages - 1;
    const int w = picture ? width : 8;
    const int h = picture ? height : 8;
    const int samples = picture ? layout.samples : 1;
    const int bits = picture ? layout.bits : 8;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, picture ? layout.compression : COMPRESSION_NONE);
    const bool palette = picture && layout.palette;
    TIFFSetField(
        tiff, TIFFTAG_PHOTOMETRIC,
        palette ? PHOTOMETRIC_PALETTE : (samples >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK));
    if (samples == 2 || samples == 4) {
      const std::uint16_t extra = EXTRASAMPLE_UNASSALPHA;
      TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    std::vector<std::uint16_t> red(256);
    std::vector<std::uint16_t> green(256);
    std::vector<std::uint16_t> blue(256);
    if (palette) {
      for (unsigned i = 0; i < 256; ++i) {
        red[i] = static_cast<std::uint16_t>(i * 257);
        green[i] = static_cast<std::uint16_t>((255 - i) * 257);
        blue[i] = static_cast<std::uint16_t>((i * 7 & 255) * 257);
      }
      TIFFSetField(tiff, TIFFTAG_COLORMAP, red.data(), green.data(), blue.data());
    }
    const bool tiled = picture && layout.tile > 0;
    if (tiled) {
      TIFFSetField(tiff, TIFFTAG_TILEWIDTH, layout.tile);
      TIFFSetField(tiff, TIFFTAG_TILELENGTH, layout.tile);
    } else {
      TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 16);
    }
    const int bytes = bits / 8;
    const auto value = [&](int x, int y, int c) -> unsigned {
      return picture ? tiff_sample(layout, x, y, c) : 0x40;
    };
    const auto put = [&](std::vector<unsigned char>& into, std::size_t at, unsigned v) {
      if (bytes == 1) {
        into[at] = static_cast<unsigned char>(v);
      } else {
        const auto wide = static_cast<std::uint16_t>(v * 257);
        std::memcpy(&into[at * 2], &wide, 2);
      }
    };
    if (tiled) {
      const auto edge = static_cast<std::size_t>(layout.tile);
      std::vector<unsigned char> buffer(edge * edge * static_cast<std::size_t>(samples * bytes));
      for (int ty = 0; ty < h; ty += layout.tile) {
        for (int tx = 0; tx < w; tx += layout.tile) {
          std::fill(buffer.begin(), buffer.end(), 0);
          for (int y = 0; y < layout.tile && ty + y < h; ++y) {
            for (int x = 0; x < layout.tile && tx + x < w; ++x) {
              for (int c = 0; c < samples; ++c) {
                put(buffer,
                    (static_cast<std::size_t>(y) * edge + static_cast<std::size_t>(x)) *
                            static_cast<std::size_t>(samples) +
                        static_cast<std::size_t>(c),
                    value(tx + x, ty + y, c));
              }
            }
          }
          TIFFWriteTile(tiff, buffer.data(), static_cast<std::uint32_t>(tx),
                        static_cast<std::uint32_t>(ty), 0, 0);
        }
      }
    } else {
      std::vector<unsigned char> row(static_cast<std::size_t>(w * samples * bytes));
      for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
          for (int c = 0; c < samples; ++c) {
            put(row,
                static_cast<std::size_t>(x) * static_cast<std::size_t>(samples) +
                    static_cast<std::size_t>(c),
                value(x, y, c));
          }
        }
        TIFFWriteScanline(tiff, row.data(), static_cast<std::uint32_t>(y), 0);
      }
    }
    TIFFWriteDirectory(tiff);
  }
  TIFFClose(tiff);
  return read_file(path);
}

// The same picture as an 8-bit PNG, the palette's colours looked up.
Bytes png_like(const TiffLayout& layout, int width, int height) {
  const int channels = layout.palette ? 3 : layout.samples;
  const int type = channels == 1   ? PNG_COLOR_TYPE_GRAY
                   : channels == 2 ? PNG_COLOR_TYPE_GRAY_ALPHA
                   : channels == 3 ? PNG_COLOR_TYPE_RGB
                                   : PNG_COLOR_TYPE_RGBA;
  std::vector<Bytes> rows;
  for (int y = 0; y < height; ++y) {
    Bytes row;
    for (int x = 0; x < width; ++x) {
      if (layout.palette) {
        const unsigned i = tiff_sample(layout, x, y, 0);
        row += static_cast<char>(i);
        row += static_cast<char>(255 - i);
        row += static_cast<char>(i * 7 & 255);
        continue;
      }
      for (int c = 0; c < channels; ++c) {
        row += static_cast<char>(tiff_sample(layout, x, y, c));
      }
    }
    rows.push_back(row);
  }
  return png_of(PngLayout{width, height, type, 8}, rows);
}

}  // namespace

// Every kind of TIFF makes the MOZ its pixels make as a PNG, byte for byte.
TEST(PackPicture, EveryKindOfTiff) {
  const TiffLayout layouts[] = {
      {"striped deflate RGB", 3, 8, false, COMPRESSION_ADOBE_DEFLATE, 0, false, 1},
      {"tiled LZW RGB", 3, 8, false, COMPRESSION_LZW, 32, false, 1},
      {"16-bit RGB with alpha", 4, 16, false, COMPRESSION_ADOBE_DEFLATE, 0, false, 1},
      {"gray", 1, 8, false, COMPRESSION_PACKBITS, 0, false, 1},
      {"gray with alpha", 2, 8, false, COMPRESSION_NONE, 48, false, 1},
      {"16-bit gray with alpha", 2, 16, false, COMPRESSION_ADOBE_DEFLATE, 0, false, 1},
      {"16-bit gray with alpha, tiled", 2, 16, false, COMPRESSION_NONE, 48, false, 1},
      {"palette", 1, 8, true, COMPRESSION_LZW, 0, false, 1},
      {"BigTIFF", 3, 8, false, COMPRESSION_ADOBE_DEFLATE, 64, true, 1},
      {"the third page", 3, 8, false, COMPRESSION_NONE, 0, false, 3},
  };
  for (const TiffLayout& layout : layouts) {
    SCOPED_TRACE(layout.name);
    const Bytes tiff = tiff_of(layout, 130, 70);
    std::vector<std::string> options;
    if (layout.pages > 1) {
      options = {"--page", std::to_string(layout.pages - 1)};
    }
    const Packed packed = pack_picture(tiff, options);
    ASSERT_EQ(packed.run.status, 0) << packed.run.err;
    EXPECT_EQ(packed.run.err, "");
    const Packed from_png = pack_picture(png_like(layout, 130, 70));
    ASSERT_EQ(from_png.run.status, 0) << from_png.run.err;
    EXPECT_TRUE(packed.moz == from_png.moz);
  }

  const Bytes good = tiff_of(layouts[0], 130, 70);
  Bytes corrupt = good;
  for (std::size_t i = 200; i < 400; ++i) {
    corrupt[i] = static_cast<char>(corrupt[i] ^ 0x5a);  // inside the first strips' data
  }
  struct Refusal {
    const char* name;
    Bytes picture;
    std::vector<std::string> options;
    bool piped;
    const char* said;
  };
  const Refusal refusals[] = {
      {"cut short", good.substr(0, good.size() / 2), {}, false, "not a TIFF that can be read"},
      {"corrupt", corrupt, {}, false, "cannot be read"},
      {"from a pipe", good, {}, true, "not from a pipe"},
      {"no such page", good, {"--page", "1"}, false, "it has no page 1"},
      {"a page of a PNG",
       png_like(layouts[0], 4, 4),
       {"--page", "1"},
       false,
       "--page is for a TIFF"},
      {"a bad page", good, {"--page", "one"}, false, "--page takes a page number"},

  };
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.name);
    const Packed packed = pack_picture(refusal.picture, refusal.options, refusal.piped);
    EXPECT_EQ(packed.run.status, 2);
    EXPECT_NE(packed.run.err.find(refusal.said), std::string::npos) << packed.run.err;
    EXPECT_EQ(packed.moz, "the old output");
  }
}

namespace {

// A TIFF made from another by tiffcp with `options`.
Bytes tiffcp(const Bytes& tiff, const std::string& options) {
  TempDir dir;
  write_file(dir.path + "/in.tif", tiff);
  EXPECT_EQ(std::system(
                ("tiffcp " + options + " '" + dir.path + "/in.tif' '" + dir.path + "/out.tif' 2>&1")
                    .c_str()),
            0);
  return read_file(dir.path + "/out.tif");
}

// The JPEG stream of the TIFF tile at (x, y): its tables, then the tile.
Bytes tiff_tile_stream(const Bytes& tiff, int x, int y) {
  TempDir dir;
  write_file(dir.path + "/in.tif", tiff);
  TIFF* file = TIFFOpen((dir.path + "/in.tif").c_str(), "r");
  const std::uint32_t tile =
      TIFFComputeTile(file, static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y), 0, 0);
  Bytes raw(static_cast<std::size_t>(TIFFGetStrileByteCount(file, tile)), '\0');
  TIFFReadRawTile(file, tile, raw.data(), static_cast<tmsize_t>(raw.size()));
  std::uint32_t count = 0;
  void* tables = nullptr;
  Bytes stream = raw;
  if (TIFFGetField(file, TIFFTAG_JPEGTABLES, &count, &tables) != 0) {
    stream = Bytes(static_cast<const char*>(tables), count - 2) + raw.substr(2);
  }
  TIFFClose(file);
  return stream;
}

// libtiff's own picture of a TIFF, as 8-bit RGB.
Image libtiff_picture(const Bytes& tiff) {
  TempDir dir;
  write_file(dir.path + "/in.tif", tiff);
  TIFF* file = TIFFOpen((dir.path + "/in.tif").c_str(), "r");
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  TIFFGetField(file, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(file, TIFFTAG_IMAGELENGTH, &height);
  std::vector<std::uint32_t> raster(std::size_t{width} * height);
  TIFFReadRGBAImageOriented(file, width, height, raster.data(), ORIENTATION_TOPLEFT, 1);
  TIFFClose(file);
  Image image{static_cast<int>(width), static_cast<int>(height), {}};
  for (const std::uint32_t pixel : raster) {
    image.rgb += static_cast<char>(TIFFGetR(pixel));
    image.rgb += static_cast<char>(TIFFGetG(pixel));
    image.rgb += static_cast<char>(TIFFGetB(pixel));
  }
  return image;
}

}  // namespace

// A TIFF in JPEG tiles a multiple of 64 on a side is cut from its tiles'
// coefficients: each MOZ tile is what jpegtran crops from its TIFF tile.
TEST(PackPicture, JpegTiffsAreCutFromTheirTiles) {
  if (!have_cjpeg() || std::system("command -v jpegtran tiffcp > /dev/null 2>&1") != 0) {
    GTEST_SKIP() << "cjpeg, djpeg, jpegtran and tiffcp are not installed";
  }
  const TiffLayout rgb{"", 3, 8, false, COMPRESSION_NONE, 0, false, 1};
  const TiffLayout gray{"", 1, 8, false, COMPRESSION_NONE, 0, false, 1};
  struct Row {
    const char* name;
    Bytes tiff;
    int tile;
  };
  const Row rows[] = {
      {"YCbCr 4:2:0, 64 a side", tiffcp(tiff_of(rgb, 200, 130), "-c jpeg:90 -t -w 64 -l 64"), 64},
      {"YCbCr 4:2:0, 256 a side", tiffcp(tiff_of(rgb, 200, 130), "-c jpeg:90 -t -w 256 -l 256"),
       256},
      {"gray, 128 a side", tiffcp(tiff_of(gray, 200, 130), "-c jpeg:80 -t -w 128 -l 128"), 128},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Packed packed = pack_picture(row.tiff);
    ASSERT_EQ(packed.run.status, 0) << packed.run.err;
    EXPECT_EQ(packed.run.err, "");
    expect_cropped(packed.moz, [&](int x, int y, int width, int height) {
      const int tx = x / row.tile * row.tile;
      const int ty = y / row.tile * row.tile;
      return run_filter("jpegtran -crop " + std::to_string(width) + "x" + std::to_string(height) +
                            "+" + std::to_string(x - tx) + "+" + std::to_string(y - ty),
                        tiff_tile_stream(row.tiff, tx, ty));
    });
  }

  // RGB stored as it is in JPEG: the tiles say so, and show libtiff's picture.
  TiffLayout rgb_jpeg = rgb;
  rgb_jpeg.compression = COMPRESSION_JPEG;
  rgb_jpeg.tile = 128;
  const Bytes stored_rgb = tiff_of(rgb_jpeg, 200, 130);
  const Packed packed = pack_picture(stored_rgb);
  ASSERT_EQ(packed.run.status, 0) << packed.run.err;
  EXPECT_EQ(packed.run.err, "");
  EXPECT_TRUE(stitched(packed.moz) == libtiff_picture(stored_rgb));

  // Tiles off the 64-pixel grid are decoded, and it is said.
  const Packed off_grid = pack_picture(tiffcp(tiff_of(rgb, 200, 130), "-c jpeg -t -w 48 -l 48"));
  EXPECT_EQ(off_grid.run.status, 0);
  EXPECT_NE(off_grid.run.err.find("its tiles' sides are not multiples of 64, so its tiles are "
                                  "decoded and encoded again at quality 90"),
            std::string::npos)
      << off_grid.run.err;
}

// A tile that cannot be cut late in one band while the next band's tiles
// cannot be read: the run stops with nothing written, on every core.
TEST(PackPicture, BandsFailingSideBySideStopTheRun) {
  if (!have_cjpeg()) {
    GTEST_SKIP() << "cjpeg and djpeg are not installed";
  }
  constexpr int kColumns = 40;
  TempDir dir;
  const std::string path = dir.path + "/tiles.tif";
  TIFF* tiff = TIFFOpen(path.c_str(), "w");
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, kColumns * 64);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, 128);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_JPEG);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR);
  TIFFSetField(tiff, TIFFTAG_YCBCRSUBSAMPLING, 2, 2);
  TIFFSetField(tiff, TIFFTAG_TILEWIDTH, 64);
  TIFFSetField(tiff, TIFFTAG_TILELENGTH, 64);
  for (int column = 0; column < kColumns; ++column) {
    Bytes tile = cjpeg_tile(64, 64, "", static_cast<unsigned>(column + 1));
    if (column == kColumns - 1) {
      tile = tile.substr(0, tile.size() / 2);  // its scan cut short
    }
    TIFFWriteRawTile(tiff, static_cast<std::uint32_t>(column), tile.data(),
                     static_cast<tmsize_t>(tile.size()));
  }
  // The second row's tiles are never written: their byte counts stay 0.
  TIFFWriteDirectory(tiff);
  TIFFClose(tiff);
  const Packed packed = pack_picture(read_file(path));
  EXPECT_EQ(packed.run.status, 2);
  EXPECT_NE(packed.run.err.find("moz-pack: "), std::string::npos) << packed.run.err;
  EXPECT_EQ(packed.moz, "the old output");
}
