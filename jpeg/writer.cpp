#include "writer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <span>

#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__ARM_NEON)
#include <arm_neon.h>
#endif

#include "huffman.h"

namespace jpeg {

namespace {

void put16(std::vector<unsigned char>& out, int value) {
  out.push_back(static_cast<unsigned char>(value >> 8));
  out.push_back(static_cast<unsigned char>(value & 0xFF));
}

void marker(std::vector<unsigned char>& out, int code) {
  out.push_back(0xFF);
  out.push_back(static_cast<unsigned char>(code));
}

int ceil_div(int a, int b) { return (a + b - 1) / b; }

// Room for at least `count`, kept from tile to tile: never filled, since
// what is written into it is all that is read back.
template <typename T>
void grow(std::vector<T>& room, std::size_t count) {
  if (room.size() < count) {
    room.resize(count);
  }
}

int magnitude_bits(int value) {
  return static_cast<int>(std::bit_width(static_cast<unsigned>(value < 0 ? -value : value)));
}

// Bit k set where the block's coefficient k is not 0: 16 at a time where
// the machine compares that many at once.
std::uint64_t nonzero_mask(const Block& block) {
  std::uint64_t mask = 0;
#if defined(__SSE2__)
  for (std::size_t k = 0; k < kBlockSize; k += 16) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block.data() + k));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block.data() + k + 8));
    // Saturating to bytes keeps every nonzero value nonzero.
    const __m128i zero = _mm_cmpeq_epi8(_mm_packs_epi16(low, high), _mm_setzero_si128());
    mask |= static_cast<std::uint64_t>(~static_cast<unsigned>(_mm_movemask_epi8(zero)) & 0xFFFFU)
            << k;
  }
#elif defined(__ARM_NEON)
  static const std::uint8_t kWeights[16] = {1, 2, 4, 8, 16, 32, 64, 128,
                                            1, 2, 4, 8, 16, 32, 64, 128};
  const uint8x16_t weights = vld1q_u8(kWeights);
  for (std::size_t k = 0; k < kBlockSize; k += 16) {
    const int8x16_t bytes = vcombine_s8(vqmovn_s16(vld1q_s16(block.data() + k)),
                                        vqmovn_s16(vld1q_s16(block.data() + k + 8)));
    const uint8x16_t set = vandq_u8(vtstq_s8(bytes, bytes), weights);
    mask |= static_cast<std::uint64_t>(vaddv_u8(vget_low_u8(set))) << k;
    mask |= static_cast<std::uint64_t>(vaddv_u8(vget_high_u8(set))) << (k + 8);
  }
#else
  for (std::size_t k = 0; k < kBlockSize; ++k) {
    mask |= static_cast<std::uint64_t>(block[k] != 0) << k;
  }
#endif
  return mask;
}

std::uint32_t token(int table, int symbol, int size, int value) {
  const int bits = value < 0 ? value - 1 : value;  // a negative one's complement (F.1.2.1)
  return static_cast<std::uint32_t>(table) << 28 | static_cast<std::uint32_t>(symbol) << 20 |
         static_cast<std::uint32_t>(size) << 16 |
         (static_cast<std::uint32_t>(bits) & ((1U << size) - 1));
}

// Entropy-coded bytes, a 0 stuffed after each 0xFF (F.1.2.3), into room
// made for them beforehand.
class BitWriter {
 public:
  explicit BitWriter(unsigned char* out) : out_(out) {}
  void put(std::uint32_t bits, int count) {
    held_ = (held_ << count) | bits;
    count_ += count;
    if (count_ < 32) {
      return;
    }
    // Four bytes at once when none is 0xFF, as nearly always.
    const auto four = static_cast<std::uint32_t>(held_ >> (count_ - 32));
    const std::uint32_t inverse = ~four;
    if (((inverse - 0x01010101U) & ~inverse & 0x80808080U) == 0) {
      out_[0] = static_cast<unsigned char>(four >> 24);
      out_[1] = static_cast<unsigned char>(four >> 16);
      out_[2] = static_cast<unsigned char>(four >> 8);
      out_[3] = static_cast<unsigned char>(four);
      out_ += 4;
      count_ -= 32;
      return;
    }
    flush_bytes();
  }
  // What is held, padded with ones to a whole byte; the end of the data.
  unsigned char* finish() {
    if (count_ % 8 != 0) {
      const int pad = 8 - count_ % 8;
      held_ = (held_ << pad) | ((1U << pad) - 1);
      count_ += pad;
    }
    flush_bytes();
    return out_;
  }

 private:
  void flush_bytes() {
    while (count_ >= 8) {
      count_ -= 8;
      const auto byte = static_cast<unsigned char>(held_ >> count_);
      *out_++ = byte;
      if (byte == 0xFF) {
        *out_++ = 0;
      }
    }
  }

