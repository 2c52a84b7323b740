// tiz-unpack, tiz-pack, moz-unpack and moz-pack, run as a user runs them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <csignal>
#include <random>
#include <thread>

#include "support.h"

namespace {

Bytes deflated(const Bytes& raw) {
  uLongf size = compressBound(raw.size());
  Bytes out(size, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(raw.data()),
            raw.size(), 9);
  out.resize(size);
  return out;
}

Bytes inflated(const Bytes& zlib) {
  Bytes out(1 << 20, '\0');
  uLongf size = out.size();
  uncompress(reinterpret_cast<Bytef*>(out.data()), &size,
             reinterpret_cast<const Bytef*>(zlib.data()), zlib.size());
  out.resize(size);
  return out;
}

struct Tools {
  const char* unpack;
  const char* pack;
  const char* check;  // the container tool that must read the file to its end
  const char* extension;
};
const Tools kTiz{TIZ_UNPACK, TIZ_PACK, TIZ_TILELIST, ".tiz"};
const Tools kMoz{MOZ_UNPACK, MOZ_PACK, MOZ_GRIDCHECK, ".moz"};

// A scratch folder holding the input as in.tiz or in.moz.
struct Scratch {
  Scratch(const Tools& with, const Bytes& input) : tools(with) {
    in = dir.path + "/in" + tools.extension;
    out = dir.path + "/out" + tools.extension;
    parts = dir.path + "/parts";
    write_file(in, input);
  }
  Outcome unpack(const std::vector<std::string>& options = {}) const {
    std::vector<std::string> args = options;
    args.insert(args.end(), {in, parts});
    return run_tool(tools.unpack, args, dir.path);
  }
  Outcome pack() const { return run_tool(tools.pack, {parts, out}, dir.path); }
  Outcome check(const std::string& file) const { return run_tool(tools.check, {file}, dir.path); }
  void manifest(const std::string& text) const { write_file(parts + "/manifest.txt", text); }

  TempDir dir;
  const Tools& tools;
  std::string in, out, parts;
};

}  // namespace

