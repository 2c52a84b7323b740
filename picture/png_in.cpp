// libpng's header by its versioned path: picture/png.h is the PNG writer's.
#include <libpng16/png.h>

#include <csetjmp>
#include <cstdio>
#include <vector>

#include "picture_in.h"

namespace {

// What libpng's callbacks reach: plain data, as they may longjmp.
struct PngCalls {
  ByteSource* source = nullptr;
  char message[256] = "";
};

extern "C" void png_failed(png_structp png, png_const_charp message) {
  auto* calls = static_cast<PngCalls*>(png_get_error_ptr(png));
  std::snprintf(calls->message, sizeof calls->message, "%s", message);
  png_longjmp(png, 1);
}

// Warnings are about ancillary chunks, which change no pixel.
extern "C" void png_warned(png_structp, png_const_charp) {}

extern "C" void png_read_source(png_structp png, png_bytep out, std::size_t count) {
  auto* calls = static_cast<PngCalls*>(png_get_io_ptr(png));
  while (count > 0) {
    const unsigned char* bytes = nullptr;
    const std::size_t got = calls->source->take(bytes, count);
    if (got == 0) {
      png_error(png, calls->source->error().empty() ? "the file ends early"
                                                    : calls->source->error().c_str());
    }
    std::memcpy(out, bytes, got);
    out += got;
    count -= got;
  }
}

class PngReader final : public RowReader {
 public:
  PngReader(ByteSource& source, Rgb background) : background_(background) {
    calls_.source = &source;
  }
  ~PngReader() override { png_destroy_read_struct(&png_, &info_, nullptr); }
  PngReader(const PngReader&) = delete;
  PngReader& operator=(const PngReader&) = delete;

  // The header, and the transforms that bring every kind of PNG to 8-bit RGB
  // or RGBA. Between setjmp and libpng's longjmp only plain data is touched.
  bool open() {
    png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, &calls_, png_failed, png_warned);
    info_ = png_ == nullptr ? nullptr : png_create_info_struct(png_);
    if (info_ == nullptr) {
      error_ = "out of memory";
      return false;
    }
    if (setjmp(png_jmpbuf(png_)) != 0) {
      return failed();
    }
    png_set_read_fn(png_, &calls_, png_read_source);
    png_read_info(png_, info_);
    width_ = static_cast<int>(std::min<png_uint_32>(png_get_image_width(png_, info_), 1U << 30));
    height_ = static_cast<int>(std::min<png_uint_32>(png_get_image_height(png_, info_), 1U << 30));
    const int type = png_get_color_type(png_, info_);
    if (png_get_bit_depth(png_, info_) == 16) {
      png_set_scale_16(png_);  // rounds to the nearest 8-bit value
    }
    png_set_expand(png_);  // palette to RGB, gray to 8 bits, tRNS to alpha
    if ((type & PNG_COLOR_MASK_COLOR) == 0) {
      png_set_gray_to_rgb(png_);
    }
    interlaced_ = png_get_interlace_type(png_, info_) != PNG_INTERLACE_NONE;
    if (interlaced_) {
      png_set_interlace_handling(png_);
    }
    png_read_update_info(png_, info_);
    channels_ = png_get_channels(png_, info_);
    row_bytes_ = png_get_rowbytes(png_, info_);
    return channels_ == 3 || channels_ == 4 || unexpected();
  }

  bool read_rows(unsigned char* pixels, int stride, int rows) override {
    if (interlaced_ && whole_.empty() && !read_whole()) {
      return false;
    }
    row_.resize(row_bytes_);
    if (setjmp(png_jmpbuf(png_)) != 0) {
      return failed();
    }
    for (int y = 0; y < rows; ++y, ++next_row_) {
      const unsigned char* row = row_.data();
      if (interlaced_) {
        row = whole_.data() + static_cast<std::size_t>(next_row_) * row_bytes_;
      } else {
        png_read_row(png_, row_.data(), nullptr);
      }
      to_rgb(row, pixels + static_cast<std::ptrdiff_t>(y) * stride);
    }
    return true;
  }

  bool finish() override {
    if (setjmp(png_jmpbuf(png_)) != 0) {
      return failed();
    }
    png_read_end(png_, nullptr);
    return true;
  }

 private:
  bool failed() {
    error_ = calls_.message;
    return false;
  }

  bool unexpected() {
    error_ = "a PNG of an unexpected layout";
    return false;
  }

  bool read_whole() {
    const std::size_t bytes = row_bytes_ * static_cast<std::size_t>(height_);
    if (bytes > kMostInterlacedBytes) {
      error_ = "an interlaced PNG holds no row before its last pass, so it is read whole; at " +
               std::to_string(bytes >> 20) +
               " MiB of pixels it is over the 256 MiB allowed (save it without interlacing)";
      return false;
    }
    whole_.resize(bytes);
    starts_.resize(static_cast<std::size_t>(height_));
    for (std::size_t y = 0; y < starts_.size(); ++y) {
      starts_[y] = whole_.data() + y * row_bytes_;
    }
    if (setjmp(png_jmpbuf(png_)) != 0) {
      return failed();
    }
    png_read_image(png_, starts_.data());
    return true;
  }

  // A row of RGB or RGBA as RGB, alpha over the background, rounded.
  void to_rgb(const unsigned char* in, unsigned char* out) const {
    if (channels_ == 3) {
      std::memcpy(out, in, static_cast<std::size_t>(width_) * 3);
      return;
    }
    const unsigned char back[3] = {background_.red, background_.green, background_.blue};
    for (int x = 0; x < width_; ++x, in += 4, out += 3) {
      const unsigned alpha = in[3];
      for (int c = 0; c < 3; ++c) {
        out[c] = static_cast<unsigned char>((in[c] * alpha + back[c] * (255 - alpha) + 127) / 255);
      }
    }
  }

  PngCalls calls_;
  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
  Rgb background_;
  bool interlaced_ = false;
  int channels_ = 3;
  std::size_t row_bytes_ = 0;
  int next_row_ = 0;
  std::vector<unsigned char> row_;
  std::vector<unsigned char> whole_;
  std::vector<png_bytep> starts_;
};

}  // namespace

std::unique_ptr<RowReader> open_png(ByteSource& source, Rgb background, std::string& error) {
  auto reader = std::make_unique<PngReader>(source, background);
  if (!reader->open()) {
    error = reader->error();
    return nullptr;
  }
  return reader;
}
