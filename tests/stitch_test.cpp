#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "jpeg.h"
#include "picture_support.h"

namespace {

Bytes moz_of(int width, int height, const std::vector<Bytes>& tiles) {
  Bytes records;
  for (const Bytes& tile : tiles) {
    records += record('J', tile);
  }
  return moz_file(static_cast<unsigned>(width) & 0xffff, static_cast<unsigned>(height) & 0xffff,
                  records);
}

struct Stitched {
  Outcome run;
  Bytes png;  // what OUT holds afterwards
};

Stitched stitch(const Bytes& moz, const std::vector<std::string>& options = {},
                const Bytes& old_out = "") {
  TempDir dir;
  write_file(dir.path + "/in.moz", moz);
  if (!old_out.empty()) {
    write_file(dir.path + "/out.png", old_out);
  }
  std::vector<std::string> args = options;
  args.insert(args.end(), {dir.path + "/in.moz", dir.path + "/out.png"});
  Stitched result{run_tool(MOZ_STITCH, args, dir.path), read_file(dir.path + "/out.png")};
  EXPECT_EQ(files_in(dir.path).size(), old_out.empty() && result.png.empty() ? 1U : 2U)
      << "a partial file was left behind";
  return result;
}

}  // namespace

// Each row: tiles for a picture, stitched at 1/1 and 1/8, must match djpeg's
// output of every tile put in its cell, pixel for pixel.
TEST(Stitch, MatchesDjpegTileByTile) {
  if (!have_cjpeg()) {
    GTEST_SKIP() << "cjpeg and djpeg are not installed";
  }
  const Bytes full = cjpeg_tile(64, 64);
  const Bytes truncated = full.substr(0, full.size() / 2);
  struct Row {
    const char* name;
    int width, height;
    std::vector<Bytes> tiles;
    int status;
    const char* said;
  };
  const std::vector<Row> rows = {
      {"cut edge tiles",
       100,
       70,
       {full, cjpeg_tile(36, 64, "", 2), cjpeg_tile(64, 6, "", 3), cjpeg_tile(36, 6, "", 4)},
       0,
       ""},
      {"padded edge tiles, clipped", 100, 70, {full, full, full, full}, 0, ""},
      {"a smaller tile leaves gray", 64, 64, {cjpeg_tile(40, 30)}, 0, ""},
      {"grayscale, progressive, 4:4:4, restarts",
       256,
       64,
       {cjpeg_tile(64, 64, "-grayscale"), cjpeg_tile(64, 64, "-progressive", 5),
        cjpeg_tile(64, 64, "-sample 1x1", 6), cjpeg_tile(64, 64, "-restart 1 -sample 2x1", 7)},
       0,
       ""},
      {"a corrupt tile is gray",
       128,
       64,
       {full, pattern(500)},
       1,
       "tile 1 (column 1, row 0) cannot be decoded"},
      {"a tile cut short is placed as decoded",
       128,
       64,
       {truncated, full},
       1,
       "tile 0 (column 0, row 0) is damaged"},
      {"the container ends early", 128, 128, {full, full, full}, 1, "breaks off at tile 3 of 4"},
  };
  for (const Row& row : rows) {
    for (const int scale : {1, 8}) {
      SCOPED_TRACE(std::string(row.name) + " at 1/" + std::to_string(scale));
      const Stitched result = stitch(moz_of(row.width, row.height, row.tiles),
                                     {"--scale", "1/" + std::to_string(scale)});
      EXPECT_EQ(result.run.status, row.status);
      EXPECT_NE(result.run.err.find(row.said), std::string::npos) << result.run.err;
      if (row.status == 0) {
        EXPECT_EQ(result.run.err, "");
      }
      EXPECT_TRUE(read_png(result.png) ==
                  expected_picture(row.width, row.height, row.tiles, scale));
    }
  }
}