TEST(PackRoundTrip, AnUntouchedFolderPacksToTheSameBytes) {
  const Bytes zlib = deflated(pattern(3000));
  struct Row {
    const char* name;
    const Tools& tools;
    Bytes file;
  };
  const Row rows[] = {
      {"every method", kTiz,
       tiz_file(3, record('0', zlib) +
                       record('1', be16(static_cast<unsigned>(zlib.size())) + zlib + pattern(700)) +
                       record('2', pattern(500)))},
      {"empty payloads", kTiz,
       tiz_file(4, record('0', "") + record('1', be16(0)) + record('2', "") + record('7', ""))},
      {"method 1 splits that leave no room", kTiz,
       tiz_file(4, record('1', be16(3) + "zzz") + record('1', be16(9) + "zz") + record('1', "z") +
                       record('1', ""))},
      {"any kind byte", kTiz,
       tiz_file(6, record('A', "a") + record('\0', "b") + record('\xff', "c") + record('#', "d") +
                       record(' ', "e") + record('\n', "f"))},
      {"reserved bytes and a trailer", kTiz,
       tiz_file(1, record('2', "x"), 0x01, 0xff) + "after the last record TIL"},
      {"the largest payloads", kTiz,
       tiz_file(2, record('2', pattern(65535)) + record('1', be16(65533) + pattern(65533)))},
      {"no records, a trailer", kTiz, tiz_file(0, "") + "TIL" + be16(0)},
      {"a grid", kMoz,
       moz_file(100, 100,
                record('J', pattern(10)) + record('\0', "") + record('J', pattern(65535)) +
                    record('\x9e', pattern(3)))},
      {"a trailer", kMoz, moz_file(64, 64, record('J', "x")) + "trailing"},
      {"a negative size, no tiles", kMoz, moz_file(0xffc0, 64, "") + record('J', "x")},
      {"two negative sizes, one tile", kMoz, moz_file(0xffc0, 0xffc0, record('J', "y"))},
      {"no tiles at all", kMoz, moz_file(0, 5, "")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Scratch scratch(row.tools, row.file);
    ASSERT_EQ(scratch.check(scratch.in).status, 0);
    const Outcome unpacked = scratch.unpack();
    EXPECT_EQ(unpacked.status, 0) << unpacked.err;
    EXPECT_EQ(unpacked.err, "");
    const Outcome packed = scratch.pack();
    EXPECT_EQ(packed.status, 0) << packed.err;
    EXPECT_EQ(packed.out + packed.err, "");
    EXPECT_TRUE(read_file(scratch.out) == row.file) << "not the same bytes";
  }
}

TEST(PackRoundTrip, PartsAreTheExtractorsTilesAndTheManifestReadsPlainly) {
  const Bytes zlib = deflated("some zlib data");
  const Scratch scratch(
      kTiz, tiz_file(3, record('1', be16(static_cast<unsigned>(zlib.size())) + zlib + "JPEG") +
                            record('0', zlib) + record('x', "??")) +
                "tail");
  ASSERT_EQ(scratch.unpack().status, 0);
  const Files parts = files_in(scratch.parts);
  EXPECT_EQ(parts.at("manifest.txt").substr(parts.at("manifest.txt").find("\nformat")),
            "\nformat TIZ 0\nreserved 0x00 0x00\n0 1 tile0000.zlib tile0000.jpg\n"
            "1 0 tile0001.zlib\n2 x tile0002.bin\ntrailer trailer.bin\n");
  EXPECT_EQ(parts.at("tile0000.jpg"), "JPEG");
  EXPECT_EQ(parts.at("tile0000.zlib"), zlib);
  EXPECT_EQ(parts.at("tile0002.bin"), "??");
  EXPECT_EQ(parts.at("trailer.bin"), "tail");
  EXPECT_EQ(parts.size(), 6U);

  // Inflated, a zlib part is its data; a part that does not inflate stays as it is.
  const Scratch raw(
      kTiz, tiz_file(3, record('0', zlib) + record('0', "not zlib") + record('0', zlib + "more")));
  const Outcome unpacked = raw.unpack({"--inflate"});
  EXPECT_EQ(unpacked.status, 0);
  EXPECT_NE(unpacked.err.find("tile 1's zlib data does not inflate"), std::string::npos)
      << unpacked.err;
  const Files raw_parts = files_in(raw.parts);
  EXPECT_EQ(raw_parts.at("tile0000.raw"), "some zlib data");
  EXPECT_EQ(raw_parts.at("tile0001.zlib"), "not zlib");
  EXPECT_EQ(raw_parts.at("tile0002.zlib"), zlib + "more");
  EXPECT_NE(
      unpacked.err.find("tile 2's zlib data does not inflate (4 bytes follow the zlib stream)"),
      std::string::npos)
      << unpacked.err;
  ASSERT_EQ(raw.pack().status, 0);
  const Bytes repacked = read_file(raw.out);
  EXPECT_EQ(inflated(repacked.substr(14, repacked.size() - 14 - 14 - 6 - zlib.size() - 4)),
            "some zlib data");
}

TEST(PackEdits, RecordsFollowTheLinesAndPartsTheirFiles) {
  const Scratch scratch(
      kTiz, tiz_file(3, record('2', "aaaa") + record('2', "bb") + record('0', deflated("c"))));
  ASSERT_EQ(scratch.unpack().status, 0);
  write_file(scratch.parts + "/tile0000.jpg", pattern(1000));  // a retouched tile
  write_file(scratch.parts + "/new.raw", "new data");
  scratch.manifest(
      "format TIZ 0  # header\n"
      "reserved 0x00 0x00\n"
      "2 0 tile0002.zlib\n"  // moved first
      "0 2 tile0000.jpg\n"   // tile 1 removed
      "\n"
      "9 1 new.raw tile0001.jpg\n");  // added
  const Outcome packed = scratch.pack();
  ASSERT_EQ(packed.status, 0) << packed.err;
  EXPECT_EQ(scratch.check(scratch.out).out,
            "Found TIZ file version 0 with 3 tiles\n"
            "Tile 0: method 0, " +
                std::to_string(6 + deflated("c").size()) + " bytes (" +
                std::to_string(deflated("c").size()) +
                " zlib)\n"
                "Tile 1: method 2, 1006 bytes (1000 bytes jpeg)\n"
                "Tile 2: method 1, " +
                std::to_string(6 + 2 + deflated("new data").size() + 2) + " bytes (" +
                std::to_string(deflated("new data").size()) + " zlib/2 jpeg)\n");

  // A MOZ must keep its count, and says by how much it does not.
  const Scratch grid(
      kMoz, moz_file(100, 100,
                     record('J', "1") + record('J', "2") + record('J', "3") + record('J', "4")));
  ASSERT_EQ(grid.unpack().status, 0);
  grid.manifest(
      "format MOZ 0\nsize 100 100\n0 J tile0000.jpg\n1 J tile0001.jpg\n"
      "2 J tile0002.jpg\n");
  const Outcome short_grid = grid.pack();
  EXPECT_EQ(short_grid.status, 2);
  EXPECT_NE(short_grid.err.find("3 tile lines, but a MOZ of 100 x 100 holds 4 tiles"),
            std::string::npos)
      << short_grid.err;
}

TEST(PackRefusals, EachNamesTheLineAndLeavesOutAsItWas) {
  struct Row {
    const char* name;
    const Tools& tools;
    std::string manifest;
    Files parts;
    std::string said;
  };
  std::mt19937 random(7);
  Bytes noise(100000, '\0');
  for (char& byte : noise) {
    byte = static_cast<char>(random() & 0xff);
  }
  std::string many = "format TIZ 0\n";
  for (int i = 0; i <= 65535; ++i) {
    many += std::to_string(i) + " 2 e.jpg\n";
  }
  const Row rows[] = {
      {"a missing part",
       kTiz,
       "format TIZ 0\n0 2 tile0000.jpg\n",
       {},
       "manifest.txt:2: tile0000.jpg: No such file or directory"},
      {"a payload too large",
       kTiz,
       "format TIZ 0\n\n0 2 big.jpg\n",
       {{"big.jpg", pattern(65536)}},
       "manifest.txt:3: record 0's payload would be 65536 bytes; a record holds at most 65535"},
      {"two parts too large together",
       kTiz,
       "format TIZ 0\n4 1 a.zlib b.jpg\n",
       {{"a.zlib", pattern(40000)}, {"b.jpg", pattern(25534)}},
       "manifest.txt:2: record 4's payload would be 65536 bytes"},
      {"a raw part that deflates too large",
       kTiz,
       "format TIZ 0\n0 0 a.raw\n",
       {{"a.raw", noise}},
       "a.raw: it deflates to more than"},
      {"too many records",
       kTiz,
       many,
       {{"e.jpg", ""}},
       "manifest.txt:65537: a TIZ holds at most 65535 records"},
      {"a size out of range",
       kMoz,
       "format MOZ 0\nsize 40000 10\n",
       {},
       "manifest.txt:2: expected: size WIDTH HEIGHT, each from -32768 to 32767"},
      {"a line that does not parse",
       kTiz,
       "format TIZ 0\n0 2\n",
       {},
       "manifest.txt:2: expected: INDEX KIND PART [PART], or INDEX missing"},
      {"the other format", kTiz, "format MOZ 0\n", {}, "a MOZ manifest; tiz-pack packs TIZ"},
      {"a part of the wrong kind",
       kTiz,
       "format TIZ 0\n0 2 a.zlib\n",
       {{"a.zlib", "z"}},
       "record 0: kind 2 does not take the part a.zlib"},
      {"a missing TIZ record", kTiz, "format TIZ 0\n0 missing\n", {}, "leave its line out"},
      {"no manifest", kMoz, "", {}, "manifest.txt: No such file or directory"},
      {"a line too long",
       kTiz,
       "format TIZ 0\n0 2 " + std::string(5000, 'a') + ".jpg\n",
       {},
       "manifest.txt:2: a line longer than 4094 characters"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // Wine shows a POSIX link to a file as the file itself, not a reparse point.
    if (kWindowsTools && row.name == std::string("a link to a file")) {
      continue;
    }
    const Scratch scratch(row.tools, "");
    mkdir(scratch.parts.c_str(), 0777);
    if (!row.manifest.empty()) {
      scratch.manifest(row.manifest);
    }
    for (const auto& [name, bytes] : row.parts) {
      write_file(scratch.parts + "/" + name, bytes);
    }
    write_file(scratch.out, "the old output");
    const Outcome packed = scratch.pack();
    EXPECT_EQ(packed.status, 2);
    EXPECT_NE(packed.err.find(row.said), std::string::npos) << packed.err;
    EXPECT_EQ(std::count(packed.err.begin(), packed.err.end(), '\n'), 1) << packed.err;
    EXPECT_EQ(read_file(scratch.out), "the old output");
    EXPECT_EQ(files_in(scratch.dir.path).size(), 3U) << "a partial file was left behind";
  }
}

// A part that is a pipe cannot say its size: one that gives more than a
// record holds is refused all the same, never written with its length cut
// to 16 bits.
TEST(PackRefusals, APipeGivingMoreThanARecordHoldsIsRefused) {
  if (kWindowsTools) {
    GTEST_SKIP() << "Wine shows no named pipe in a folder";
  }
  const Scratch scratch(kTiz, "");
  mkdir(scratch.parts.c_str(), 0777);
  scratch.manifest("format TIZ 0\n0 2 pipe.jpg\n");
  const std::string pipe = scratch.parts + "/pipe.jpg";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0666), 0);
  write_file(scratch.out, "the old output");
  const auto old_pipe = std::signal(SIGPIPE, SIG_IGN);  // the packer stops reading early
  std::thread feeder([&] {
    const int fd = open(pipe.c_str(), O_WRONLY);
    const Bytes bytes = pattern(70000);
    for (std::size_t at = 0; fd >= 0 && at < bytes.size();) {
      const ssize_t put = write(fd, bytes.data() + at, bytes.size() - at);
      if (put <= 0) {
        break;
      }
      at += static_cast<std::size_t>(put);
    }
    close(fd);
  });
  const Outcome packed = scratch.pack();
  // A feeder still waiting for a reader (the packer never opened the part) is let go.
  const int unblock = open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
  feeder.join();
  close(unblock);
  std::signal(SIGPIPE, old_pipe);
  EXPECT_EQ(packed.status, 2);
  EXPECT_NE(packed.err.find("manifest.txt:2: record 0's payload would be over 65535 bytes"),
            std::string::npos)
      << packed.err;
  EXPECT_EQ(read_file(scratch.out), "the old output");
}

