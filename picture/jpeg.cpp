#include "jpeg.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "jpeg_trap.h"

// A MOZ tile is 64 pixels on a side; anything far larger is no tile and would
// only cost memory and time, so it is refused as undecodable.
static constexpr unsigned kLargestTileEdge = 1024;

// libjpeg-turbo's SIMD colour conversion writes a row that starts on this
// boundary with non-temporal stores, which go around the cache. A tile's
// rows land in a band that is read again at once (halved, filtered into the
// PNG, encoded), so a row whose place starts there is decoded off it, in the
// decoder's own row, and copied: one large block from an allocator that
// aligns it made moz-deepzoom half again as slow as with one that does not.
static constexpr std::uintptr_t kStreamingAlignment = 32;

void fill_gray(const Pixels& area) {
  for (int y = 0; y < area.height; ++y) {
    std::memset(area.data + static_cast<std::ptrdiff_t>(y) * area.stride, kGray,
                static_cast<std::size_t>(area.width) * 3);
  }
}

struct TileDecoder::State {
  jpeg_decompress_struct info;
  ErrorTrap trap;
  jpeg_progress_mgr progress;
  bool ready;
  // A row that does not land whole in its cell, or whose place there starts
  // on the streaming boundary; it starts half way between two.
  alignas(kStreamingAlignment) unsigned char row_space[std::size_t{kLargestTileEdge} * 3 +
                                                       kStreamingAlignment];
  unsigned char* row() { return row_space + kStreamingAlignment / 2; }
};

// Everything between setjmp and a longjmp out of the library is plain data,
// so nothing is skipped that would need unwinding. Returns the tile's state
// with its size at the scale; the cell is written as rows arrive.
static TileState decode_tile(TileDecoder::State& s, const unsigned char* jpeg, std::size_t bytes,
                             int scale, const Pixels& cell, int& width, int& height) {
  jpeg_decompress_struct& info = s.info;
  set_trap(s.trap);
  if (setjmp(s.trap.jump) != 0) {
    jpeg_abort_decompress(&info);
    return TileState::undecodable;
  }
  jpeg_mem_src(&info, jpeg, static_cast<unsigned long>(bytes));
  jpeg_read_header(&info, TRUE);
  if (info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK) {
    std::snprintf(s.trap.message, sizeof s.trap.message, "a four-component (CMYK) JPEG");
    jpeg_abort_decompress(&info);
    return TileState::undecodable;
  }
  if (info.image_width > kLargestTileEdge || info.image_height > kLargestTileEdge) {
    std::snprintf(s.trap.message, sizeof s.trap.message,
                  "a JPEG of %u x %u pixels, far larger than a tile", info.image_width,
                  info.image_height);
    jpeg_abort_decompress(&info);
    return TileState::undecodable;
  }
  info.out_color_space = JCS_RGB;
  info.scale_num = 1;
  info.scale_denom = static_cast<unsigned>(scale);
  info.progress = &s.progress;
  jpeg_start_decompress(&info);
  width = static_cast<int>(info.output_width);
  height = static_cast<int>(info.output_height);
  const auto visible = static_cast<std::size_t>(width < cell.width ? width : cell.width) * 3;
  while (info.output_scanline < info.output_height) {
    const int y = static_cast<int>(info.output_scanline);
    unsigned char* into = cell.data + static_cast<std::ptrdiff_t>(y) * cell.stride;
    const bool direct = y < cell.height && width <= cell.width &&
                        reinterpret_cast<std::uintptr_t>(into) % kStreamingAlignment != 0;
    JSAMPROW row = direct ? into : s.row();
    jpeg_read_scanlines(&info, &row, 1);
    if (!direct && y < cell.height) {
      std::memcpy(into, s.row(), visible);
    }
  }
  jpeg_finish_decompress(&info);
  return s.trap.warned ? TileState::damaged : TileState::clean;
}

TileDecoder::TileDecoder() : state_(new State) {
  set_trap(state_->trap);
  state_->info.err = &state_->trap.manager;
  state_->progress = {};
  state_->progress.progress_monitor = limit_scans;
  state_->ready = false;
  if (setjmp(state_->trap.jump) == 0) {
    jpeg_create_decompress(&state_->info);
    state_->ready = true;
  }
}

TileDecoder::~TileDecoder() {
  if (state_->ready) {
    jpeg_destroy_decompress(&state_->info);
  }
  delete state_;
}

