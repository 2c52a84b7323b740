// The coefficient reader against libjpeg's own jpeg_read_coefficients, and
// the tile writer against jpegtran's crops, on pictures cjpeg made.

#include <gtest/gtest.h>

#include <cstring>

#include "huffman.h"
#include "jpeg_reference.h"
#include "picture_support.h"
#include "reader.h"
#include "writer.h"

namespace {

Coefficients our_coefficients(jpeg::Input& input) {
  Coefficients out;
  jpeg::CoefficientReader reader(input);
  if (!reader.open(out.error) || !reader.start(out.error)) {
    return out;
  }
  const jpeg::Frame& frame = reader.frame();
  out.components.resize(frame.components.size());
  jpeg::Band band;
  reader.shape(band);
  for (int b = 0; b < reader.bands(); ++b) {
    if (!reader.read_band(band, out.error)) {
      return out;
    }
    for (std::size_t c = 0; c < frame.components.size(); ++c) {
      const jpeg::Component& component = frame.components[c];
      for (int row = 0; row < band.rows[c]; ++row) {
        if (b * band.rows[c] + row >= component.height_in_blocks) {
          break;
        }
        for (int column = 0; column < component.width_in_blocks; ++column) {
          out.components[c].push_back(band.at(c, row, column));
        }
      }
    }
  }
  out.read = true;
  return out;
}

Coefficients our_coefficients(const Bytes& bytes) {
  jpeg::MemoryInput input(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return our_coefficients(input);
}

// An input that can only be read onward, as a pipe is.
class OnwardInput final : public jpeg::Input {
 public:
  explicit OnwardInput(const Bytes& bytes) : bytes_(bytes) {}
  long long read(std::uint64_t offset, unsigned char* into, std::size_t most) override {
    EXPECT_EQ(offset, position_) << "read again";
    const std::size_t got = std::min({most, bytes_.size() - position_, std::size_t{1000}});
    std::memcpy(into, bytes_.data() + position_, got);
    position_ += got;
    return static_cast<long long>(got);
  }
  bool random_access() const override { return false; }

 private:
  const Bytes& bytes_;
  std::size_t position_ = 0;
};

Image pattern(int width, int height) {
  Image image{width, height, {}};
  unsigned noise = 12345;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      noise = noise * 1103515245U + 12345U;
      const auto ux = static_cast<unsigned>(x);
      const auto uy = static_cast<unsigned>(y);
      image.rgb += static_cast<char>((ux * 3 + uy) & 0xFF);
      image.rgb += static_cast<char>(((ux ^ uy) * 5 + (noise >> 28)) & 0xFF);
      image.rgb += static_cast<char>((uy * 2 + (noise >> 24)) & 0xFF);
    }
  }
  return image;
}

// A scan script with successive approximation in DC and AC.
const char* kScript =
    "0,1,2: 0-0, 0, 1;\n"
    "0: 1-5, 0, 2;\n"
    "2: 1-63, 0, 1;\n"
    "1: 1-63, 0, 1;\n"
    "0: 6-63, 0, 2;\n"
    "0: 1-63, 2, 1;\n"
    "0,1,2: 0-0, 1, 0;\n"
    "2: 1-63, 1, 0;\n"
    "1: 1-63, 1, 0;\n"
    "0: 1-63, 1, 0;\n";

struct Case {
  const char* options;
  int width;
  int height;
};

