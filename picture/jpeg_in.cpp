#include "jpeg_in.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "jpeg_trap.h"
#include "platform.h"

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

bool JpegPicture::open(std::string& error) {
  if (!open_jpeg(*state_)) {
    error = state_->trap.message;
    return false;
  }
  return true;
}

int JpegPicture::width() const { return static_cast<int>(state_->info.image_width); }
int JpegPicture::height() const { return static_cast<int>(state_->info.image_height); }

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
  std::size_t bytes = 0;
  for (int c = 0; c < s.info.num_components; ++c) {
    const jpeg_component_info& component = s.info.comp_info[c];
    s.row_blocks[static_cast<std::size_t>(c)] =
        round_up(component.width_in_blocks, static_cast<std::size_t>(component.h_samp_factor));
    s.block_rows[static_cast<std::size_t>(c)].resize(
        round_up(component.height_in_blocks, static_cast<std::size_t>(component.v_samp_factor)));
    bytes += s.row_blocks[static_cast<std::size_t>(c)] *
             s.block_rows[static_cast<std::size_t>(c)].size() * sizeof(JBLOCK);
  }
  if (bytes > kMostHeldBytes) {
    error = "its coefficients take " + std::to_string(bytes >> 20) +
            " MiB, over the 512 MiB held at once";
    return false;
  }
  if (!read_all_coefficients(s)) {
    error = s.trap.message;
    return false;
  }
  return true;
}

namespace {

// Bands copied out of the coefficients libjpeg read whole.
class HeldBands final : public jpeg::BandSource {
 public:
  explicit HeldBands(JpegPicture::State& s);
  const jpeg::Frame& frame() const override { return frame_; }
  bool read_band(jpeg::Band& band, std::string& error) override;

 private:
  JpegPicture::State& s_;
  jpeg::Frame frame_;
  int next_ = 0;
};

}  // namespace

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

std::unique_ptr<jpeg::BandSource> JpegPicture::bands() {
  return std::make_unique<HeldBands>(*state_);
}

HeldBands::HeldBands(JpegPicture::State& s) : s_(s) {
  const jpeg_decompress_struct& info = s.info;
  frame_.width = static_cast<int>(info.image_width);
  frame_.height = static_cast<int>(info.image_height);
  frame_.coding = info.arith_code != 0         ? jpeg::Coding::arithmetic
                  : info.progressive_mode != 0 ? jpeg::Coding::progressive
                                               : jpeg::Coding::sequential;
  for (int c = 0; c < info.num_components; ++c) {
    const jpeg_component_info& from = info.comp_info[c];
    jpeg::Component component;
    component.id = from.component_id;
    component.h = from.h_samp_factor;
    component.v = from.v_samp_factor;
    component.quant_slot = from.quant_tbl_no;
    for (std::size_t k = 0; k < jpeg::kBlockSize; ++k) {
      component.quant[k] = from.quant_table->quantval[k];
    }
    frame_.components.push_back(component);
  }
  jpeg::lay_out(frame_);
  frame_.jfif = info.saw_JFIF_marker != 0;
  frame_.adobe_transform = info.saw_Adobe_marker != 0 ? info.Adobe_transform : -1;
  frame_.colour = info.jpeg_color_space == JCS_GRAYSCALE ? jpeg::Colour::gray
                  : info.jpeg_color_space == JCS_RGB     ? jpeg::Colour::rgb
                  : info.jpeg_color_space == JCS_CMYK    ? jpeg::Colour::cmyk
                  : info.jpeg_color_space == JCS_YCCK    ? jpeg::Colour::ycck
                                                         : jpeg::Colour::ycbcr;
}