TileState TileDecoder::decode(const unsigned char* jpeg, std::size_t bytes, int scale,
                              const Pixels& cell, std::string& reason, int& width, int& height) {
  width = 0;
  height = 0;
  TileState state = TileState::undecodable;
  if (state_->ready) {
    state = decode_tile(*state_, jpeg, bytes, scale, cell, width, height);
  } else {
    std::snprintf(state_->trap.message, sizeof state_->trap.message, "out of memory");
  }
  if (state != TileState::clean) {
    reason = state_->trap.message;
  }
  if (state == TileState::undecodable) {
    fill_gray(cell);
    width = 0;
    height = 0;
  }
  return state;
}

struct TileEncoder::State {
  jpeg_compress_struct info;
  ErrorTrap trap;
  bool ready;
  int quality;
  bool optimize;
  TileShape shape;
  // Where tiles are encoded, kept from one tile to the next: the library
  // writes into it, and replaces it with a larger one of its own when a tile
  // outgrows it.
  unsigned char* buffer;
  unsigned long capacity;
  unsigned long size;
};

static bool encode_tile(TileEncoder::State& s, const Pixels& pixels) {
  jpeg_compress_struct& info = s.info;
  set_trap(s.trap);
  if (setjmp(s.trap.jump) != 0) {
    jpeg_abort_compress(&info);
    return false;
  }
  unsigned char* kept = s.buffer;
  s.size = s.capacity;
  jpeg_mem_dest(&info, &s.buffer, &s.size);
  info.image_width = static_cast<JDIMENSION>(pixels.width);
  info.image_height = static_cast<JDIMENSION>(pixels.height);
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  if (s.shape.components == 1) {
    jpeg_set_colorspace(&info, JCS_GRAYSCALE);
  } else {
    info.comp_info[0].h_samp_factor = s.shape.h;
    info.comp_info[0].v_samp_factor = s.shape.v;
  }
  info.write_JFIF_header = s.shape.jfif ? TRUE : FALSE;
  jpeg_set_quality(&info, s.quality, TRUE);
  info.optimize_coding = s.optimize ? TRUE : FALSE;
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = pixels.data + static_cast<std::ptrdiff_t>(info.next_scanline) * pixels.stride;
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  if (s.buffer != kept) {
    std::free(kept);
    s.capacity = s.size;
  }
  return true;
}

TileEncoder::TileEncoder(int quality, bool optimize, const TileShape& shape) : state_(new State) {
  set_trap(state_->trap);
  state_->info.err = &state_->trap.manager;
  state_->ready = false;
  state_->quality = quality;
  state_->optimize = optimize;
  state_->shape = shape;
  state_->buffer = nullptr;
  state_->capacity = 0;
  state_->size = 0;
  if (setjmp(state_->trap.jump) == 0) {
    jpeg_create_compress(&state_->info);
    state_->ready = true;
  }
}

TileEncoder::~TileEncoder() {
  if (state_->ready) {
    jpeg_destroy_compress(&state_->info);
  }
  std::free(state_->buffer);
  delete state_;
}

bool TileEncoder::encode(const Pixels& pixels, const unsigned char*& jpeg, std::size_t& bytes,
                         std::string& reason) {
  if (!state_->ready || !encode_tile(*state_, pixels)) {
    reason = state_->ready ? state_->trap.message : "out of memory";
    return false;
  }
  jpeg = state_->buffer;
  bytes = state_->size;
  return true;
}

struct TilePadder::State {
  jpeg_decompress_struct from;
  jpeg_compress_struct into;
  ErrorTrap trap;
  jpeg_progress_mgr progress;
  bool ready;
  unsigned char* buffer;  // the library's, from jpeg_mem_dest
  unsigned long size;
};

TilePadder::TilePadder() : state_(new State) {
  State& s = *state_;
  set_trap(s.trap);
  s.from.err = &s.trap.manager;
  s.into.err = &s.trap.manager;
  s.progress.progress_monitor = limit_scans;
  s.ready = false;
  s.buffer = nullptr;
  s.size = 0;
  if (setjmp(s.trap.jump) == 0) {
    jpeg_create_decompress(&s.from);
    jpeg_create_compress(&s.into);
    s.ready = true;
  }
}

TilePadder::~TilePadder() {
  if (state_->ready) {
    jpeg_destroy_decompress(&state_->from);
    jpeg_destroy_compress(&state_->into);
  }
  std::free(state_->buffer);
  delete state_;
}

