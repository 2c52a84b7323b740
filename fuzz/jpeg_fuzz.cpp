// Invariant: on any bytes, the coefficient reader refuses them or reads every
// band; where it reads them and libjpeg reads them without a warning, it
// gives libjpeg's coefficients block for block (on pictures small enough for
// libjpeg to hold whole here); and every tile written of a band is a JPEG
// libjpeg reads without a warning, to the cell's own coefficients.

#include <string>

#include "harness.h"
#include "jpeg_reference.h"
#include "reader.h"
#include "writer.h"

namespace {

// Above this many pixels libjpeg's whole picture is not held for comparing.
constexpr long long kCompared = 1 << 22;

void check_tiles(const jpeg::Frame& frame, const jpeg::Band& band) {
  jpeg::TileWriter writer(frame, frame.colour);
  const int height = std::min(jpeg::kBandHeight, frame.height - band.index * jpeg::kBandHeight);
  std::vector<unsigned char> tile;
  for (int x = 0; x < frame.width && x < 4 * 64; x += 64) {
    const int width = std::min(64, frame.width - x);
    std::string error;
    if (!writer.write(band, x, width, height, tile, error)) {
      continue;  // a coefficient no 8-bit JPEG codes: refused, not written
    }
    const Coefficients read = libjpeg_coefficients(tile.data(), tile.size());
    require(read.read && !read.warned, "a tile libjpeg cannot read cleanly");
    for (std::size_t c = 0; c < frame.components.size(); ++c) {
      const jpeg::Component& component = frame.components[c];
      const int across = (width * component.h + frame.mcu_width() - 1) / frame.mcu_width();
      const int down = (height * component.v + frame.mcu_height() - 1) / frame.mcu_height();
      const int left = x / frame.mcu_width() * component.h;
      require(read.components[c].size() ==
                  static_cast<std::size_t>(across) * static_cast<std::size_t>(down),
              "a tile of the wrong size");
      for (int row = 0; row < down; ++row) {
        for (int column = 0; column < across; ++column) {
          require(
              read.components[c][static_cast<std::size_t>(row) * static_cast<std::size_t>(across) +
                                 static_cast<std::size_t>(column)] ==
                  band.at(c, row, left + column),
              "a tile that does not hold its cell's coefficients");
        }
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  jpeg::MemoryInput input(data, size);
  jpeg::CoefficientReader reader(input);
  std::string error;
  bool read = reader.open(error) && reader.start(error);
  const jpeg::Frame& frame = reader.frame();
  const bool small = read && static_cast<long long>(frame.width) * frame.height <= kCompared;
  const bool cuttable = read && 64 % frame.mcu_width() == 0 && frame.components.size() != 4;
  Coefficients ours;
  ours.components.resize(read ? frame.components.size() : 0);
  jpeg::Band band;
  if (read) {
    reader.shape(band);
  }
  for (int b = 0; read && b < reader.bands(); ++b) {
    read = reader.read_band(band, error);
    if (!read) {
      break;
    }
    if (cuttable && b < 4) {
      check_tiles(frame, band);
    }
    for (std::size_t c = 0; small && c < frame.components.size(); ++c) {
      const jpeg::Component& component = frame.components[c];
      for (int row = 0; row < band.rows[c] && b * band.rows[c] + row < component.height_in_blocks;
           ++row) {
        for (int column = 0; column < component.width_in_blocks; ++column) {
          ours.components[c].push_back(band.at(c, row, column));
        }
      }
    }
  }
  require(read || !error.empty(), "a refusal without a reason");
  if (read && small) {
    const Coefficients theirs = libjpeg_coefficients(data, size);
    if (theirs.read && !theirs.warned) {
      require(ours == theirs, "coefficients that are not libjpeg's");
    }
  }
  return 0;
}
