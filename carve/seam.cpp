#include "seam.h"

#include <zlib.h>

#include <algorithm>

#include "bytes.h"
#include "jpeg.h"
#include "tiles.h"

namespace {

// A JPEG's end-of-image marker in its last two bytes: where the record
// ends, so does its picture.
bool jpeg_ends(const unsigned char* jpeg, std::size_t count) {
  return count >= 2 && jpeg[count - 2] == 0xFF && jpeg[count - 1] == 0xD9;
}

bool jpeg_decodes(const unsigned char* jpeg, std::size_t count) {
  // One decoder a thread, kept for every seam; 1/8 scale still reads every
  // bit of the entropy-coded data, which is where a wrong splice shows.
  thread_local TileDecoder decoder;
  unsigned char pixels[8 * 8 * 3];
  std::string reason;
  return decoder.decode(jpeg, count, 8, Pixels{pixels, 8 * 3, 8, 8}, reason) == TileState::clean;
}

bool zlib_clean(const unsigned char* zlib, std::size_t count) {
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) {
    return false;
  }
  unsigned char out[16384];
  stream.next_in = const_cast<unsigned char*>(zlib);
  stream.avail_in = static_cast<uInt>(count);
  int status = Z_OK;
  while (status == Z_OK) {
    stream.next_out = out;
    stream.avail_out = sizeof out;
    status = inflate(&stream, Z_NO_FLUSH);
  }
  const bool whole = status == Z_STREAM_END && stream.avail_in == 0;
  inflateEnd(&stream);
  return whole;
}

}  // namespace

TileCheck check_tile(bool tiz, unsigned char kind, const unsigned char* payload, std::size_t count,
                     TileLook look) {
  const auto whole = [](bool clean) { return clean ? TileCheck::whole : TileCheck::spoiled; };
  const auto jpeg_clean = [look](const unsigned char* jpeg, std::size_t bytes) {
    return look == TileLook::ends ? jpeg_ends(jpeg, bytes) : jpeg_decodes(jpeg, bytes);
  };
  if (!tiz) {
    return whole(jpeg_clean(payload, count));
  }
  switch (kind) {
    case '0':
      return whole(zlib_clean(payload, count));
    case '1': {
      if (count < 2) {
        return TileCheck::spoiled;
      }
      const std::size_t zlib = read_u16be(payload);
      return whole(zlib + 2 <= count && zlib_clean(payload + 2, zlib) &&
                   jpeg_clean(payload + 2 + zlib, count - 2 - zlib));
    }
    case '2':
      return whole(jpeg_clean(payload, count));
    default:
      return TileCheck::unknown;
  }
}

std::vector<Split> seam_splits(std::uint64_t origin, std::uint64_t record,
                               std::optional<std::uint64_t> length, std::uint64_t resumed,
                               std::span<const std::uint32_t> clusters) {
  std::vector<Split> splits;
  const auto add = [&](std::uint64_t end, std::uint64_t next) {
    const Split split{end, next};
    if (std::find(splits.begin(), splits.end(), split) == splits.end()) {
      splits.push_back(split);
    }
  };
  // The next piece comes after the one before, or lies wholly before the
  // container's start (an allocator that wrapped around the volume's end).
  const bool before = resumed <= origin;
  if (resumed <= record && !before) {
    return splits;
  }
  for (const std::uint32_t cluster : clusters) {
    const auto on_grid = [&](std::uint64_t offset) {
      return (offset >= origin ? offset - origin : origin - offset) % cluster == 0;
    };
    // The grid's first boundary past the record's first byte: a piece holds
    // at least that byte, or the break would have come a record sooner. The
    // next piece starts on the grid too, a cluster or more after it. (The
    // record itself lies before the container's start when its piece did.)
    const std::uint64_t first = record >= origin
                                    ? origin + (record - origin) / cluster * cluster + cluster
                                    : origin - (origin - record - 1) / cluster * cluster;
    const auto apart = [&](std::uint64_t next, std::uint64_t end) {
      return before || next >= end + cluster;
    };
    const std::uint64_t header_end = record + kRecordHeaderBytes;
    if (first < header_end) {
      // Inside the header: its last bytes and the payload, and nothing more,
      // come before `resumed`, so the next piece starts up to a largest
      // record before it.
      const std::uint64_t least = header_end - first;
      const std::uint64_t most = least + UINT16_MAX;
      if (resumed >= least) {
        const std::uint64_t latest = resumed - least;
        const std::uint64_t earliest = resumed > most ? resumed - most : 0;
        // The grid's last boundary at or before `latest`.
        const std::uint64_t off = latest >= origin
                                      ? (latest - origin) % cluster
                                      : (cluster - (origin - latest) % cluster) % cluster;
        std::uint64_t next = latest - std::min(off, latest);
        for (; off <= latest && next >= earliest && apart(next, first); next -= cluster) {
          add(first, next);
          if (next < cluster) {
            break;
          }
        }
      }
    }
    if (length && *length > kRecordHeaderBytes) {
      // Inside the payload: the record's last gap - end bytes start the
      // next piece.
      const std::uint64_t gap = record + *length;
      std::uint64_t end = first;
      if (end < header_end) {
        end += (header_end - end + cluster - 1) / cluster * cluster;
      }
      for (; end < gap; end += cluster) {
        const std::uint64_t tail = gap - end;
        if (resumed >= tail && on_grid(resumed - tail) && apart(resumed - tail, end)) {
          add(end, resumed - tail);
        }
      }
    }
  }
  return splits;
}