const std::vector<Case>& cases() {
  static const std::vector<Case> all = {
      {"-sample 1x1", 200, 130},
      {"-sample 2x1", 200, 130},
      {"-sample 1x2", 200, 130},
      {"-sample 2x2", 200, 130},
      {"-sample 4x1", 200, 130},
      {"-sample 4x2", 200, 130},
      {"-grayscale", 200, 130},
      {"-sample 2x2 -restart 1B", 200, 130},
      {"-sample 2x1 -restart 1", 200, 130},
      {"-grayscale -restart 3B", 200, 130},
      {"-progressive", 200, 130},
      {"-progressive -sample 1x1", 200, 130},
      {"-progressive -grayscale", 200, 130},
      {"-progressive -restart 2B", 200, 130},
      {"-scans SCRIPT", 200, 130},
      {"-scans SCRIPT -sample 1x1 -restart 1", 200, 130},
      {"-quality 1", 200, 130},
      {"-quality 1 -baseline", 200, 130},
      {"-quality 100", 200, 130},
      {"-quality 100 -progressive", 200, 130},
      // Named R, G and B, and marked so: the tiles must say RGB too.
      {"-rgb -sample 1x1", 200, 130},
      {"-rgb -progressive", 130, 70},
      {"-sample 2x2", 1, 1},
      {"-sample 2x2", 65, 1},
      {"-sample 2x2", 1, 65},
      {"-sample 2x2", 64, 64},
      {"-sample 2x2", 4097, 3},
      {"-progressive", 1, 1},
      {"-progressive", 4097, 3},
      {"-progressive -grayscale", 1, 65},
  };
  return all;
}

bool have_jpegtran() { return std::system("command -v jpegtran > /dev/null 2>&1") == 0; }

Bytes make(const Case& c, const std::string& script) {
  std::string options = c.options;
  const std::size_t at = options.find("SCRIPT");
  if (at != std::string::npos) {
    options.replace(at, 6, script);
  }
  return cjpeg(pattern(c.width, c.height), options);
}

class Scripted : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_cjpeg()) {
      GTEST_SKIP() << "cjpeg and djpeg are not installed";
    }
    write_file(dir_.path + "/scans", kScript);
  }
  std::string script() const { return dir_.path + "/scans"; }

 private:
  TempDir dir_;
};

using JpegReader = Scripted;
using JpegWriter = Scripted;

TEST_F(JpegReader, GivesLibjpegsCoefficients) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(std::string(c.options) + " " + std::to_string(c.width) + "x" +
                 std::to_string(c.height));
    const Bytes jpeg = make(c, script());
    ASSERT_FALSE(jpeg.empty());
    const Coefficients expected = libjpeg_coefficients(jpeg);
    ASSERT_TRUE(expected.read && !expected.warned);
    const Coefficients ours = our_coefficients(jpeg);
    ASSERT_TRUE(ours.read) << ours.error;
    EXPECT_TRUE(ours == expected);
  }
}

// A picture of one scan is read onward only, as from a pipe; one of many
// scans says it needs to be read where it lies.
TEST_F(JpegReader, ReadsOneScanOnward) {
  const Bytes baseline = make({"-sample 2x2 -restart 1", 300, 200}, "");
  OnwardInput onward(baseline);
  EXPECT_TRUE(our_coefficients(onward) == libjpeg_coefficients(baseline));
  const Bytes progressive = make({"-progressive", 300, 200}, "");
  OnwardInput held(progressive);
  const Coefficients refused = our_coefficients(held);
  EXPECT_FALSE(refused.read);
  EXPECT_NE(refused.error.find("a pipe"), std::string::npos) << refused.error;
}

// Every length short of the whole, and flipped bytes in the data: refused,
// or (where a flip only changes a value) libjpeg's own coefficients.
TEST_F(JpegReader, RefusesCutAndDamagedPictures) {
  for (const char* options : {"-sample 2x2 -restart 2B", "-progressive"}) {
    SCOPED_TRACE(options);
    const Bytes jpeg = make({options, 70, 40}, "");
    for (std::size_t length = 0; length < jpeg.size(); ++length) {
      const Coefficients cut = our_coefficients(jpeg.substr(0, length));
      ASSERT_FALSE(cut.read) << length;
      ASSERT_FALSE(cut.error.empty());
    }
    for (std::size_t at = 2; at < jpeg.size(); at += 3) {
      Bytes flipped = jpeg;
      flipped[at] = static_cast<char>(flipped[at] ^ 0x5A);
      const Coefficients ours = our_coefficients(flipped);
      const Coefficients theirs = libjpeg_coefficients(flipped);
      if (ours.read && theirs.read && !theirs.warned) {
        EXPECT_TRUE(ours == theirs) << at;
      }
      if (ours.read) {
        EXPECT_TRUE(theirs.read) << at;
      }
    }
  }
}

