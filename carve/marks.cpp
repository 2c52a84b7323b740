#include "marks.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include <algorithm>
#include <cstring>

#include "chain.h"

namespace {

constexpr std::size_t kBlock = 256;  // offsets passed over at a time

// A block is tested for a 'Z' before a '0' (a magic's third and fourth
// bytes) or a 'T' before an 'I' (a tag's first two).
using Lanes16 = unsigned char __attribute__((vector_size(16)));
using Lanes32 = unsigned char __attribute__((vector_size(32)));

// The magics' "Z0", two bytes in; a tag's "TI".
struct MagicPair {
  static constexpr unsigned char kFirst = 'Z';
  static constexpr unsigned char kSecond = '0';
  static constexpr std::size_t kAt = 2;
};
struct TagPair {
  static constexpr unsigned char kFirst = 'T';
  static constexpr unsigned char kSecond = 'I';
  static constexpr std::size_t kAt = 0;
};

// Marks in `hit` the lanes of the offsets from `bytes` on where `Pair`
// stands (by reference: a vector returned by value would change with the
// caller's instruction set).
template <typename Lanes, typename Pair>
[[gnu::always_inline]] inline void mark_pair(const unsigned char* bytes, Lanes& hit) {
  Lanes here;
  Lanes next;
  std::memcpy(&here, bytes + Pair::kAt, sizeof here);
  std::memcpy(&next, bytes + Pair::kAt + 1, sizeof next);
  hit |=
      reinterpret_cast<Lanes>((here == Lanes{} + Pair::kFirst) & (next == Lanes{} + Pair::kSecond));
}

// The first block of 256 offsets from `at` below `to` (which whole blocks
// fill) where any of `Pairs` may stand, else `to`. Inlined into each caller,
// so it is compiled for that caller's vectors.
template <typename Lanes, typename... Pairs>
[[gnu::always_inline]] inline std::size_t skip_blocks_in(const unsigned char* bytes, std::size_t at,
                                                         std::size_t to) {
  for (; at < to; at += kBlock) {
    Lanes hit{};
    for (std::size_t j = at; j < at + kBlock; j += sizeof(Lanes)) {
      (mark_pair<Lanes, Pairs>(bytes + j, hit), ...);
    }
    std::uint64_t words[sizeof(Lanes) / 8];
    std::memcpy(words, &hit, sizeof words);
    std::uint64_t any = 0;
    for (const std::uint64_t word : words) {
      any |= word;
    }
    if (any != 0) {
      return at;
    }
  }
  return to;
}

// The blocks with a magic, a tag, or either, in the widest vectors there are.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
__attribute__((target("avx2"))) std::size_t skip_to_magic_avx2(const unsigned char* bytes,
                                                               std::size_t at, std::size_t to) {
  return skip_blocks_in<Lanes32, MagicPair>(bytes, at, to);
}
__attribute__((target("avx2"))) std::size_t skip_to_tag_avx2(const unsigned char* bytes,
                                                             std::size_t at, std::size_t to) {
  return skip_blocks_in<Lanes32, TagPair>(bytes, at, to);
}
__attribute__((target("avx2"))) std::size_t skip_to_mark_avx2(const unsigned char* bytes,
                                                              std::size_t at, std::size_t to) {
  return skip_blocks_in<Lanes32, MagicPair, TagPair>(bytes, at, to);
}
// Asked once, of the processor itself (cpuid) and of the system (whether it
// saves the 256-bit registers): x86-64 always has SSE2, most of its
// processors AVX2. Not every C runtime this is built against answers
// __builtin_cpu_supports.
bool have_avx2() {
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx = 0;
  unsigned edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & bit_OSXSAVE) == 0) {
    return false;
  }
  unsigned low = 0;
  unsigned high = 0;
  __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  if ((low & 0x6) != 0x6) {
    return false;  // the system does not keep the vector registers' upper halves
  }
  return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 && (ebx & bit_AVX2) != 0;
}
const bool kHaveAvx2 = have_avx2();
#else
constexpr bool kHaveAvx2 = false;
std::size_t skip_to_magic_avx2(const unsigned char*, std::size_t, std::size_t to) { return to; }
std::size_t skip_to_tag_avx2(const unsigned char*, std::size_t, std::size_t to) { return to; }
std::size_t skip_to_mark_avx2(const unsigned char*, std::size_t, std::size_t to) { return to; }
#endif

std::size_t skip_to_magic(const unsigned char* bytes, std::size_t at, std::size_t to) {
  return kHaveAvx2 ? skip_to_magic_avx2(bytes, at, to)
                   : skip_blocks_in<Lanes16, MagicPair>(bytes, at, to);
}

std::size_t skip_to_tag(const unsigned char* bytes, std::size_t at, std::size_t to) {
  return kHaveAvx2 ? skip_to_tag_avx2(bytes, at, to)
                   : skip_blocks_in<Lanes16, TagPair>(bytes, at, to);
}

std::size_t skip_to_mark(const unsigned char* bytes, std::size_t at, std::size_t to) {
  return kHaveAvx2 ? skip_to_mark_avx2(bytes, at, to)
                   : skip_blocks_in<Lanes16, MagicPair, TagPair>(bytes, at, to);
}

// The first offset from `from` below `to` where `found` holds, passing over
// the blocks `skip` finds nothing in.
template <typename Skip, typename Found>
std::size_t find_first(const unsigned char* bytes, std::size_t from, std::size_t to, Skip skip,
                       Found found) {
  std::size_t at = from;
  while (at < to) {
    at = skip(bytes, at, at + (to - at) / kBlock * kBlock);
    const std::size_t stop = std::min(at + kBlock, to);
    for (; at < stop; ++at) {
      if (found(bytes + at)) {
        return at;
      }
    }
  }
  return to;
}

}  // namespace

bool magic_at(const unsigned char* bytes) {
  return ((bytes[0] == 'T' && bytes[1] == 'I') || (bytes[0] == 'M' && bytes[1] == 'O')) &&
         bytes[2] == 'Z' && bytes[3] == '0';
}

// The first offset from `from` below `to` where "TIZ0" or "MOZ0" begins, else
// `to`; the bytes run to to + 3.
std::size_t find_magic(const unsigned char* bytes, std::size_t from, std::size_t to) {
  return find_first(bytes, from, to, skip_to_magic, magic_at);
}

// The first "TIL" that starts at `from` or later and ends by `limit`, else
// `limit`: the core's search, made for the long stretches a lost chain or a
// fragment's rest is looked for in.
std::size_t find_tag_fast(const unsigned char* bytes, std::size_t limit, std::size_t from) {
  if (limit < from + sizeof kRecordTag) {
    return limit;
  }
  const std::size_t found = find_first(bytes, from, limit - 2, skip_to_tag,
                                       [](const unsigned char* at) { return tag_at(at); });
  return found < limit - 2 ? found : limit;
}

void find_marks(const unsigned char* bytes, std::uint64_t base, std::uint64_t from,
                std::uint64_t to, Marks& marks) {
  const auto end = static_cast<std::size_t>(to - base);
  const auto either = [](const unsigned char* at) { return magic_at(at) || tag_at(at); };
  for (std::size_t at =
           find_first(bytes, static_cast<std::size_t>(from - base), end, skip_to_mark, either);
       at < end; at = find_first(bytes, at + 1, end, skip_to_mark, either)) {
    (magic_at(bytes + at) ? marks.magics : marks.tags).push_back(base + at);
  }
}