  unsigned char* out_;
  std::uint64_t held_ = 0;
  int count_ = 0;
};

}  // namespace

TileWriter::TileWriter(const Frame& frame, Colour colour) : frame_(frame) {
  marker(prefix_, 0xD8);
  const std::vector<Component>& c = frame.components;
  const bool rgb_ids = c.size() == 3 && c[0].id == 'R' && c[1].id == 'G' && c[2].id == 'B';
  int transform = -1;
  if (colour == Colour::rgb) {
    transform = 0;
  } else if (colour == Colour::ycbcr && rgb_ids) {
    transform = 1;
  }
  if (transform >= 0) {
    marker(prefix_, 0xEE);
    put16(prefix_, 14);
    for (const char letter : {'A', 'd', 'o', 'b', 'e'}) {
      prefix_.push_back(static_cast<unsigned char>(letter));
    }
    const std::array<unsigned char, 7> rest = {
        0, 100, 0, 0, 0, 0, static_cast<unsigned char>(transform)};
    prefix_.insert(prefix_.end(), rest.begin(), rest.end());
  }
  // One table for each different one the components use.
  std::vector<const QuantTable*> tables;
  for (const Component& component : c) {
    const auto same = std::find_if(tables.begin(), tables.end(),
                                   [&](const QuantTable* t) { return *t == component.quant; });
    quant_slot_.push_back(static_cast<int>(same - tables.begin()));
    if (same == tables.end()) {
      tables.push_back(&component.quant);
    }
  }
  marker(prefix_, 0xDB);
  std::size_t length = 2;
  for (const QuantTable* table : tables) {
    const bool wide = *std::max_element(table->begin(), table->end()) > 255;
    extended_ = extended_ || wide;
    length += wide ? 129 : 65;
  }
  put16(prefix_, static_cast<int>(length));
  for (std::size_t slot = 0; slot < tables.size(); ++slot) {
    const bool wide = *std::max_element(tables[slot]->begin(), tables[slot]->end()) > 255;
    prefix_.push_back(static_cast<unsigned char>((wide ? 0x10 : 0) | slot));
    for (std::size_t k = 0; k < kBlockSize; ++k) {
      const int value = (*tables[slot])[kNaturalOrder[k]];
      if (wide) {
        put16(prefix_, value);
      } else {
        prefix_.push_back(static_cast<unsigned char>(value));
      }
    }
  }
}

bool TileWriter::tokenize(const Band& band, int x, int width, int height) {
  // At most a DC, 63 ACs, three runs of zeros and an end to a block.
  std::size_t blocks = 0;
  for (const Component& component : frame_.components) {
    blocks += static_cast<std::size_t>(ceil_div(width, frame_.mcu_width()) * component.h *
                                       ceil_div(height, frame_.mcu_height()) * component.v);
  }
  grow(tokens_, blocks * 68);
  std::uint32_t* next = tokens_.data();
  const std::size_t count = frame_.components.size();
  const bool interleaved = count > 1;
  const int mcus_across = ceil_div(width, frame_.mcu_width());
  const int mcus_down = ceil_div(height, frame_.mcu_height());
  std::array<int, 4> previous{};
  bool fits = true;
  auto add_block = [&](std::size_t c, int column, int row, bool real) {
    const int table = c == 0 ? 0 : 1;
    if (!real) {  // padding of a partial MCU: the DC before it, and nothing else
      *next++ = (token(table, 0, 0, 0));
      *next++ = (token(table + 2, 0, 0, 0));
      return;
    }
    const Block& block = band.at(c, row, column);
    const int diff = block[0] - previous[c];
    previous[c] = block[0];
    const int size = magnitude_bits(diff);
    fits = fits && size <= 11;
    *next++ = (token(table, size, size, diff));
    std::uint64_t nonzero = nonzero_mask(block) & ~std::uint64_t{1};
    int last = 0;
    while (nonzero != 0) {
      const int k = std::countr_zero(nonzero);
      nonzero &= nonzero - 1;
      int run = k - last - 1;
      last = k;
      for (; run > 15; run -= 16) {
        *next++ = (token(table + 2, 0xF0, 0, 0));
      }
      const int value = block[static_cast<std::size_t>(k)];
      const int bits = magnitude_bits(value);
      fits = fits && bits <= 10;
      *next++ = (token(table + 2, (run << 4) | bits, bits, value));
    }
    if (last < 63) {
      *next++ = (token(table + 2, 0, 0, 0));
    }
  };

  std::array<int, 4> left{};
  std::array<int, 4> across{};
  std::array<int, 4> down{};
  for (std::size_t c = 0; c < count; ++c) {
    const Component& component = frame_.components[c];
    left[c] = x / frame_.mcu_width() * component.h;
    across[c] = ceil_div(width * component.h, frame_.mcu_width());
    down[c] = ceil_div(height * component.v, frame_.mcu_height());
  }
  if (!interleaved) {
    for (int row = 0; row < down[0]; ++row) {
      for (int column = 0; column < across[0]; ++column) {
        add_block(0, left[0] + column, row, true);
      }
    }
    token_count_ = static_cast<std::size_t>(next - tokens_.data());
    return fits;
  }
  for (int mcu_row = 0; mcu_row < mcus_down; ++mcu_row) {
    for (int mcu = 0; mcu < mcus_across; ++mcu) {
      for (std::size_t c = 0; c < count; ++c) {
        const Component& component = frame_.components[c];
        for (int y = 0; y < component.v; ++y) {
          for (int xx = 0; xx < component.h; ++xx) {
            const int column = mcu * component.h + xx;
            const int row = mcu_row * component.v + y;
            add_block(c, left[c] + column, row, column < across[c] && row < down[c]);
          }
        }
      }
    }
  }
  token_count_ = static_cast<std::size_t>(next - tokens_.data());
  return fits;
}