bool HeldBands::read_band(jpeg::Band& band, std::string& error) {
  if (next_ >= jpeg::band_count(frame_)) {
    error = "no band is left to read";
    return false;
  }
  band.index = next_++;
  std::fill(band.blocks.begin(), band.blocks.end(), jpeg::Block{});
  for (std::size_t c = 0; c < frame_.components.size(); ++c) {
    const std::vector<JBLOCKROW>& rows = s_.block_rows[c];
    const std::size_t copied = std::min(static_cast<std::size_t>(band.widths[c]), s_.row_blocks[c]);
    for (int row = 0; row < band.rows[c]; ++row) {
      const int from_row = band.index * band.rows[c] + row;
      const auto from = static_cast<std::size_t>(from_row);
      if (from < rows.size()) {
        for (std::size_t column = 0; column < copied; ++column) {
          jpeg::Block& block = band.at(c, row, static_cast<int>(column));
          for (std::size_t k = 0; k < jpeg::kBlockSize; ++k) {
            block[k] = rows[from][column][jpeg::kNaturalOrder[k]];
          }
        }
      }
    }
  }
  return true;
}

std::string cut_obstacle(const jpeg::Frame& frame) {
  if (frame.colour == jpeg::Colour::cmyk || frame.colour == jpeg::Colour::ycck) {
    return "a CMYK JPEG";
  }
  if (64 % frame.mcu_width() != 0 || 64 % frame.mcu_height() != 0) {
    return "its blocks (" + std::to_string(frame.mcu_width()) + " x " +
           std::to_string(frame.mcu_height()) +
           " pixels to a unit) do not fall on the 64-pixel tiles";
  }
  return "";
}

MemoryJpeg::MemoryJpeg(const unsigned char* bytes, std::size_t count)
    : input_(bytes, count), reader_(input_) {}

bool MemoryJpeg::open(bool rgb, std::string& error) {
  if (!reader_.open(error)) {
    return false;
  }
  const jpeg::Frame& frame = reader_.frame();
  colour_ = rgb && frame.components.size() == 3 ? jpeg::Colour::rgb : frame.colour;
  error = colour_ == jpeg::Colour::rgb ? "" : cut_obstacle(frame);
  if (error.empty()) {
    error = reader_.obstacle();
  }
  return error.empty() && reader_.start(error);
}

namespace {

// A pipe's bytes for the coefficient reader, onward only; what it has read
// is kept until the way in is settled, to be given back to libjpeg or held.
class PipeInput final : public jpeg::Input {
 public:
  explicit PipeInput(ByteSource& source) : source_(source) {}
  long long read(std::uint64_t, unsigned char* into, std::size_t most) override {
    const unsigned char* bytes = nullptr;
    const std::size_t got = source_.take(bytes, most);
    if (got == 0) {
      return source_.error().empty() ? 0 : -1;
    }
    std::memcpy(into, bytes, got);
    if (keeping) {
      kept.insert(kept.end(), bytes, bytes + got);
    }
    return static_cast<long long>(got);
  }
  bool random_access() const override { return false; }
  std::string error() const override { return source_.error(); }

  bool keeping = true;
  std::vector<unsigned char> kept;

 private:
  ByteSource& source_;
};

}  // namespace

struct JpegIn::State {
  State(int descriptor, std::int64_t start, ByteSource& bytes)
      : fd(descriptor), origin(start), source(bytes) {}

  int fd;
  std::int64_t origin;
  ByteSource& source;
  std::unique_ptr<jpeg::Input> input;
  PipeInput* pipe = nullptr;
  std::vector<unsigned char> whole;  // a pipe's picture of many scans
  std::unique_ptr<jpeg::Input> whole_input;
  std::unique_ptr<jpeg::CoefficientReader> reader;
  std::unique_ptr<ByteSource> again;  // the file from its start, for libjpeg
  std::unique_ptr<JpegPicture> picture;
  std::unique_ptr<jpeg::BandSource> held;
  jpeg::BandSource* bands = nullptr;
  int width = 0;
  int height = 0;
  std::string why_decoded;
  std::string note;

  // libjpeg's decoder on the same bytes, from their start.
  JpegPicture& libjpeg() {
    if (!whole.empty()) {
      picture = std::make_unique<JpegPicture>(whole.data(), whole.size());
    } else if (origin >= 0) {
      platform::seek(fd, origin, SEEK_SET);
      again = std::make_unique<ByteSource>(fd);
      picture = std::make_unique<JpegPicture>(*again);
    } else {
      source.put_back(std::move(pipe->kept));
      pipe->keeping = false;
      picture = std::make_unique<JpegPicture>(source);
    }
    return *picture;
  }

