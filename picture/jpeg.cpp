#include "jpeg.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cstring>

// A MOZ tile is 64 pixels on a side; anything far larger is no tile and would
// only cost memory and time, so it is refused as undecodable.
static constexpr int kLargestTileEdge = 1024;

void fill_gray(const Pixels& area) {
  for (int y = 0; y < area.height; ++y) {
    std::memset(area.data + static_cast<std::ptrdiff_t>(y) * area.stride, kGray,
                static_cast<std::size_t>(area.width) * 3);
  }
}

static int scaled(int size, int scale) { return TJSCALED(size, (tjscalingfactor{1, scale})); }

TileDecoder::TileDecoder() : handle_(tjInitDecompress()) {}
TileDecoder::~TileDecoder() { tjDestroy(handle_); }

bool TileDecoder::size(const unsigned char* jpeg, std::size_t bytes, int scale, int& width,
                       int& height, std::string& reason) {
  int subsampling = 0;
  int colorspace = 0;
  if (handle_ == nullptr) {
    reason = "the JPEG library could not start";
    return false;
  }
  if (tjDecompressHeader3(handle_, jpeg, static_cast<unsigned long>(bytes), &width, &height,
                          &subsampling, &colorspace) != 0) {
    reason = tjGetErrorStr2(handle_);
    return false;
  }
  if (colorspace == TJCS_CMYK || colorspace == TJCS_YCCK) {
    reason = "a four-component (CMYK) JPEG";
    return false;
  }
  if (width > kLargestTileEdge || height > kLargestTileEdge) {
    reason = "a JPEG of " + std::to_string(width) + " x " + std::to_string(height) +
             " pixels, far larger than a tile";
    return false;
  }
  width = scaled(width, scale);
  height = scaled(height, scale);
  return true;
}

TileState TileDecoder::decode(const unsigned char* jpeg, std::size_t bytes, int scale,
                              const Pixels& cell, std::string& reason) {
  int width = 0;
  int height = 0;
  if (!size(jpeg, bytes, scale, width, height, reason)) {
    return TileState::undecodable;
  }
  // A tile that fits its cell is decoded straight into place; a larger one
  // into scratch space, and then the part that fits is copied.
  const bool fits = width <= cell.width && height <= cell.height;
  unsigned char* target = cell.data;
  int stride = cell.stride;
  if (!fits) {
    stride = width * 3;
    scratch_.resize(static_cast<std::size_t>(stride) * static_cast<std::size_t>(height));
    target = scratch_.data();
  }
  // At most 500 scans of a progressive JPEG: a few kilobytes of scans could
  // otherwise keep the decoder busy for minutes.
  const int failed = tjDecompress2(handle_, jpeg, static_cast<unsigned long>(bytes), target, width,
                                   stride, height, TJPF_RGB, TJFLAG_LIMITSCANS);
  TileState state = TileState::clean;
  if (failed != 0) {
    reason = tjGetErrorStr2(handle_);
    state = tjGetErrorCode(handle_) == TJERR_WARNING ? TileState::damaged : TileState::undecodable;
  }
  if (state == TileState::undecodable) {
    fill_gray(
        Pixels{cell.data, cell.stride, std::min(width, cell.width), std::min(height, cell.height)});
  } else if (!fits) {
    const int rows = std::min(height, cell.height);
    const auto row_bytes = static_cast<std::size_t>(std::min(width, cell.width)) * 3;
    for (int y = 0; y < rows; ++y) {
      std::memcpy(cell.data + static_cast<std::ptrdiff_t>(y) * cell.stride,
                  scratch_.data() + static_cast<std::ptrdiff_t>(y) * stride, row_bytes);
    }
  }
  return state;
}

TileEncoder::TileEncoder(int quality) : handle_(tjInitCompress()), quality_(quality) {}
TileEncoder::~TileEncoder() {
  tjDestroy(handle_);
  tjFree(buffer_);
}

bool TileEncoder::encode(const Pixels& pixels, const unsigned char*& jpeg, std::size_t& bytes,
                         std::string& reason) {
  if (handle_ == nullptr) {
    reason = "the JPEG library could not start";
    return false;
  }
  // Room for the worst case up front, so the library never reallocates.
  const unsigned long needed = tjBufSize(pixels.width, pixels.height, TJSAMP_420);
  if (needed > capacity_) {
    tjFree(buffer_);
    buffer_ = tjAlloc(static_cast<int>(needed));
    capacity_ = buffer_ != nullptr ? needed : 0;
  }
  unsigned long size = capacity_;
  if (buffer_ == nullptr ||
      tjCompress2(handle_, pixels.data, pixels.width, pixels.stride, pixels.height, TJPF_RGB,
                  &buffer_, &size, TJSAMP_420, quality_, TJFLAG_NOREALLOC) != 0) {
    reason = buffer_ == nullptr ? "out of memory" : tjGetErrorStr2(handle_);
    return false;
  }
  jpeg = buffer_;
  bytes = size;
  return true;
}
