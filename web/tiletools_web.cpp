// The page's WebAssembly: the container tools' own walks and moz-stitch's PNG
// writer, run by the workers that hold the chosen file. It is built for
// wasm32-wasi as a reactor (no main): the workers call these exports, and
// the WASI layer hands the file over as "input", gathers standard output and
// takes the tile files save_tile writes. It is also compiled natively, so the
// compilers and clang-tidy check it like every other source and the tests
// call it.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "halve.h"
#include "moz.h"
#include "png.h"
#include "tiz.h"

#if defined(__wasm__)
#define TT_EXPORT(name) extern "C" __attribute__((export_name(#name)))
// Where a MOZ listing found tile `index`'s payload: the page decodes the
// tile from those bytes of the file when the picture needs it.
extern "C" __attribute__((import_module("tiletools"), import_name("tile"))) void tt_tile(
    int index, double offset, int bytes);
#else
#define TT_EXPORT(name) extern "C"
// Natively, the program that links this file says what becomes of the places.
extern "C" void tt_tile(int index, double offset, int bytes);
#endif

namespace {

enum Tool { kListTiz = 0, kSaveTiz = 1, kListMoz = 2, kSaveMoz = 3 };

// One run at a time, as in a tool; the buffer is too large for the stack.
RecordBuffer in;

void start_run() {
  in.fd = -1;
  in.begin = 0;
  in.end = 0;
  in.base = 0;
  in.at_eof = false;
  in.silent = false;
  in.failure = StreamFailure{};
  in.output_error = 0;
}

// The last piece of PNG made, until the page has copied it out: the head or
// the tail in `framing`, a band in the compressor's own chunk.
std::vector<unsigned char> framing;
std::span<const unsigned char> piece;
PngBandCompressor* compressor = nullptr;
PngFrame frame;

}  // namespace

// Runs a tool's walk over "input", exactly as the tool would: its lines go to
// standard output, its tile files into the current folder. The exit status.
TT_EXPORT(tt_run) int tt_run(int tool) {
  char program[] = "tiletools";
  char path[] = "input";
  char* argv[] = {program, path, nullptr};
  start_run();
  in.fd = open_input(2, argv);
  int status = 1;
  if (in.fd >= 0) {
    switch (tool) {
      case kListTiz:
        status = list_tiz(in);
        break;
      case kSaveTiz:
        status = save_tiz(in);
        break;
      case kListMoz:
        status = list_moz(in, [](const TileRecord& record) {
          const std::uint64_t offset = stream_offset(in) - record.payload_length;
          tt_tile(record.index, static_cast<double>(offset), record.payload_length);
        });
        break;
      case kSaveMoz:
        status = save_moz(in);
        break;
      default:
        break;
    }
  }
  status = finish_output(in, status, program);
  if (in.fd >= 0) {
    fail_run(in);  // closes the input; a page runs many walks
  }
  return status;
}

// Memory the page fills with pixels.
TT_EXPORT(tt_alloc) unsigned char* tt_alloc(int bytes) {
  return static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(bytes)));
}
TT_EXPORT(tt_free) void tt_free(unsigned char* bytes) { std::free(bytes); }

// The browser decodes into RGBA; the picture work here is on RGB, as the
// tools'. In place, front to back.
TT_EXPORT(tt_rgba_to_rgb) void tt_rgba_to_rgb(unsigned char* pixels, int count) {
  for (std::size_t p = 0, n = static_cast<std::size_t>(count); p < n; ++p) {
    pixels[3 * p] = pixels[4 * p];
    pixels[3 * p + 1] = pixels[4 * p + 1];
    pixels[3 * p + 2] = pixels[4 * p + 2];
  }
}

TT_EXPORT(tt_rgb_to_rgba)
void tt_rgb_to_rgba(const unsigned char* rgb, unsigned char* rgba, int count) {
  for (std::size_t p = 0, n = static_cast<std::size_t>(count); p < n; ++p) {
    rgba[4 * p] = rgb[3 * p];
    rgba[4 * p + 1] = rgb[3 * p + 1];
    rgba[4 * p + 2] = rgb[3 * p + 2];
    rgba[4 * p + 3] = 0xff;
  }
}

// The pyramid's halving, for the overview's coarser levels and the smaller PNGs.
TT_EXPORT(tt_halve)
void tt_halve(unsigned char* from, int width, int height, int from_stride, unsigned char* to,
              int to_stride) {
  halve(Pixels{from, from_stride, width, height},
        Pixels{to, to_stride, (width + 1) / 2, (height + 1) / 2});
}

// The PNG as moz-stitch writes it, a band at a time: the head, then each band
// of RGB rows in order, then the tail. Each returns the piece to copy out
// (tt_piece_size bytes), or null when zlib fails.
TT_EXPORT(tt_piece_size) int tt_piece_size() { return static_cast<int>(piece.size()); }

TT_EXPORT(tt_png_head) const unsigned char* tt_png_head(int width, int height) {
  delete compressor;
  compressor = new PngBandCompressor();
  frame = PngFrame{};
  framing = PngFrame::head(width, height);
  piece = framing;
  return piece.data();
}

TT_EXPORT(tt_png_band)
const unsigned char* tt_png_band(unsigned char* rgb, int width, int height, int first, int last) {
  if (compressor == nullptr ||
      !compressor->compress(Pixels{rgb, width * 3, width, height}, first != 0, last != 0)) {
    piece = {};
    return nullptr;
  }
  frame.add(*compressor);
  piece = compressor->chunk();
  return piece.data();
}

TT_EXPORT(tt_png_tail) const unsigned char* tt_png_tail() {
  framing = frame.tail();
  piece = framing;
  delete compressor;
  compressor = nullptr;
  return piece.data();
}
