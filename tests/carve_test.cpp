// tiletools-scan on disk images made here: the project's own containers
// planted among noise, text and JPEG files, whole, cut, damaged, nested and
// split into pieces on cluster boundaries.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "picture_support.h"
#include "report.h"
#include "seam.h"
#include "support.h"

namespace {

// Noise that stands for whatever else a disk holds.
Bytes noise(std::size_t count, std::uint64_t seed) {
  Bytes bytes(count, '\0');
  std::uint64_t state = seed * 0x9e3779b97f4a7c15ULL + 1;
  for (std::size_t i = 0; i < count; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    bytes[i] = static_cast<char>(state >> 24);
  }
  return bytes;
}

// A cjpeg tile of each size and seed, made once: cjpeg is slow to start.
const Bytes& tile(int width, int height, unsigned seed) {
  static std::map<std::vector<int>, Bytes> made;
  Bytes& jpeg = made[{width, height, static_cast<int>(seed)}];
  if (jpeg.empty()) {
    jpeg = cjpeg_tile(width, height, "", seed);
  }
  return jpeg;
}

// A MOZ whose tiles are cut to their cells, each a different picture.
Bytes moz_of(int width, int height, unsigned seed) {
  const int columns = (width + 63) / 64;
  const int rows = (height + 63) / 64;
  Bytes records;
  for (int i = 0; i < columns * rows; ++i) {
    const int cell_width = std::min(64, width - i % columns * 64);
    const int cell_height = std::min(64, height - i / columns * 64);
    records += record('J', tile(cell_width, cell_height, seed + static_cast<unsigned>(i)));
  }
  return moz_file(static_cast<unsigned>(width), static_cast<unsigned>(height), records);
}

Bytes deflated(const Bytes& raw) {
  uLongf size = compressBound(static_cast<uLong>(raw.size()));
  Bytes out(size, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(raw.data()),
            static_cast<uLong>(raw.size()), 9);
  out.resize(size);
  return out;
}

// A TIZ of JPEG tiles (method 2) and zlib ones (method 0) in turn.
Bytes tiz_of(unsigned tiles, unsigned seed) {
  Bytes records;
  for (unsigned i = 0; i < tiles; ++i) {
    records += i % 2 == 0 ? record('2', tile(64, 64, seed + i))
                          : record('0', deflated(noise(3000, seed + i) + Bytes(3000, 'z')));
  }
  return tiz_file(tiles, records);
}

// Where record `index` of a container starts.
std::size_t record_at(const Bytes& container, int index) {
  std::size_t at = 8;
  for (int i = 0; i < index; ++i) {
    at += 6 + std::size_t{static_cast<unsigned char>(container[at + 4])} * 256 +
          static_cast<unsigned char>(container[at + 5]);
  }
  return at;
}

void plant(Bytes& image, std::size_t offset, const Bytes& bytes) {
  image.replace(offset, bytes.size(), bytes);
}

std::string line(const std::string& path, std::size_t offset, const Bytes& container, int found,
                 std::size_t length, const std::string& state) {
  std::string text = path + ": " + std::to_string(offset) + ": " + container.substr(0, 4);
  const auto field = [&](std::size_t at) {
    return static_cast<unsigned char>(container[at]) * 256 +
           static_cast<unsigned char>(container[at + 1]);
  };
  int announced = field(4);
  if (container[0] == 'M') {
    text += " " + std::to_string(field(4)) + "x" + std::to_string(field(6));
    announced = ((field(4) + 63) / 64) * ((field(6) + 63) / 64);
  }
  return text + ", " + std::to_string(found) + " of " + std::to_string(announced) + " tiles, " +
         std::to_string(length) + " bytes, " + state;
}

Outcome scan(const std::vector<std::string>& args, const std::string& dir) {
  return run_tool(TILETOOLS_SCAN, args, dir);
}

// An image holding a container at 4096 in two pieces: its first `split`
// bytes, `gap` bytes of another file, then the rest.
constexpr std::size_t kTwoPiecesAt = 4096;
Bytes in_two_pieces(const Bytes& container, std::size_t split, std::size_t gap) {
  return noise(kTwoPiecesAt, 1) + container.substr(0, split) + noise(gap, 2) +
         container.substr(split) + noise(300'000, 3);
}

// The scan's line for that container, joined.
std::string joined_line(const std::string& path, const Bytes& container, int tiles,
                        std::size_t split, std::size_t gap) {
  return line(path, kTwoPiecesAt, container, tiles, container.size(), "fragmented") + ": " +
         std::to_string(kTwoPiecesAt) + "+" + std::to_string(split) + " " +
         std::to_string(kTwoPiecesAt + split + gap) + "+" +
         std::to_string(container.size() - split) + "\n";
}

// The scan of `bytes` from a pipe, written out into `out`.
Outcome scan_piped(const Bytes& bytes, const std::string& out, const std::string& dir) {
  Surroundings around;
  around.piped_input = &bytes;
  around.input_ends = true;
  return run_tool(TILETOOLS_SCAN, {"--quiet", "--extract", out, "-"}, dir, around);
}

// Every container written out is read to its end by the container tools.
void expect_walks(const std::string& dir) {
  for (const auto& [name, bytes] : files_in(dir)) {
    const bool tiz = name.ends_with(".tiz");
    const Outcome walk = run_tool(tiz ? TIZ_TILELIST : MOZ_GRIDCHECK, {name}, dir);
    EXPECT_EQ(walk.status, 0) << name << ":\n" << walk.out;
  }
}

// What a shell command prints.
std::string shell(const std::string& command) {
  std::string out;
  if (std::FILE* pipe = popen(command.c_str(), "r")) {
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
      out.append(chunk, got);
    }
    pclose(pipe);
  }
  return out;
}

bool have_mtools() {
  return std::system("command -v mkfs.vfat mcopy mdel mshowfat > /dev/null 2>&1") == 0;
}

// A FAT volume made by mkfs.vfat in an image, at `start` (a partition's
// offset, else 0), written to by mtools as a person would.
struct Volume {
  std::string image;
  std::uint64_t start = 0;
  std::uint64_t data = 0;     // where cluster 2 begins in the image
  std::uint64_t cluster = 0;  // bytes

  std::string at() const { return "'" + image + "@@" + std::to_string(start) + "'"; }
  bool run(const std::string& command) const {
    return std::system(("MTOOLS_SKIP_CHECK=1 " + command + " > /dev/null 2>&1").c_str()) == 0;
  }
  bool copy_in(const std::string& file, const std::string& name) const {
    return run("mcopy -i " + at() + " '" + file + "' ::/" + name);
  }
  bool remove(const std::string& name) const { return run("mdel -i " + at() + " ::/" + name); }

