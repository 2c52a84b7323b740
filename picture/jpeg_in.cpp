#include "jpeg_in.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "jpeg_trap.h"

namespace {

// The picture's bytes as libjpeg asks for them: a block at a time from the
// source. An early end is an error: a truncated picture makes no tiles.
struct Source {
  jpeg_source_mgr manager;
  ByteSource* bytes;
};

extern "C" void source_start(j_decompress_ptr) {}
extern "C" void source_end(j_decompress_ptr) {}

extern "C" boolean source_fill(j_decompress_ptr info) {
  auto* source = reinterpret_cast<Source*>(info->src);
  const unsigned char* bytes = nullptr;
  const std::size_t got = source->bytes->take(bytes, SIZE_MAX);
  if (got == 0) {
    auto* trap = reinterpret_cast<ErrorTrap*>(info->err);
    std::snprintf(
        trap->message, sizeof trap->message, "%s",
        source->bytes->error().empty() ? "the file ends early" : source->bytes->error().c_str());
    std::longjmp(trap->jump, 1);
  }
  source->manager.next_input_byte = bytes;
  source->manager.bytes_in_buffer = got;
  return TRUE;
}

extern "C" void source_skip(j_decompress_ptr info, long count) {
  auto* source = reinterpret_cast<Source*>(info->src);
  while (count > 0) {
    if (source->manager.bytes_in_buffer == 0) {
      source_fill(info);
    }
    const auto step = std::min(static_cast<std::size_t>(count), source->manager.bytes_in_buffer);
    source->manager.next_input_byte += step;
    source->manager.bytes_in_buffer -= step;
    count -= static_cast<long>(step);
  }
}

std::size_t round_up(std::size_t value, std::size_t step) {
  return (value + step - 1) / step * step;
}
std::size_t blocks_for(std::size_t pixels, int sampling, int most) {
  return (pixels * static_cast<std::size_t>(sampling) + static_cast<std::size_t>(most) * 8 - 1) /
         (static_cast<std::size_t>(most) * 8);
}

}  // namespace

struct JpegPicture::State {
  jpeg_decompress_struct info;
  ErrorTrap trap;
  Source source;
  jpeg_progress_mgr progress;
  bool ready = false;
  const unsigned char* memory = nullptr;  // the JPEG, when it is read from memory
  std::size_t memory_bytes = 0;
  jvirt_barray_ptr* coefficients = nullptr;
  // Every block row of every component, fetched once so that the cutting
  // threads only read memory and never call into the library's manager.
  std::vector<std::vector<JBLOCKROW>> block_rows;
  std::vector<std::size_t> row_blocks;  // blocks in each component's row
};

JpegPicture::JpegPicture(ByteSource& source) : state_(new State) {
  State& s = *state_;
  set_trap(s.trap);
  s.info.err = &s.trap.manager;
  s.source.bytes = &source;
  s.source.manager.init_source = source_start;
  s.source.manager.fill_input_buffer = source_fill;
  s.source.manager.skip_input_data = source_skip;
  s.source.manager.resync_to_restart = jpeg_resync_to_restart;
  s.source.manager.term_source = source_end;
  s.source.manager.next_input_byte = nullptr;
  s.source.manager.bytes_in_buffer = 0;
  s.progress.progress_monitor = limit_scans;
}

JpegPicture::JpegPicture(const unsigned char* bytes, std::size_t count) : state_(new State) {
  State& s = *state_;
  set_trap(s.trap);
  s.info.err = &s.trap.manager;
  s.memory = bytes;
  s.memory_bytes = count;
  s.progress.progress_monitor = limit_scans;
}

JpegPicture::~JpegPicture() {
  if (state_->ready) {
    jpeg_destroy_decompress(&state_->info);
  }
  delete state_;
}

static bool open_jpeg(JpegPicture::State& s) {
  if (setjmp(s.trap.jump) != 0) {
    return false;
  }
  jpeg_create_decompress(&s.info);
  s.ready = true;
  if (s.memory != nullptr) {
    jpeg_mem_src(&s.info, s.memory, static_cast<unsigned long>(s.memory_bytes));
  } else {
    s.info.src = &s.source.manager;
  }
  s.info.progress = &s.progress;
  jpeg_read_header(&s.info, TRUE);
  return !s.trap.warned;
}

bool JpegPicture::open(std::string& error, bool rgb) {
  if (!open_jpeg(*state_)) {
    error = state_->trap.message;
    return false;
  }
  if (rgb && state_->info.num_components == 3) {
    state_->info.jpeg_color_space = JCS_RGB;
  }
  return true;
}

int JpegPicture::width() const { return static_cast<int>(state_->info.image_width); }
int JpegPicture::height() const { return static_cast<int>(state_->info.image_height); }

