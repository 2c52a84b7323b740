#pragma once

#include <cstdint>

// Every multi-byte field of TIZ and MOZ is big-endian; this is the one place that
// turns two bytes into a number. Bytes are unsigned, so a high bit never sign-extends.
constexpr std::uint16_t read_u16be(const unsigned char* bytes) {
  return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

// MOZ sizes are two's complement: 0x8000 and above read as negative.
constexpr std::int16_t read_s16be(const unsigned char* bytes) {
  return static_cast<std::int16_t>(read_u16be(bytes));
}

// The other way, for the writers.
constexpr void write_u16be(unsigned char* bytes, std::uint16_t value) {
  bytes[0] = static_cast<unsigned char>(value >> 8);
  bytes[1] = static_cast<unsigned char>(value & 0xff);
}
