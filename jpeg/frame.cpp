#include "frame.h"

#include <algorithm>

namespace jpeg {

const std::array<std::uint8_t, kBlockSize> kNaturalOrder = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

void lay_out(Frame& frame) {
  if (frame.components.size() == 1) {
    frame.components[0].h = frame.components[0].v = 1;
  }
  frame.hmax = frame.vmax = 1;
  for (const Component& component : frame.components) {
    frame.hmax = std::max(frame.hmax, component.h);
    frame.vmax = std::max(frame.vmax, component.v);
  }
  auto ceil_div = [](long long a, long long b) { return static_cast<int>((a + b - 1) / b); };
  const int mcus_across = ceil_div(frame.width, frame.mcu_width());
  const int mcus_down = ceil_div(frame.height, frame.mcu_height());
  for (Component& component : frame.components) {
    component.width_in_blocks =
        ceil_div(static_cast<long long>(frame.width) * component.h, frame.mcu_width());
    component.height_in_blocks =
        ceil_div(static_cast<long long>(frame.height) * component.v, frame.mcu_height());
    component.padded_width = mcus_across * component.h;
    component.padded_height = mcus_down * component.v;
  }
}

Colour colour_of(const Frame& frame) {
  switch (frame.components.size()) {
    case 1:
      return Colour::gray;
    case 3: {
      if (frame.jfif) {
        return Colour::ycbcr;
      }
      if (frame.adobe_transform >= 0) {
        return frame.adobe_transform == 0 ? Colour::rgb : Colour::ycbcr;
      }
      const std::vector<Component>& c = frame.components;
      const bool rgb_ids = c[0].id == 'R' && c[1].id == 'G' && c[2].id == 'B';
      return rgb_ids ? Colour::rgb : Colour::ycbcr;
    }
    default:
      return frame.adobe_transform == 2 ? Colour::ycck : Colour::cmyk;
  }
}

}  // namespace jpeg
