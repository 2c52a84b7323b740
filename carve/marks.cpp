#include "marks.h"

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
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

// Whether any of `Pairs` may stand in the sizeof(Lanes) offsets from `bytes`.
template <typename Lanes, typename... Pairs>
[[gnu::always_inline]] inline bool any_in(const unsigned char* bytes) {
  Lanes hit{};
  (mark_pair<Lanes, Pairs>(bytes, hit), ...);
  std::uint64_t words[sizeof(Lanes) / 8];
  std::memcpy(words, &hit, sizeof words);
  std::uint64_t any = 0;
  for (const std::uint64_t word : words) {
    any |= word;
  }
  return any != 0;
}

// Every magic or tag from `at` below `to` (which whole blocks fill), handed
// to `note` in order: blocks with none are passed over 256 offsets at a time,
// and in the others only the vectors' worth of offsets that hold one are
// looked at one by one, so text crowded with them costs a pass, not one
// search for each.
template <typename Lanes, typename Note>
[[gnu::always_inline]] inline void each_mark_in(const unsigned char* bytes, std::size_t at,
                                                std::size_t to, Note& note) {
  while (at < to) {
    at = skip_blocks_in<Lanes, MagicPair, TagPair>(bytes, at, to);
    const std::size_t stop = std::min(at + kBlock, to);
    for (; at < stop; at += sizeof(Lanes)) {
      if (any_in<Lanes, MagicPair, TagPair>(bytes + at)) {
        for (std::size_t j = at; j < at + sizeof(Lanes); ++j) {
          note(j);
        }
      }
    }
  }
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
#endif

std::size_t skip_to_magic(const unsigned char* bytes, std::size_t at, std::size_t to) {
  return kHaveAvx2 ? skip_to_magic_avx2(bytes, at, to)
                   : skip_blocks_in<Lanes16, MagicPair>(bytes, at, to);
}

std::size_t skip_to_tag(const unsigned char* bytes, std::size_t at, std::size_t to) {
  return kHaveAvx2 ? skip_to_tag_avx2(bytes, at, to)
                   : skip_blocks_in<Lanes16, TagPair>(bytes, at, to);
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

bool tile_starts(bool tiz, unsigned char kind, const unsigned char* data) {
  const auto zlib = [](const unsigned char* at) {
    return (at[0] & 0x0F) == 8 && (at[0] * 256 + at[1]) % 31 == 0;
  };
  if (!tiz || kind == '2') {
    return data[0] == 0xFF && data[1] == 0xD8;
  }
  return kind == '0' ? zlib(data) : kind == '1' && zlib(data + 2);
}

bool record_candidate(const unsigned char* bytes, const unsigned char* end) {
  if (!tag_at(bytes)) {
    return false;
  }
  const unsigned char* data = bytes + kRecordHeaderBytes;
  const unsigned char kind = bytes[3];
  return data + 4 > end || tile_starts(false, kind, data) ||
         ((kind == '0' || kind == '1') && tile_starts(true, kind, data));
}

bool header_candidate(const unsigned char* bytes, const unsigned char* end) {
  return magic_at(bytes) &&
         (bytes + kFileHeaderBytes + sizeof kRecordTag > end || tag_at(bytes + kFileHeaderBytes));
}

bool magic_at(const unsigned char* bytes) {
  return ((bytes[0] == 'T' && bytes[1] == 'I') || (bytes[0] == 'M' && bytes[1] == 'O')) &&
         bytes[2] == 'Z' && bytes[3] == '0';
}

// The first offset from `from` below `to` where "TIZ0" or "MOZ0" begins, else
// `to`; the bytes run to to + 3.
std::size_t find_magic(const unsigned char* bytes, std::size_t from, std::size_t to) {
  const unsigned char* end = bytes + to + 3;
  return find_first(bytes, from, to, skip_to_magic,
                    [end](const unsigned char* at) { return header_candidate(at, end); });
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

namespace {

// Notes a mark where one starts.
struct MarkNote {
  const unsigned char* bytes;
  std::uint64_t base;
  const unsigned char* last;
  Marks& marks;
  void operator()(std::size_t at) const {
    if (tag_at(bytes + at)) {
      if (record_candidate(bytes + at, last)) {
        marks.tags.push_back(base + at);
      }
    } else if (header_candidate(bytes + at, last)) {
      marks.magics.push_back(base + at);
    }
  }
};

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// On x86-64 the compares give a bit an offset, and only the offsets whose
// bit is set are looked at: text crowded with marks costs little more than
// text without.
template <typename Note>
[[gnu::always_inline]] inline void note_bits(std::size_t at, unsigned bits, Note& note) {
  for (; bits != 0; bits &= bits - 1) {
    note(at + static_cast<std::size_t>(__builtin_ctz(bits)));
  }
}

// A bit for each of the 32 offsets from `at` where a tag's "TI" or a
// magic's "Z0" (two bytes in) stands; the bytes run to at + 35.
__attribute__((target("avx2"))) unsigned marks_in_32(const unsigned char* at) {
  const auto* lanes = reinterpret_cast<const __m256i*>(at);
  const __m256i first = _mm256_loadu_si256(lanes);
  const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 1));
  const __m256i third = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 2));
  const __m256i fourth = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 3));
  const __m256i tags = _mm256_and_si256(_mm256_cmpeq_epi8(first, _mm256_set1_epi8('T')),
                                        _mm256_cmpeq_epi8(second, _mm256_set1_epi8('I')));
  const __m256i magics = _mm256_and_si256(_mm256_cmpeq_epi8(third, _mm256_set1_epi8('Z')),
                                          _mm256_cmpeq_epi8(fourth, _mm256_set1_epi8('0')));
  return static_cast<unsigned>(_mm256_movemask_epi8(_mm256_or_si256(tags, magics)));
}