std::string JpegPicture::lossless_obstacle() const {
  const jpeg_decompress_struct& info = state_->info;
  if (info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK) {
    return "a CMYK JPEG";
  }
  const int across = info.max_h_samp_factor * DCTSIZE;
  const int down = info.max_v_samp_factor * DCTSIZE;
  if (64 % across != 0 || 64 % down != 0) {
    return "its blocks (" + std::to_string(across) + " x " + std::to_string(down) +
           " pixels to a unit) do not fall on the 64-pixel tiles";
  }
  std::size_t bytes = 0;
  for (int c = 0; c < info.num_components; ++c) {
    const jpeg_component_info& component = info.comp_info[c];
    bytes +=
        round_up(component.width_in_blocks, static_cast<std::size_t>(component.h_samp_factor)) *
        round_up(component.height_in_blocks, static_cast<std::size_t>(component.v_samp_factor)) *
        sizeof(JBLOCK);
  }
  if (bytes > kMostCoefficientBytes) {
    return "its coefficients take " + std::to_string(bytes >> 20) +
           " MiB, over the 512 MiB held at once";
  }
  return "";
}

static bool read_all_coefficients(JpegPicture::State& s) {
  if (setjmp(s.trap.jump) != 0) {
    return false;
  }
  s.coefficients = jpeg_read_coefficients(&s.info);
  for (int c = 0; c < s.info.num_components; ++c) {
    std::vector<JBLOCKROW>& rows = s.block_rows[static_cast<std::size_t>(c)];
    for (std::size_t row = 0; row < rows.size(); ++row) {
      rows[row] = (*s.info.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&s.info),
                                                    s.coefficients[c], static_cast<JDIMENSION>(row),
                                                    1, FALSE)[0];
    }
  }
  return !s.trap.warned;
}

bool JpegPicture::read_coefficients(std::string& error) {
  State& s = *state_;
  s.block_rows.resize(static_cast<std::size_t>(s.info.num_components));
  s.row_blocks.resize(s.block_rows.size());
  for (int c = 0; c < s.info.num_components; ++c) {
    const jpeg_component_info& component = s.info.comp_info[c];
    s.row_blocks[static_cast<std::size_t>(c)] =
        round_up(component.width_in_blocks, static_cast<std::size_t>(component.h_samp_factor));
    s.block_rows[static_cast<std::size_t>(c)].resize(
        round_up(component.height_in_blocks, static_cast<std::size_t>(component.v_samp_factor)));
  }
  if (!read_all_coefficients(s)) {
    error = s.trap.message;
    return false;
  }
  return true;
}

namespace {

class JpegRows final : public RowReader {
 public:
  explicit JpegRows(JpegPicture::State& s) : s_(s) {
    width_ = static_cast<int>(s.info.image_width);
    height_ = static_cast<int>(s.info.image_height);
  }

  bool read_rows(unsigned char* pixels, int stride, int rows) override {
    if (!started_) {
      started_ = true;
      const bool cmyk =
          s_.info.jpeg_color_space == JCS_CMYK || s_.info.jpeg_color_space == JCS_YCCK;
      row_.resize(static_cast<std::size_t>(width_) * 4);
      if (!start(cmyk)) {
        return failed();
      }
    }
    for (int y = 0; y < rows; ++y) {
      if (!read_row(pixels + static_cast<std::ptrdiff_t>(y) * stride)) {
        return failed();
      }
    }
    return true;
  }

  bool finish() override {
    if (setjmp(s_.trap.jump) != 0) {
      return failed();
    }
    jpeg_finish_decompress(&s_.info);
    return !s_.trap.warned || failed();
  }

 private:
  bool failed() {
    error_ = s_.trap.message;
    return false;
  }

  bool start(bool cmyk) {
    if (setjmp(s_.trap.jump) != 0) {
      return false;
    }
    s_.info.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    jpeg_start_decompress(&s_.info);
    return !s_.trap.warned;
  }

  // One row as RGB. CMYK is turned into RGB the simple way, inverted as
  // Adobe's files store it.
  bool read_row(unsigned char* out) {
    if (setjmp(s_.trap.jump) != 0) {
      return false;
    }
    JSAMPROW row = s_.info.out_color_space == JCS_CMYK ? row_.data() : out;
    jpeg_read_scanlines(&s_.info, &row, 1);
    if (s_.info.out_color_space == JCS_CMYK) {
      const bool inverted = s_.info.saw_Adobe_marker != 0;
      for (int x = 0; x < width_; ++x) {
        const unsigned char* cmyk = row_.data() + static_cast<std::ptrdiff_t>(x) * 4;
        for (int c = 0; c < 3; ++c) {
          const unsigned ink = inverted ? cmyk[c] : 255U - cmyk[c];
          const unsigned black = inverted ? cmyk[3] : 255U - cmyk[3];
          out[x * 3 + c] = static_cast<unsigned char>((ink * black + 127) / 255);
        }
      }
    }
    return !s_.trap.warned;
  }

