// moz-tiff's TIFF read back by readers made elsewhere: libtiff's tools,
// libvips, GDAL, OpenSlide and ImageMagick. Each must see the picture and
// every level; level 0's pixels are the MOZ's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "jpeg.h"
#include "jpeg_markers.h"
#include "picture_support.h"

namespace {

Bytes moz_with(int width, int height, const std::vector<Bytes>& tiles, const Bytes& junk = "") {
  Bytes records;
  for (std::size_t i = 0; i < tiles.size(); ++i) {
    records += record('J', tiles[i]);
    if (i == 0) {
      records += junk;
    }
  }
  return moz_file(static_cast<unsigned>(width), static_cast<unsigned>(height), records);
}

bool have(const char* command) {
  return std::system(("command -v " + std::string(command) + " > /dev/null 2>&1").c_str()) == 0;
}

std::string shell(const std::string& command) {
  const Bytes out = run_filter(command + " 2>&1", "");
  return std::string(out.begin(), out.end());
}

int count(const std::string& text, const std::string& what) {
  int found = 0;
  for (std::size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + what.size())) {
    ++found;
  }
  return found;
}

struct Difference {
  int most = 0;     // of any sample
  double mean = 0;  // over the samples
};

// How far apart two pictures of one size are in the cell at (x, y).
Difference difference(const Image& a, const Image& b, int x, int y, int width, int height) {
  Difference found;
  double sum = 0;
  for (int row = y; row < y + height; ++row) {
    for (int column = x * 3; column < (x + width) * 3; ++column) {
      const std::size_t at = static_cast<std::size_t>(row) * static_cast<std::size_t>(a.width) * 3 +
                             static_cast<std::size_t>(column);
      const int apart = std::abs(static_cast<int>(static_cast<unsigned char>(a.rgb[at])) -
                                 static_cast<unsigned char>(b.rgb[at]));
      found.most = std::max(found.most, apart);
      sum += apart;
    }
  }
  found.mean = sum / (static_cast<double>(width) * height * 3);
  return found;
}

// GDAL's picture of a level (0 the full size) as 8-bit RGB.
Image gdal_picture(const std::string& tiff, int level, bool gray) {
  const std::string png = tiff + ".png";
  const std::string overview = level > 0 ? " -ovr " + std::to_string(level - 1) : "";
  const std::string bands = gray ? " -b 1 -b 1 -b 1" : " -b 1 -b 2 -b 3";
  const std::string said =
      shell("gdal_translate -q -of PNG" + overview + bands + " '" + tiff + "' '" + png + "'");
  EXPECT_EQ(said, "") << "gdal_translate on level " << level;
  return read_png(read_file(png));
}

bool have_readers() {
  return have_cjpeg() && have("tiffinfo") && have("tiffdump") && have("tiffcp") &&
         have("vipsheader") && have("gdalinfo") && have("gdal_translate") &&
         have("openslide-show-properties") && have("identify");
}

}  // namespace

TEST(JpegMarkers, FramesAndTablesAsEncodersWriteThem) {
  if (!have_cjpeg()) {
    GTEST_SKIP() << "cjpeg and djpeg are not installed";
  }
  struct Row {
    const char* options;
    int frame, components, h, v;
    bool rgb;
  };
  const Row rows[] = {
      {"", 0xC0, 3, 2, 2, false},
      {"-sample 1x1", 0xC0, 3, 1, 1, false},
      {"-sample 2x1", 0xC0, 3, 2, 1, false},
      {"-grayscale", 0xC0, 1, 1, 1, false},
      {"-progressive", 0xC2, 3, 2, 2, false},
      {"-arithmetic", 0xC9, 3, 2, 2, false},
      {"-rgb", 0xC0, 3, 1, 1, true},
      {"-restart 1", 0xC0, 3, 2, 2, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.options);
    const Bytes jpeg = cjpeg_tile(40, 24, row.options);
    const auto* bytes = reinterpret_cast<const unsigned char*>(jpeg.data());
    JpegSegments segments;
    ASSERT_TRUE(read_jpeg_segments(bytes, jpeg.size(), segments));
    EXPECT_EQ(segments.frame, row.frame);
    EXPECT_EQ(std::make_pair(segments.width, segments.height), std::make_pair(40, 24));
    EXPECT_EQ(segments.components, row.components);
    EXPECT_EQ(std::make_pair(segments.component[0].h, segments.component[0].v),
              std::make_pair(row.h, row.v));
    EXPECT_EQ(segments.rgb, row.rgb);
    // Without its tables, after them, the tile is the same picture; with
    // them but without its JFIF marker, too.
    std::vector<unsigned char> lean;
    strip_jpeg(bytes, jpeg.size(), segments, true, lean);
    const std::vector<unsigned char> tables = jpeg_tables(bytes, segments);
    Bytes joined(tables.begin(), tables.end() - 2);
    joined.append(lean.begin() + 2, lean.end());
    EXPECT_TRUE(djpeg(joined) == djpeg(jpeg));
    strip_jpeg(bytes, jpeg.size(), segments, false, lean);
    EXPECT_EQ(Bytes(lean.begin(), lean.end()).find("JFIF"), std::string::npos);
    EXPECT_TRUE(djpeg(Bytes(lean.begin(), lean.end())) == djpeg(jpeg));
  }
  for (const Bytes& broken : {Bytes("\xff\xd8"), Bytes("not a jpeg at all"),
                              cjpeg_tile(8, 8).substr(0, 30), Bytes("\xff\xd8\xff\xda\x00", 5)}) {
    JpegSegments segments;
    EXPECT_FALSE(read_jpeg_segments(reinterpret_cast<const unsigned char*>(broken.data()),
                                    broken.size(), segments));
  }
}

