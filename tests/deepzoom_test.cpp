#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include "grid.h"
#include "picture_support.h"

TEST(DeepZoomLevels, SizesAndTileCountsForAwkwardPictures) {
  struct Row {
    int width, height;
    int top;
    std::vector<std::pair<int, int>> sizes;  // from the top down, while they differ
    int top_tiles, all_tiles;
  };
  const Row rows[] = {
      {1, 1, 0, {{1, 1}}, 1, 1},
      {64, 64, 6, {{64, 64}, {32, 32}, {16, 16}}, 1, 7},
      {65, 1, 7, {{65, 1}, {33, 1}, {17, 1}, {9, 1}, {5, 1}, {3, 1}, {2, 1}, {1, 1}}, 2, 9},
      {200, 130, 8, {{200, 130}, {100, 65}, {50, 33}, {25, 17}, {13, 9}, {7, 5}}, 12, 23},
      {32767, 32767, 15, {{32767, 32767}, {16384, 16384}, {8192, 8192}}, 262144, 349531},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.width) + " x " + std::to_string(row.height));
    EXPECT_EQ(top_level(row.width, row.height), row.top);
    int all = 0;
    for (int level = 0; level <= row.top; ++level) {
      const Level size = level_size(row.width, row.height, level);
      all += size.columns * size.rows;
    }
    const Level top = level_size(row.width, row.height, row.top);
    EXPECT_EQ(top.columns * top.rows, row.top_tiles);
    EXPECT_EQ(all, row.all_tiles);
    for (std::size_t down = 0; down < row.sizes.size(); ++down) {
      const Level size = level_size(row.width, row.height, row.top - static_cast<int>(down));
      EXPECT_EQ(std::make_pair(size.width, size.height), row.sizes[down]);
    }
    const Level bottom = level_size(row.width, row.height, 0);
    EXPECT_EQ(std::make_pair(bottom.width, bottom.height), std::make_pair(1, 1));
  }
}

namespace {

Bytes moz_of(int width, int height, const std::vector<Bytes>& tiles, std::size_t cut = 0) {
  Bytes records;
  for (const Bytes& tile : tiles) {
    records += record('J', tile);
  }
  return moz_file(static_cast<unsigned>(width), static_cast<unsigned>(height),
                  records.substr(0, records.size() - cut));
}

}  // namespace

// 100 x 70 is 2 x 2 tiles at level 7, one tile at level 6 (50 x 35). A tile
// made here must be what cjpeg makes of the same pixels at the same quality.
TEST(DeepZoom, FinestLevelKeepsTheTilesAndCoarserLevelsAreMeans) {
  if (!have_cjpeg()) {
    GTEST_SKIP() << "cjpeg and djpeg are not installed";
  }
  const Bytes full = cjpeg_tile(64, 64, "", 1);
  const Bytes right = cjpeg_tile(36, 64, "", 2);
  const Bytes bottom = cjpeg_tile(64, 6, "", 3);
  const Bytes corner = cjpeg_tile(36, 6, "", 4);
  const auto encoded = [](const Image& pixels) { return djpeg(cjpeg(pixels, "-quality 100")); };
  struct Row {
    const char* name;
    std::vector<Bytes> tiles;
    std::size_t cut;  // bytes cut off the file's end
    int status;
    std::vector<bool> kept;  // which level-7 files are the payloads themselves
  };
  const std::vector<Row> rows = {
      {"cut edge tiles kept", {full, right, bottom, corner}, 0, 0, {true, true, true, true}},
      {"padded edge tile and a damaged one encoded anew",
       {full, cjpeg_tile(64, 64, "", 5), full.substr(0, 300), corner},
       0,
       1,
       {true, false, false, true}},
      {"corrupt and missing tiles gray",
       {pattern(400), right, bottom, corner},
       20,
       1,
       {false, true, true, false}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    write_file(dir.path + "/in.moz", moz_of(100, 70, row.tiles, row.cut));
    const Outcome run = run_tool(MOZ_DEEPZOOM, {"--quality", "100", "in.moz", "out"}, dir.path);
    EXPECT_EQ(run.status, row.status) << run.err;
    EXPECT_NE(read_file(dir.path + "/out/picture.dzi").find("<Size Width=\"100\" Height=\"70\"/>"),
              std::string::npos);

    // What moz-stitch shows, tile by tile, the pyramid shows too.
    std::vector<Bytes> delivered = row.tiles;
    if (row.cut > 0) {
      delivered.pop_back();
    }
    const Image picture = expected_picture(100, 70, delivered, 1);
    for (std::size_t i = 0; i < 4; ++i) {
      SCOPED_TRACE("tile " + std::to_string(i));
      const int column = static_cast<int>(i % 2);
      const int line = static_cast<int>(i / 2);
      const Bytes tile = read_file(dir.path + "/out/picture_files/7/" + std::to_string(column) +
                                   "_" + std::to_string(line) + ".jpg");
      EXPECT_EQ(tile == row.tiles[i], row.kept[i]);
      if (!row.kept[i]) {
        EXPECT_TRUE(djpeg(tile) == encoded(crop(picture, column * 64, line * 64,
                                                column == 0 ? 64 : 36, line == 0 ? 64 : 6)));
      }
    }
    EXPECT_TRUE(djpeg(read_file(dir.path + "/out/picture_files/6/0_0.jpg")) ==
                encoded(halved(picture)));
    Image smallest = picture;
    while (smallest.width > 1 || smallest.height > 1) {
      smallest = halved(smallest);
    }
    EXPECT_TRUE(djpeg(read_file(dir.path + "/out/picture_files/0/0_0.jpg")) == encoded(smallest));
  }
}

TEST(DeepZoom, LeavesAFolderThatIsNotEmptyAlone) {
  TempDir dir;
  write_file(dir.path + "/in.moz", moz_of(64, 64, {pattern(10)}));
  mkdir((dir.path + "/out").c_str(), 0755);
  write_file(dir.path + "/out/mine.txt", "keep me");
  const Outcome run = run_tool(MOZ_DEEPZOOM, {"in.moz", "out"}, dir.path);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("out: exists and is not an empty folder"), std::string::npos) << run.err;
  EXPECT_EQ(files_in(dir.path + "/out"), (Files{{"mine.txt", "keep me"}}));
  EXPECT_EQ(files_in(dir.path).size(), 2U) << "something was left beside it";

  const Outcome bad = run_tool(MOZ_DEEPZOOM, {"--quality", "0", "in.moz", "new"}, dir.path);
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("usage: moz-deepzoom"), std::string::npos);
}