// A thumbnail: the picture decoded at the smallest scale that covers the
// size asked for, then halved until it fits, a band at a time.
TEST(Stitch, SizeFitsThePictureWithin) {
  if (!have_cjpeg()) {
    GTEST_SKIP() << "cjpeg and djpeg are not installed";
  }
  struct Row {
    int width, height, size;
    int scale, halvings;  // what it takes
  };
  const Row rows[] = {
      {1000, 300, 64, 8, 1},   // 125 wide at 1/8, halved once
      {1000, 700, 100, 8, 1},  // 125 x 88, then 63 x 44
      {300, 1000, 130, 4, 1},  // 1/8 would give 125, under 130
      {200, 130, 200, 1, 0},   // fits as it is
      {200, 130, 500, 1, 0},   // never made larger
      {130, 70, 9, 8, 1},      // 17 x 9, then 9 x 5
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.width) + " x " + std::to_string(row.height) + " in " +
                 std::to_string(row.size));
    std::vector<Bytes> tiles;
    const int count = ((row.width + 63) / 64) * ((row.height + 63) / 64);
    tiles.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
      tiles.push_back(cjpeg_tile(64, 64, "", static_cast<unsigned>(i)));
    }
    const Stitched result =
        stitch(moz_of(row.width, row.height, tiles), {"--size", std::to_string(row.size)});
    EXPECT_EQ(result.run.status, 0) << result.run.err;
    Image want = expected_picture(row.width, row.height, tiles, row.scale);
    for (int i = 0; i < row.halvings; ++i) {
      want = halved(want);
    }
    const Image got = read_png(result.png);
    EXPECT_LE(std::max(got.width, got.height), row.size);
    EXPECT_TRUE(got == want) << got.width << " x " << got.height << ", not " << want.width << " x "
                             << want.height;
  }
  const Stitched both =
      stitch(moz_of(64, 64, {cjpeg_tile(64, 64)}), {"--size", "8", "--scale", "1/2"});
  EXPECT_EQ(both.run.status, 2);
  EXPECT_NE(both.run.err.find("--size and --scale do not go together"), std::string::npos);
}

