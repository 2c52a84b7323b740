#include "zlib_part.h"

#include <zlib.h>

#include <cerrno>
#include <cstring>

#include "platform.h"
#include "tiles.h"

namespace {

constexpr std::size_t kBlock = std::size_t{64} * 1024;

struct Inflater {
  z_stream stream{};
  bool ready = inflateInit(&stream) == Z_OK;
  ~Inflater() { inflateEnd(&stream); }
};

struct Deflater {
  z_stream stream{};
  bool ready = deflateInit(&stream, 9) == Z_OK;
  ~Deflater() { deflateEnd(&stream); }
};

}  // namespace

Inflated inflate_into(const unsigned char* zlib, std::size_t size, int fd, std::string& why) {
  Inflater inflater;
  if (!inflater.ready) {
    why = "out of memory";
    return Inflated::not_zlib;
  }
  z_stream& stream = inflater.stream;
  stream.next_in = const_cast<unsigned char*>(zlib);
  stream.avail_in = static_cast<uInt>(size);
  unsigned char block[kBlock];
  int status = Z_OK;
  while (status == Z_OK) {
    stream.next_out = block;
    stream.avail_out = sizeof block;
    status = inflate(&stream, Z_NO_FLUSH);
    const std::size_t made = sizeof block - stream.avail_out;
    if ((status == Z_OK || status == Z_STREAM_END) && !write_all(fd, block, made)) {
      return Inflated::unwritten;
    }
    if (status == Z_OK && made == 0 && stream.avail_in == 0) {
      status = Z_BUF_ERROR;  // the stream stops short
    }
  }
  if (status != Z_STREAM_END) {
    why = stream.msg != nullptr ? stream.msg : "the zlib stream stops short";
    return Inflated::not_zlib;
  }
  if (stream.avail_in != 0) {
    why = std::to_string(stream.avail_in) + " bytes follow the zlib stream";
    return Inflated::not_zlib;
  }
  return Inflated::whole;
}

bool deflate_from(int fd, std::size_t limit, std::vector<unsigned char>& out, std::string& why) {
  Deflater deflater;
  if (!deflater.ready) {
    why = "out of memory";
    return false;
  }
  z_stream& stream = deflater.stream;
  out.assign(limit + 1, 0);
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  unsigned char block[kBlock];
  int status = Z_OK;
  while (status == Z_OK) {
    const long long got = read_some(fd, block, sizeof block);
    if (got < 0) {
      why = std::strerror(errno);
      return false;
    }
    stream.next_in = block;
    stream.avail_in = static_cast<uInt>(got);
    status = deflate(&stream, got == 0 ? Z_FINISH : Z_NO_FLUSH);
    if (stream.avail_out == 0 && status != Z_STREAM_END) {
      why = "it deflates to more than " + std::to_string(limit) + " bytes";
      return false;
    }
  }
  if (status != Z_STREAM_END) {
    why = "deflate failed";
    return false;
  }
  out.resize(out.size() - stream.avail_out);
  return true;
}
