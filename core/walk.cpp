#include "walk.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "bytes.h"
#include "chain.h"
#include "platform.h"

std::string describe_failure(const StreamFailure& failure) {
  if (failure.untagged) {
    return "its record does not start with TIL";
  }
  if (failure.error != 0) {
    return std::strerror(failure.error);
  }
  return "the file ends " + std::to_string(failure.got) + " bytes into a read of " +
         std::to_string(failure.count);
}

std::string describe_skip(std::uint64_t offset, std::uint64_t bytes) {
  return "skipped " + std::to_string(bytes) + " bytes at offset " + std::to_string(offset) +
         ": no intact record there";
}

RecordWalk::RecordWalk(RecordBuffer& in, int tiles, WalkOptions options)
    : in_(in), tiles_(tiles), options_(std::move(options)), chain_start_(stream_offset(in)) {}

bool RecordWalk::next(TileRecord& record) {
  while (!done_ && next_index_ < tiles_) {
    if (!options_.salvage) {
      if (!read_record_header(in_, next_index_, record) || !read_payload(in_, record)) {
        damaged_ = true;
        break;
      }
      ++next_index_;
      ++delivered_;
      return true;
    }
    std::uint64_t offset = 0;
    if (!take_salvaged(record, offset, true)) {
      break;
    }
    const int index = place(offset);
    if (index < 0) {
      damaged_ = true;
      if (options_.on_skip) {
        options_.on_skip(offset, kRecordHeaderBytes + std::uint64_t{record.payload_length});
      }
      continue;
    }
    record.index = index;
    ++delivered_;
    return true;
  }
  if (!done_ && options_.salvage && next_index_ < tiles_) {
    damaged_ = true;  // the file ran out before the last tile
  }
  done_ = true;
  return false;
}

// The next record believed, taken whole, with its offset; false at the end of
// the file.
bool RecordWalk::take_salvaged(TileRecord& record, std::uint64_t& offset, bool report) {
  for (;;) {
    offset = stream_offset(in_);
    if (look_ahead(in_, kRecordHeaderBytes) == 0) {
      return false;
    }
    // Before any damage the last tile's place is certain, so whatever follows
    // it (a trailer) does not make it doubtful.
    const bool last_tile = !damaged_ && next_index_ == tiles_ - 1;
    if (believable_here(last_tile)) {
      read_record_header(in_, next_index_, record);
      read_payload(in_, record);
      return true;
    }
    if (!resync(offset, report)) {
      return false;
    }
  }
}

bool RecordWalk::believable_here(bool last_tile) {
  std::size_t waiting = look_ahead(in_, kRecordHeaderBytes);
  if (waiting < kRecordHeaderBytes || !tag_at(in_.bytes + in_.begin)) {
    return false;
  }
  const std::size_t end = record_end(in_.bytes + in_.begin, 0);
  waiting = look_ahead(in_, end + sizeof kRecordTag);
  const unsigned char* bytes = in_.bytes + in_.begin;
  if (waiting < end) {
    return false;  // runs past the end of the file
  }
  if (waiting == end || last_tile || (waiting >= end + sizeof kRecordTag && tag_at(bytes + end))) {
    return true;
  }
  // Its length lands on no tag: the length is to blame when the bytes it
  // claims hold a chain of records, else what follows it is.
  waiting = look_ahead(in_, kRecordBufferBytes);
  bytes = in_.bytes + in_.begin;
  const std::size_t limit = std::min(waiting, end + 2);
  for (std::size_t at = find_tag(bytes, limit, 1); at < limit;
       at = find_tag(bytes, limit, at + 1)) {
    if (chain_at(bytes, waiting, in_.at_eof, at) == Chain::holds) {
      return false;
    }
  }
  return true;
}

// Passes over the bad record at `bad_at` to the next chain; false when none
// is left before the end of the file.
bool RecordWalk::resync(std::uint64_t bad_at, bool report) {
  damaged_ = true;
  skip_bytes(in_, 1);
  bool found = false;
  while (!found) {
    const std::size_t waiting = look_ahead(in_, kRecordBufferBytes);
    const unsigned char* bytes = in_.bytes + in_.begin;
    std::size_t at = find_tag(bytes, waiting, 0);
    Chain chain = Chain::broken;
    for (; at < waiting; at = find_tag(bytes, waiting, at + 1)) {
      chain = chain_at(bytes, waiting, in_.at_eof, at);
      if (chain == Chain::holds || (chain == Chain::unknown && at > 0)) {
        break;
      }
    }
    if (at < waiting) {
      // An unknown chain is looked at again with the bytes after it read.
      skip_bytes(in_, at);
      found = chain == Chain::holds;
    } else if (in_.at_eof) {
      skip_bytes(in_, waiting);
      break;
    } else {
      // A tag may begin in the last two bytes.
      skip_bytes(in_, waiting - std::min<std::size_t>(waiting, 2));
    }
  }
  if (report && options_.on_skip) {
    options_.on_skip(bad_at, stream_offset(in_) - bad_at);
  }
  if (found) {
    chain_start_ = stream_offset(in_);
    if (report && options_.anchor_end && !surveyed_) {
      survey();
    }
  }
  return found;
}

// Reads on to the end of the file to find the chain that reaches it, then
// returns to where the walk stood.
void RecordWalk::survey() {
  surveyed_ = true;
  const std::uint64_t resume = stream_offset(in_);
  if (platform::seek(in_.fd, 0, SEEK_CUR) < 0) {
    if (options_.on_note) {
      options_.on_note(
          "the input cannot be read twice, so the records after the damage are "
          "placed in order, after those before it");
    }
    return;
  }
  std::uint64_t start = resume;
  int count = 0;
  bool reaches_end = false;
  TileRecord record;
  std::uint64_t offset = 0;
  while (take_salvaged(record, offset, false)) {
    if (offset == chain_start_) {
      start = offset;
      count = 0;
    }
    ++count;
    reaches_end = look_ahead(in_, 1) == 0;
  }
  const bool read_whole = in_.failure.error == 0;
  if (platform::seek(in_.fd, static_cast<std::int64_t>(resume), SEEK_SET) < 0) {
    in_.failure = StreamFailure{0, errno, -1, false};
    in_.at_eof = true;
    return;
  }
  in_.begin = 0;
  in_.end = 0;
  in_.base = resume;
  in_.at_eof = false;
  chain_start_ = resume;
  if (reaches_end && read_whole) {
    final_start_ = start;
    final_count_ = count;
  }
}

// The tile for the record at `offset`; -1 when it has none left.
int RecordWalk::place(std::uint64_t offset) {
  if (offset == final_start_) {
    floor_ = next_index_;
    next_index_ = tiles_ - final_count_;
  } else if (offset < final_start_ && final_start_ != UINT64_MAX &&
             next_index_ >= tiles_ - final_count_) {
    return -1;  // the places before the final chain are all taken
  }
  const int index = next_index_++;
  return index < floor_ ? -1 : index;
}