  // The runs of clusters a file takes, in order, as mshowfat shows them
  // ("::/NAME <52-71> <147-176>"), as offsets and lengths in the image.
  std::vector<Piece> clusters_of(const std::string& name) const {
    const std::string text =
        shell("MTOOLS_SKIP_CHECK=1 mshowfat -i " + at() + " ::/" + name + " 2>/dev/null");
    std::vector<Piece> runs;
    for (std::size_t open = text.find('<'); open != std::string::npos;
         open = text.find('<', open + 1)) {
      char* after = nullptr;
      const std::uint64_t first = std::strtoull(text.c_str() + open + 1, &after, 10);
      const std::uint64_t last = *after == '-' ? std::strtoull(after + 1, nullptr, 10) : first;
      runs.push_back(Piece{data + (first - 2) * cluster, (last - first + 1) * cluster});
    }
    return runs;
  }
};

// mkfs.vfat's volume of `kib` KiB, FAT `bits`, `sectors` 512-byte sectors a
// cluster, behind `lead` sectors of a partition table's gap.
Volume make_volume(const std::string& dir, int bits, int sectors, int kib, int lead) {
  Volume v;
  v.image = dir + "/volume.img";
  const std::string fs = lead > 0 ? dir + "/fs.img" : v.image;
  if (std::system(("mkfs.vfat -C -F " + std::to_string(bits) + " -s " + std::to_string(sectors) +
                   " -S 512 '" + fs + "' " + std::to_string(kib) + " > /dev/null 2>&1")
                      .c_str()) != 0) {
    return v;
  }
  if (lead > 0) {
    write_file(v.image,
               Bytes(std::size_t{512} * static_cast<std::size_t>(lead), '\0') + read_file(fs));
    unlink(fs.c_str());
  }
  v.start = std::uint64_t{512} * static_cast<std::uint64_t>(lead);
  // The boot sector's layout: reserved sectors, the FATs, the root folder.
  Bytes boot(512, '\0');
  if (std::FILE* in = std::fopen(v.image.c_str(), "rb")) {
    if (std::fseek(in, static_cast<long>(v.start), SEEK_SET) != 0 ||
        std::fread(boot.data(), 1, boot.size(), in) != boot.size()) {
      boot.clear();
    }
    std::fclose(in);
  }
  if (boot.size() != 512) {
    return v;
  }
  const auto byte = [&](std::size_t at) {
    return std::uint64_t{static_cast<unsigned char>(boot[at])};
  };
  const auto u16 = [&](std::size_t at) { return byte(at) | byte(at + 1) << 8; };
  const std::uint64_t sector = u16(11);
  const std::uint64_t fat = u16(22) != 0 ? u16(22) : u16(36) | u16(38) << 16;
  const std::uint64_t root = (u16(17) * 32 + sector - 1) / sector;
  v.cluster = byte(13) * sector;
  v.data = v.start + (u16(14) + byte(16) * fat + root) * sector;
  return v;
}

// Free bytes on the volume, as mdir says ("1 234 567 bytes free").
std::uint64_t free_bytes(const Volume& v) {
  const std::string text = shell("MTOOLS_SKIP_CHECK=1 mdir -i " + v.at() + " ::/ 2>/dev/null");
  const std::size_t end = text.find(" bytes free");
  std::uint64_t bytes = 0;
  std::uint64_t scale = 1;
  for (std::size_t at = end; at != std::string::npos && at > 0; --at) {
    const char c = text[at - 1];
    if (c >= '0' && c <= '9') {
      bytes += static_cast<std::uint64_t>(c - '0') * scale;
      scale *= 10;
    } else if (c != ' ' || text[at - 2] == ' ') {
      break;
    }
  }
  return bytes;
}

// How a volume's allocator picks the clusters of a file it writes.
enum class Allocator {
  first_fit,  // FAT12 and FAT16: the first free ones
  hinted,     // FAT32: on from where it last left off, wrapping at the end
  wrapping,   // FAT32 with its hint near the end: the first piece there
};

// Stores `container` as NAME in `pieces` pieces. Files of noise with holes
// between them fill the volume, and the container is written into the
// holes: the first ones a little smaller than a piece, the last one roomy.
// A first-fit allocator fills them in order; a hinted one does once it
// wraps around the volume's end, so the rest of the volume is filled first,
// or all but a piece's room at its end, where the first piece then goes.
bool store_in_pieces(const Volume& v, const std::string& dir, const Bytes& container,
                     const std::string& name, int pieces, unsigned seed, Allocator allocator) {
  const std::uint64_t clusters = (container.size() + v.cluster - 1) / v.cluster;
  const std::uint64_t hole = clusters / static_cast<std::uint64_t>(pieces);
  const int holes = allocator == Allocator::wrapping ? pieces - 1 : pieces;
  const std::string file = dir + "/file";
  bool made = true;
  for (int i = 0; i < holes; ++i) {
    write_file(file,
               noise(static_cast<std::size_t>(v.cluster), seed + 2U * static_cast<unsigned>(i)));
    made = made && v.copy_in(file, "KEEP" + std::to_string(i));
    const std::uint64_t room = i + 1 < holes ? hole : clusters + 1;
    write_file(file, noise(static_cast<std::size_t>(room * v.cluster), seed + 1));
    made = made && v.copy_in(file, "HOLE" + std::to_string(i));
  }
  // The rest of the volume, but for a few clusters the folder may grow by,
  // then those a cluster at a time; or but for the first piece's room.
  const std::uint64_t rest = allocator != Allocator::first_fit ? free_bytes(v) : 0;
  const std::uint64_t left = allocator == Allocator::wrapping ? hole + 1 : 4;
  if (rest > left * v.cluster) {
    write_file(file, Bytes(static_cast<std::size_t>(rest - left * v.cluster), 'r'));
    made = made && v.copy_in(file, "REST");
  }
  write_file(file, noise(static_cast<std::size_t>(v.cluster), seed + 4));
  for (int pad = 0; allocator == Allocator::hinted && made && pad < 8 && free_bytes(v) >= v.cluster;
       ++pad) {
    made = v.copy_in(file, "PAD" + std::to_string(pad));
  }
  for (int i = 0; i < holes; ++i) {
    made = made && v.remove("HOLE" + std::to_string(i));
  }
  write_file(file, container);
  return made && v.copy_in(file, name);
}

// The pieces of a container stored in these runs of clusters, as the scan
// reports them: every run whole but the last, which ends with the container.
std::string pieces_line(const std::vector<Piece>& runs, std::size_t size) {
  std::string text = ":";
  std::uint64_t left = size;
  for (const Piece& run : runs) {
    const std::uint64_t length = std::min<std::uint64_t>(run.length, left);
    text += " " + std::to_string(run.offset) + "+" + std::to_string(length);
    left -= length;
  }
  return text + "\n";
}

// Whether a tile is the gray one a lost tile gets: one value throughout.
bool gray(const Bytes& jpeg) {
  const Image image = djpeg(jpeg);
  if (image.rgb.empty()) {
    return false;
  }
  const auto [least, most] = std::minmax_element(
      image.rgb.begin(), image.rgb.end(),
      [](char a, char b) { return static_cast<unsigned char>(a) < static_cast<unsigned char>(b); });
  return static_cast<unsigned char>(*most) - static_cast<unsigned char>(*least) <= 2;
}

// Each tile of a carved MOZ is its own or gray, and this many are its own.
int own_tiles(const Bytes& carved, const Bytes& container) {
  const std::vector<Bytes> ours = moz_tiles(container);
  const std::vector<Bytes> found = moz_tiles(carved);
  EXPECT_EQ(found.size(), ours.size());
  int kept = 0;
  for (std::size_t i = 0; i < std::min(found.size(), ours.size()); ++i) {
    if (found[i] == ours[i]) {
      ++kept;
    } else {
      EXPECT_TRUE(gray(found[i])) << "tile " << i << " is neither its own nor gray";
    }
  }
  return kept;
}
}  // namespace