static bool pad_tile(TilePadder::State& s, const unsigned char* jpeg, std::size_t bytes, int edge) {
  jpeg_decompress_struct& from = s.from;
  jpeg_compress_struct& into = s.into;
  set_trap(s.trap);
  if (setjmp(s.trap.jump) != 0) {
    jpeg_abort_compress(&into);
    jpeg_abort_decompress(&from);
    return false;
  }
  jpeg_mem_src(&from, jpeg, static_cast<unsigned long>(bytes));
  from.progress = &s.progress;
  jpeg_read_header(&from, TRUE);
  if (from.image_width > static_cast<JDIMENSION>(edge) ||
      from.image_height > static_cast<JDIMENSION>(edge)) {
    std::snprintf(s.trap.message, sizeof s.trap.message, "a JPEG of %u x %u pixels, over %d",
                  from.image_width, from.image_height, edge);
    jpeg_abort_decompress(&from);
    return false;
  }
  jvirt_barray_ptr* blocks = jpeg_read_coefficients(&from);
  std::free(s.buffer);
  s.buffer = nullptr;
  s.size = 0;
  jpeg_mem_dest(&into, &s.buffer, &s.size);
  jpeg_copy_critical_parameters(&from, &into);
  into.image_width = static_cast<JDIMENSION>(edge);
  into.image_height = static_cast<JDIMENSION>(edge);
  into.optimize_coding = TRUE;
  into.write_JFIF_header = FALSE;
  into.write_Adobe_marker = FALSE;
  jvirt_barray_ptr padded[MAX_COMPONENTS];
  for (int c = 0; c < from.num_components; ++c) {
    const jpeg_component_info& component = from.comp_info[c];
    const auto across =
        static_cast<JDIMENSION>(edge * component.h_samp_factor / (from.max_h_samp_factor * 8));
    const auto down =
        static_cast<JDIMENSION>(edge * component.v_samp_factor / (from.max_v_samp_factor * 8));
    padded[c] = (*into.mem->request_virt_barray)(reinterpret_cast<j_common_ptr>(&into), JPOOL_IMAGE,
                                                 TRUE, across, down,
                                                 static_cast<JDIMENSION>(component.v_samp_factor));
  }
  jpeg_write_coefficients(&into, padded);
  for (int c = 0; c < from.num_components; ++c) {
    const jpeg_component_info& component = from.comp_info[c];
    const jpeg_component_info& target = into.comp_info[c];
    // The source's blocks reach whole MCUs, the padding the encoder made.
    const JDIMENSION have_across =
        (component.width_in_blocks + static_cast<JDIMENSION>(component.h_samp_factor) - 1) /
        static_cast<JDIMENSION>(component.h_samp_factor) *
        static_cast<JDIMENSION>(component.h_samp_factor);
    const JDIMENSION have_down =
        (component.height_in_blocks + static_cast<JDIMENSION>(component.v_samp_factor) - 1) /
        static_cast<JDIMENSION>(component.v_samp_factor) *
        static_cast<JDIMENSION>(component.v_samp_factor);
    const JDIMENSION across = target.width_in_blocks;
    const JDIMENSION down = target.height_in_blocks;
    const JDIMENSION kept_across = have_across < across ? have_across : across;
    const JDIMENSION kept_down = have_down < down ? have_down : down;
    for (JDIMENSION row = 0; row < down; ++row) {
      JBLOCKROW out = (*into.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&into),
                                                      padded[c], row, 1, TRUE)[0];
      const JDIMENSION source_row = row < kept_down ? row : kept_down - 1;
      JBLOCKROW in = (*from.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&from),
                                                     blocks[c], source_row, 1, FALSE)[0];
      for (JDIMENSION x = 0; x < across; ++x) {
        if (row < kept_down && x < kept_across) {
          std::memcpy(out[x], in[x], sizeof(JBLOCK));
        } else {
          std::memset(out[x], 0, sizeof(JBLOCK));
          out[x][0] = in[x < kept_across ? x : kept_across - 1][0];
        }
      }
    }
  }
  jpeg_finish_compress(&into);
  jpeg_finish_decompress(&from);
  return !s.trap.warned;
}

bool TilePadder::pad(const unsigned char* jpeg, std::size_t bytes, int edge,
                     const unsigned char*& padded, std::size_t& padded_bytes, std::string& reason) {
  if (!state_->ready || !pad_tile(*state_, jpeg, bytes, edge)) {
    reason = state_->ready ? state_->trap.message : "out of memory";
    return false;
  }
  padded = state_->buffer;
  padded_bytes = state_->size;
  return true;
}
