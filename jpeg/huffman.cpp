#include "huffman.h"

#include <algorithm>
#include <vector>

namespace jpeg {

bool HuffmanDecoder::build(const HuffmanCodes& codes, bool dc) {
  fast.fill(0);
  max_code.fill(-1);
  offset.fill(0);
  symbols.fill(0);
  std::size_t total = 0;
  for (int length = 1; length <= 16; ++length) {
    total += codes.counts[static_cast<std::size_t>(length)];
  }
  if (total > 256 || total != codes.symbols.size()) {
    return false;
  }
  std::int32_t code = 0;
  std::size_t k = 0;
  for (int length = 1; length <= 16; ++length) {
    const int count = codes.counts[static_cast<std::size_t>(length)];
    offset[static_cast<std::size_t>(length)] = static_cast<std::int32_t>(k) - code;
    for (int i = 0; i < count; ++i, ++k, ++code) {
      if (code >= (std::int32_t{1} << length)) {
        return false;  // more codes than the length holds
      }
      const std::uint8_t symbol = codes.symbols[k];
      if (dc && symbol > 15) {
        return false;
      }
      symbols[k] = symbol;
      if (length <= kFastBits) {
        const int spare = kFastBits - length;
        const auto entry = static_cast<std::uint16_t>((length << 8) | symbol);
        for (int fill = 0; fill < (1 << spare); ++fill) {
          fast[static_cast<std::size_t>((code << spare) | fill)] = entry;
        }
      }
    }
    if (count > 0) {
      max_code[static_cast<std::size_t>(length)] = code - 1;
    }
    if (code >= (std::int32_t{1} << length)) {
      return false;
    }
    code <<= 1;
  }
  max_code[17] = INT32_MAX;  // ends the search: no code is longer than 16
  if (!dc) {
    make_short_ac();
  }
  return true;
}

void HuffmanDecoder::make_short_ac() {
  short_ac.fill(0);
  for (std::size_t prefix = 0; prefix < fast.size(); ++prefix) {
    const int length = fast[prefix] >> 8;
    const int symbol = fast[prefix] & 0xFF;
    const int size = symbol & 15;
    if (length == 0 || size == 0 || length + size > kFastBits) {
      continue;
    }
    const int bits = static_cast<int>(prefix >> (kFastBits - length - size)) & ((1 << size) - 1);
    const int value = bits < (1 << (size - 1)) ? bits - (1 << size) + 1 : bits;
    short_ac[prefix] = static_cast<std::int32_t>(static_cast<unsigned>(value) << 8) |
                       ((symbol >> 4) << 4) | (length + size);
  }
}

HuffmanCodes optimal_table(const std::array<std::uint32_t, 256>& counts) {
  // The leaves: every symbol seen, and one more seen once, whose code is
  // dropped at the end so that no code is all ones (K.2). The lightest
  // first, the reserved one first among the lightest.
  constexpr int kReserved = 256;
  constexpr std::size_t kMostNodes = std::size_t{2} * 257;
  std::array<int, 257> leaves{};
  std::size_t n = 0;
  leaves[n++] = kReserved;
  for (int symbol = 0; symbol < 256; ++symbol) {
    if (counts[static_cast<std::size_t>(symbol)] != 0) {
      leaves[n++] = symbol;
    }
  }
  auto weight_of = [&](int symbol) -> std::uint64_t {
    return symbol == kReserved ? 1 : counts[static_cast<std::size_t>(symbol)];
  };
  std::stable_sort(leaves.begin() + 1, leaves.begin() + static_cast<std::ptrdiff_t>(n),
                   [&](int a, int b) { return weight_of(a) < weight_of(b); });
  // Huffman's tree by two queues: the leaves in order of weight, and the
  // merged nodes, made in order of weight too.
  std::array<std::uint64_t, kMostNodes> weight{};
  std::array<std::size_t, kMostNodes> parent{};
  for (std::size_t i = 0; i < n; ++i) {
    weight[i] = weight_of(leaves[i]);
  }
  std::size_t next_leaf = 0;
  std::size_t next_merged = n;
  auto take_lightest = [&](std::size_t made) {
    if (next_leaf < n && (next_merged >= made || weight[next_leaf] <= weight[next_merged])) {
      return next_leaf++;
    }
    return next_merged++;
  };
  const std::size_t nodes = 2 * n - 1;
  for (std::size_t made = n; made < nodes; ++made) {
    const std::size_t a = take_lightest(made);
    const std::size_t b = take_lightest(made);
    weight[made] = weight[a] + weight[b];
    parent[a] = made;
    parent[b] = made;
  }
  std::array<int, kMostNodes> depth{};
  for (std::size_t i = nodes - 1; i-- > 0;) {
    depth[i] = depth[parent[i]] + 1;
  }
  // Lengths over 16 folded in as K.3 does: two codes at the longest length
  // go, one longer code splits a shorter one.
  std::array<int, kMostNodes> bits{};
  int longest = 0;
  for (std::size_t i = 0; i < n; ++i) {
    ++bits[static_cast<std::size_t>(depth[i])];
    longest = std::max(longest, depth[i]);
  }
  for (int i = longest; i > 16; --i) {
    while (bits[static_cast<std::size_t>(i)] > 0) {
      int j = i - 2;
      while (bits[static_cast<std::size_t>(j)] == 0) {
        --j;
      }
      bits[static_cast<std::size_t>(i)] -= 2;
      bits[static_cast<std::size_t>(i - 1)] += 1;
      bits[static_cast<std::size_t>(j) + 1] += 2;
      bits[static_cast<std::size_t>(j)] -= 1;
    }
  }
  // The shortest codes go to the symbols the tree put highest, the reserved
  // one last of all, and its code is dropped.
  std::array<std::size_t, 256> order{};
  for (std::size_t i = 1; i < n; ++i) {
    order[i - 1] = i;
  }
  std::sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(n - 1),
            [&](std::size_t a, std::size_t b) {
              return depth[a] < depth[b] || (depth[a] == depth[b] && leaves[a] < leaves[b]);
            });
  int last = std::min(longest, 16);
  while (last > 0 && bits[static_cast<std::size_t>(last)] == 0) {
    --last;
  }
  --bits[static_cast<std::size_t>(last)];
  HuffmanCodes codes;
  for (std::size_t length = 1; length <= 16; ++length) {
    codes.counts[length] = static_cast<std::uint8_t>(bits[length]);
  }
  codes.symbols.resize(n - 1);
  for (std::size_t i = 0; i + 1 < n; ++i) {
    codes.symbols[i] = static_cast<std::uint8_t>(leaves[order[i]]);
  }
  return codes;
}

HuffmanEncoder::HuffmanEncoder(const HuffmanCodes& codes) {
  std::uint32_t next = 0;
  std::size_t k = 0;
  for (int bits = 1; bits <= 16; ++bits) {
    for (int i = 0; i < codes.counts[static_cast<std::size_t>(bits)] && k < codes.symbols.size();
         ++i, ++k) {
      code[codes.symbols[k]] = static_cast<std::uint16_t>(next++);
      length[codes.symbols[k]] = static_cast<std::uint8_t>(bits);
    }
    next <<= 1;
  }
}

}  // namespace jpeg