// An edge tile padded to 64 x 64 from its coefficients keeps its pixels:
// exactly where no chroma is upsampled across the new edge, within a few
// levels where it is.
TEST(TilePadder, EdgeTilesKeepTheirPixels) {
  if (!have_cjpeg()) {
    GTEST_SKIP() << "cjpeg and djpeg are not installed";
  }
  struct Row {
    int width, height;
    const char* options;
    int most;  // the largest difference allowed
  };
  const Row rows[] = {
      {36, 64, "", 24},
      {64, 6, "", 24},
      {8, 8, "", 24},
      {1, 1, "", 24},
      {37, 21, "-sample 1x1", 0},
      {5, 63, "-grayscale", 0},
      {64, 17, "-sample 2x1", 24},
  };
  TilePadder padder;
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.width) + " x " + std::to_string(row.height) + " " +
                 row.options);
    const Bytes tile = cjpeg_tile(row.width, row.height, row.options);
    const unsigned char* padded = nullptr;
    std::size_t bytes = 0;
    std::string reason;
    ASSERT_TRUE(padder.pad(reinterpret_cast<const unsigned char*>(tile.data()), tile.size(), 64,
                           padded, bytes, reason))
        << reason;
    const Image big = djpeg(Bytes(reinterpret_cast<const char*>(padded), bytes));
    const Image small = djpeg(tile);
    ASSERT_EQ(std::make_pair(big.width, big.height), std::make_pair(64, 64));
    Image cell{row.width, row.height, {}};
    for (int y = 0; y < row.height; ++y) {
      cell.rgb += big.rgb.substr(static_cast<std::size_t>(y) * 64 * 3,
                                 static_cast<std::size_t>(row.width) * 3);
    }
    EXPECT_LE(difference(cell, small, 0, 0, row.width, row.height).most, row.most);
  }
  const Bytes large = cjpeg_tile(65, 8);
  const unsigned char* padded = nullptr;
  std::size_t bytes = 0;
  std::string reason;
  EXPECT_FALSE(padder.pad(reinterpret_cast<const unsigned char*>(large.data()), large.size(), 64,
                          padded, bytes, reason));
}