  // Decoded instead, for `reason`; `failure` is said if libjpeg cannot open
  // it either (its own message when "").
  bool decode_instead(const std::string& reason, const std::string& failure, std::string& error) {
    std::string why;
    if (!libjpeg().open(why)) {
      error = failure.empty() ? why : failure;
      return false;
    }
    why_decoded = reason;
    width = picture->width();
    height = picture->height();
    return true;
  }

  // An arithmetic-coded picture: libjpeg reads its coefficients whole.
  bool hold_coefficients(std::string& error) {
    std::string why;
    if (!libjpeg().open(why)) {
      error = why;
      return false;
    }
    if (!picture->read_coefficients(why)) {
      if (why.find("over the 512 MiB") == std::string::npos) {
        error = why;
        return false;
      }
      // Too many to hold: decoded instead, nothing read past its header yet.
      why_decoded = "an arithmetic-coded JPEG whose " + why.substr(4);
      return true;
    }
    held = picture->bands();
    bands = held.get();
    note = "arithmetic-coded: its coefficients are held whole to be cut";
    return true;
  }

  // A pipe's picture of many scans, held to be read where its scans lie.
  bool hold_whole(std::string& error) {
    whole = std::move(pipe->kept);
    pipe->keeping = false;
    for (;;) {
      const unsigned char* bytes = nullptr;
      const std::size_t got = source.take(bytes, SIZE_MAX);
      if (got == 0) {
        break;
      }
      if (whole.size() + got > kMostHeldBytes) {
        error =
            "a JPEG of many scans from a pipe is held whole to be cut, and this one is over "
            "512 MiB: give it as a file";
        return false;
      }
      whole.insert(whole.end(), bytes, bytes + got);
    }
    if (!source.error().empty()) {
      error = source.error();
      return false;
    }
    whole_input = std::make_unique<jpeg::MemoryInput>(whole.data(), whole.size());
    reader = std::make_unique<jpeg::CoefficientReader>(*whole_input);
    return reader->open(error);
  }
};

JpegIn::JpegIn(int fd, std::int64_t origin, ByteSource& source)
    : state_(std::make_unique<State>(fd, origin, source)) {}
JpegIn::~JpegIn() = default;

bool JpegIn::open(bool lossless, std::string& error) {
  State& s = *state_;
  if (s.origin >= 0) {
    s.input = std::make_unique<jpeg::FileInput>(s.fd, static_cast<std::uint64_t>(s.origin));
  } else {
    auto pipe = std::make_unique<PipeInput>(s.source);
    s.pipe = pipe.get();
    s.input = std::move(pipe);
  }
  s.reader = std::make_unique<jpeg::CoefficientReader>(*s.input);
  std::string why;
  if (!s.reader->open(why)) {
    return s.decode_instead(why, why, error);
  }
  const jpeg::Frame& frame = s.reader->frame();
  s.width = frame.width;
  s.height = frame.height;
  why = lossless ? cut_obstacle(frame) : "--reencode";
  if (!why.empty()) {
    return s.decode_instead(why, "", error);
  }
  if (frame.coding == jpeg::Coding::arithmetic) {
    return s.hold_coefficients(error);
  }
  if (s.reader->many_scans() && !s.input->random_access() && !s.hold_whole(error)) {
    return false;
  }
  if (!s.reader->start(error)) {
    return false;
  }
  if (s.pipe != nullptr) {
    s.pipe->keeping = false;
    s.pipe->kept = {};
  }
  s.bands = s.reader.get();
  return true;
}

int JpegIn::width() const { return state_->width; }
int JpegIn::height() const { return state_->height; }
jpeg::BandSource* JpegIn::bands() { return state_->bands; }
std::unique_ptr<RowReader> JpegIn::decoded() {
  return state_->picture != nullptr && state_->bands == nullptr ? state_->picture->decode()
                                                                : nullptr;
}
const std::string& JpegIn::why_decoded() const { return state_->why_decoded; }
const std::string& JpegIn::note() const { return state_->note; }
