#include "source.h"

#include <fcntl.h>

#include <cstring>

#include "output.h"
#include "walk.h"

// A band's payloads are copied into its batch up to this much; a typical band
// of 512 tiles holds one to three megabytes, but a hostile one could hold 32.
static constexpr std::size_t kBatchBytes = std::size_t{2} << 20;

bool open_picture(const char* path, RecordBuffer& in, MozHeader& header, Console& console) {
  in.silent = true;  // the tool words its own diagnostics
  in.fd = open(path, O_RDONLY);
  if (in.fd < 0) {
    console.say("cannot open %s: %s", path, std::strerror(errno));
    return false;
  }
  if (!read_moz_header(in, header)) {
    if (in.failure.error != 0) {
      console.say("cannot read %s: %s", path, std::strerror(in.failure.error));
    } else {
      console.say("%s is not a MOZ file", path);
    }
    return false;
  }
  if (header.width < 1 || header.height < 1) {
    console.say("%s holds no picture: its size is %d x %d", path, header.width, header.height);
    return false;
  }
  return true;
}

TileSource::TileSource(RecordBuffer& in, const Grid& grid, const char* name, Console& console)
    : in_(in), grid_(grid), name_(name), console_(console) {}

int TileSource::next_band(TileBatch& batch, const Handler& now) {
  batch.bytes.clear();
  batch.bytes.reserve(kBatchBytes);  // pages are touched only as payloads arrive
  batch.tiles.clear();
  const std::lock_guard<std::mutex> lock(mutex_);
  if (next_band_ >= grid_.rows || interruption() != 0) {
    return -1;
  }
  const int band = next_band_++;
  const int first = band * grid_.columns;
  for (int index = first; index < first + grid_.columns && !broken_; ++index) {
    TileRecord record;
    if (!read_record_header(in_, index, record) || !read_payload(in_, record)) {
      report_break(index);
      break;
    }
    ++read_;
    const std::size_t size = record.payload_length;
    if (batch.bytes.size() + size > kBatchBytes) {
      now(index, record.payload, size);
      continue;
    }
    batch.tiles.push_back({index, batch.bytes.size(), size});
    batch.bytes.insert(batch.bytes.end(), record.payload, record.payload + size);
  }
  console_.advance(read_);
  return band;
}

int TileSource::missing() const { return grid_.tiles() - read_; }

void TileSource::report_break(int tile) {
  broken_ = true;
  const StreamFailure& why = in_.failure;
  const int total = grid_.tiles();
  console_.say("%s breaks off at tile %d of %d: %s", name_, tile, total,
               describe_failure(why).c_str());
  console_.say("the %d tiles from tile %d on are left gray", total - tile, tile);
}
