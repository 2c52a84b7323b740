#include "source.h"

#include <cstring>

#include "output.h"
#include "platform.h"
#include "walk.h"

// A band's payloads are copied into its batch up to this much; a typical band
// of 512 tiles holds one to three megabytes, but a hostile one could hold 32.
static constexpr std::size_t kBatchBytes = std::size_t{2} << 20;

bool open_picture(const char* path, RecordBuffer& in, MozHeader& header, Console& console) {
  in.silent = true;  // the tool words its own diagnostics
  in.fd = platform::open(path, O_RDONLY);
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
    fail_run(in);
    return false;
  }
  if (header.width < 1 || header.height < 1) {
    console.say("%s holds no picture: its size is %d x %d", path, header.width, header.height);
    fail_run(in);
    return false;
  }
  return true;
}

std::vector<unsigned char> read_first_tile(const char* path) {
  static RecordBuffer in;
  in = RecordBuffer{};
  in.silent = true;
  in.fd = platform::open(path, O_RDONLY);
  std::vector<unsigned char> payload;
  MozHeader header;
  if (in.fd >= 0 && read_moz_header(in, header) && header.tiles > 0) {
    RecordWalk walk(in, header.tiles, WalkOptions{});
    TileRecord record;
    if (walk.next(record) && record.index == 0) {
      payload.assign(record.payload, record.payload + record.payload_length);
    }
  }
  if (in.fd >= 0) {
    platform::close(in.fd);
  }
  return payload;
}

TileSource::TileSource(RecordBuffer& in, const Grid& grid, const char* name, Console& console,
                       bool salvage)
    : in_(in),
      walk_(in, grid.tiles(),
            WalkOptions{
                salvage, true,
                [this](std::uint64_t offset, std::uint64_t bytes) {
                  console_.say("%s: %s", name_, describe_skip(offset, bytes).c_str());
                },
                [this](const std::string& note) { console_.say("%s: %s", name_, note.c_str()); }}),
      grid_(grid),
      name_(name),
      console_(console),
      salvage_(salvage) {}

int TileSource::next_band(TileBatch& batch, const Handler& now) {
  batch.bytes.clear();
  batch.bytes.reserve(kBatchBytes);  // pages are touched only as payloads arrive
  batch.tiles.clear();
  const std::lock_guard<std::mutex> lock(mutex_);
  if (next_band_ >= grid_.rows || interruption() != 0) {
    return -1;
  }
  const int band = next_band_++;
  const int end = (band + 1) * grid_.columns;
  for (;;) {
    if (!has_pending_ && !ended_) {
      has_pending_ = walk_.next(pending_);
      if (!has_pending_) {
        ended_ = true;
        report_end();
      }
    }
    if (!has_pending_ || pending_.index >= end) {
      break;
    }
    has_pending_ = false;
    ++read_;
    const std::size_t size = pending_.payload_length;
    if (batch.bytes.size() + size > kBatchBytes) {
      now(pending_.index, pending_.payload, size);
      continue;
    }
    batch.tiles.push_back({pending_.index, batch.bytes.size(), size});
    batch.bytes.insert(batch.bytes.end(), pending_.payload, pending_.payload + size);
  }
  console_.advance(read_);
  return band;
}

int TileSource::missing() const { return grid_.tiles() - read_; }

void TileSource::report_end() {
  const int total = grid_.tiles();
  if (!salvage_ && walk_.damaged()) {
    const int tile = walk_.broke_at();
    console_.say("%s breaks off at tile %d of %d: %s", name_, tile, total,
                 describe_failure(in_.failure).c_str());
    console_.say("the %d tiles from tile %d on are left gray", total - tile, tile);
  } else if (walk_.damaged() && total > walk_.delivered()) {
    console_.say("%s: %d of its %d tiles were not found and are left gray", name_,
                 total - walk_.delivered(), total);
  }
}