// Damage the reference decoder would warn of and read past is refused, each
// with its reason: a restart marker out of order, a code no table holds,
// data that ends before its blocks, bytes after the last block.
TEST_F(JpegReader, RefusesDamageWithItsReason) {
  const Bytes jpeg = make({"-sample 2x2 -restart 1B", 64, 32}, "");
  // The entropy-coded data: from after the scan header to EOI.
  const std::size_t sos = jpeg.find("\xFF\xDA");
  ASSERT_NE(sos, std::string::npos);
  const std::size_t data = sos + 2 + std::size_t{static_cast<unsigned char>(jpeg[sos + 2])} * 256 +
                           std::size_t{static_cast<unsigned char>(jpeg[sos + 3])};
  const std::size_t rst = jpeg.find("\xFF\xD0", data);
  ASSERT_NE(rst, std::string::npos);
  struct Row {
    const char* name;
    Bytes jpeg;
    const char* said;
  };
  Bytes wrong_restart = jpeg;
  wrong_restart[rst + 1] = '\xD3';
  Bytes bad_code = jpeg;
  bad_code.replace(data, 4, Bytes("\xFF\x00\xFF\x00", 4));  // all ones: no table's code
  Bytes early_marker = jpeg;
  early_marker.insert(data + 1, "\xFF\xD0");
  Bytes trailing = jpeg;
  trailing.insert(trailing.size() - 2, "\x12\x34");
  const std::vector<Row> rows = {
      {"restart out of order", wrong_restart, "restart marker is missing or out of order"},
      {"a code no table holds", bad_code, "a code no table holds"},
      {"a marker inside the blocks", early_marker, ""},
      {"bytes after the last block", trailing, "bytes follow its last block"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Coefficients ours = our_coefficients(row.jpeg);
    EXPECT_FALSE(ours.read);
    EXPECT_NE(ours.error.find(row.said), std::string::npos) << ours.error;
    const Coefficients theirs = libjpeg_coefficients(row.jpeg);
    EXPECT_TRUE(!theirs.read || theirs.warned) << "libjpeg took it as sound";
  }
}

TEST(JpegReaderRefuses, WhatIsNotCutHere) {
  struct Row {
    Bytes jpeg;
    const char* said;
  };
  // SOI, then a frame header of the given marker, precision and components.
  auto frame = [](int marker, int precision, int components) {
    Bytes b = "\xFF\xD8\xFF";
    b += static_cast<char>(marker);
    const int length = 8 + 3 * components;
    b += {static_cast<char>(length >> 8), static_cast<char>(length & 0xFF)};
    b += {static_cast<char>(precision), 0, 8, 0, 8, static_cast<char>(components)};
    for (int c = 0; c < components; ++c) {
      b += {static_cast<char>(c + 1), 0x11, 0};
    }
    return b + "\xFF\xD9";
  };
  const std::vector<Row> rows = {
      {"GIF89a", "does not begin as a JPEG"},
      {frame(0xC0, 12, 3), "a 12-bit JPEG"},
      {frame(0xC3, 8, 3), "a lossless JPEG"},
      {frame(0xC5, 8, 3), "a hierarchical JPEG"},
      {frame(0xC0, 8, 2), "a JPEG of 2 components"},
      {frame(0xC0, 8, 3), "it ends before its first scan"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.said);
    jpeg::MemoryInput input(reinterpret_cast<const unsigned char*>(row.jpeg.data()),
                            row.jpeg.size());
    jpeg::CoefficientReader reader(input);
    std::string error;
    EXPECT_FALSE(reader.open(error));
    EXPECT_NE(error.find(row.said), std::string::npos) << error;
  }
}

// Optimal lengths: no longer than 16 bits, never all ones, and as short in
// total as Huffman's own where that fits in 16.
TEST(OptimalTable, CodesAreShortAndValid) {
  struct Row {
    const char* name;
    std::vector<std::pair<int, std::uint32_t>> counts;
  };
  std::vector<std::pair<int, std::uint32_t>> fibonacci;
  std::uint32_t a = 1;
  std::uint32_t b = 1;
  for (int s = 0; s < 30; ++s) {
    fibonacci.emplace_back(s, a);
    const std::uint32_t next = a + b;
    a = b;
    b = next;
  }
  std::vector<std::pair<int, std::uint32_t>> all;
  all.reserve(256);
  for (int s = 0; s < 256; ++s) {
    all.emplace_back(s, static_cast<std::uint32_t>(s % 7 + 1));
  }
  const std::vector<Row> rows = {
      {"one symbol", {{0, 5}}},
      {"two", {{0, 1}, {0xF0, 1000}}},
      {"fibonacci, over 16 bits unlimited", fibonacci},
      {"every symbol", all},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::array<std::uint32_t, 256> counts{};
    for (const auto& [symbol, count] : row.counts) {
      counts[static_cast<std::size_t>(symbol)] = count;
    }
    const jpeg::HuffmanCodes codes = jpeg::optimal_table(counts);
    ASSERT_EQ(codes.symbols.size(), row.counts.size());
    jpeg::HuffmanDecoder decoder;
    EXPECT_TRUE(decoder.build(codes, false));  // refuses an all-ones code
    const jpeg::HuffmanEncoder encoder(codes);
    for (const auto& [symbol, count] : row.counts) {
      const int length = encoder.length[static_cast<std::size_t>(symbol)];
      EXPECT_GE(length, 1);
      EXPECT_LE(length, 16);
    }
  }
}

TEST_F(JpegWriter, TilesAreJpegtransCropsAtItsOptimizedSize) {
  if (!have_jpegtran()) {
    GTEST_SKIP() << "jpegtran is not installed";
  }
  std::size_t ours_total = 0;
  std::size_t theirs_total = 0;
  for (const Case& c : cases()) {
    SCOPED_TRACE(std::string(c.options) + " " + std::to_string(c.width) + "x" +
                 std::to_string(c.height));
    const Bytes jpeg = make(c, script());
    jpeg::MemoryInput input(reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size());
    jpeg::CoefficientReader reader(input);
    std::string error;
    ASSERT_TRUE(reader.open(error) && reader.start(error)) << error;
    jpeg::TileWriter writer(reader.frame(), reader.frame().colour);
    jpeg::Band band;
    reader.shape(band);
    std::vector<unsigned char> tile;
    for (int b = 0; b < reader.bands(); ++b) {
      ASSERT_TRUE(reader.read_band(band, error)) << error;
      const int height = std::min(64, c.height - b * 64);
      for (int x = 0; x < c.width; x += 64) {
        const int width = std::min(64, c.width - x);
        ASSERT_TRUE(writer.write(band, x, width, height, tile, error)) << error;
        const std::string cell = std::to_string(width) + "x" + std::to_string(height) + "+" +
                                 std::to_string(x) + "+" + std::to_string(b * 64);
        const Bytes ours(tile.begin(), tile.end());
        const Bytes theirs = run_filter("jpegtran -optimize -copy none -crop " + cell, jpeg);
        ASSERT_TRUE(djpeg(ours) == djpeg(theirs)) << cell;
        ASSERT_TRUE(libjpeg_coefficients(ours) == libjpeg_coefficients(theirs)) << cell;
        ours_total += ours.size();
        theirs_total += theirs.size();
      }
    }
  }
  // jpegtran's tiles carry a JFIF marker ours leave out.
  EXPECT_LE(ours_total, theirs_total);
}

}  // namespace
