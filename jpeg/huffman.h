#pragma once

// Huffman codes as JPEG uses them (ITU T.81 Annex C): canonical codes from a
// DHT's counts and symbols, a table to decode them fast, and the optimal
// table for a count of symbols, lengths limited to 16 as Annex K.2 and K.3
// make them.

#include <array>
#include <cstdint>

#include "frame.h"

namespace jpeg {

class HuffmanDecoder {
 public:
  // Bits looked up at once; longer codes are found by their lengths.
  static constexpr int kFastBits = 9;

  // False when the counts give more codes than their lengths hold, or (as
  // the reference decoder refuses them too) a code of all ones; a DC table
  // holds categories 0 to 15 only.
  bool build(const HuffmanCodes& codes, bool dc);

  // (length << 8) | symbol for each kFastBits-bit prefix that begins with a
  // whole code; 0 where the code is longer.
  std::array<std::uint16_t, 1 << kFastBits> fast{};
  // For an AC table: (value << 8) | (run << 4) | bits taken, for each
  // prefix that begins with a whole code of a nonzero coefficient and all its
  // bits; 0 elsewhere.
  std::array<std::int32_t, 1 << kFastBits> short_ac{};
  // The largest code of each length (-1 with none), and where that length's
  // symbols begin less its first code.
  std::array<std::int32_t, 18> max_code{};
  std::array<std::int32_t, 17> offset{};
  std::array<std::uint8_t, 256> symbols{};

 private:
  void make_short_ac();
};

// The optimal table for symbols seen `counts[s]` times, none longer than 16
// bits and none all ones; symbols never seen get no code. At least one
// symbol must have been seen.
HuffmanCodes optimal_table(const std::array<std::uint32_t, 256>& counts);

struct HuffmanEncoder {
  explicit HuffmanEncoder(const HuffmanCodes& codes);
  std::array<std::uint16_t, 256> code{};
  std::array<std::uint8_t, 256> length{};  // 0 for a symbol without a code
};

}  // namespace jpeg
