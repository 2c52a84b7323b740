#pragma once

// An 8-bit RGB PNG written band by band. Its one zlib stream is cut into
// bands that are filtered and deflated independently (each ended on a byte
// boundary by a sync flush), so several threads can compress at once; the
// stream's Adler-32 is combined from the bands' own as they are written.
//
//   file  = signature IHDR IDAT(band 0, zlib header first) IDAT(band 1) ...
//           IDAT(Adler-32 of all rows) IEND

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "jpeg.h"

class PngBandCompressor {
 public:
  PngBandCompressor();
  ~PngBandCompressor();
  PngBandCompressor(const PngBandCompressor&) = delete;
  PngBandCompressor& operator=(const PngBandCompressor&) = delete;

  // Filters and deflates the band's rows into one IDAT chunk; false when zlib
  // fails (out of memory). `first` puts the zlib header in front, `last` ends
  // the deflate stream.
  bool compress(const Pixels& band, bool first, bool last);

  std::span<const unsigned char> chunk() const { return {chunk_.get(), chunk_size_}; }
  std::uint32_t adler() const { return adler_; }
  std::size_t raw_bytes() const { return raw_bytes_; }

 private:
  void* stream_;  // a z_stream, kept out of the header
  // Sized for the worst case but left uninitialised, so only the pages the
  // compressed data reaches are ever touched.
  std::unique_ptr<unsigned char[]> chunk_;
  std::size_t chunk_capacity_ = 0;
  std::size_t chunk_size_ = 0;
  std::vector<unsigned char> filtered_;  // one row: its filter byte, then the differences
  std::uint32_t adler_ = 1;
  std::size_t raw_bytes_ = 0;
};

// The PNG around the bands: `head` before the first, `tail` after the last.
class PngFrame {
 public:
  // Signature and IHDR.
  static std::vector<unsigned char> head(int width, int height);
  // Takes in a band's check value, in order.
  void add(const PngBandCompressor& band);
  // The zlib trailer in its own IDAT chunk, then IEND.
  std::vector<unsigned char> tail() const;

 private:
  std::uint32_t adler_ = 1;
};
