#pragma once

// Baseline JPEGs made of a band's coefficients, one for each cell: the
// source's quantization, sampling, component identifiers and colour, and
// Huffman tables made for the cell alone (Annex K.2), so each is as small as
// its coefficients allow. Nothing else goes in: no JFIF, no comment, no EXIF
// (an Adobe marker only where the colour would otherwise be mistaken).

#include <string>
#include <vector>

#include "frame.h"
#include "reader.h"

namespace jpeg {

class TileWriter {
 public:
  // Tiles of `frame`'s components, saying they are `colour` (gray, YCbCr or
  // RGB). The frame's MCU must divide 64 pixels both ways.
  TileWriter(const Frame& frame, Colour colour);

  // The cell of `band` at pixel column `x` (a multiple of 64), `width` x
  // `height` pixels, into `out`: false with `error` when a coefficient is
  // beyond what an 8-bit JPEG can code.
  bool write(const Band& band, int x, int width, int height, std::vector<unsigned char>& out,
             std::string& error);

 private:
  bool tokenize(const Band& band, int x, int width, int height);
  void emit(std::vector<unsigned char>& out, int width, int height);

  const Frame& frame_;
  std::vector<unsigned char> prefix_;  // SOI to the quantization tables
  std::vector<int> quant_slot_;        // each component's in the tile
  bool extended_ = false;              // a quantization value over 255
  // Each symbol with its extra bits: (table << 28) | (symbol << 20) |
  // (extra bit count << 16) | extra bits; tables 0 and 1 are DC, 2 and 3 AC.
  std::vector<std::uint32_t> tokens_;
  std::size_t token_count_ = 0;
  std::vector<unsigned char> data_;  // the entropy-coded data, before it goes out
};

}  // namespace jpeg
