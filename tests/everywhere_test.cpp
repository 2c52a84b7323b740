// What could differ between a POSIX build and a Windows one, run the same way
// against both: bytes a text-mode file would change, names beyond ASCII,
// offsets past 4 GiB, and standard input and output given as -.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include "picture_support.h"
#include "support.h"

namespace {

// 0x1A ends a file read in text mode; CR LF becomes LF there.
Bytes text_mode_traps(std::size_t count) {
  static const char kTraps[] = {'\x1a', '\r', '\n', '\r', '\r', '\n', '\x1a', '\n', '\x00'};
  Bytes bytes(count, '\0');
  for (std::size_t i = 0; i < count; ++i) {
    bytes[i] = kTraps[i % sizeof kTraps];
  }
  return bytes;
}

// The names a folder holds, in order.
std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& [name, bytes] : files_in(dir)) {
    names.push_back(name);
  }
  return names;
}

void expect_clean(const Outcome& run, int status, const std::string& what) {
  EXPECT_EQ(run.status, status) << what << ": " << run.err;
  EXPECT_EQ(run.out.find('\r'), std::string::npos) << what << " wrote a CR";
}

}  // namespace

TEST(Everywhere, TextModeBytesPassUnchangedThroughEveryTool) {
  const Bytes traps = text_mode_traps(3000);
  const Bytes tiz = tiz_file(2, record('2', traps) + record('0', traps.substr(1)));
  const Bytes moz = moz_file(100, 64, record('J', traps) + record('J', traps.substr(7)));
  struct Row {
    const char* format;
    Bytes container;
    const char* list;
    const char* save;
    const char* unpack;
    const char* pack;
  };
  const Row rows[] = {
      {"tiz", tiz, TIZ_TILELIST, TIZ_TILESAVE, TIZ_UNPACK, TIZ_PACK},
      {"moz", moz, MOZ_GRIDCHECK, MOZ_TILESAVE, MOZ_UNPACK, MOZ_PACK},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.format);
    TempDir dir;
    const std::string file = std::string("in.") + row.format;
    write_file(dir.path + "/" + file, row.container);
    expect_clean(run_tool(row.list, {file}, dir.path), 0, row.list);
    expect_clean(run_tool(row.save, {file}, dir.path), 0, row.save);
    EXPECT_EQ(read_file(dir.path + "/tile0000.jpg"), traps);

    // Through a pipe and out to standard output: the same bytes back.
    Surroundings piped;
    piped.piped_input = &row.container;
    piped.input_ends = true;
    expect_clean(run_tool(row.unpack, {"-", "parts"}, dir.path, piped), 0, row.unpack);
    write_file(dir.path + "/again", "");
    Surroundings to_file;
    const std::string again = dir.path + "/again";
    to_file.stdout_path = again.c_str();
    EXPECT_EQ(run_tool(row.pack, {"parts", "-"}, dir.path, to_file).status, 0);
    EXPECT_EQ(read_file(again), row.container);
  }
}

TEST(Everywhere, NamesBeyondAsciiOpenAndAreMade) {
  if (!have_cjpeg()) {
    GTEST_SKIP() << "cjpeg is not installed";
  }
  TempDir dir;
  const std::string folder = "Карта 地図";
  const std::string moz = folder + "/Карта 地図.moz";
  ASSERT_EQ(mkdir((dir.path + "/" + folder).c_str(), 0777), 0);
  const Bytes tile = cjpeg_tile(64, 64);
  write_file(dir.path + "/" + moz, moz_file(64, 64, record('J', tile)));

  const Outcome checked = run_tool(MOZ_GRIDCHECK, {moz}, dir.path);
  EXPECT_EQ(checked.out, "Found MOZ file version 0 of size 64 x 64 (1 tiles)\n");
  expect_clean(run_tool(MOZ_UNPACK, {moz, folder + "/части"}, dir.path), 0, "moz-unpack");
  expect_clean(run_tool(MOZ_PACK, {folder + "/части", folder + "/снова.moz"}, dir.path), 0,
               "moz-pack");
  EXPECT_EQ(read_file(dir.path + "/" + folder + "/снова.moz"), read_file(dir.path + "/" + moz));
  expect_clean(run_tool(MOZ_STITCH, {moz, folder + "/絵.png"}, dir.path), 0, "moz-stitch");
  EXPECT_EQ(read_png(read_file(dir.path + "/" + folder + "/絵.png")).width, 64);
  expect_clean(run_tool(MOZ_DEEPZOOM, {moz, folder + "/ピラミッド"}, dir.path), 0, "moz-deepzoom");
  EXPECT_EQ(read_file(dir.path + "/" + folder + "/ピラミッド/picture_files/6/0_0.jpg"), tile);
  // Nothing staged is left beside the outputs.
  EXPECT_EQ(
      names_in(dir.path + "/" + folder),
      (std::vector<std::string>{"Карта 地図.moz", "снова.moz", "части", "ピラミッド", "絵.png"}));
}