TEST(Scan, FindsEachContainerInADiskImageWithItsState) {
  if (!have_cjpeg()) {
    GTEST_SKIP() << "cjpeg is not installed";
  }
  const Bytes moz = moz_of(200, 130, 1);
  const Bytes tiz = tiz_of(9, 40);
  const Bytes inner = moz_of(64, 64, 60);
  Bytes image = noise(std::size_t{3} << 20, 7);
  // Decoys: text with both magics, a loose JPEG, records with no header.
  plant(image, 100, "TIZ0 is a name, MOZ0 another; TIL. TIZ0");
  plant(image, 50'000, tile(64, 64, 3));
  plant(image, 70'001, record('J', "abc") + record('J', "def") + record('J', "ghi"));
  // Intact at a cluster boundary and at an odd offset.
  plant(image, 4096, moz);
  plant(image, 300'001, tiz);
  // Cut: its last records overwritten.
  plant(image, 400'000, moz);
  plant(image, 400'000 + record_at(moz, 8) + 10, noise(20'000, 9));
  // Damaged: record 4's tag lost, so tiles 5 to 11 are found again.
  plant(image, 500'000, moz);
  plant(image, 500'000 + record_at(moz, 4), "XXX");
  Bytes broken_tiz = tiz;
  plant(broken_tiz, record_at(tiz, 2) + 1, Bytes(2, '\0'));
  plant(image, 600'000, broken_tiz);
  // Cut by another container written over it: the second keeps its records.
  plant(image, 700'000, moz);
  plant(image, 700'000 + record_at(moz, 5) + 100, tiz);
  // Cut where another container starts: no record of that one is taken.
  plant(image, 900'000, moz.substr(0, record_at(moz, 6)) + tiz);
  // A MOZ stored as a TIZ record's payload.
  const Bytes outer = tiz_file(2, record('0', deflated("x")) + record('2', inner));
  plant(image, 800'000, outer);
  // The image ends inside a container's records.
  const std::size_t tail = image.size() - moz.size() + 3000;
  plant(image, tail, moz.substr(0, moz.size() - 3000));

  // The records wholly inside the image.
  int found = 0;
  while (found < 12 && tail + record_at(moz, found + 1) <= image.size()) {
    ++found;
  }

  TempDir dir;
  write_file(dir.path + "/disk.img", image);
  const Outcome run = scan({"disk.img"}, dir.path);
  EXPECT_EQ(run.status, 0) << run.err;
  const auto pieces = [](std::size_t start, std::size_t first, std::size_t second,
                         std::size_t length) {
    return ": " + std::to_string(start) + "+" + std::to_string(first) + " " +
           std::to_string(second) + "+" + std::to_string(length) + "\n";
  };
  const std::size_t lost_moz = record_at(moz, 5) - record_at(moz, 4);
  const std::size_t lost_tiz = record_at(tiz, 3) - record_at(tiz, 2);
  EXPECT_EQ(
      run.out,
      line("disk.img", 4096, moz, 12, moz.size(), "intact") + "\n" +
          line("disk.img", 300'001, tiz, 9, tiz.size(), "intact") + "\n" +
          // Record 8 keeps its header, but its tail is noise: it is lost.
          line("disk.img", 400'000, moz, 8, record_at(moz, 8), "cut") + "\n" +
          line("disk.img", 500'000, moz, 11, moz.size() - lost_moz, "damaged") +
          pieces(500'000, record_at(moz, 4), 500'000 + record_at(moz, 5),
                 moz.size() - record_at(moz, 5)) +
          line("disk.img", 600'000, tiz, 8, tiz.size() - lost_tiz, "damaged") +
          pieces(600'000, record_at(tiz, 2), 600'000 + record_at(tiz, 3),
                 tiz.size() - record_at(tiz, 3)) +
          // Record 5 claims the other container's records: it is not believed.
          line("disk.img", 700'000, moz, 5, record_at(moz, 5), "cut") + "\n" +
          line("disk.img", 700'000 + record_at(moz, 5) + 100, tiz, 9, tiz.size(), "intact") + "\n" +
          line("disk.img", 800'000, outer, 2, outer.size(), "intact") + "\n" +
          line("disk.img", 800'000 + record_at(outer, 1) + 6, inner, 1, inner.size(), "intact") +
          "\n" + line("disk.img", 900'000, moz, 6, record_at(moz, 6), "cut") + "\n" +
          line("disk.img", 900'000 + record_at(moz, 6), tiz, 9, tiz.size(), "intact") + "\n" +
          line("disk.img", tail, moz, found, record_at(moz, found), "cut") + "\n");
  EXPECT_NE(run.err.find("1 input, " + std::to_string(image.size()) + " bytes read in "),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("12 containers (6 intact, 4 cut, 2 damaged, 0 fragmented)"),
            std::string::npos)
      << run.err;
  const Outcome json = scan({"--json", "disk.img"}, dir.path);
  // The same, as JSON Lines with exactly the documented keys.
  EXPECT_EQ(json.status, 0);
  EXPECT_EQ(json.out.substr(0, json.out.find('\n') + 1),
            "{\"path\":\"disk.img\",\"offset\":4096,\"format\":\"MOZ\",\"version\":\"0\","
            "\"width\":200,\"height\":130,\"tiles_announced\":12,\"tiles_found\":12,"
            "\"length\":" +
                std::to_string(moz.size()) + ",\"state\":\"intact\",\"pieces\":[[4096," +
                std::to_string(moz.size()) + "]]}\n");
  EXPECT_NE(json.out.find("\"format\":\"TIZ\",\"version\":\"0\",\"width\":null,\"height\":null"),
            std::string::npos);

  // Written out: whole ones byte for byte, the others walked to their end.
  const Outcome extract = scan({"--quiet", "--extract", "found", "disk.img"}, dir.path);
  EXPECT_EQ(extract.status, 0) << extract.err;
  EXPECT_EQ(extract.out, run.out);
  const Files files = files_in(dir.path + "/found");
  EXPECT_EQ(files.size(), 12U);
  EXPECT_EQ(files.at("disk.img@4096.moz"), moz);
  EXPECT_EQ(files.at("disk.img@300001.tiz"), tiz);
  EXPECT_EQ(files.at("disk.img@800000.tiz"), outer);
  EXPECT_EQ(files.at("disk.img@" + std::to_string(800'000 + record_at(outer, 1) + 6) + ".moz"),
            inner);
  expect_walks(dir.path + "/found");
  // The damaged MOZ is whole again but for tile 4, which is gray.
  const Bytes mended = files.at("disk.img@500000.moz");
  EXPECT_EQ(mended.substr(record_at(mended, 5)), moz.substr(record_at(moz, 5)));
  EXPECT_EQ(mended.substr(0, record_at(mended, 4)), moz.substr(0, record_at(moz, 4)));
  // The damaged TIZ keeps its eight records, renumbered.
  const Bytes renumbered = files.at("disk.img@600000.tiz");
  EXPECT_EQ(renumbered.substr(4, 2), Bytes("\0\x08", 2));
  EXPECT_EQ(renumbered.substr(8),
            tiz.substr(8, record_at(tiz, 2) - 8) + tiz.substr(record_at(tiz, 3)));

  // From a pipe, read once, the same containers in the same states, and
  // the same files written from the bytes as they went by.
  const Outcome piped = scan_piped(image, "piped", dir.path);
  EXPECT_EQ(piped.status, 0) << piped.err;
  std::string expected = run.out;
  for (std::size_t at = 0; (at = expected.find("disk.img", at)) != std::string::npos;) {
    expected.replace(at, 8, "-");
  }
  EXPECT_EQ(piped.out, expected);
  const Files streamed = files_in(dir.path + "/piped");
  EXPECT_EQ(streamed.size(), files.size());
  for (const auto& [name, bytes] : streamed) {
    EXPECT_EQ(bytes, files.at("disk.img" + name.substr(name.find('@')))) << name;
  }
}

TEST(Scan, MoreCutContainersThanCanWaitAtOnceAreEachFound) {
  if (!have_cjpeg()) {
    GTEST_SKIP() << "cjpeg is not installed";
  }
  // Each cut container waits for a next piece; past the number that can
  // wait at once, the longest waiting stops, and no header is passed over
  // (whose records a waiting one would then take as found past damage).
  const Bytes moz = moz_of(192, 64, 1);
  const std::size_t cut = record_at(moz, 2) + 100;
  const std::size_t stride = (cut / 4096 + 1) * 4096;
  const int count = 300;
  Bytes image;
  std::string expected;
  for (int i = 0; i < count; ++i) {
    expected += line("many.img", image.size(), moz, 2, record_at(moz, 2), "cut") + "\n";
    image += moz.substr(0, cut) + noise(stride - cut, static_cast<std::uint64_t>(i));
  }
  TempDir dir;
  write_file(dir.path + "/many.img", image);
  const Outcome run = scan({"many.img"}, dir.path);
  EXPECT_EQ(run.out, expected);
  EXPECT_NE(run.err.find("300 containers (0 intact, 300 cut, 0 damaged, 0 fragmented)"),
            std::string::npos)
      << run.err;
}

TEST(Scan, LostTilesAreGrayAtTheirOwnCellsSize) {
  if (!have_cjpeg()) {
    GTEST_SKIP() << "cjpeg is not installed";
  }
  // 100 x 70: cells of 64x64, 36x64, 64x6 and 36x6. The carver writes the
  // tiles it lost gray, as moz-pack writes a manifest's missing lines.
  const Bytes moz = moz_of(100, 70, 20);
  TempDir dir;
  write_file(dir.path + "/cut.img",
             noise(1000, 1) + moz.substr(0, record_at(moz, 1)) + noise(1000, 2));
  ASSERT_EQ(scan({"--quiet", "--extract", "out", "cut.img"}, dir.path).status, 0);
  write_file(dir.path + "/manifest.txt",
             "format MOZ 0\nsize 100 70\n0 missing\n1 missing\n"
             "2 missing\n3 missing\n");
  ASSERT_EQ(run_tool(MOZ_PACK, {".", "packed.moz"}, dir.path).status, 0);
  const Bytes carved = read_file(dir.path + "/out/cut.img@1000.moz");
  const Bytes packed = read_file(dir.path + "/packed.moz");
  EXPECT_EQ(carved.substr(0, record_at(carved, 1)), moz.substr(0, record_at(moz, 1)));
  struct Cell {
    int index;
    int width;
    int height;
  };
  for (const Cell cell : {Cell{0, 64, 64}, Cell{1, 36, 64}, Cell{2, 64, 6}, Cell{3, 36, 6}}) {
    SCOPED_TRACE(cell.index);
    for (const Bytes* container : {&carved, &packed}) {
      if (container == &carved && cell.index == 0) {
        continue;  // found, not lost
      }
      const std::size_t at = record_at(*container, cell.index);
      const std::size_t length = record_at(*container, cell.index + 1) - at - 6;
      const Image gray = djpeg(container->substr(at + 6, length));
      EXPECT_EQ(gray.width, cell.width);
      EXPECT_EQ(gray.height, cell.height);
    }
  }
}

TEST(Scan, JoinsAContainerSplitOnClusterBoundaries) {
  if (!have_cjpeg()) {
    GTEST_SKIP() << "cjpeg is not installed";
  }
  const Bytes moz = moz_of(640, 448, 100);  // 70 tiles, over two 64 KiB clusters
  const Bytes tiz = tiz_of(40, 300);
  ASSERT_GT(moz.size(), std::size_t{3} << 16);
  struct Row {
    const char* name;
    const Bytes& container;
    std::size_t cluster;
    std::size_t first;  // the first piece's clusters
    std::size_t gap;    // clusters of other data between the pieces
    bool garbled;       // the seam's tail spoiled, so no split decodes cleanly
    std::vector<std::string> args;
  };
  const Row rows[] = {
      {"512-byte clusters", moz, 512, 37, 5, false, {}},
      {"4 KiB clusters", moz, 4096, 9, 3, false, {}},
      {"64 KiB clusters", moz, 65536, 2, 1, false, {}},
      {"a TIZ, zlib and JPEG", tiz, 4096, 7, 2, false, {"--cluster", "4096"}},
      {"a seam that decodes nowhere", moz, 4096, 9, 3, true, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::size_t start = 3 * row.cluster;
    const std::size_t split = row.first * row.cluster;
    Bytes second = row.container.substr(split);
    const std::size_t resumed = start + split + row.gap * row.cluster;
    Bytes image = noise(start, 1) + row.container.substr(0, split) +
                  noise(row.gap * row.cluster, 2) + second + noise(300'000, 3);
    // The record the seam splits, and where its tail ends in the second piece.
    int seam = 0;
    while (record_at(row.container, seam + 1) <= split) {
      ++seam;
    }
    const std::size_t tail = record_at(row.container, seam + 1) - split;
    if (row.garbled) {
      plant(image, resumed, noise(std::min<std::size_t>(tail, 64), 4));
    }
    TempDir dir;
    write_file(dir.path + "/split.img", image);
    std::vector<std::string> args = row.args;
    args.insert(args.end(), {"--quiet", "--extract", "out", "split.img"});
    const Outcome run = scan(args, dir.path);
    EXPECT_EQ(run.status, 0) << run.err;
    const int tiles = row.container[0] == 'M' ? 70 : 40;
    if (!row.garbled) {
      EXPECT_EQ(run.out,
                line("split.img", start, row.container, tiles, row.container.size(), "fragmented") +
                    ": " + std::to_string(start) + "+" + std::to_string(split) + " " +
                    std::to_string(resumed) + "+" + std::to_string(second.size()) + "\n");
      EXPECT_EQ(read_file(dir.path + "/out/split.img@" + std::to_string(start) +
                          (row.container[0] == 'M' ? ".moz" : ".tiz")),
                row.container);
    } else {
      const std::size_t lost = record_at(row.container, seam);
      const std::size_t after = record_at(row.container, seam + 1);
      EXPECT_EQ(run.out, line("split.img", start, row.container, tiles - 1,
                              lost + row.container.size() - after, "damaged") +
                             ": " + std::to_string(start) + "+" + std::to_string(lost) + " " +
                             std::to_string(resumed + tail) + "+" +
                             std::to_string(row.container.size() - after) + "\n");
      expect_walks(dir.path + "/out");
    }
  }
}

TEST(Scan, AWholeCopyFurtherOnIsNoFragmentsRest) {
  if (!have_cjpeg()) {
    GTEST_SKIP() << "cjpeg is not installed";
  }
  // The first half of a MOZ, and a whole copy of it 64 clusters on: the
  // copy's records follow its own header, so the cut one stays cut.
  const Bytes moz = moz_of(640, 448, 100);
  const std::size_t split = std::size_t{9} * 4096;
  TempDir dir;
  write_file(dir.path + "/copy.img", noise(4096, 1) + moz.substr(0, split) +
                                         noise(std::size_t{64} * 4096 - split, 2) + moz +
                                         noise(4096, 3));
  const Outcome run = scan({"--quiet", "copy.img"}, dir.path);
  int found = 0;
  while (record_at(moz, found + 1) <= split) {
    ++found;
  }
  // The record the cut runs through keeps its header, but its tail is
  // another file's bytes: it is lost.
  EXPECT_EQ(run.out, line("copy.img", 4096, moz, found, record_at(moz, found), "cut") + "\n" +
                         line("copy.img", std::size_t{65} * 4096, moz, 70, moz.size(), "intact") +
                         "\n");
}

TEST(Scan, FoldersPipesAndRefusals) {
  if (!have_cjpeg()) {
    GTEST_SKIP() << "cjpeg is not installed";
  }
  const Bytes moz = moz_of(64, 64, 5);
  const Bytes tiz = tiz_of(2, 6);
  TempDir dir;
  ASSERT_EQ(mkdir((dir.path + "/tree").c_str(), 0777), 0);
  ASSERT_EQ(mkdir((dir.path + "/tree/deeper").c_str(), 0777), 0);
  write_file(dir.path + "/tree/a.bin", noise(5000, 1) + moz);
  write_file(dir.path + "/tree/deeper/b.tiz", tiz);
  write_file(dir.path + "/tree/notes.txt", "TIZ0 and MOZ0 are only words here\n");
  write_file(dir.path + "/elsewhere.moz", moz);
  if (!kWindowsTools) {
    ASSERT_EQ(symlink("../elsewhere.moz", (dir.path + "/tree/link.moz").c_str()), 0);
  }

  const Outcome tree = scan({"--quiet", "tree"}, dir.path);
  EXPECT_EQ(tree.status, 0) << tree.err;
  EXPECT_EQ(tree.out, line("tree/a.bin", 5000, moz, 1, moz.size(), "intact") + "\n" +
                          line("tree/deeper/b.tiz", 0, tiz, 2, tiz.size(), "intact") + "\n");

  // Standard input, and a stream's containers written out all the same.
  const Outcome pipe = scan_piped(noise(777, 2) + tiz + noise(3000, 3), "out", dir.path);
  EXPECT_EQ(pipe.status, 0) << pipe.err;
  EXPECT_EQ(pipe.out, line("-", 777, tiz, 2, tiz.size(), "intact") + "\n");
  EXPECT_EQ(read_file(dir.path + "/out/stdin@777.tiz"), tiz);

  // A name already taken: nothing is written, status 2.
  ASSERT_EQ(mkdir((dir.path + "/taken").c_str(), 0777), 0);
  write_file(dir.path + "/taken/a.bin@5000.moz", "mine");
  const Outcome clash = scan({"--quiet", "--extract", "taken", "tree"}, dir.path);
  EXPECT_EQ(clash.status, 2);
  EXPECT_NE(clash.err.find("a.bin@5000.moz: exists; nothing is written"), std::string::npos)
      << clash.err;
  EXPECT_EQ(files_in(dir.path + "/taken"), (Files{{"a.bin@5000.moz", "mine"}}));

  // An input that cannot be read: named, the others still scanned, status 1.
  const Outcome missing = scan({"--quiet", "nowhere.img", "elsewhere.moz"}, dir.path);
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("tiletools-scan: nowhere.img: "), std::string::npos);
  EXPECT_EQ(missing.out, line("elsewhere.moz", 0, moz, 1, moz.size(), "intact") + "\n");

  struct Usage {
    std::vector<std::string> args;
    int status;
    const char* says;
  };
  const Usage usages[] = {
      {{"--help"}, 0, "usage: tiletools-scan"},
      {{"--version"}, 0, "tiletools-scan (tiletools) "},
      {{}, 2, "an input is needed"},
      {{"--cluster", "1000", "x"}, 2, "--cluster takes a multiple of 512"},
      {{"--frobnicate", "x"}, 2, "unknown option"},
  };
  for (const Usage& usage : usages) {
    const Outcome run = scan(usage.args, dir.path);
    EXPECT_EQ(run.status, usage.status);
    EXPECT_NE((run.out + run.err).find(usage.says), std::string::npos) << run.out << run.err;
  }
}

TEST(Scan, NothingIsFoundInAGibibyteOfFillerAndDecoys) {
  // Noise, zeros, text naming both magics, headers with nothing behind them
  // and stray records, over and over: none is a container. An emulated run
  // scans less of it.
  const std::size_t size =
      std::string(TILETOOLS_EMULATOR).empty() ? std::size_t{1} << 30 : std::size_t{64} << 20;
  const Bytes block = noise(1 << 20, 11);
  // Headers with no record right behind them, records with no header.
  const Bytes decoys[] = {
      "TIZ0",
      Bytes("MOZ0\x01\x00\x01\x00", 8),
      Bytes("TIZ0\0\x05\0\0 TIL2\x01\x00", 15),
      Bytes("MOZ0\0\x40\0\x40TIZJ\x01\x00", 14),
      Bytes("MOZ0\0\0\0\0TILJ\0\x01", 14),
      record('J', "x") + record('J', "y") + record('J', "z"),
      Bytes(4096, '\0'),
      "Notes: TIZ0 files and MOZ0 files, TIL records.\n",
      // Headers whose records chain exactly but hold no tile: text.
      tiz_file(3, record('2', "abc") + record('2', "def") + record('2', "ghi")),
      moz_file(64, 128, record('J', "one") + record('J', "two")),
      // Text crowded with magics and tags.
      [] {
        Bytes crowded;
        while (crowded.size() < 4000) {
          crowded += "MOZ0MOZ0TIZ0 TIL TIL TIL\na TIZ0 header, then TILJ and TIL2; MOZ0 too.\n";
        }
        return crowded;
      }(),
  };
  TempDir dir;
  {
    std::FILE* out = std::fopen((dir.path + "/filler.img").c_str(), "wb");
    ASSERT_NE(out, nullptr);
    Bytes chunk = block;
    for (std::size_t at = 0; at < size; at += chunk.size()) {
      for (std::size_t d = 0; d < std::size(decoys); ++d) {
        plant(chunk, (at / chunk.size() * 7919 + d * 100'003) % (chunk.size() - 5000), decoys[d]);
      }
      ASSERT_EQ(std::fwrite(chunk.data(), 1, chunk.size(), out), chunk.size());
    }
    ASSERT_EQ(std::fclose(out), 0);
  }
  const Outcome run = scan({"filler.img"}, dir.path);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find(std::to_string(size) + " bytes read"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(": 0 containers"), std::string::npos) << run.err;
}

TEST(Scan, PathsAreJsonStringsWhateverTheirBytes) {
  struct Row {
    Bytes path;
    const char* json;
  };
  const Row rows[] = {
      {"disk.img", "\"disk.img\""},
      {"a \"quoted\" \\ name", "\"a \\\"quoted\\\" \\\\ name\""},
      {Bytes("tab\there\nnul\0!", 14), "\"tab\\u0009here\\u000anul\\u0000!\""},
      {"Снимки/写真.img", "\"Снимки/写真.img\""},
      {"latin1 \xe9t\xe9", "\"latin1 \\ufffdt\\ufffd\""},
      {"cut \xe5\x86", "\"cut \\ufffd\\ufffd\""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(json_string(row.path), row.json) << row.json;
  }
}

TEST(Scan, SeamSplitsFollowTheContainersClusterGrid) {
  struct Row {
    const char* name;
    std::uint64_t origin;
    std::uint64_t record;
    std::optional<std::uint64_t> length;
    std::uint64_t resumed;
    std::vector<std::uint32_t> clusters;
    std::vector<Split> splits;
  };
  const Row rows[] = {
      // The record at 700 runs to 1700: a piece may end at 1024 or 1536,
      // and the next one begins its tail's length before 5796.
      {"in the payload", 0, 700, 1000, 5796, {512}, {{1024, 5120}, {1536, 5632}}},
      {"a coarser grid adds none", 0, 700, 1000, 5796, {512, 4096}, {{1024, 5120}, {1536, 5632}}},
      {"off the grid", 0, 700, 1000, 5797, {512}, {}},
      // A container at 100 has its boundaries at 612, 1124, ...
      {"the container's own grid", 100, 700, 1000, 5796, {512}, {{1124, 5220}, {1636, 5732}}},
      // Boundaries at 1024 and 1536 are too near for the next piece to
      // begin after the piece before ends.
      {"pieces in order", 0, 700, 1000, 1700, {512}, {}},
      // The header at 1020 is cut after 4 bytes: its last 2, the payload and
      // nothing more come before 3000, from a boundary after 1536.
      {"in the header",
       0,
       1020,
       std::nullopt,
       3000,
       {512},
       {{1024, 2560}, {1024, 2048}, {1024, 1536}}},
      {"in the header, its length read all the same",
       0,
       1020,
       106,
       3000,
       {512},
       {{1024, 2560}, {1024, 2048}, {1024, 1536}}},
      // No more than a largest record before where the chain resumes.
      {"a largest record back",
       0,
       32765,
       std::nullopt,
       140'000,
       {32768},
       {{32768, 131072}, {32768, 98304}}},
      {"no grid boundary in the record", 0, 600, 300, 5000, {512}, {}},
      // Pieces that lie before the container's start, where an allocator
      // that wrapped around put them.
      {"the next piece before the container", 40960, 41060, 8000, 12196, {4096}, {{45056, 8192}}},
      {"a record in a piece before the container",
       40960,
       11192,
       5000,
       57152,
       {4096},
       {{12288, 53248}}},
      {"a chain before the record", 0, 5000, 1000, 4000, {512}, {}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(seam_splits(row.origin, row.record, row.length, row.resumed, row.clusters),
              row.splits)
        << row.name;
  }
}

TEST(Scan, RejoinsContainersStoredInPiecesOnFatVolumes) {
  if (!have_cjpeg() || !have_mtools()) {
    GTEST_SKIP() << "cjpeg, mkfs.vfat (dosfstools) or mtools is not installed";
  }
  const Bytes small = moz_of(640, 448, 100);  // 70 tiles, 233 KB
  const Bytes tiz = tiz_of(40, 300);
  struct Row {
    const char* name;
    int bits;
    int sectors;  // a cluster's
    int kib;
    int lead;  // sectors before the volume: a partition's start
    const Bytes& container;
    int pieces;
    Allocator allocator;
  };
  const Row rows[] = {
      {"FAT12, 512 B clusters, 3 pieces", 12, 1, 2000, 0, small, 3, Allocator::first_fit},
      {"FAT12, 2 KiB clusters, 4 pieces", 12, 4, 8192, 0, small, 4, Allocator::first_fit},
      {"FAT16, 4 KiB clusters, a TIZ in 6 pieces", 16, 8, 65536, 0, tiz, 6, Allocator::first_fit},
      {"FAT16, 16 KiB clusters, 8 pieces", 16, 32, 131072, 0, small, 8, Allocator::first_fit},
      {"FAT16, 32 KiB clusters, 2 pieces", 16, 64, 140000, 0, small, 2, Allocator::first_fit},
      {"FAT32, 512 B clusters, 8 pieces", 32, 1, 65536, 0, small, 8, Allocator::hinted},
      {"FAT32, 4 KiB clusters, whole", 32, 8, 264000, 0, small, 1, Allocator::hinted},
      {"FAT16 in a partition at sector 63, 4 KiB clusters, 4 pieces", 16, 8, 65536, 63, small, 4,
       Allocator::first_fit},
      {"FAT32, 512 B clusters, wrapping around: 3 pieces, the first last", 32, 1, 65536, 0, small,
       3, Allocator::wrapping},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    const Volume v = make_volume(dir.path, row.bits, row.sectors, row.kib, row.lead);
    ASSERT_GT(v.cluster, 0U);
    const std::string name = row.container[0] == 'M' ? "PICTURE.MOZ" : "PICTURE.TIZ";
    ASSERT_TRUE(store_in_pieces(v, dir.path, row.container, name, row.pieces, 7, row.allocator));
    const std::vector<Piece> runs = v.clusters_of(name);
    ASSERT_EQ(runs.size(), static_cast<std::size_t>(row.pieces));
    if (row.allocator == Allocator::wrapping) {
      EXPECT_GT(runs.front().offset, runs.back().offset);  // the first piece is stored last
    }
    ASSERT_TRUE(v.remove(name));
    const Outcome run = scan({"--quiet", "--extract", "out", "volume.img"}, dir.path);
    EXPECT_EQ(run.status, 0) << run.err;
    const int tiles =
        row.container[0] == 'M' ? static_cast<int>(moz_tiles(row.container).size()) : 40;
    EXPECT_EQ(run.out, line("volume.img", runs.front().offset, row.container, tiles,
                            row.container.size(), row.pieces == 1 ? "intact" : "fragmented") +
                           (row.pieces == 1 ? "\n" : pieces_line(runs, row.container.size())));
    EXPECT_EQ(read_file(dir.path + "/out/volume.img@" + std::to_string(runs.front().offset) +
                        (row.container[0] == 'M' ? ".moz" : ".tiz")),
              row.container);
  }
}

TEST(Scan, APieceWrittenOverLeavesGrayTilesAndNoOtherFilesBytes) {
  if (!have_cjpeg() || !have_mtools()) {
    GTEST_SKIP() << "cjpeg, mkfs.vfat (dosfstools) or mtools is not installed";
  }
  const Bytes moz = moz_of(640, 448, 100);
  // A later file, a photo, took the clusters of the second piece.
  Bytes photo;
  while (photo.size() < std::size_t{1} << 20) {
    photo += tile(200, 150, static_cast<unsigned>(photo.size() % 7));
  }
  TempDir dir;
  const Volume v = make_volume(dir.path, 16, 4, 16384, 0);
  ASSERT_TRUE(store_in_pieces(v, dir.path, moz, "PICTURE.MOZ", 4, 3, Allocator::first_fit));
  const std::vector<Piece> runs = v.clusters_of("PICTURE.MOZ");
  ASSERT_EQ(runs.size(), 4U);
  ASSERT_TRUE(v.remove("PICTURE.MOZ"));
  Bytes image = read_file(v.image);
  plant(image, runs[1].offset, photo.substr(0, runs[1].length));
  write_file(v.image, image);

  const Outcome run = scan({"--quiet", "--extract", "out", "volume.img"}, dir.path);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find(std::to_string(runs[0].offset) + ": MOZ0 640x448, "), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find(" bytes, damaged"), std::string::npos) << run.out;
  const int kept = own_tiles(
      read_file(dir.path + "/out/volume.img@" + std::to_string(runs[0].offset) + ".moz"), moz);
  // The tiles of the first piece and of the last two are all there.
  int before = 0;
  while (record_at(moz, before + 1) <= runs[0].length) {
    ++before;
  }
  EXPECT_GE(kept, before + 10);
}

TEST(Scan, RecordsTwoContainersClaimGoToTheOneWhoseSeamJoinsThem) {
  if (!have_cjpeg()) {
    GTEST_SKIP() << "cjpeg is not installed";
  }
  // A piece of `a` was written over by the second piece of `b`, another
  // deleted container: a's search past the damage finds b's records, which
  // are b's, joined to b's first piece through a seam, wherever that is.
  const Bytes a = moz_of(640, 448, 100);  // 70 tiles in 57 clusters
  const Bytes b = moz_of(320, 256, 500);  // 20 tiles in 17
  const std::size_t cluster = 4096;
  struct Row {
    const char* name;
    std::size_t b_first;  // clusters where b's first piece is
    std::size_t a_first;  // a: 9 clusters, then 18 lost, then the rest
    std::size_t b_second;
    std::size_t a_last;
  };
  const Row rows[] = {
      {"b's header first", 2, 8, 17, 35},
      {"b's header after", 62, 2, 11, 29},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Bytes image = noise(std::size_t{70} * cluster + a.size(), 4);
    plant(image, row.b_first * cluster, b.substr(0, 3 * cluster));
    plant(image, row.b_second * cluster, b.substr(3 * cluster));
    plant(image, row.a_first * cluster, a.substr(0, 9 * cluster));
    plant(image, row.a_last * cluster, a.substr(27 * cluster));
    TempDir dir;
    write_file(dir.path + "/two.img", image);
    const Outcome run = scan({"--quiet", "--extract", "out", "two.img"}, dir.path);
    EXPECT_NE(
        run.out.find(line("two.img", row.b_first * cluster, b, 20, b.size(), "fragmented") + ": " +
                     std::to_string(row.b_first * cluster) + "+" + std::to_string(3 * cluster) +
                     " " + std::to_string(row.b_second * cluster) + "+" +
                     std::to_string(b.size() - 3 * cluster) + "\n"),
        std::string::npos)
        << run.out;
    EXPECT_EQ(
        read_file(dir.path + "/out/two.img@" + std::to_string(row.b_first * cluster) + ".moz"), b);
    EXPECT_NE(run.out.find(std::to_string(row.a_first * cluster) + ": MOZ0 640x448, "),
              std::string::npos)
        << run.out;
    // a keeps its first piece's tiles and its last's, and nothing of b's.
    int first = 0;
    while (record_at(a, first + 1) <= 9 * cluster) {
      ++first;
    }
    int last = 70;
    while (record_at(a, last - 1) >= 27 * cluster) {
      --last;
    }
    EXPECT_EQ(own_tiles(read_file(dir.path + "/out/two.img@" +
                                  std::to_string(row.a_first * cluster) + ".moz"),
                        a),
              first + 70 - last);
  }
}

TEST(Scan, JoinsASeamInsideARecordHeader) {
  if (!have_cjpeg()) {
    GTEST_SKIP() << "cjpeg is not installed";
  }
  const Bytes moz = moz_of(640, 448, 100);
  // Boundaries of 512-byte clusters that cut a record's header: in its tag,
  // and in its length.
  std::vector<std::size_t> cuts;
  for (int i = 1; i + 2 < 70; ++i) {
    const std::size_t at = record_at(moz, i);
    const std::size_t boundary = (at / 512 + 1) * 512;
    if (boundary - at < 6) {
      cuts.push_back(boundary);
    }
  }
  ASSERT_FALSE(cuts.empty());
  for (const std::size_t split : cuts) {
    SCOPED_TRACE(split);
    const std::size_t gap = std::size_t{7} * 512;
    TempDir dir;
    write_file(dir.path + "/split.img", in_two_pieces(moz, split, gap));
    const Outcome run = scan({"--quiet", "--extract", "out", "split.img"}, dir.path);
    EXPECT_EQ(run.out, joined_line("split.img", moz, 70, split, gap));
    EXPECT_EQ(read_file(dir.path + "/out/split.img@4096.moz"), moz);
  }
}

TEST(Scan, JoinsASeamInsideTheLastRecord) {
  if (!have_cjpeg()) {
    GTEST_SKIP() << "cjpeg is not installed";
  }
  // No tag follows the last record: its tail is found by the end of its
  // JPEG, a whole number of clusters past where it would end in one piece.
  struct Row {
    const char* name;
    Bytes container;
    int tiles;
    bool joined;
  };
  const Row rows[] = {
      {"a MOZ", moz_of(640, 448, 100), 70, true},
      {"a TIZ whose last tile is a JPEG", tiz_of(41, 300), 41, true},
      {"a TIZ whose last tile is zlib data, which has no end to look for", tiz_of(40, 300), 40,
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Bytes& c = row.container;
    const std::size_t last = record_at(c, row.tiles - 1);
    const std::size_t split = (last / 512 + 2) * 512;  // inside its payload
    ASSERT_LT(split, c.size());
    const std::size_t gap = std::size_t{9} * 512;
    TempDir dir;
    write_file(dir.path + "/last.img", in_two_pieces(c, split, gap));
    const Outcome run = scan({"--quiet", "--extract", "out", "last.img"}, dir.path);
    const std::string name = dir.path + "/out/last.img@4096" + (c[0] == 'M' ? ".moz" : ".tiz");
    if (row.joined) {
      EXPECT_EQ(run.out, joined_line("last.img", c, row.tiles, split, gap));
      EXPECT_EQ(read_file(name), c);
    } else {
      EXPECT_EQ(run.out, line("last.img", kTwoPiecesAt, c, row.tiles - 1, last, "cut") + "\n");
    }
  }
}

TEST(Scan, JoinsPiecesStoredBeforeTheirHeader) {
  if (!have_cjpeg()) {
    GTEST_SKIP() << "cjpeg is not installed";
  }
  // An allocator that wrapped around the volume's end put later pieces at
  // lower clusters: their records come first in the input, with no header
  // in front, and are joined when the piece with the header breaks.
  const Bytes moz = moz_of(640, 448, 100);
  const std::size_t cluster = 4096;
  struct Stored {
    std::size_t from;  // of the container
    std::size_t at;    // in the image, in clusters
  };
  struct Row {
    const char* name;
    std::vector<Stored> pieces;  // in the container's order
  };
  const Row rows[] = {
      {"two, the second first", {{0, 64}, {9 * cluster, 8}}},
      {"three, the second first", {{0, 40}, {9 * cluster, 4}, {30 * cluster, 52}}},
      {"three, the last two first and reversed", {{0, 80}, {9 * cluster, 45}, {20 * cluster, 4}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Bytes image = noise(std::size_t{140} * cluster + moz.size(), 1);
    std::string expected = ":";
    for (std::size_t i = 0; i < row.pieces.size(); ++i) {
      const std::size_t to = i + 1 < row.pieces.size() ? row.pieces[i + 1].from : moz.size();
      const std::size_t at = row.pieces[i].at * cluster;
      plant(image, at, moz.substr(row.pieces[i].from, to - row.pieces[i].from));
      expected += " " + std::to_string(at) + "+" + std::to_string(to - row.pieces[i].from);
    }
    TempDir dir;
    write_file(dir.path + "/wrapped.img", image);
    const Outcome run = scan({"--quiet", "--extract", "out", "wrapped.img"}, dir.path);
    const std::size_t start = row.pieces.front().at * cluster;
    EXPECT_EQ(run.out,
              line("wrapped.img", start, moz, 70, moz.size(), "fragmented") + expected + "\n");
    EXPECT_EQ(read_file(dir.path + "/out/wrapped.img@" + std::to_string(start) + ".moz"), moz);
  }
}
