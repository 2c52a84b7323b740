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
  expect_clean(run_tool(MOZ_TIFF, {moz, folder + "/地図.tif"}, dir.path), 0, "moz-tiff");
  expect_clean(run_tool(MOZ_PACK, {folder + "/地図.tif", folder + "/из тиффа.moz"}, dir.path), 0,
               "moz-pack");
  // Nothing staged is left beside the outputs.
  EXPECT_EQ(names_in(dir.path + "/" + folder),
            (std::vector<std::string>{"Карта 地図.moz", "из тиффа.moz", "снова.moz", "части",
                                      "ピラミッド", "地図.tif", "絵.png"}));
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
      {MOZ_TIFF, {"--quiet", "big.moz", "out.tif"}, SIGTERM},
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
      {MOZ_TIFF, {"in.moz", "out.tif"}, "out.tif", 0640},
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

namespace {

// A path as a user of the tools' system types it: on Windows with
// backslashes, or mixed where `mixed` is set, and an absolute one from a drive
// (Wine shows the Linux root as Z:).
std::string typed(const std::string& path, bool mixed = false) {
  if (!kWindowsTools) {
    return path;
  }
  std::string out = path.starts_with("/") ? "Z:" + path : path;
  bool flip = true;
  for (char& c : out) {
    if (c == '/') {
      c = flip ? '\\' : '/';
      flip = !mixed || !flip;
    }
  }
  return out;
}

// A tool's arguments, with `{}` standing for the folder as typed.
std::vector<std::string> in_folder(const std::string& typed_folder,
                                   const std::vector<std::string>& args) {
  std::vector<std::string> out;
  for (std::string arg : args) {
    const std::size_t at = arg.find("{}");
    if (at != std::string::npos) {
      arg.replace(at, 2, typed_folder);
    }
    out.push_back(arg);
  }
  return out;
}

}  // namespace

// Every tool's every path argument, as a person types it: a drive, a
// relative path, a parent folder, ".", mixed separators, a folder ending in
// a separator, names beyond ASCII. Outputs appear whole under their names,
// and nothing staged is left beside them.
TEST(Everywhere, PathsAsPeopleTypeThemWorkForEveryTool) {
  if (!have_cjpeg()) {
    GTEST_SKIP() << "cjpeg is not installed";
  }
  TempDir dir;
  const std::string cwd = dir.path + "/cwd";
  ASSERT_EQ(mkdir(cwd.c_str(), 0777), 0);
  const Bytes tile = cjpeg_tile(64, 64);
  const Bytes moz = moz_file(64, 64, record('J', tile));
  const Bytes tiz = tiz_file(1, record('2', tile));

  struct Style {
    const char* name;
    std::string folder;  // where the files are, from the root
    std::string typed;   // the same folder as typed, ending in a separator
  };
  const std::vector<Style> styles = {
      {"absolute", dir.path + "/abs", typed(dir.path + "/abs/")},
      {"relative", cwd + "/sub", typed("sub/")},
      {"parent", dir.path + "/up", typed("../up/")},
      {"dot", cwd + "/dot/in", typed("./dot/in/")},
      {"mixed", cwd + "/mix/a/b", typed("mix/a/b/", true)},
      {"script", cwd + "/Карта 地図", typed("Карта 地図/")},
  };
  const std::string end = kWindowsTools ? "\\" : "/";
  for (const Style& style : styles) {
    SCOPED_TRACE(style.name);
    ASSERT_EQ(system(("mkdir -p '" + style.folder + "'").c_str()), 0);
    write_file(style.folder + "/in.moz", moz);
    write_file(style.folder + "/in.tiz", tiz);
    const std::string& at = style.typed;
    struct Run {
      const char* tool;
      std::vector<std::string> args;
      const char* made;  // under the style's folder, or "" for none
    };
    std::vector<Run> runs = {
        {TIZ_TILELIST, {"{}in.tiz"}, ""},
        {MOZ_GRIDCHECK, {"{}in.moz"}, ""},
        {TIZ_TILESAVE, {"{}in.tiz"}, ""},
        {MOZ_TILESAVE, {"{}in.moz"}, ""},
        {MOZ_STITCH, {"--quiet", "{}in.moz", "{}out.png"}, "out.png"},
        {MOZ_STITCH, {"--size", "32", "{}in.tiz", "{}thumb.png"}, "thumb.png"},
        {MOZ_DEEPZOOM, {"--quiet", "{}in.moz", "{}dz" + end}, "dz"},
        {MOZ_TIFF, {"--quiet", "{}in.moz", "{}out.tif"}, "out.tif"},
        {MOZ_PACK, {"{}out.tif", "{}from-tiff.moz"}, "from-tiff.moz"},
        {MOZ_UNPACK, {"{}in.moz", "{}mparts" + end}, "mparts"},
        {MOZ_PACK, {"{}mparts" + end, "{}again.moz"}, "again.moz"},
        {TIZ_UNPACK, {"{}in.tiz", "{}tparts" + end}, "tparts"},
        {TIZ_PACK, {"{}tparts", "{}again.tiz"}, "again.tiz"},
        {MOZ_PACK, {"{}out.png", "{}cut.moz"}, "cut.moz"},
        {TILETOOLS_SCAN,
         {"--quiet", "--extract", "{}found" + end, "{}in.moz", "{}dz" + end},
         "found"},
    };
    for (const Run& run : runs) {
      SCOPED_TRACE(std::string(run.tool) + " " + in_folder(at, run.args).back());
      const Outcome done = run_tool(run.tool, in_folder(at, run.args), cwd);
      EXPECT_EQ(done.status, 0) << done.err;
      if (*run.made != '\0') {
        struct stat made {};
        EXPECT_EQ(stat((style.folder + "/" + run.made).c_str(), &made), 0) << run.made;
      }
    }
    EXPECT_EQ(read_file(style.folder + "/again.moz"), moz);
    EXPECT_EQ(read_file(style.folder + "/again.tiz"), tiz);
    EXPECT_EQ(read_file(style.folder + "/dz/picture_files/6/0_0.jpg"), tile);
    EXPECT_EQ(read_file(style.folder + "/found/in.moz@0.moz"), moz);
    EXPECT_EQ(read_file(cwd + "/tile0000.jpg"), tile);  // the extractors write where they run
    unlink((cwd + "/tile0000.jpg").c_str());
    for (const std::string& name : names_in(style.folder)) {
      EXPECT_EQ(name.find(".partial-"), std::string::npos) << name << " was left staged";
    }
  }
}