// The same for 16 offsets, in the vectors every x86-64 has.
unsigned marks_in_16(const unsigned char* at) {
  const auto load = [](const unsigned char* from) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
  };
  const __m128i tags = _mm_and_si128(_mm_cmpeq_epi8(load(at), _mm_set1_epi8('T')),
                                     _mm_cmpeq_epi8(load(at + 1), _mm_set1_epi8('I')));
  const __m128i magics = _mm_and_si128(_mm_cmpeq_epi8(load(at + 2), _mm_set1_epi8('Z')),
                                       _mm_cmpeq_epi8(load(at + 3), _mm_set1_epi8('0')));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(tags, magics)));
}

__attribute__((target("avx2"))) void each_mark_avx2(const unsigned char* bytes, std::size_t at,
                                                    std::size_t to, MarkNote& note) {
  for (; at + 32 <= to; at += 32) {
    note_bits(at, marks_in_32(bytes + at), note);
  }
  for (; at < to; ++at) {
    note(at);
  }
}

void each_mark_sse2(const unsigned char* bytes, std::size_t at, std::size_t to, MarkNote& note) {
  for (; at + 16 <= to; at += 16) {
    note_bits(at, marks_in_16(bytes + at), note);
  }
  for (; at < to; ++at) {
    note(at);
  }
}
#endif

}  // namespace

void find_marks(const unsigned char* bytes, std::uint64_t base, std::uint64_t from,
                std::uint64_t to, Marks& marks) {
  const auto end = static_cast<std::size_t>(to - base);
  MarkNote note{bytes, base, bytes + end + 3, marks};
  auto at = static_cast<std::size_t>(from - base);
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  if (kHaveAvx2) {
    each_mark_avx2(bytes, at, end, note);
  } else {
    each_mark_sse2(bytes, at, end, note);
  }
#else
  const std::size_t blocks = at + (end - at) / kBlock * kBlock;
  each_mark_in<Lanes16>(bytes, at, blocks, note);
  for (at = blocks; at < end; ++at) {
    note(at);
  }
#endif
}

void mark_through(const unsigned char* window, std::uint64_t base, std::uint64_t end,
                  Marks& marks) {
  if (end >= marks.to + 3) {
    find_marks(window, base, marks.to, end - 3, marks);
    marks.to = end - 3;
  }
}

void Marks::forget_before(std::uint64_t offset) {
  for (std::vector<std::uint64_t>* list : {&magics, &tags}) {
    list->erase(list->begin(), std::lower_bound(list->begin(), list->end(), offset));
  }
}