  JpegPicture::State& s_;
  bool started_ = false;
  std::vector<unsigned char> row_;
};

}  // namespace

std::unique_ptr<RowReader> JpegPicture::decode() { return std::make_unique<JpegRows>(*state_); }

struct JpegCutter::State {
  jpeg_compress_struct info;
  ErrorTrap trap;
  bool ready = false;
  unsigned char* buffer = nullptr;  // the library's, from jpeg_mem_dest
  unsigned long size = 0;
};

JpegCutter::JpegCutter(JpegPicture& picture) : picture_(picture.state()), state_(new State) {
  set_trap(state_->trap);
  state_->info.err = &state_->trap.manager;
  if (setjmp(state_->trap.jump) == 0) {
    jpeg_create_compress(&state_->info);
    state_->ready = true;
  }
}

JpegCutter::~JpegCutter() {
  if (state_->ready) {
    jpeg_destroy_compress(&state_->info);
  }
  std::free(state_->buffer);
  delete state_;
}

// The cell's blocks copied into a JPEG of the cell's size: the same
// quantization, sampling and coefficients, so it decodes to the pixels a
// lossless crop gives.
static bool cut_cell(JpegCutter::State& s, JpegPicture::State& picture, int x, int y, int width,
                     int height) {
  jpeg_compress_struct& info = s.info;
  jpeg_decompress_struct& from = picture.info;
  if (setjmp(s.trap.jump) != 0) {
    jpeg_abort_compress(&info);
    return false;
  }
  s.trap.warned = false;
  std::free(s.buffer);
  s.buffer = nullptr;
  s.size = 0;
  jpeg_mem_dest(&info, &s.buffer, &s.size);
  jpeg_copy_critical_parameters(&from, &info);
  info.image_width = static_cast<JDIMENSION>(width);
  info.image_height = static_cast<JDIMENSION>(height);
  // The standard Huffman tables, as a lossless crop writes them: tables made
  // for each tile would save a quarter of the bytes but take twice the time.
  info.optimize_coding = FALSE;
  info.write_JFIF_header = FALSE;
  // Each component's blocks across and down the cell, whole MCUs.
  jvirt_barray_ptr arrays[MAX_COMPONENTS];
  std::size_t wides[MAX_COMPONENTS];
  std::size_t highs[MAX_COMPONENTS];
  for (int c = 0; c < from.num_components; ++c) {
    const jpeg_component_info& component = from.comp_info[c];
    const auto h = static_cast<std::size_t>(component.h_samp_factor);
    const auto v = static_cast<std::size_t>(component.v_samp_factor);
    wides[c] = round_up(blocks_for(static_cast<std::size_t>(width), component.h_samp_factor,
                                   from.max_h_samp_factor),
                        h);
    highs[c] = round_up(blocks_for(static_cast<std::size_t>(height), component.v_samp_factor,
                                   from.max_v_samp_factor),
                        v);
    arrays[c] = (*info.mem->request_virt_barray)(
        reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE, TRUE, static_cast<JDIMENSION>(wides[c]),
        static_cast<JDIMENSION>(highs[c]), static_cast<JDIMENSION>(v));
  }
  jpeg_write_coefficients(&info, arrays);
  for (int c = 0; c < from.num_components; ++c) {
    const jpeg_component_info& component = from.comp_info[c];
    const std::size_t wide = wides[c];
    const std::size_t high = highs[c];
    const std::size_t left =
        blocks_for(static_cast<std::size_t>(x), component.h_samp_factor, from.max_h_samp_factor);
    const std::size_t top =
        blocks_for(static_cast<std::size_t>(y), component.v_samp_factor, from.max_v_samp_factor);
    const std::vector<JBLOCKROW>& rows = picture.block_rows[static_cast<std::size_t>(c)];
    const std::size_t across = picture.row_blocks[static_cast<std::size_t>(c)];
    // The picture's padded rows always reach this far; a hostile header is
    // only ever copied from within them.
    const std::size_t copied = left < across ? std::min(wide, across - left) : 0;
    for (std::size_t row = 0; row < high && top + row < rows.size(); ++row) {
      JBLOCKARRAY into = (*info.mem->access_virt_barray)(
          reinterpret_cast<j_common_ptr>(&info), arrays[c], static_cast<JDIMENSION>(row), 1, TRUE);
      std::memcpy(into[0], rows[top + row] + left, copied * sizeof(JBLOCK));
    }
  }
  jpeg_finish_compress(&info);
  return true;
}

bool JpegCutter::cut(int x, int y, int width, int height, const unsigned char*& jpeg,
                     std::size_t& bytes, std::string& error) {
  if (!state_->ready || !cut_cell(*state_, picture_, x, y, width, height)) {
    error = state_->ready ? state_->trap.message : "out of memory";
    return false;
  }
  jpeg = state_->buffer;
  bytes = state_->size;
  return true;
}
