#pragma once

// A JPEG's quantized DCT coefficients, a band of 64 pixel rows at a time, in
// memory that grows with the picture's width and not its height: Huffman-
// coded pictures, sequential (baseline or extended) or progressive, 8-bit, of
// 1, 3 or 4 components (ITU T.81 Annexes B, F and G).
//
// A picture of one scan is decoded as it is read, from a pipe too. A picture
// of many scans (progressive ones) is read where it lies: a first pass finds
// each scan, and each band is then decoded from every scan in turn, each scan
// going on from where its last band ended, with its bit position, DC
// predictions, end-of-band run and restart count kept between bands. Such a
// picture needs an input that can be read anywhere.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "frame.h"
#include "input.h"

namespace jpeg {

inline constexpr int kBandHeight = 64;

// One band's blocks: for each component, its block rows within the band, each
// of `padded_width` blocks (whole MCUs), so a band's block (column, row) of a
// component is at(c, row, column).
struct Band {
  int index = 0;
  std::vector<Block> blocks;
  std::vector<std::size_t> starts;  // where each component's rows begin
  std::vector<int> widths;          // each component's padded width
  std::vector<int> rows;            // each component's block rows in a band

  Block& at(std::size_t c, int row, int column) {
    return blocks[starts[c] + static_cast<std::size_t>(row * widths[c] + column)];
  }
  const Block& at(std::size_t c, int row, int column) const {
    return blocks[starts[c] + static_cast<std::size_t>(row * widths[c] + column)];
  }
};

// A band's size for the frame's bands, and how many bands it has.
void shape(const Frame& frame, Band& band);
int band_count(const Frame& frame);

// Where bands come from, in order, one call at a time.
class BandSource {
 public:
  virtual ~BandSource() = default;
  virtual const Frame& frame() const = 0;
  // The next band's coefficients into `band` (sized by shape()): false with
  // `error` when the data is damaged or ends early.
  virtual bool read_band(Band& band, std::string& error) = 0;
};

class CoefficientReader final : public BandSource {
 public:
  explicit CoefficientReader(Input& input);
  ~CoefficientReader() override;
  CoefficientReader(const CoefficientReader&) = delete;
  CoefficientReader& operator=(const CoefficientReader&) = delete;

  // Reads the markers up to the first scan: false with `error` when they are
  // damaged or describe what is not read here (12-bit, lossless or
  // hierarchical JPEG, components other than 1, 3 or 4, sampling factors
  // beyond 1 to 4). An arithmetic-coded frame opens, but gives no bands.
  bool open(std::string& error);
  const Frame& frame() const override;
  // Whether the picture has more than one scan, so that start() needs an
  // input read anywhere.
  bool many_scans() const;
  // Why the bands cannot be read (the coding, an MCU off the 64-pixel
  // grid), or "" when they can.
  std::string obstacle() const;
  // Makes ready to read the bands (for many scans, finds them all): false
  // with `error`.
  bool start(std::string& error);

  int bands() const;
  // Sizes `band` for this picture's bands (each worker's own).
  void shape(Band& band) const;
  bool read_band(Band& band, std::string& error) override;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace jpeg