// Asked to stop, a tool ends as the request would have ended it, and leaves
// neither its output nor anything staged for it.
TEST(Everywhere, AStopRequestLeavesNothingBehind) {
  if (!have_cjpeg()) {
    GTEST_SKIP() << "cjpeg is not installed";
  }
  if (kWindowsTools) {
    GTEST_SKIP() << "Wine turns no signal into a console event for a process without a console";
  }
  TempDir dir;
  // 8192 x 8192 of real tiles: seconds of work for each tool.
  Bytes records;
  const Bytes tile = record('J', cjpeg_tile(64, 64));
  for (int i = 0; i < 128 * 128; ++i) {
    records += tile;
  }
  write_file(dir.path + "/big.moz", moz_file(8192, 8192, records));
  struct Row {
    const char* tool;
    std::vector<std::string> args;
    int signal;
  };
  const Row rows[] = {
      {MOZ_STITCH, {"--quiet", "big.moz", "out.png"}, SIGINT},
      {MOZ_DEEPZOOM, {"--quiet", "big.moz", "pyramid"}, SIGTERM},
      {MOZ_UNPACK, {"big.moz", "parts"}, SIGHUP},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.tool);
    Surroundings stopped;
    stopped.stop_signal = row.signal;
    const Outcome run = run_tool(row.tool, row.args, dir.path, stopped);
    EXPECT_EQ(run.status, 128 + row.signal) << run.err;
    EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"big.moz"});
  }
}

// A staged output gets the usual permissions once in place, not the private
// ones it was made with.
TEST(Everywhere, OutputsInPlaceHaveTheUsualPermissions) {
  if (!have_cjpeg()) {
    GTEST_SKIP() << "cjpeg is not installed";
  }
  if (kWindowsTools) {
    GTEST_SKIP() << "Windows files have no mode bits";
  }
  TempDir dir;
  write_file(dir.path + "/in.moz", moz_file(64, 64, record('J', cjpeg_tile(64, 64))));
  struct Row {
    const char* tool;
    std::vector<std::string> args;
    const char* made;
    mode_t mode;  // under umask 027
  };
  const Row rows[] = {
      {MOZ_STITCH, {"in.moz", "out.png"}, "out.png", 0640},
      {MOZ_DEEPZOOM, {"in.moz", "pyramid"}, "pyramid", 0750},
      {MOZ_UNPACK, {"in.moz", "parts"}, "parts", 0750},
      {MOZ_PACK, {"parts", "again.moz"}, "again.moz", 0640},
  };
  const mode_t old_mask = umask(027);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.tool);
    EXPECT_EQ(run_tool(row.tool, row.args, dir.path).status, 0);
    struct stat made {};
    ASSERT_EQ(stat((dir.path + "/" + row.made).c_str(), &made), 0);
    EXPECT_EQ(made.st_mode & 07777, row.mode);
  }
  umask(old_mask);
}

// Record headers written at their places and the payloads left as holes: a
// container larger than 4 GiB that costs almost nothing to make.
TEST(Everywhere, ContainersPast4GiBAreWalkedToTheirEnd) {
  if (!have_cjpeg()) {
    GTEST_SKIP() << "cjpeg is not installed";
  }
  TempDir dir;
  constexpr unsigned kLargest = 65535;
  constexpr off_t kRecord = 6 + kLargest;

  const std::string tiz = dir.path + "/big.tiz";
  int fd = open(tiz.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  ASSERT_GE(fd, 0);
  const Bytes head = tiz_file(kLargest, "");
  const Bytes jpeg_header = "TIL2" + be16(kLargest);
  ASSERT_EQ(pwrite(fd, head.data(), head.size(), 0), 8);
  for (off_t tile = 0; tile < kLargest; ++tile) {
    ASSERT_EQ(pwrite(fd, jpeg_header.data(), 6, 8 + tile * kRecord), 6);
  }
  ASSERT_EQ(ftruncate(fd, 8 + kLargest * kRecord), 0);
  close(fd);
  ASSERT_GT(8 + kLargest * kRecord, off_t{1} << 32);
  const Outcome listed = run_tool(TIZ_TILELIST, {"big.tiz"}, dir.path);
  EXPECT_EQ(listed.status, 0);
  EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), 1 + kLargest);
  EXPECT_TRUE(listed.out.ends_with("Tile 65534: method 2, 65541 bytes (65535 bytes jpeg)\n"));

  // 256 x 256 tiles, each a JPEG padded to the largest payload, and a tag
  // past 4 GiB lost: salvage reads on to the end and comes back to place the
  // tiles after it.
  const std::string moz = dir.path + "/big.moz";
  fd = open(moz.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  ASSERT_GE(fd, 0);
  const Bytes header = "TILJ" + be16(kLargest) + cjpeg_tile(64, 64);
  const Bytes moz_head = moz_file(16384, 16384, "");
  ASSERT_EQ(pwrite(fd, moz_head.data(), 8, 0), 8);
  constexpr off_t kTiles = off_t{256} * 256;
  for (off_t index = 0; index < kTiles; ++index) {
    ASSERT_EQ(pwrite(fd, header.data(), header.size(), 8 + index * kRecord),
              static_cast<ssize_t>(header.size()));
  }
  ASSERT_EQ(ftruncate(fd, 8 + kTiles * kRecord), 0);
  const Outcome checked = run_tool(MOZ_GRIDCHECK, {"big.moz"}, dir.path);
  EXPECT_EQ(checked.out, "Found MOZ file version 0 of size 16384 x 16384 (65536 tiles)\n");
  EXPECT_EQ(checked.status, 0);

  constexpr off_t kLost = 65534;
  ASSERT_GT(8 + kLost * kRecord, off_t{1} << 32);
  ASSERT_EQ(pwrite(fd, "X", 1, 8 + kLost * kRecord), 1);
  close(fd);
  const Outcome salvaged =
      run_tool(MOZ_STITCH, {"--salvage", "--size", "64", "big.moz", "thumb.png"}, dir.path);
  EXPECT_EQ(salvaged.status, 1);
  EXPECT_NE(salvaged.err.find("1 of its 65536 tiles were not found"), std::string::npos)
      << salvaged.err.substr(0, 2000);
  EXPECT_EQ(read_png(read_file(dir.path + "/thumb.png")).width, 64);
}
