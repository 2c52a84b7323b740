// Invariant: on any bytes, moz-pack's picture readers either refuse the
// picture or make a MOZ whose header has a size from 1 to 32767 a side and
// whose records, exactly as many as that size asks and nothing after them,
// each hold a tile. The last input byte picks --reencode (bit 0); the rest is
// the picture, PNG, JPEG or TIFF.

#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "cut.h"
#include "harness.h"
#include "moz.h"

static int memfd_with(const std::uint8_t* data, std::size_t size) {
  const int fd = memfd_create("picture", 0);
  require(
      fd >= 0 && write(fd, data, size) == static_cast<ssize_t>(size) && lseek(fd, 0, SEEK_SET) == 0,
      "cannot stage the input");
  return fd;
}

// The MOZ written holds exactly the records its size asks.
static bool whole_moz(int fd) {
  std::vector<unsigned char> bytes(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)));
  if (bytes.size() < 8 ||
      pread(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
    return false;
  }
  const auto width = static_cast<std::int16_t>(be16(&bytes[4]));
  const auto height = static_cast<std::int16_t>(be16(&bytes[6]));
  if (std::memcmp(bytes.data(), "MOZ0", 4) != 0 || width < 1 || height < 1) {
    return false;
  }
  std::size_t at = 8;
  for (int tile = 0; tile < moz_tile_count(width, height); ++tile) {
    if (bytes.size() - at < 6 || std::memcmp(&bytes[at], "TIL", 3) != 0) {
      return false;
    }
    const std::size_t length = be16(&bytes[at + 4]);
    if (length == 0 || bytes.size() - at - 6 < length) {
      return false;
    }
    at += 6 + length;
  }
  return at == bytes.size();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const int in = memfd_with(data, size - 1);
  const int out = memfd_create("moz", 0);
  require(out >= 0, "cannot stage the output");
  Console quiet(nullptr, true);
  const CutRun run{"picture", 90, (data[size - 1] & 1) != 0, Rgb{}, quiet};
  if (cut_picture(in, out, run)) {
    require(whole_moz(out), "a MOZ that does not hold the picture's tiles");
  }
  close(in);
  close(out);
  return 0;
}