TEST(Unpack, DamagedFilesAndRefusals) {
  const Bytes grid = moz_file(100, 100,
                              record('J', "1") + record('J', "22") + "TIX" + Bytes(1, 'J') +
                                  be16(1) + "3" + record('J', "4444"));
  struct Row {
    const char* name;
    const Tools& tools;
    Bytes file;
    std::vector<std::string> options;
    int status;
    std::string manifest_tail;  // the manifest from its format line, "" when none is written
    std::string said;
  };
  const Row rows[] = {
      {"a MOZ that breaks off",
       kMoz,
       grid,
       {},
       1,
       "format MOZ 0\nsize 100 100\n0 J tile0000.jpg\n1 J tile0001.jpg\n2 missing\n3 missing\n",
       "breaks off at tile 2 of 4: its record does not start with TIL"},
      {"the same, salvaged",
       kMoz,
       grid,
       {"--salvage"},
       1,
       "format MOZ 0\nsize 100 100\n0 J tile0000.jpg\n1 J tile0001.jpg\n"
       "# skipped 7 bytes at offset 23: no intact record there\n2 missing\n3 J tile0003.jpg\n",
       "skipped 7 bytes at offset 23: no intact record there"},
      {"a TIZ salvaged keeps the order",
       kTiz,
       tiz_file(3, record('2', "1") + "XIL2" + be16(1) + "2" + record('2', "3")),
       {"--salvage"},
       1,
       "format TIZ 0\nreserved 0x00 0x00\n0 2 tile0000.jpg\n# skipped 7 bytes at offset 15: no "
       "intact record there\n"
       "1 2 tile0001.jpg\n",
       "skipped 7 bytes at offset 15"},
      {"a TIZ cut short",
       kTiz,
       tiz_file(3, record('2', "1") + "TIL2"),
       {},
       1,
       "format TIZ 0\nreserved 0x00 0x00\n0 2 tile0000.jpg\n",
       "breaks off at tile 1 of 3: the file ends 4 bytes into a read of 6"},
      {"not a TIZ", kTiz, grid, {}, 2, "", "is not a TIZ file"},
      {"too short for a header", kMoz, "MOZ0", {}, 2, "", "is not a MOZ file"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Scratch scratch(row.tools, row.file);
    const Outcome unpacked = scratch.unpack(row.options);
    EXPECT_EQ(unpacked.status, row.status);
    EXPECT_NE(unpacked.err.find(row.said), std::string::npos) << unpacked.err;
    const Bytes manifest = read_file(scratch.parts + "/manifest.txt");
    EXPECT_EQ(manifest.empty() ? "" : manifest.substr(manifest.find("format")), row.manifest_tail);
    EXPECT_EQ(files_in(scratch.dir.path).size(), row.manifest_tail.empty() ? 1U : 2U);
  }

  // Salvaged and packed, the damaged MOZ reads to its end, the lost tile gray.
  const Scratch repaired(kMoz, grid);
  ASSERT_EQ(repaired.unpack({"--salvage"}).status, 1);
  ASSERT_EQ(repaired.pack().status, 0);
  EXPECT_EQ(repaired.check(repaired.out).status, 0);
  EXPECT_EQ(run_tool(MOZ_TILESAVE, {repaired.out}, repaired.dir.path).status, 0);
  EXPECT_EQ(read_file(repaired.dir.path + "/tile0003.jpg"), "4444");
  EXPECT_EQ(read_file(repaired.dir.path + "/tile0002.jpg").substr(0, 2), "\xff\xd8");

  // The folder must be new or empty, and a folder.
  const Scratch taken(kMoz, grid);
  write_file(taken.parts, "a file");
  const Outcome refused = taken.unpack();
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("parts: exists and is not a folder"), std::string::npos)
      << refused.err;
}

