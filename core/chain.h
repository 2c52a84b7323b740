#pragma once

// Telling a run of records from bytes that only look like one. A "TIL" inside
// a payload or in unrelated data rarely leads, by its length, to another tag
// and then another; a real chain of records does, or ends exactly with the
// file. The salvaging walk and the carver both believe a chain by this test.

#include <cstddef>
#include <cstring>

#include "bytes.h"
#include "tiles.h"

// How many records a chain found past damage must hold (unless it reaches the
// end of the file first). Three, each at most 65,541 bytes, fit the buffer.
inline constexpr int kChainRecords = 3;
static_assert(kChainRecords * (kRecordHeaderBytes + std::size_t{UINT16_MAX}) + 3 <=
              kRecordBufferBytes);

// The bytes a chain's test may look at past its first tag.
inline constexpr std::size_t kChainReach =
    kChainRecords * (kRecordHeaderBytes + std::size_t{UINT16_MAX}) + sizeof kRecordTag;

enum class Chain { holds, broken, unknown };

inline bool tag_at(const unsigned char* bytes) {
  return std::memcmp(bytes, kRecordTag, sizeof kRecordTag) == 0;
}

// Where the record whose header starts at `at` ends.
inline std::size_t record_end(const unsigned char* bytes, std::size_t at) {
  return at + kRecordHeaderBytes + read_u16be(bytes + at + 4);
}

// Whether a chain of records starts at `at` among the `waiting` bytes, which
// run to the end of the file when `eof`. Unknown when its first record is not
// all there; a chain running past what waits after one record is believed.
inline Chain chain_at(const unsigned char* bytes, std::size_t waiting, bool eof, std::size_t at) {
  for (int held = 0; held < kChainRecords; ++held) {
    if (held > 0 && eof && at == waiting) {
      return Chain::holds;  // exactly at the end of the file
    }
    if (at + kRecordHeaderBytes > waiting) {
      return eof ? Chain::broken : held > 0 ? Chain::holds : Chain::unknown;
    }
    if (!tag_at(bytes + at)) {
      return Chain::broken;
    }
    at = record_end(bytes, at);
    if (at > waiting) {
      return eof ? Chain::broken : held > 0 ? Chain::holds : Chain::unknown;
    }
  }
  if (eof && at == waiting) {
    return Chain::holds;
  }
  if (at + sizeof kRecordTag > waiting) {
    return eof ? Chain::broken : Chain::holds;
  }
  return tag_at(bytes + at) ? Chain::holds : Chain::broken;
}

// The first "TIL" that starts at `from` or later and ends by `limit`, else `limit`.
inline std::size_t find_tag(const unsigned char* bytes, std::size_t limit, std::size_t from) {
  while (from + sizeof kRecordTag <= limit) {
    const auto* t =
        static_cast<const unsigned char*>(std::memchr(bytes + from, 'T', limit - from - 2));
    if (t == nullptr) {
      break;
    }
    const auto at = static_cast<std::size_t>(t - bytes);
    if (tag_at(t)) {
      return at;
    }
    from = at + 1;
  }
  return limit;
}
