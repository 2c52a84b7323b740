// The page's WebAssembly entry, compiled natively: the MOZ listing prints
// moz-tilesave's lines without its Saving lines and gives the place of every
// payload it read, across the record buffer's refills; the PNG calls, band by
// band, make the PNG of exactly the rows given, whole or halved.
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "gtest/gtest.h"
#include "picture_support.h"
#include "support.h"

extern "C" {
int tt_run(int tool);
void tt_halve(unsigned char* from, int width, int height, int from_stride, unsigned char* to,
              int to_stride);
int tt_piece_size();
const unsigned char* tt_png_head(int width, int height);
const unsigned char* tt_png_band(unsigned char* rgb, int width, int height, int first, int last);
const unsigned char* tt_png_tail();
}

namespace {

struct Place {
  int index;
  std::uint64_t offset;
  int bytes;
  bool operator==(const Place&) const = default;
};
std::vector<Place> places;

constexpr int kListMoz = 2;

// Runs the walk on `input` as the page does: the file is "input" in the
// current folder.
Outcome run_entry(int tool, const Bytes& input) {
  TempDir dir;
  write_file(dir.path + "/input", input);
  char here[4096];
  EXPECT_NE(getcwd(here, sizeof here), nullptr);
  EXPECT_EQ(chdir(dir.path.c_str()), 0);
  places.clear();
  Outcome outcome = capture([tool] { return tt_run(tool); });
  EXPECT_EQ(chdir(here), 0);
  return outcome;
}

Bytes piece(const unsigned char* at) {
  return at == nullptr
             ? Bytes()
             : Bytes(reinterpret_cast<const char*>(at), static_cast<std::size_t>(tt_piece_size()));
}

}  // namespace

extern "C" void tt_tile(int index, double offset, int bytes) {
  places.push_back({index, static_cast<std::uint64_t>(offset), bytes});
}

TEST(WebEntry, MozListingGivesEveryPayloadsPlace) {
  // 200 records of 3,000 bytes: the 256 KiB buffer is refilled twice over.
  Bytes records;
  std::vector<Place> want;
  for (int i = 0; i < 200; ++i) {
    want.push_back({i, 8 + records.size() + 6, 3000});
    records += record('J', pattern(3000, static_cast<unsigned>(i)));
  }
  const Bytes whole = moz_file(64 * 20, 64 * 10, records);
  struct Row {
    const char* name;
    Bytes input;
    int status;
    std::size_t placed;
  };
  Bytes untagged = whole;
  untagged[want[30].offset - 6] = 'X';
  const std::vector<Row> rows = {
      {"whole", whole, 0, 200},
      {"cut in tile 60", whole.substr(0, want[60].offset + 100), 1, 60},
      {"tile 30 untagged", untagged, 1, 30},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Outcome outcome = run_entry(kListMoz, row.input);
    const ToolResult tool = run_on_file(MOZ_TILESAVE, row.input);
    std::string lines;
    for (std::size_t at = 0, end = 0; at < tool.run.out.size(); at = end) {
      end = tool.run.out.find('\n', at);
      end = end == std::string::npos ? tool.run.out.size() : end + 1;
      if (tool.run.out.compare(at, 7, "Saving ") != 0) {
        lines += tool.run.out.substr(at, end - at);
      }
    }
    EXPECT_EQ(outcome.out, lines);
    EXPECT_EQ(outcome.status, tool.run.status);
    EXPECT_EQ(places,
              std::vector<Place>(want.begin(), want.begin() + static_cast<long>(row.placed)));
  }
}

TEST(WebEntry, PngBandByBandIsThePicture) {
  // 150 x 100 in bands of 64 rows, as the page hands them over.
  Image picture{150, 100, Bytes(std::size_t{150} * 100 * 3, '\0')};
  for (std::size_t i = 0; i < picture.rgb.size(); ++i) {
    picture.rgb[i] = static_cast<char>((i * 7 + i / 450) & 0xff);
  }
  for (const bool halved : {false, true}) {
    SCOPED_TRACE(halved ? "halved" : "whole");
    const int width = halved ? 75 : 150;
    const int height = halved ? 50 : 100;
    Bytes png = piece(tt_png_head(width, height));
    Image want{width, height, {}};
    for (int top = 0; top < picture.height; top += 64) {
      const int rows = std::min(64, picture.height - top);
      Bytes band = picture.rgb.substr(static_cast<std::size_t>(top) * 450,
                                      static_cast<std::size_t>(rows) * 450);
      auto* pixels = reinterpret_cast<unsigned char*>(band.data());
      int band_rows = rows;
      if (halved) {
        Bytes half(static_cast<std::size_t>(75 * 3 * ((rows + 1) / 2)), '\0');
        tt_halve(pixels, 150, rows, 450, reinterpret_cast<unsigned char*>(half.data()), 225);
        band = half;
        pixels = reinterpret_cast<unsigned char*>(band.data());
        band_rows = (rows + 1) / 2;
      }
      want.rgb += band;
      png += piece(tt_png_band(pixels, width, band_rows, top == 0, top + 64 >= picture.height));
    }
    png += piece(tt_png_tail());
    EXPECT_EQ(read_png(png), want);
  }
}