TEST(Tiff, EveryReaderSeesThePictureAndItsLevels) {
  if (!have_readers()) {
    GTEST_SKIP() << "cjpeg, libtiff-tools, libvips-tools, gdal-bin, openslide-tools or "
                    "imagemagick is not installed";
  }
  struct Row {
    const char* name;
    int width, height;
    std::vector<Bytes> tiles;
    Bytes junk;  // after the first record
    int status;
    int levels;
    const char* photometric;  // as tiffinfo says it
    const char* said;         // on standard error, or ""
    const char* shape;        // cjpeg's options for the tiles encoded
  };
  const auto tiles = [](int width, int height, const char* options) {
    std::vector<Bytes> made;
    for (int y = 0; y < height; y += 64) {
      for (int x = 0; x < width; x += 64) {
        made.push_back(cjpeg_tile(std::min(64, width - x), std::min(64, height - y), options,
                                  static_cast<unsigned>(made.size() + 1)));
      }
    }
    return made;
  };
  std::vector<Bytes> mixed = tiles(128, 64, "");
  mixed[1] = cjpeg_tile(64, 64, "-progressive", 7);
  // The sample's tiles each have Huffman tables of their own.
  const std::vector<Row> rows = {
      {"the sample", 200, 130, moz_tiles(read_file(TILETOOLS_EXAMPLES "/scene.moz")), "", 0, 3,
       "YCbCr", "", ""},
      {"4:2:0", 200, 130, tiles(200, 130, ""), "", 0, 3, "YCbCr", "", ""},
      {"4:4:4", 130, 70, tiles(130, 70, "-sample 1x1"), "", 0, 3, "YCbCr", "", "-sample 1x1"},
      {"gray", 100, 100, tiles(100, 100, "-grayscale"), "", 0, 2, "min-is-black", "", "-grayscale"},
      {"1 x 1", 1, 1, tiles(1, 1, ""), "", 0, 1, "YCbCr", "", ""},
      {"65 x 1", 65, 1, tiles(65, 1, ""), "", 0, 2, "YCbCr", "", ""},
      {"a progressive tile", 128, 64, mixed, "", 0, 2, "YCbCr",
       "tile 1 (column 1, row 0) is encoded again: it is progressive", ""},
      {"damaged, salvaged", 200, 130, tiles(200, 130, ""), Bytes(300, 'x'), 1, 3, "YCbCr",
       "skipped 300 bytes", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    write_file(dir.path + "/in.moz", moz_with(row.width, row.height, row.tiles, row.junk));
    const Outcome run =
        run_tool(MOZ_TIFF, {"--quality", "100", "--salvage", "in.moz", "out.tif"}, dir.path);
    EXPECT_EQ(run.status, row.status) << run.err;
    if (*row.said == '\0') {
      EXPECT_EQ(run.err, "");
    } else {
      EXPECT_NE(run.err.find(row.said), std::string::npos) << run.err;
    }
    const std::string tiff = dir.path + "/out.tif";
    const std::string levels = std::to_string(row.levels);

    const std::string info = shell("tiffinfo '" + tiff + "'");
    EXPECT_EQ(count(info, "TIFF Directory at offset"), row.levels) << info;
    EXPECT_EQ(count(info, "Tile Width: 64 Tile Length: 64"), row.levels);
    EXPECT_EQ(count(info, "Compression Scheme: JPEG"), row.levels);
    EXPECT_EQ(count(info, std::string("Photometric Interpretation: ") + row.photometric),
              row.levels);
    EXPECT_EQ(count(info, "reduced-resolution image"), row.levels - 1);
    EXPECT_NE(shell("tiffdump '" + tiff + "'").find("<ClassicTIFF>"), std::string::npos);
    // Every tile decoded in turn by libtiff, with not a word from libjpeg.
    EXPECT_EQ(shell("tiffcp -c none '" + tiff + "' '" + dir.path + "/plain.tif'"), "");

    EXPECT_EQ(shell("vipsheader -f n-pages '" + tiff + "'"), levels + "\n");
    const std::string gdal = shell("gdalinfo '" + tiff + "'");
    EXPECT_NE(gdal.find("Size is " + std::to_string(row.width) + ", " + std::to_string(row.height)),
              std::string::npos)
        << gdal;
    if (row.levels > 1) {
      EXPECT_NE(gdal.find("Overviews: " + std::to_string((row.width + 1) / 2) + "x" +
                          std::to_string((row.height + 1) / 2)),
                std::string::npos)
          << gdal;
    }
    EXPECT_NE(shell("openslide-show-properties '" + tiff + "'")
                  .find("openslide.level-count: '" + levels + "'"),
              std::string::npos);
    EXPECT_EQ(count(shell("identify '" + tiff + "'"), " TIFF "), row.levels);

    // Level 0 is the MOZ's picture: a tile copied as it was decodes to its
    // own pixels exactly, an edge tile padded to them but where its chroma
    // meets the new edge, and a tile encoded again as cjpeg encodes its
    // pixels, but where the reader's chroma upsampling meets a tile's edge.
    const auto encoded = [&](const Image& pixels) {
      return djpeg(cjpeg(pixels, std::string("-quality 100 ") + row.shape));
    };
    const bool gray = std::string(row.photometric) == "min-is-black";
    const Image picture = expected_picture(row.width, row.height, row.tiles, 1);
    const Image seen = gdal_picture(tiff, 0, gray);
    ASSERT_EQ(std::make_pair(seen.width, seen.height), std::make_pair(row.width, row.height));
    for (int y = 0; y < row.height; y += 64) {
      for (int x = 0; x < row.width; x += 64) {
        const int width = std::min(64, row.width - x);
        const int height = std::min(64, row.height - y);
        SCOPED_TRACE("tile at " + std::to_string(x) + ", " + std::to_string(y));
        const Difference apart = difference(seen, picture, x, y, width, height);
        if (row.said[0] != '\0' && x == 64 && y == 0 && row.junk.empty()) {
          const Image again = encoded(crop(picture, x, y, width, height));
          EXPECT_LE(difference(crop(seen, x, y, width, height), again, 0, 0, width, height).mean,
                    0.5);
        } else if (width == 64 && height == 64) {
          EXPECT_EQ(apart.most, 0);
        } else {
          EXPECT_LE(apart.most, gray ? 0 : 24);
        }
      }
    }
    if (row.levels > 1) {
      const Image half = gdal_picture(tiff, 1, gray);
      const Image expected = encoded(halved(picture));
      ASSERT_EQ(std::make_pair(half.width, half.height),
                std::make_pair(expected.width, expected.height));
      EXPECT_LE(difference(half, expected, 0, 0, half.width, half.height).mean, 1.0);
    }
  }
}

TEST(Tiff, BigTiffOnAskingAndRefusals) {
  if (!have_readers()) {
    GTEST_SKIP() << "the TIFF readers are not installed";
  }
  TempDir dir;
  write_file(dir.path + "/in.moz", moz_with(100, 70,
                                            {cjpeg_tile(64, 64), cjpeg_tile(36, 64),
                                             cjpeg_tile(64, 6), cjpeg_tile(36, 6)}));
  const Outcome big = run_tool(MOZ_TIFF, {"--bigtiff", "in.moz", "big.tif"}, dir.path);
  EXPECT_EQ(big.status, 0) << big.err;
  const std::string tiff = dir.path + "/big.tif";
  EXPECT_NE(shell("tiffdump '" + tiff + "'").find("<BigTIFF>"), std::string::npos);
  EXPECT_EQ(shell("tiffcp -c none '" + tiff + "' '" + dir.path + "/plain.tif'"), "");
  EXPECT_NE(shell("gdalinfo '" + tiff + "'").find("Overviews: 50x35"), std::string::npos);
  EXPECT_NE(shell("openslide-show-properties '" + tiff + "'").find("level-count: '2'"),
            std::string::npos);
  EXPECT_EQ(shell("vipsheader -f n-pages '" + tiff + "'"), "2\n");

  write_file(dir.path + "/not.moz", "MOZX and more");
  struct Refusal {
    std::vector<std::string> args;
    const char* said;
  };
  const Refusal refusals[] = {
      {{"in.moz", "-"}, "not to standard output"},
      {{"not.moz", "out.tif"}, "not.moz is not a MOZ file"},
      {{"missing.moz", "out.tif"}, "cannot open missing.moz"},
      {{"in.moz", "no/such/folder/out.tif"}, "no/such/folder"},
      {{"--quality", "101", "in.moz", "out.tif"}, "--quality takes a number from 1 to 100"},
  };
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.said);
    const Outcome run = run_tool(MOZ_TIFF, refusal.args, dir.path);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find(refusal.said), std::string::npos) << run.err;
    EXPECT_EQ(files_in(dir.path).size(), 4U) << "something was written";
  }
}

