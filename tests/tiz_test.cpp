#include "tiz.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "support.h"

TEST(TizSplit, MethodDecidesTheParts) {
  struct Row {
    const char* name;
    char kind;
    Bytes payload;
    TizMethod method;
    int zlib, jpeg;
    int jpeg_offset;  // -1: no JPEG part to save
  };
  const Row rows[] = {
      {"zlib only", '0', "abc", TizMethod::zlib, 3, 0, -1},
      {"jpeg only", '2', "abcd", TizMethod::jpeg, 0, 4, 0},
      {"split", '1', be16(3) + "zzzjj", TizMethod::zlib_jpeg, 3, 2, 5},
      {"split with high-bit Z", '1', be16(0x9e01) + pattern(0x9e01 + 7), TizMethod::zlib_jpeg,
       0x9e01, 7, 2 + 0x9e01},
      {"empty jpeg part", '1', be16(2) + "zz", TizMethod::zlib_jpeg, 2, 0, 4},
      {"Z past the end", '1', be16(9) + "zz", TizMethod::zlib_jpeg, 9, -7, -1},
      {"no room for Z", '1', "z", TizMethod::zlib_jpeg, 0, -1, -1},
      {"empty payload", '1', "", TizMethod::zlib_jpeg, 0, -2, -1},
      {"lower-case is unknown", 'a', "abc", TizMethod::unknown, 0, 0, -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto* payload = reinterpret_cast<const unsigned char*>(row.payload.data());
    TileRecord record;
    record.kind = static_cast<unsigned char>(row.kind);
    record.payload_length = static_cast<std::uint16_t>(row.payload.size());
    record.payload = payload;
    const TizTile tile = split_tiz_tile(record);
    EXPECT_EQ(tile.method, row.method);
    EXPECT_EQ(tile.zlib_bytes, row.zlib);
    EXPECT_EQ(tile.jpeg_bytes, row.jpeg);
    EXPECT_EQ(tile.jpeg, row.jpeg_offset < 0 ? nullptr : payload + row.jpeg_offset);
  }
}

namespace {

const std::string kFound3 = "Found TIZ file version 0 with 3 tiles\n";

}  // namespace

TEST(Tilelist, ListsEveryRecordOrStopsAtTheFirstBadOne) {
  const Bytes big = pattern(65535);
  // clang-format off
  expect_runs(TIZ_TILELIST, {
      {"wrong version", "TIZ1" + Bytes(4, '\0'), "Not a TIZ file\n", 1, {}},
      {"wrong magic", "MOZ0" + Bytes(4, '\0'), "Not a TIZ file\n", 1, {}},
      {"no tiles, reserved bytes set", tiz_file(0, "", 1, 0),
       "Found TIZ file version 0 with 0 tiles\nReserved header field contains 0x01 0x00\n", 0, {}},
      {"reserved bytes shown in hex", tiz_file(0, "", 0xab, 0xff) + "junk",
       "Found TIZ file version 0 with 0 tiles\nReserved header field contains 0xab 0xff\n", 0, {}},
      {"every method", tiz_file(3, record('2', pattern(500)) + record('0', "zz") +
                                       record('1', be16(300) + pattern(498))),
       kFound3 + "Tile 0: method 2, 506 bytes (500 bytes jpeg)\n"
                 "Tile 1: method 0, 8 bytes (2 zlib)\n"
                 "Tile 2: method 1, 506 bytes (300 zlib/198 jpeg)\n", 0, {}},
      {"unknown methods printed raw", tiz_file(3, record('A', "x") + record('\xe9', "") +
                                                     record('2', "")),
       kFound3 + "Tile 0: unknown method 'A'\nTile 1: unknown method '\xe9'\n"
                 "Tile 2: method 2, 6 bytes (0 bytes jpeg)\n", 0, {}},
      {"method 1 without room", tiz_file(3, record('1', be16(2) + "zz") +
                                               record('1', be16(5) + "zz") + record('1', "z")),
       kFound3 + "Tile 0: method 1, 10 bytes (2 zlib/0 jpeg)\n"
                 "Tile 1: method 1, 10 bytes (5 zlib/-3 jpeg)\n"
                 "Tile 2: method 1, 7 bytes (0 zlib/-1 jpeg)\n", 0, {}},
      {"largest payloads, bytes after the last record", tiz_file(2, record('2', big.substr(0, 16384)) +
                                                                        record('0', big)) + "TIL?",
       "Found TIZ file version 0 with 2 tiles\n"
       "Tile 0: method 2, 16390 bytes (16384 bytes jpeg)\n"
       "Tile 1: method 0, 65541 bytes (65535 zlib)\n", 0, {}},
      {"one record missing", tiz_file(3, record('0', "a") + record('0', "b")),
       kFound3 + "Tile 0: method 0, 7 bytes (1 zlib)\nTile 1: method 0, 7 bytes (1 zlib)\n"
                 "Read of 6 bytes failed: 0 (got 0)!\n", 1, {}},
      {"payload cut short", tiz_file(1, record('2', big).substr(0, 30006)),
       "Found TIZ file version 0 with 1 tiles\nRead of 65535 bytes failed: 0 (got 30000)!\n", 1, {}},
      {"tag T wrong", tiz_file(3, record('0', "") + "XIL0" + be16(0)),
       kFound3 + "Tile 0: method 0, 6 bytes (0 zlib)\nTile 1 does not start with TIL\n", 1, {}},
      {"tag I wrong", tiz_file(1, "TXL0" + be16(0)),
       "Found TIZ file version 0 with 1 tiles\nTile 0 does not start with TIL\n", 1, {}},
      {"tag L wrong", tiz_file(1, "TIX0" + be16(0)),
       "Found TIZ file version 0 with 1 tiles\nTile 0 does not start with TIL\n", 1, {}},
      {"tag in lower case", tiz_file(1, "til0" + be16(0)),
       "Found TIZ file version 0 with 1 tiles\nTile 0 does not start with TIL\n", 1, {}},
  });
  // clang-format on
}

TEST(Tilesave, SavesTheJpegPartOfEachTileByItsIndex) {
  const Bytes jpeg = pattern(700, 3);
  const Bytes big = pattern(65535, 5);
  // clang-format off
  expect_runs(TIZ_TILESAVE, {
      {"methods 2, 0 and 1", tiz_file(3, record('2', jpeg) + record('0', "zz") +
                                             record('1', be16(3) + "zlb" + jpeg.substr(9))),
       kFound3 + "Tile 0: method 2, 706 bytes (700 bytes jpeg)\nSaving tile0000.jpg\n"
                 "Tile 2: method 1, 702 bytes (3 zlib/691 jpeg)\nSaving tile0002.jpg\n",
       0, {{"tile0000.jpg", jpeg}, {"tile0002.jpg", jpeg.substr(9)}}},
      {"zlib only", tiz_file(2, record('0', "zz") + record('0', "")),
       "Found TIZ file version 0 with 2 tiles\n", 0, {}},
      {"empty jpeg parts", tiz_file(2, record('1', be16(2) + "zz") + record('2', "")),
       "Found TIZ file version 0 with 2 tiles\n"
       "Tile 0: method 1, 10 bytes (2 zlib/0 jpeg)\nSaving tile0000.jpg\n"
       "Tile 1: method 2, 6 bytes (0 bytes jpeg)\nSaving tile0001.jpg\n",
       0, {{"tile0000.jpg", ""}, {"tile0001.jpg", ""}}},
      {"method 1 without room", tiz_file(2, record('1', be16(9) + "zz") + record('1', "z")),
       "Found TIZ file version 0 with 2 tiles\n"
       "Tile 0: method 1, 10 bytes (9 zlib/-7 jpeg)\nSaving tile0000.jpg failed!\n"
       "Tile 1: method 1, 7 bytes (0 zlib/-1 jpeg)\nSaving tile0001.jpg failed!\n", 0, {}},
      {"unknown method", tiz_file(1, record('3', "abc")),
       "Found TIZ file version 0 with 1 tiles\nTile 0: unknown method '3'\n", 0, {}},
      {"largest payloads across buffer refills",
       tiz_file(6, record('2', big) + record('2', "a") + record('2', big) + record('2', big) +
                       record('2', big) + record('1', be16(1) + big.substr(2))),
       "Found TIZ file version 0 with 6 tiles\n"
       "Tile 0: method 2, 65541 bytes (65535 bytes jpeg)\nSaving tile0000.jpg\n"
       "Tile 1: method 2, 7 bytes (1 bytes jpeg)\nSaving tile0001.jpg\n"
       "Tile 2: method 2, 65541 bytes (65535 bytes jpeg)\nSaving tile0002.jpg\n"
       "Tile 3: method 2, 65541 bytes (65535 bytes jpeg)\nSaving tile0003.jpg\n"
       "Tile 4: method 2, 65541 bytes (65535 bytes jpeg)\nSaving tile0004.jpg\n"
       "Tile 5: method 1, 65541 bytes (1 zlib/65532 jpeg)\nSaving tile0005.jpg\n",
       0, {{"tile0000.jpg", big}, {"tile0001.jpg", "a"}, {"tile0002.jpg", big},
           {"tile0003.jpg", big}, {"tile0004.jpg", big}, {"tile0005.jpg", big.substr(3)}}},
      {"read failure midway keeps earlier tiles", tiz_file(3, record('2', "ab") + record('2', "cd")),
       kFound3 + "Tile 0: method 2, 8 bytes (2 bytes jpeg)\nSaving tile0000.jpg\n"
                 "Tile 1: method 2, 8 bytes (2 bytes jpeg)\nSaving tile0001.jpg\n"
                 "Read of 6 bytes failed: 0 (got 0)!\n",
       1, {{"tile0000.jpg", "ab"}, {"tile0001.jpg", "cd"}}},
  });
  // clang-format on
}

// Earlier files are written over from the start and cut to the new tile; a name
// that cannot be opened is passed over in silence; a write that fails says so.
TEST(Tilesave, ExistingFilesAndUnwritableNames) {
  TempDir dir;
  const std::string input = dir.path + "/in.tiz";
  write_file(input, tiz_file(3, record('2', "new") + record('2', "dir") + record('2', "full")));
  write_file(dir.path + "/tile0000.jpg", "an older and longer tile");
  mkdir((dir.path + "/tile0001.jpg").c_str(), 0755);
  ASSERT_EQ(symlink("/dev/full", (dir.path + "/tile0002.jpg").c_str()), 0);
  const Outcome run = run_tool(TIZ_TILESAVE, {input}, dir.path);
  EXPECT_EQ(run.out, kFound3 +
                         "Tile 0: method 2, 9 bytes (3 bytes jpeg)\nSaving tile0000.jpg\n"
                         "Tile 1: method 2, 9 bytes (3 bytes jpeg)\n"
                         "Tile 2: method 2, 10 bytes (4 bytes jpeg)\n"
                         "Saving tile0002.jpg failed!\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(read_file(dir.path + "/tile0000.jpg"), "new");
}

TEST(Tilesave, NewFilesAreExecutableForAllLessTheUmask) {
  if (kWindowsTools) {
    GTEST_SKIP() << "Windows files have no mode bits";
  }
  TempDir dir;
  write_file(dir.path + "/in.tiz", tiz_file(1, record('2', "x")));
  const mode_t old_mask = umask(022);
  run_tool(TIZ_TILESAVE, {dir.path + "/in.tiz"}, dir.path);
  umask(old_mask);
  struct stat info {};
  ASSERT_EQ(stat((dir.path + "/tile0000.jpg").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0755u);
}

TEST(Tilesave, NamesGrowPastFourDigits) {
  Bytes records;
  for (int tile = 0; tile < 10001; ++tile) {
    records += record(tile == 10000 ? '2' : '0', "");
  }
  const ToolResult result = run_on_file(TIZ_TILESAVE, tiz_file(10001, records + record('2', "x")));
  EXPECT_EQ(result.run.out,
            "Found TIZ file version 0 with 10001 tiles\n"
            "Tile 10000: method 2, 6 bytes (0 bytes jpeg)\nSaving tile10000.jpg\n");
  EXPECT_EQ(result.files, (Files{{"tile10000.jpg", ""}}));
}

TEST(TizTools, ReadAValidFileThroughAPipeLeftOpen) {
  if (kWindowsTools) {
    GTEST_SKIP() << "Windows has no /dev/stdin";
  }
  const Bytes input = tiz_file(2, record('2', pattern(65535)) + record('1', be16(1) + "zj"));
  TempDir dir;
  const Outcome listed = run_tool(TIZ_TILELIST, {"/dev/stdin"}, dir.path, &input);
  EXPECT_EQ(listed.out,
            "Found TIZ file version 0 with 2 tiles\n"
            "Tile 0: method 2, 65541 bytes (65535 bytes jpeg)\n"
            "Tile 1: method 1, 10 bytes (1 zlib/1 jpeg)\n");
  EXPECT_EQ(listed.status, 0);
  const Outcome saved = run_tool(TIZ_TILESAVE, {"/dev/stdin"}, dir.path, &input);
  EXPECT_EQ(saved.status, 0);
  EXPECT_EQ(files_in(dir.path),
            (Files{{"tile0000.jpg", input.substr(14, 65535)}, {"tile0001.jpg", "j"}}));
}

// What every tool does before it knows the format.
TEST(AllTools, ArgumentsAndUnreadableInputs) {
  TempDir dir;
  write_file(dir.path + "/empty", "");
  write_file(dir.path + "/seven", "TIZ0MOZ");
  const std::string eisdir = std::to_string(EISDIR);
  struct Row {
    std::vector<std::string> args;
    std::string out;
  };
  const std::vector<Row> rows = {
      {{}, ""},
      {{"empty", "seven"}, ""},
      {{"no-such-file"}, "Couldn't open no-such-file\n"},
      {{"."}, "Read of 8 bytes failed: " + eisdir + " (got -1)!\n"},
      {{"empty"}, "Read of 8 bytes failed: 0 (got 0)!\n"},
      {{"seven"}, "Read of 8 bytes failed: 0 (got 7)!\n"},
  };
  for (const char* tool : {TIZ_TILELIST, TIZ_TILESAVE, MOZ_GRIDCHECK, MOZ_TILESAVE}) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(tool) + " " + (row.args.empty() ? "" : row.args[0]));
      const Outcome run = run_tool(tool, row.args, dir.path);
      EXPECT_EQ(run.out, row.out);
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(run.err, "");
    }
  }
  EXPECT_EQ(files_in(dir.path).size(), 2u);
}
