#include "moz.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support.h"

TEST(MozTileCount, SizesRoundUpAndNegativeSizesFollowTheSameRule) {
  struct Row {
    std::uint16_t field;
    int across;
  };
  const Row rows[] = {{0, 0},       {1, 1},      {64, 1},      {65, 2},     {640, 10},
                      {32767, 512}, {0xffff, 1}, {0xffc0, -1}, {0xffbf, 0}, {0x8000, -512}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.field);
    const auto size = static_cast<std::int16_t>(row.field);
    EXPECT_EQ(moz_tile_count(size, 1), row.across);
    EXPECT_EQ(moz_tile_count(1, size), row.across);
  }
  EXPECT_EQ(moz_tile_count(-64, -64), 1);
  EXPECT_EQ(moz_tile_count(0, 32767), 0);
  EXPECT_EQ(moz_tile_count(32767, 32767), 512 * 512);
  EXPECT_EQ(moz_tile_count(-32768, 32767), -512 * 512);
}

namespace {

Bytes records(int count, const Bytes& payload = "") {
  Bytes all;
  for (int i = 0; i < count; ++i) {
    all += record('J', payload);
  }
  return all;
}

const std::string kFound4 = "Found MOZ file version 0 of size 100 x 100 (4 tiles)\n";

}  // namespace

TEST(Gridcheck, WalksEveryTileOrStopsAtTheFirstBadOne) {
  // clang-format off
  expect_runs(MOZ_GRIDCHECK, {
      {"four tiles", moz_file(100, 100, records(4, "jpeg")), kFound4, 0, {}},
      {"one tile", moz_file(64, 64, records(1)),
       "Found MOZ file version 0 of size 64 x 64 (1 tiles)\n", 0, {}},
      {"width 0", moz_file(0, 500, "junk"),
       "Found MOZ file version 0 of size 0 x 500 (0 tiles)\n", 0, {}},
      {"negative count", moz_file(0xffc0, 64, "junk"),
       "Found MOZ file version 0 of size -64 x 64 (-1 tiles)\n", 0, {}},
      {"negative sizes, one tile", moz_file(0xffc0, 0xffc0, records(1) + "junk"),
       "Found MOZ file version 0 of size -64 x -64 (1 tiles)\n", 0, {}},
      {"wrong version", "MOZ1" + be16(64) + be16(64), "Not a MOZ file\n", 1, {}},
      {"wrong magic", tiz_file(1, records(1)), "Not a MOZ file\n", 1, {}},
      {"one record missing", moz_file(100, 100, records(3)),
       kFound4 + "Read of 6 bytes failed: 0 (got 0)!\n", 1, {}},
      {"payload cut short", moz_file(64, 64, record('J', pattern(700)).substr(0, 106)),
       "Found MOZ file version 0 of size 64 x 64 (1 tiles)\n"
       "Read of 700 bytes failed: 0 (got 100)!\n", 1, {}},
      {"wrong tag", moz_file(100, 100, records(2) + "TIM" + records(1).substr(3)),
       kFound4 + "Tile 2 does not start with TIL\n", 1, {}},
  });
  // clang-format on
}

TEST(MozTilesave, SavesEveryPayloadWhole) {
  const Bytes jpeg = pattern(700, 9);
  // clang-format off
  expect_runs(MOZ_TILESAVE, {
      {"four tiles", moz_file(100, 100, record('J', jpeg) + record('J', "") + record('J', "ab") +
                                            record('?', "\xff\xd8")),
       kFound4 + "Tile 0: 700 bytes\nSaving tile0000.jpg\nTile 1: 0 bytes\nSaving tile0001.jpg\n"
                 "Tile 2: 2 bytes\nSaving tile0002.jpg\nTile 3: 2 bytes\nSaving tile0003.jpg\n",
       0, {{"tile0000.jpg", jpeg}, {"tile0001.jpg", ""}, {"tile0002.jpg", "ab"},
           {"tile0003.jpg", "\xff\xd8"}}},
      {"read failure at tile 3", moz_file(100, 100, records(3, "x") + "TIL"),
       kFound4 + "Tile 0: 1 bytes\nSaving tile0000.jpg\nTile 1: 1 bytes\nSaving tile0001.jpg\n"
                 "Tile 2: 1 bytes\nSaving tile0002.jpg\nRead of 6 bytes failed: 0 (got 3)!\n",
       1, {{"tile0000.jpg", "x"}, {"tile0001.jpg", "x"}, {"tile0002.jpg", "x"}}},
      {"no tiles", moz_file(0x8000, 1, ""),
       "Found MOZ file version 0 of size -32768 x 1 (-512 tiles)\n", 0, {}},
  });
  // clang-format on
}

TEST(MozTilesave, TileThatCannotBeOpenedIsPassedOver) {
  TempDir dir;
  write_file(dir.path + "/in.moz", moz_file(64, 128, records(2, "ab")));
  mkdir((dir.path + "/tile0000.jpg").c_str(), 0755);
  const Outcome run = run_tool(MOZ_TILESAVE, {dir.path + "/in.moz"}, dir.path);
  EXPECT_EQ(run.out,
            "Found MOZ file version 0 of size 64 x 128 (2 tiles)\n"
            "Tile 0: 2 bytes\nTile 1: 2 bytes\nSaving tile0001.jpg\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(read_file(dir.path + "/tile0001.jpg"), "ab");
}

// 512 x 512 tiles: the most a MOZ file can announce, and names of six digits.
TEST(MozTools, LargestGridThroughAPipe) {
  if (kWindowsTools) {
    GTEST_SKIP() << "Windows has no /dev/stdin";
  }
  const Bytes input = moz_file(32767, 32767, records(512 * 512));
  TempDir dir;
  const std::string found = "Found MOZ file version 0 of size 32767 x 32767 (262144 tiles)\n";
  const Outcome checked = run_tool(MOZ_GRIDCHECK, {"/dev/stdin"}, dir.path, &input);
  EXPECT_EQ(checked.out, found);
  EXPECT_EQ(checked.status, 0);
  const Outcome saved = run_tool(MOZ_TILESAVE, {"/dev/stdin"}, dir.path, &input);
  EXPECT_EQ(saved.status, 0);
  std::string expected = found;
  for (int tile = 0; tile < 512 * 512; ++tile) {
    char name[16];
    std::snprintf(name, sizeof name, "tile%04d.jpg", tile);
    expected += "Tile " + std::to_string(tile) + ": 0 bytes\nSaving " + name + "\n";
  }
  EXPECT_EQ(saved.out, expected);
  const Files files = files_in(dir.path);
  EXPECT_EQ(files.size(), 262144u);
  EXPECT_EQ(files.count("tile262143.jpg"), 1u);
}
