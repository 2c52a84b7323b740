#pragma once

// What a JPEG says of itself before its entropy-coded data (ITU T.81, B.2):
// its frame, its components and their sampling, and the tables they use.
// Coefficients are kept in the order they are coded: each 8x8 block's 64
// quantized values in zigzag order, 16 bits each. Quantization tables are
// kept in row order (natural order), as they apply to the block's pixels.

#include <array>
#include <cstdint>
#include <vector>

namespace jpeg {

inline constexpr int kBlockSize = 64;
using Block = std::array<std::int16_t, kBlockSize>;

// The natural-order position of each zigzag index (T.81 Figure A.6).
extern const std::array<std::uint8_t, kBlockSize> kNaturalOrder;

// A quantization table in natural order; values above 255 need 16-bit
// precision in DQT.
using QuantTable = std::array<std::uint16_t, kBlockSize>;

// A Huffman table as DHT gives it: how many codes of each length 1 to 16,
// then the symbols in code order.
struct HuffmanCodes {
  std::array<std::uint8_t, 17> counts{};  // counts[0] unused
  std::vector<std::uint8_t> symbols;
};

struct Component {
  int id = 0;
  int h = 1;  // sampling factors, 1 to 4
  int v = 1;
  int quant_slot = 0;  // the DQT table it named
  // Blocks holding the picture, and those of whole MCUs (a coefficient
  // array's allocated size, which interleaved scans fill).
  int width_in_blocks = 0;
  int height_in_blocks = 0;
  int padded_width = 0;
  int padded_height = 0;
  QuantTable quant{};  // as it stood at the component's first scan
};

enum class Coding { sequential, progressive, arithmetic };
enum class Colour { gray, ycbcr, rgb, cmyk, ycck };

struct Frame {
  int width = 0;
  int height = 0;
  Coding coding = Coding::sequential;
  bool extended = false;  // SOF1 rather than SOF0
  std::vector<Component> components;
  int hmax = 1;
  int vmax = 1;
  Colour colour = Colour::ycbcr;
  int adobe_transform = -1;  // APP14's transform flag, -1 without one
  bool jfif = false;

  int mcu_width() const { return 8 * hmax; }
  int mcu_height() const { return 8 * vmax; }
};

// Sets the frame's largest sampling factors and each component's blocks
// from the size and the components' factors (one component is one block to
// an MCU, whatever its factors say).
void lay_out(Frame& frame);

// The colour a decoder takes three or four components to be, from JFIF,
// Adobe's marker or the component identifiers, as the reference decoder
// tells.
Colour colour_of(const Frame& frame);

}  // namespace jpeg