void TileWriter::emit(std::vector<unsigned char>& out, int width, int height) {
  const std::size_t count = frame_.components.size();
  const std::size_t tables = count > 1 ? 2 : 1;
  std::array<std::array<std::uint32_t, 256>, 4> seen{};
  const std::span<const std::uint32_t> tokens(tokens_.data(), token_count_);
  for (const std::uint32_t t : tokens) {
    ++seen[t >> 28][(t >> 20) & 0xFF];
  }
  std::vector<HuffmanCodes> codes;
  std::vector<HuffmanEncoder> encoders;
  for (std::size_t t = 0; t < 4; ++t) {
    if (t % 2 < tables) {
      codes.push_back(optimal_table(seen[t]));
    } else {
      codes.emplace_back();
    }
    encoders.emplace_back(codes.back());
  }
  out = prefix_;
  marker(out, extended_ ? 0xC1 : 0xC0);
  put16(out, static_cast<int>(8 + 3 * count));
  out.push_back(8);
  put16(out, height);
  put16(out, width);
  out.push_back(static_cast<unsigned char>(count));
  for (std::size_t c = 0; c < count; ++c) {
    const Component& component = frame_.components[c];
    out.push_back(static_cast<unsigned char>(component.id));
    out.push_back(static_cast<unsigned char>((component.h << 4) | component.v));
    out.push_back(static_cast<unsigned char>(quant_slot_[c]));
  }
  marker(out, 0xC4);
  std::size_t length = 2;
  for (std::size_t t = 0; t < 4; ++t) {
    if (t % 2 < tables) {
      length += 17 + codes[t].symbols.size();
    }
  }
  put16(out, static_cast<int>(length));
  for (std::size_t t = 0; t < 4; ++t) {
    if (t % 2 < tables) {
      out.push_back(static_cast<unsigned char>(((t / 2) << 4) | (t % 2)));
      out.insert(out.end(), codes[t].counts.begin() + 1, codes[t].counts.end());
      out.insert(out.end(), codes[t].symbols.begin(), codes[t].symbols.end());
    }
  }
  marker(out, 0xDA);
  put16(out, static_cast<int>(6 + 2 * count));
  out.push_back(static_cast<unsigned char>(count));
  for (std::size_t c = 0; c < count; ++c) {
    out.push_back(static_cast<unsigned char>(frame_.components[c].id));
    out.push_back(c == 0 ? 0x00 : 0x11);
  }
  out.push_back(0);
  out.push_back(63);
  out.push_back(0);
  // Each token's code and bits take at most 27 bits, stuffed to 7 bytes.
  grow(data_, tokens.size() * 7 + 8);
  BitWriter bits(data_.data());
  for (const std::uint32_t t : tokens) {
    const HuffmanEncoder& encoder = encoders[t >> 28];
    const std::uint32_t symbol = (t >> 20) & 0xFF;
    const int size = static_cast<int>((t >> 16) & 15);
    bits.put((static_cast<std::uint32_t>(encoder.code[symbol]) << size) | (t & 0xFFFF),
             encoder.length[symbol] + size);
  }
  out.insert(out.end(), data_.data(), bits.finish());
  marker(out, 0xD9);
}

bool TileWriter::write(const Band& band, int x, int width, int height,
                       std::vector<unsigned char>& out, std::string& error) {
  if (!tokenize(band, x, width, height)) {
    error = "a coefficient is beyond what an 8-bit JPEG codes";
    return false;
  }
  emit(out, width, height);
  return true;
}

}  // namespace jpeg