// A folder from someone else must not pack the files around it: a part names
// a file inside the folder, and a symbolic link is followed only when asked.
TEST(PackRefusals, PartsAreFilesInsideTheFolder) {
  struct Row {
    const char* name;
    const Tools& tools;
    std::string lines;                                       // after the format line
    std::vector<std::pair<std::string, std::string>> links;  // name -> where it points
    std::string said;
  };
  const std::string outside = " is not a file inside the folder";
  const std::string linked = " is a symbolic link, or lies in one; --follow-links packs";
  const Row rows[] = {
      {"up and out",
       kTiz,
       "0 2 ../secret.jpg\n",
       {},
       "manifest.txt:2: part ../secret.jpg" + outside},
      {"up from a folder",
       kTiz,
       "0 2 sub/../../secret.jpg\n",
       {},
       "part sub/../../secret.jpg" + outside},
      {"absolute", kTiz, "0 2 /tmp/secret.jpg\n", {}, "part /tmp/secret.jpg" + outside},
      {"a backslash", kTiz, "0 2 ..\\secret.jpg\n", {}, "part ..\\secret.jpg" + outside},
      {"a drive letter", kTiz, "0 2 C:secret.jpg\n", {}, "part C:secret.jpg" + outside},
      {"a trailer outside",
       kTiz,
       "0 2 a.jpg\ntrailer ../secret.bin\n",
       {},
       "manifest.txt:3: part ../secret.bin" + outside},
      {"a link to a file",
       kTiz,
       "0 2 a.jpg\n",
       {{"a.jpg", "../secret.jpg"}},
       "manifest.txt:2: a.jpg" + linked},
      {"a link to a folder",
       kMoz,
       "size 10 10\n0 J up/secret.jpg\n",
       {{"up", ".."}},
       "manifest.txt:3: up/secret.jpg" + linked},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // Wine shows a POSIX link to a file as the file itself, not a reparse point.
    if (kWindowsTools && row.name == std::string("a link to a file")) {
      continue;
    }
    const Scratch scratch(row.tools, "");
    mkdir(scratch.parts.c_str(), 0777);
    scratch.manifest(std::string(row.tools.extension == std::string(".tiz") ? "format TIZ 0\n"
                                                                            : "format MOZ 0\n") +
                     row.lines);
    write_file(scratch.parts + "/sub.jpg", "not used");
    for (const auto& [name, target] : row.links) {
      ASSERT_EQ(symlink(target.c_str(), (scratch.parts + "/" + name).c_str()), 0);
    }
    write_file(scratch.out, "the old output");
    write_file(scratch.dir.path + "/secret.jpg", "the neighbour's secret");
    const Outcome packed = scratch.pack();
    EXPECT_EQ(packed.status, 2);
    EXPECT_NE(packed.err.find(row.said), std::string::npos) << packed.err;
    EXPECT_EQ(std::count(packed.err.begin(), packed.err.end(), '\n'), 1) << packed.err;
    EXPECT_EQ(read_file(scratch.out), "the old output");
    if (!row.links.empty()) {
      // Asked to, the link is followed: the part is what it points to.
      const Outcome followed = run_tool(
          row.tools.pack, {"--follow-links", scratch.parts, scratch.out}, scratch.dir.path);
      EXPECT_EQ(followed.status, 0) << followed.err;
      EXPECT_NE(read_file(scratch.out).find("the neighbour's secret"), std::string::npos);
    }
  }
}