// MOZ to TIFF to MOZ: the TIFF's tiles are cut from their coefficients again,
// so the picture comes back pixel for pixel, edge tiles and all.
TEST(Tiff, RoundTripGivesTheSameTiles) {
  if (!have_cjpeg()) {
    GTEST_SKIP() << "cjpeg and djpeg are not installed";
  }
  struct Row {
    const char* options;
    int width, height;
  };
  const Row rows[] = {
      {"", 200, 130}, {"-sample 1x1", 130, 70}, {"-grayscale", 100, 100}, {"", 65, 1}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.options) + " " + std::to_string(row.width));
    std::vector<Bytes> tiles;
    for (int y = 0; y < row.height; y += 64) {
      for (int x = 0; x < row.width; x += 64) {
        tiles.push_back(cjpeg_tile(std::min(64, row.width - x), std::min(64, row.height - y),
                                   row.options, static_cast<unsigned>(tiles.size() + 3)));
      }
    }
    TempDir dir;
    write_file(dir.path + "/in.moz", moz_with(row.width, row.height, tiles));
    const Outcome there = run_tool(MOZ_TIFF, {"in.moz", "out.tif"}, dir.path);
    ASSERT_EQ(there.status, 0) << there.err;
    const Outcome back = run_tool(MOZ_PACK, {"out.tif", "back.moz"}, dir.path);
    ASSERT_EQ(back.status, 0) << back.err;
    EXPECT_EQ(back.err, "");
    for (const char* moz : {"in.moz", "back.moz"}) {
      const Outcome run = run_tool(MOZ_STITCH, {moz, std::string(moz) + ".png"}, dir.path);
      EXPECT_EQ(run.status, 0) << run.err;
    }
    EXPECT_TRUE(read_png(read_file(dir.path + "/in.moz.png")) ==
                read_png(read_file(dir.path + "/back.moz.png")));
  }
}
