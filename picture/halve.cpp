#include "halve.h"

#include <cstddef>

static std::size_t offset(int x, int y, int stride) {
  return static_cast<std::size_t>(y) * static_cast<std::size_t>(stride) +
         static_cast<std::size_t>(x) * 3;
}

// The rounded mean of the up to four pixels at column `x` (and `x` + 1 when
// `pair`) of rows `top` and `bottom` (the same row when there is only one).
static void mean_pixel(const unsigned char* top, const unsigned char* bottom, std::size_t x,
                       bool pair, unsigned char* out) {
  const int count = (pair ? 2 : 1) * (top != bottom ? 2 : 1);
  for (std::size_t c = 0; c < 3; ++c) {
    const std::size_t right = pair ? x * 3 + 3 + c : x * 3 + c;
    const int sum = top[x * 3 + c] + (pair ? top[right] : 0) +
                    (top != bottom ? bottom[x * 3 + c] + (pair ? bottom[right] : 0) : 0);
    out[c] = static_cast<unsigned char>((sum + count / 2) / count);
  }
}

// Halves `from` into `to` (which has room for half its rows and columns,
// rounded up): each pixel the rounded mean of the up to four it covers. The
// common case, two rows and two columns, is a plain loop the compiler can
// widen; an odd last row or column goes through mean_pixel.
void halve(const Pixels& from, const Pixels& to) {
  const auto pairs = static_cast<std::size_t>(from.width / 2);
  for (int y = 0; y < (from.height + 1) / 2; ++y) {
    const unsigned char* top = from.data + offset(0, 2 * y, from.stride);
    const unsigned char* bottom = 2 * y + 1 < from.height ? top + from.stride : top;
    unsigned char* out = to.data + offset(0, y, to.stride);
    if (top != bottom) {
      for (std::size_t p = 0; p < pairs; ++p) {
        for (std::size_t c = 0; c < 3; ++c) {
          const int sum =
              top[6 * p + c] + top[6 * p + 3 + c] + bottom[6 * p + c] + bottom[6 * p + 3 + c];
          out[3 * p + c] = static_cast<unsigned char>((sum + 2) >> 2);
        }
      }
    } else {
      for (std::size_t p = 0; p < pairs; ++p) {
        mean_pixel(top, bottom, 2 * p, true, out + 3 * p);
      }
    }
    if (from.width % 2 != 0) {
      mean_pixel(top, bottom, 2 * pairs, false, out + 3 * pairs);
    }
  }
}
