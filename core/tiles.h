#pragma once

// The record stream shared by the TIZ and MOZ tools, and the tile files the
// extractors write.
//
// A container is an 8-byte file header and then tile records, back to back:
//
//   record  = tag kind length payload
//   tag     = "TIL"                  3 bytes, case-sensitive
//   kind    = 1 byte                 TIZ: the method; MOZ: not looked at
//   length  = unsigned 16-bit, big-endian, payload bytes only
//   payload = length bytes
//
// The header says how many records there are; nothing after them is looked at.

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "bytes.h"
#include "exact_io.h"

inline constexpr std::uint16_t kFileHeaderBytes = 8;
inline constexpr std::uint16_t kRecordHeaderBytes = 6;
inline constexpr unsigned char kRecordTag[3] = {'T', 'I', 'L'};
// The length field's limit.
inline constexpr std::size_t kLargestPayload = UINT16_MAX;

// A record's header, for a payload of `length` bytes.
inline void make_record_header(unsigned char (&header)[kRecordHeaderBytes], unsigned char kind,
                               std::uint16_t length) {
  std::memcpy(header, kRecordTag, sizeof kRecordTag);
  header[3] = kind;
  write_u16be(header + 4, length);
}

// Large enough that a file of small tiles costs one read per 256 KiB rather
// than two per record, and four times the largest payload (65,535 bytes, the
// length field's limit), so any payload is handed out whole and in place.
inline constexpr std::size_t kRecordBufferBytes = std::size_t{256} * 1024;

// Why the stream stopped, for tools that word their own diagnostics: the
// request's size, errno (0 at end of file) and the bytes got (-1 on an error);
// `untagged` when a record header lacked its tag instead.
struct StreamFailure {
  int count = 0;
  int error = 0;
  long got = 0;
  bool untagged = false;
};

// The one buffer of a run: it is filled by large reads, and each request
// (file header, record header, payload) is handed out from it in place. It is
// too large for a small stack, so the tools give it static storage.
struct RecordBuffer {
  int fd = -1;
  std::size_t begin = 0;   // first byte not yet handed out
  std::size_t end = 0;     // one past the last byte read
  std::uint64_t base = 0;  // the file offset of bytes[0]
  bool at_eof = false;
  // The container tools print the failure lines on standard output; the
  // picture tools keep them silent and word `failure` themselves.
  bool silent = false;
  StreamFailure failure;
  // errno of the first write of standard output seen to fail: some C libraries
  // drop what they could not write, so a flush at the end would not say why.
  int output_error = 0;
  unsigned char bytes[kRecordBufferBytes];
};

struct TileRecord {
  int index = 0;
  unsigned char kind = 0;
  std::uint16_t payload_length = 0;
  const unsigned char* payload = nullptr;  // inside the RecordBuffer, valid until the next read
};

// The input path, opened read-only; -1 when the arguments are not exactly one
// path (silently) or the path cannot be opened ("Couldn't open ...").
int open_input(int argc, char** argv);

// Refills the buffer until `count` bytes are there, then hands them out. On a
// short file or a read error it prints the failure line and returns nullptr.
const unsigned char* gather_exact(RecordBuffer& in, std::uint16_t count);

// The next `count` bytes of the input, gathered over as many reads as it takes.
// Inline, since nearly every request is served from the buffer as it stands.
inline const unsigned char* read_exact(RecordBuffer& in, std::uint16_t count) {
  if (in.end - in.begin < count) {
    return gather_exact(in, count);
  }
  const unsigned char* bytes = in.bytes + in.begin;
  in.begin += count;
  return bytes;
}

// Makes `count` bytes (at most the buffer's size) wait from `begin` on, or all
// that is left of the file, without taking them; how many wait. A read that
// fails ends the file there, with `failure` saying why.
std::size_t look_ahead(RecordBuffer& in, std::size_t count);

// Takes `count` bytes of those waiting, unread.
inline void skip_bytes(RecordBuffer& in, std::size_t count) { in.begin += count; }

// The file offset of the next byte to be handed out.
inline std::uint64_t stream_offset(const RecordBuffer& in) { return in.base + in.begin; }

// The 8-byte file header, when it is all there and begins with `magic` (four
// bytes, the version character last); otherwise nullptr, after the read failure
// line or `wrong_magic_line`.
const unsigned char* read_file_header(RecordBuffer& in, const char* magic,
                                      const char* wrong_magic_line);

// Reports that tile `tile` lacks its tag; false.
bool report_untagged(RecordBuffer& in, int tile);

// The record header of tile `tile`: false, with the failure line printed, when
// it is short or does not carry the tag. Inline with read_exact, as a file of
// small tiles spends its time here.
inline bool read_record_header(RecordBuffer& in, int tile, TileRecord& record) {
  const unsigned char* header = read_exact(in, kRecordHeaderBytes);
  if (header == nullptr) {
    return false;
  }
  if (std::memcmp(header, kRecordTag, sizeof kRecordTag) != 0) {
    return report_untagged(in, tile);
  }
  record.index = tile;
  record.kind = header[3];
  record.payload_length = read_u16be(header + 4);
  return true;
}

// The payload announced by the record header, whole.
inline bool read_payload(RecordBuffer& in, TileRecord& record) {
  record.payload = read_exact(in, record.payload_length);
  return record.payload != nullptr;
}

// Closes the input; the status every failed run ends with.
int fail_run(RecordBuffer& in);

// The exit status of a run that ended with `status`, once standard output is
// flushed: 1 with a line on standard error when any of it could not be
// written, since the lines are the tool's result.
int finish_output(const RecordBuffer& in, int status, const char* program);

// Notes why standard output failed, the first time it does.
inline void note_output_error(RecordBuffer& in) {
  if (in.output_error == 0 && std::ferror(stdout) != 0) {
    in.output_error = errno != 0 ? errno : EIO;
  }
}

// Reads `tiles` records in turn and hands each to `on_record`; 0 after the last
// (or at once when there are none), fail_run's status at the first bad record.
template <typename OnRecord>
int walk_records(RecordBuffer& in, int tiles, OnRecord on_record) {
  for (int tile = 0; tile < tiles; ++tile) {
    TileRecord record;
    if (!read_record_header(in, tile, record) || !read_payload(in, record)) {
      return fail_run(in);
    }
    on_record(record);
    note_output_error(in);
  }
  return 0;
}

// "tile%04d.jpg"; seven digits fit, and no index of either format needs more than six.
inline constexpr std::size_t kTileNameBytes = 16;
void tile_file_name(int tile, char (&name)[kTileNameBytes]);

// Writes `count` bytes as the tile's file in the current directory, replacing
// any earlier file of that name. Prints "Saving <name>" and a newline, or
// " failed!" when the write does not complete; prints nothing when the file
// cannot be opened. Never a failure of the run.
void save_tile(int tile, const unsigned char* bytes, std::size_t count);

// The line of a tile whose data cannot be saved, for when no file is opened at all.
void report_failed_save(int tile);
