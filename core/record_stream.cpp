#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform.h"
#include "tiles.h"

static_assert(kRecordBufferBytes >= std::size_t{UINT16_MAX},
              "any payload must fit the buffer whole");

int open_input(int argc, char** argv) {
  if (argc != 2) {
    return -1;
  }
  // Lines go out in large blocks, or line by line to a terminal. The buffer
  // is given, not just its size: musl keeps its own 1 KiB one otherwise.
  static char output[std::size_t{1} << 16];
  if (!platform::is_terminal(STDOUT_FILENO)) {
    std::setvbuf(stdout, output, _IOFBF, sizeof output);
  }
  const int fd = platform::open(argv[1], O_RDONLY);
  if (fd < 0) {
    std::printf("Couldn't open %s\n", argv[1]);
  }
  return fd;
}

static const unsigned char* read_failed(RecordBuffer& in, std::uint16_t count, int error,
                                        long got) {
  in.failure = StreamFailure{count, error, got, false};
  if (!in.silent) {
    std::printf("Read of %d bytes failed: %d (got %ld)!\n", int{count}, error, got);
  }
  return nullptr;
}

// Reads until `count` bytes wait from `begin` on or the file ends; the errno
// of a read that failed, else 0.
static int fill(RecordBuffer& in, std::size_t count) {
  if (in.begin + count > sizeof in.bytes) {
    // Move the part-record left over from the last fill to the front; it is
    // less than one request, so this never copies a payload that was handed out.
    std::memmove(in.bytes, in.bytes + in.begin, in.end - in.begin);
    in.base += in.begin;
    in.end -= in.begin;
    in.begin = 0;
  }
  // Each read asks for all the room there is but takes what it gets, so a pipe
  // or terminal is never waited on for bytes this request does not need.
  while (in.end - in.begin < count && !in.at_eof) {
    // Cleared so that the code reported is this read's, never one left behind
    // by some earlier call (a tile file that would not open, say).
    errno = 0;
    const long long got = read_some(in.fd, in.bytes + in.end, sizeof in.bytes - in.end);
    if (got < 0) {
      return errno;
    }
    in.end += static_cast<std::size_t>(got);
    in.at_eof = got == 0;
  }
  return 0;
}

const unsigned char* gather_exact(RecordBuffer& in, std::uint16_t count) {
  const int error = fill(in, count);
  if (error != 0) {
    return read_failed(in, count, error, -1);
  }
  if (in.end - in.begin < count) {
    return read_failed(in, count, 0, static_cast<long>(in.end - in.begin));
  }
  return read_exact(in, count);
}

std::size_t look_ahead(RecordBuffer& in, std::size_t count) {
  const int error = fill(in, count < sizeof in.bytes ? count : sizeof in.bytes);
  if (error != 0) {
    // What could not be read is taken as the end of the file; the walk says why.
    in.failure = StreamFailure{static_cast<int>(count), error, -1, false};
    in.at_eof = true;
  }
  return in.end - in.begin;
}

const unsigned char* read_file_header(RecordBuffer& in, const char* magic,
                                      const char* wrong_magic_line) {
  const unsigned char* header = read_exact(in, kFileHeaderBytes);
  if (header != nullptr && std::memcmp(header, magic, 4) != 0) {
    if (!in.silent) {
      std::puts(wrong_magic_line);
    }
    return nullptr;
  }
  return header;
}

bool report_untagged(RecordBuffer& in, int tile) {
  in.failure = StreamFailure{kRecordHeaderBytes, 0, kRecordHeaderBytes, true};
  if (!in.silent) {
    std::printf("Tile %d does not start with TIL\n", tile);
  }
  return false;
}

int fail_run(RecordBuffer& in) {
  platform::close(in.fd);
  in.fd = -1;
  return 1;
}

int finish_output(const RecordBuffer& in, int status, const char* program) {
  errno = 0;
  const bool flushed = std::fflush(stdout) == 0;
  if (flushed && !std::ferror(stdout)) {
    return status;
  }
  const int error = !flushed && errno != 0 ? errno : in.output_error != 0 ? in.output_error : EIO;
  const char* why = std::strerror(error);
  std::fprintf(stderr, "%s: writing standard output failed: %s\n",
               program != nullptr ? program : "tiletools", why);
  return 1;
}