// A TIZ's thumbnail is its first JPEG tile's, whichever method holds it.
TEST(Stitch, SizeOfATizIsItsFirstJpegTile) {
  if (!have_cjpeg()) {
    GTEST_SKIP() << "cjpeg and djpeg are not installed";
  }
  const Bytes tile = cjpeg_tile(200, 120);
  // A tile whose frame claims 65535 x 65535: a thumbnail of it would need
  // gigabytes.
  Bytes claims = cjpeg_tile(64, 64);
  const std::size_t frame = claims.find("\xFF\xC0");
  ASSERT_NE(frame, std::string::npos);
  claims.replace(frame + 5, 4, "\xFF\xFF\xFF\xFF");
  struct Row {
    const char* name;
    Bytes tiz;
    int size;
    Image want;
    int status;
    const char* said;
  };
  const std::vector<Row> rows = {
      {"method 2 first", tiz_file(2, record('2', tile) + record('2', cjpeg_tile(64, 64))), 40,
       halved(djpeg(tile, 4)), 0, ""},  // 50 x 30 at 1/4, then halved
      {"after a zlib tile", tiz_file(2, record('0', "z") + record('1', be16(1) + "z" + tile)), 300,
       djpeg(tile, 1), 0, ""},
      {"no JPEG tile", tiz_file(1, record('0', "z")), 64, Image{}, 2, "holds no JPEG tile"},
      {"not a JPEG", tiz_file(1, record('2', "not a picture")), 64, Image{}, 2, "has no size"},
      {"too large", tiz_file(1, record('2', claims)), 64, Image{}, 2, "too large for a thumbnail"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Stitched result = stitch(row.tiz, {"--size", std::to_string(row.size)});
    EXPECT_EQ(result.run.status, row.status) << result.run.err;
    EXPECT_TRUE(read_png(result.png) == row.want);
    EXPECT_NE(result.run.err.find(row.said), std::string::npos) << result.run.err;
  }
}

TEST(Stitch, WritesNothingWithoutAPicture) {
  const Bytes old = "an earlier picture";
  struct Row {
    const char* name;
    Bytes moz;
    std::vector<std::string> options;
    const char* said;
  };
  const std::vector<Row> rows = {
      {"no tiles", moz_of(0, 64, {}), {}, "holds no picture: its size is 0 x 64"},
      {"negative sizes", moz_of(-64, -64, {"x"}), {}, "holds no picture: its size is -64 x -64"},
      {"not a MOZ", tiz_file(1, record('2', "x")), {}, "is not a MOZ file"},
      {"empty file", "", {}, "is not a MOZ file"},
      {"unknown option", moz_of(64, 64, {"x"}), {"--bigger"}, "unknown option --bigger\nusage:"},
      {"wrong scale", moz_of(64, 64, {"x"}), {"--scale", "1/3"}, "not 1/3\nusage:"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Stitched result = stitch(row.moz, row.options, old);
    EXPECT_EQ(result.run.status, 2);
    EXPECT_NE(result.run.err.find(row.said), std::string::npos) << result.run.err;
    EXPECT_EQ(result.run.out, "");
    EXPECT_EQ(result.png, old);
  }
}

TEST(Stitch, HelpAndStandardOutput) {
  TempDir dir;
  const Outcome help = run_tool(MOZ_STITCH, {"--help"}, dir.path);
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: moz-stitch", 0), 0U);
  EXPECT_EQ(help.err, "");

  const Outcome missing = run_tool(MOZ_STITCH, {"only-one.moz"}, dir.path);
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("usage: moz-stitch"), std::string::npos);

  write_file(dir.path + "/in.moz", moz_of(70, 3, {pattern(10), pattern(20)}));
  const Outcome piped = run_tool(MOZ_STITCH, {"--quiet", "in.moz", "-"}, dir.path);
  EXPECT_EQ(piped.status, 1);
  const Image gray = read_png(piped.out);
  EXPECT_EQ(gray.width, 70);
  EXPECT_EQ(gray.rgb, Bytes(std::size_t{70} * 3 * 3, '\x80'));
}

// Past a damaged record, --salvage places the intact ones where they belong, in
// the PNG and in the pyramid alike; without it the picture stops there.
TEST(Stitch, SalvagePlacesTheTilesPastDamage) {
  if (!have_cjpeg()) {
    GTEST_SKIP() << "cjpeg and djpeg are not installed";
  }
  const std::vector<Bytes> tiles = {cjpeg_tile(64, 64, "", 1), cjpeg_tile(64, 64, "", 2),
                                    cjpeg_tile(64, 64, "", 3), cjpeg_tile(64, 64, "", 4)};
  const Bytes header = moz_of(128, 128, {});
  Bytes lost_tag = moz_of(128, 128, tiles);
  lost_tag[8 + 6 + tiles[0].size()] = 'X';
  struct Row {
    const char* name;
    Bytes moz;
    std::vector<Bytes> placed;
    const char* said;
  };
  const std::vector<Row> rows = {
      {"junk spliced in",
       header + record('J', tiles[0]) + record('J', tiles[1]) + "junk" + record('J', tiles[2]) +
           record('J', tiles[3]),
       tiles, "skipped 4 bytes at offset"},
      {"a lost tag",
       lost_tag,
       {tiles[0], "", tiles[2], tiles[3]},
       "1 of its 4 tiles were not found and are left gray"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Stitched salvaged = stitch(row.moz, {"--salvage"});
    EXPECT_EQ(salvaged.run.status, 1);
    EXPECT_NE(salvaged.run.err.find(row.said), std::string::npos) << salvaged.run.err;
    EXPECT_TRUE(read_png(salvaged.png) == expected_picture(128, 128, row.placed, 1));
    const Stitched plain = stitch(row.moz);
    EXPECT_NE(plain.run.err.find("breaks off at tile"), std::string::npos) << plain.run.err;

    TempDir dir;
    write_file(dir.path + "/in.moz", row.moz);
    const Outcome pyramid = run_tool(MOZ_DEEPZOOM, {"--salvage", "in.moz", "pyramid"}, dir.path);
    EXPECT_EQ(pyramid.status, 1);
    EXPECT_EQ(read_file(dir.path + "/pyramid/picture_files/7/1_1.jpg"), tiles[3]);
  }
}

// A tile decodes to the same pixels wherever its cell lies in memory: rows
// that start on the boundary where the library streams around the cache go
// through the decoder's own row, the rest straight into the cell.
TEST(Stitch, TilesDecodeAlikeAtEveryAlignment) {
  if (!have_cjpeg()) {
    GTEST_SKIP() << "cjpeg is not installed";
  }
  struct Row {
    const char* name;
    Bytes jpeg;
    int cell_width;
    int cell_height;
  };
  const Row rows[] = {
      {"a whole tile", cjpeg_tile(64, 64), 64, 64},
      {"a tile cut by its cell", cjpeg_tile(64, 64, "-sample 1x1"), 40, 30},
      {"a tile smaller than its cell", cjpeg_tile(17, 9), 64, 64},
  };
  TileDecoder decoder;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Image want = djpeg(row.jpeg);
    for (int offset = 0; offset < 64; ++offset) {
      SCOPED_TRACE(offset);
      constexpr int kStride = 64 * 3 + 32;  // every row alike, on or off the boundary
      alignas(64) static unsigned char base[kStride * 64 + 128];
      std::fill(std::begin(base), std::end(base), 0x55);
      const Pixels cell{base + offset, kStride, row.cell_width, row.cell_height};
      std::string reason;
      ASSERT_EQ(decoder.decode(reinterpret_cast<const unsigned char*>(row.jpeg.data()),
                               row.jpeg.size(), 1, cell, reason),
                TileState::clean)
          << reason;
      for (int y = 0; y < std::min(want.height, row.cell_height); ++y) {
        const std::size_t shown =
            static_cast<std::size_t>(std::min(want.width, row.cell_width)) * 3;
        const Bytes got(reinterpret_cast<const char*>(cell.data + std::ptrdiff_t{y} * kStride),
                        shown);
        ASSERT_EQ(got, want.rgb.substr(static_cast<std::size_t>(y * want.width * 3), shown))
            << "row " << y;
      }
      // Nothing is written past the cell's own pixels.
      EXPECT_EQ(base[offset + row.cell_width * 3], 0x55);
    }
  }
}
