#include "jpeg_markers.h"

#include <cstring>

namespace {

constexpr unsigned char kSoi = 0xD8;
constexpr unsigned char kEoi = 0xD9;
constexpr unsigned char kSos = 0xDA;
constexpr unsigned char kDqt = 0xDB;
constexpr unsigned char kDht = 0xC4;
constexpr unsigned char kApp14 = 0xEE;
constexpr unsigned char kCom = 0xFE;

bool is_frame(unsigned char marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != kDht && marker != 0xC8 && marker != 0xCC;
}

bool is_dropped(unsigned char marker, bool drop_tables) {
  return (marker >= 0xE0 && marker <= 0xEF) || marker == kCom ||
         (drop_tables && (marker == kDqt || marker == kDht));
}

// Calls `each(marker, offset, length)` for every segment before the first
// scan, the scan's own header last; false when the bytes break off or a
// segment is malformed.
template <typename Each>
bool for_each_segment(const unsigned char* jpeg, std::size_t bytes, const Each& each) {
  if (bytes < 4 || jpeg[0] != 0xFF || jpeg[1] != kSoi) {
    return false;
  }
  std::size_t at = 2;
  while (at + 4 <= bytes) {
    if (jpeg[at] != 0xFF) {
      return false;
    }
    const unsigned char marker = jpeg[at + 1];
    if (marker == 0xFF) {
      ++at;  // a fill byte
      continue;
    }
    const std::size_t length = std::size_t{jpeg[at + 2]} << 8 | jpeg[at + 3];
    if (marker == kEoi || marker == kSoi || length < 2 || at + 2 + length > bytes) {
      return false;
    }
    if (!each(marker, at, 2 + length)) {
      return false;
    }
    if (marker == kSos) {
      return true;
    }
    at += 2 + length;
  }
  return false;
}

}  // namespace

bool read_jpeg_segments(const unsigned char* jpeg, std::size_t bytes, JpegSegments& segments) {
  segments = JpegSegments{};
  int adobe_transform = -1;
  const bool read =
      for_each_segment(jpeg, bytes, [&](unsigned char marker, std::size_t at, std::size_t length) {
        const unsigned char* data = jpeg + at + 4;
        const std::size_t size = length - 4;
        if (marker == kDqt || marker == kDht) {
          segments.tables.emplace_back(at, length);
        } else if (marker == kApp14 && size >= 12 && std::memcmp(data, "Adobe", 5) == 0) {
          adobe_transform = data[11];
        } else if (is_frame(marker)) {
          if (segments.frame != 0 || size < 6) {
            return false;
          }
          segments.frame = marker;
          segments.precision = data[0];
          segments.height = data[1] << 8 | data[2];
          segments.width = data[3] << 8 | data[4];
          segments.components = data[5];
          if (segments.components < 1 || segments.components > 4 ||
              size < 6 + 3 * static_cast<std::size_t>(segments.components)) {
            return false;
          }
          for (int c = 0; c < segments.components; ++c) {
            const unsigned char* entry = data + 6 + 3 * static_cast<std::size_t>(c);
            segments.component[c] = JpegComponent{entry[0], entry[1] >> 4, entry[1] & 15};
          }
        } else if (marker == kSos) {
          segments.scan = at;
        }
        return true;
      });
  if (!read || segments.frame == 0) {
    return false;
  }
  if (segments.components == 3) {
    const JpegComponent* c = segments.component;
    segments.rgb = adobe_transform == 0 || (c[0].id == 'R' && c[1].id == 'G' && c[2].id == 'B');
  }
  return true;
}

std::vector<unsigned char> jpeg_tables(const unsigned char* jpeg, const JpegSegments& segments) {
  std::vector<unsigned char> tables = {0xFF, kSoi};
  for (const auto& [at, length] : segments.tables) {
    tables.insert(tables.end(), jpeg + at, jpeg + at + length);
  }
  tables.push_back(0xFF);
  tables.push_back(kEoi);
  return tables;
}

void strip_jpeg(const unsigned char* jpeg, std::size_t bytes, const JpegSegments& segments,
                bool drop_tables, std::vector<unsigned char>& out) {
  out.assign({0xFF, kSoi});
  for_each_segment(jpeg, bytes, [&](unsigned char marker, std::size_t at, std::size_t length) {
    if (marker != kSos && !is_dropped(marker, drop_tables)) {
      out.insert(out.end(), jpeg + at, jpeg + at + length);
    }
    return true;
  });
  out.insert(out.end(), jpeg + segments.scan, jpeg + bytes);
}
