// Invariant: on any bytes the finder never crashes; every container it reports
// has its magic at its offset and a whole first record behind it, its pieces
// inside the input, apart, and adding up to its length, every record it
// keeps inside them, and no more tiles found than announced; and every container written out is
// read by the plain walk to its last announced record. The last input byte picks how the input
// arrives (bit 0: a stream, kept as it is read, else a file read again at offsets) and the size of
// each read (bits 1-3); the rest is the input.

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "extract.h"
#include "finder.h"
#include "harness.h"
#include "marks.h"
#include "moz.h"
#include "platform.h"
#include "seam.h"
#include "walk.h"

namespace {

// The walk of a written container reads every record it announces.
bool reads_to_the_end(const std::string& path) {
  static RecordBuffer in;
  in = RecordBuffer{};
  in.silent = true;
  in.fd = platform::open(path.c_str(), O_RDONLY);
  const unsigned char* header = in.fd >= 0 ? read_exact(in, kFileHeaderBytes) : nullptr;
  bool whole = false;
  if (header != nullptr) {
    const bool tiz = header[0] == 'T';
    const int tiles = tiz ? be16(header + 4)
                          : moz_tile_count(static_cast<std::int16_t>(be16(header + 4)),
                                           static_cast<std::int16_t>(be16(header + 6)));
    RecordWalk walk(in, tiles, WalkOptions{});
    TileRecord record;
    while (walk.next(record)) {
    }
    whole = !walk.damaged();
  }
  if (in.fd >= 0) {
    platform::close(in.fd);
  }
  return whole;
}

void check_found(const std::uint8_t* bytes, std::size_t size, const Found& found) {
  require(found.offset + 8 + 6 <= size,
          "a container whose header and record header are not in the input");
  const std::uint8_t* at = bytes + found.offset;
  require(std::memcmp(at, found.tiz ? "TIZ0" : "MOZ0", 4) == 0, "a container without its magic");
  require(std::memcmp(at + 8, "TIL", 3) == 0, "a container without a record behind its header");
  require(found.offset + 8 + 6 + be16(at + 12) <= size, "a first record past the input's end");
  require(found.found >= 0 && found.found <= found.announced, "more tiles found than announced");
  std::uint64_t length = 0;
  for (const Piece& piece : found.pieces) {
    require(piece.offset + piece.length <= size, "a piece past the input's end");
    length += piece.length;
  }
  require(!found.pieces.empty() && found.pieces.front().offset == found.offset &&
              length == found.length,
          "pieces that do not make up the container");
  // Every record written out comes from the container's own pieces, and no
  // two pieces share a byte.
  for (std::size_t i = 0; i < found.pieces.size(); ++i) {
    for (std::size_t j = i + 1; j < found.pieces.size(); ++j) {
      const Piece& a = found.pieces[i];
      const Piece& b = found.pieces[j];
      require(a.offset + a.length <= b.offset || b.offset + b.length <= a.offset,
              "pieces that overlap");
    }
  }
  for (const Run& run : found.runs) {
    for (const Piece& range : run.ranges) {
      bool inside = false;
      for (const Piece& piece : found.pieces) {
        inside = inside || (range.offset >= piece.offset &&
                            range.offset + range.length <= piece.offset + piece.length);
      }
      require(inside, "a record from bytes that are none of the container's pieces");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) {
    return 0;
  }
  const std::uint8_t mode = data[size - 1];
  --size;
  const bool stream = (mode & 1) != 0;
  const std::size_t read = std::size_t{1} << (4 + 2 * ((mode >> 1) & 7));  // 16 B to 256 MiB
  const bool marked =
      (mode & 0x10) != 0;  // the marks found as the bytes are read, as the tool does
  in_fuzz_directory([&] {
    const std::string input = "input.img";
    {
      const int fd = platform::open(input.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
      require(fd >= 0 && write_all(fd, data, size), "cannot write the input");
      platform::close(fd);
    }
    const int again = stream ? -1 : platform::open(input.c_str(), O_RDONLY);
    Extractor extractor;
    std::string error;
    require(extractor.open("out", error), "cannot make the output folder");
    extractor.begin_input("input.img", again);
    std::vector<Found> found;
    Finder::Hooks hooks;
    hooks.found = [&](Found&& one) {
      check_found(data, size, one);
      require(extractor.write(one, error), "a container that cannot be written");
      found.push_back(std::move(one));
    };
    hooks.capture = [&](std::uint64_t container, const unsigned char* bytes, std::size_t count) {
      extractor.capture(container, bytes, count);
    };
    if (!stream) {
      hooks.read_at = [&](std::uint64_t offset, unsigned char* bytes, std::size_t count) {
        if (offset + count > size) {
          return false;
        }
        std::memcpy(bytes, data + offset, count);
        return true;
      };
    }
    hooks.tile_holds = check_tile;
    Finder finder(std::move(hooks),
                  stream ? std::vector<std::uint32_t>{} : std::vector<std::uint32_t>{512, 4096});
    // The window the tools keep: from the first offset not decided to what
    // has been read.
    std::uint64_t base = 0;
    std::size_t held = 0;
    Marks marks;
    for (;;) {
      held = static_cast<std::size_t>(std::min<std::uint64_t>(size - base, held + read));
      const bool ends = base + held == size;
      if (marked) {
        mark_through(data + base, base, base + held, marks);
      }
      const std::uint64_t keep_from =
          finder.feed(data + base, base, held, ends, marked ? &marks : nullptr);
      if (ends) {
        break;
      }
      held -= static_cast<std::size_t>(keep_from - base);
      base = keep_from;
      marks.forget_before(keep_from);
    }
    extractor.end_input();
    require(extractor.commit(error), "the containers cannot be moved into place");
    for (const Found& one : found) {
      const std::string name =
          "out/input.img@" + std::to_string(one.offset) + (one.tiz ? ".tiz" : ".moz");
      require(reads_to_the_end(name), "a container written out that does not read to its end");
      unlink(name.c_str());
    }
    rmdir("out");
    if (again >= 0) {
      platform::close(again);
    }
    unlink(input.c_str());
  });
  return 0;
}
