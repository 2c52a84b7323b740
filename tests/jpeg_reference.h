#pragma once

// libjpeg's own reading of a JPEG's coefficients, which the coefficient
// reader must match: for the tests and the reader's fuzz target.

#include <string>
#include <vector>

#include "frame.h"

// Each component's blocks, width_in_blocks by height_in_blocks, in rows, each
// block in zigzag order as the reader keeps them.
struct Coefficients {
  bool read = false;
  bool warned = false;  // libjpeg warned, as of damaged data it reads on past
  std::string error;
  std::vector<std::vector<jpeg::Block>> components;
  bool operator==(const Coefficients& other) const { return components == other.components; }
};

// What jpeg_read_coefficients gives of `count` bytes.
Coefficients libjpeg_coefficients(const unsigned char* bytes, std::size_t count);
inline Coefficients libjpeg_coefficients(const std::string& bytes) {
  return libjpeg_coefficients(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}
