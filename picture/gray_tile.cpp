#include "gray_tile.h"

#include <algorithm>

#include "bytes.h"
#include "moz.h"
#include "tiles.h"

void GrayTiles::resize(int width, int height) {
  width_ = width;
  height_ = height;
  columns_ = std::max(1, moz_tiles_across(width));
}

bool GrayTiles::jpeg(long index, const unsigned char*& bytes, std::size_t& count,
                     std::string& why) {
  const int column = static_cast<int>(index % columns_);
  const int row = static_cast<int>(index / columns_);
  const int width = std::clamp(width_ - column * kMozTileEdge, 1, kMozTileEdge);
  const int height = std::clamp(height_ - row * kMozTileEdge, 1, kMozTileEdge);
  if (width != made_width_ || height != made_height_) {
    std::vector<unsigned char> pixels(static_cast<std::size_t>(width * height * 3), kGray);
    const unsigned char* made = nullptr;
    std::size_t made_bytes = 0;
    if (!encoder_.encode(Pixels{pixels.data(), width * 3, width, height}, made, made_bytes, why)) {
      return false;
    }
    jpeg_.assign(made, made + made_bytes);
    made_width_ = width;
    made_height_ = height;
  }
  bytes = jpeg_.data();
  count = jpeg_.size();
  return true;
}

bool GrayTiles::record(long index, unsigned char kind, const unsigned char*& bytes,
                       std::size_t& count, std::string& why) {
  const unsigned char* jpeg_bytes = nullptr;
  std::size_t jpeg_count = 0;
  if (!jpeg(index, jpeg_bytes, jpeg_count, why)) {
    return false;
  }
  unsigned char header[kRecordHeaderBytes];
  make_record_header(header, kind, static_cast<std::uint16_t>(jpeg_count));
  record_.assign(header, header + sizeof header);
  record_.insert(record_.end(), jpeg_bytes, jpeg_bytes + jpeg_count);
  bytes = record_.data();
  count = record_.size();
  return true;
}
