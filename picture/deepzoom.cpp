// The pyramid as Deep Zoom files: a folder per level, a JPEG file per tile.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform.h"
#include "pyramid.h"

// The descriptor the viewer reads, as XML.
static std::string dzi_descriptor(int width, int height) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<Image xmlns=\"http://schemas.microsoft.com/deepzoom/2008\"\n"
         "       Format=\"jpg\" Overlap=\"0\" TileSize=\"64\">\n"
         "  <Size Width=\"" +
         std::to_string(width) + "\" Height=\"" + std::to_string(height) +
         "\"/>\n"
         "</Image>\n";
}

namespace {

// One open folder per level, files created beside nothing. Deep Zoom counts
// its levels from 1 x 1 up, the pyramid from the full size down.
class TileFiles final : public PyramidOutput {
 public:
  TileFiles(const std::string& dir, int width, int height, int quality, Console& console)
      : console_(console), top_(top_level(width, height)), quality_(quality) {
    const std::string files = dir + "/picture_files";
    ok_ = platform::make_folder(files.c_str()) == 0;
    for (int level = 0; ok_ && level <= top_; ++level) {
      const std::string path = files + "/" + std::to_string(level);
      int fd = -1;
      if (platform::make_folder(path.c_str()) == 0) {
        fd = platform::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      }
      ok_ = fd >= 0;
      folders_.push_back(fd);
    }
    if (!ok_) {
      console_.say("cannot make the pyramid's folders in %s: %s", dir.c_str(),
                   std::strerror(errno));
    }
  }
  ~TileFiles() override {
    for (const int fd : folders_) {
      if (fd >= 0) {
        platform::close(fd);
      }
    }
  }
  TileFiles(const TileFiles&) = delete;
  TileFiles& operator=(const TileFiles&) = delete;

  int levels() const override { return top_ + 1; }
  bool ok() const override { return ok_; }
  std::unique_ptr<PyramidTiles> tiles() override;

  bool write(int level, int column, int row, const unsigned char* bytes, std::size_t count) {
    const std::string name = std::to_string(column) + "_" + std::to_string(row) + ".jpg";
    const int folder = folders_[static_cast<std::size_t>(top_ - level)];
    const int fd =
        platform::open_at(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    const bool written = fd >= 0 && write_all(fd, bytes, count);
    if ((fd >= 0 && platform::close(fd) != 0) || !written) {
      if (ok_.exchange(false)) {
        console_.say("cannot write the pyramid's tile %d/%s: %s", top_ - level, name.c_str(),
                     std::strerror(errno));
      }
      return false;
    }
    return true;
  }

  void encode(TileEncoder& encoder, int level, int column, int row, const Pixels& pixels) {
    const unsigned char* jpeg = nullptr;
    std::size_t size = 0;
    std::string reason;
    if (encoder.encode(pixels, jpeg, size, reason)) {
      write(level, column, row, jpeg, size);
    } else {
      console_.say("cannot encode tile %d/%d_%d: %s", top_ - level, column, row, reason.c_str());
    }
  }

  int quality() const { return quality_; }

 private:
  Console& console_;
  int top_;
  int quality_;
  std::vector<int> folders_;
  std::atomic<bool> ok_{true};
};

class FolderTiles final : public PyramidTiles {
 public:
  explicit FolderTiles(TileFiles& files) : files_(files), encoder_(files.quality()) {}

  // A tile's own bytes serve wherever they decode to exactly its cell.
  bool copy(int column, int row, const unsigned char* jpeg, std::size_t size, const Pixels& cell,
            int width, int height) override {
    if (width != cell.width || height != cell.height) {
      return false;
    }
    files_.write(0, column, row, jpeg, size);
    return true;
  }

  void encode(int level, int column, int row, const Pixels& pixels) override {
    files_.encode(encoder_, level, column, row, pixels);
  }

 private:
  TileFiles& files_;
  TileEncoder encoder_;
};

std::unique_ptr<PyramidTiles> TileFiles::tiles() { return std::make_unique<FolderTiles>(*this); }

}  // namespace

StitchStatus write_deep_zoom(const PyramidRun& run, const std::string& dir) {
  TileFiles files(dir, run.header.width, run.header.height, run.quality, run.console);
  if (!files.ok()) {
    return kStitchFailed;
  }
  const StitchStatus status = make_pyramid(run, files);
  if (status == kStitchFailed) {
    return status;
  }
  const std::string descriptor = dzi_descriptor(run.header.width, run.header.height);
  const int fd = platform::open((dir + "/picture.dzi").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
  const bool written = fd >= 0 && write_all(fd, descriptor.data(), descriptor.size());
  if ((fd >= 0 && platform::close(fd) != 0) || !written) {
    run.console.say("cannot write %s/picture.dzi: %s", dir.c_str(), std::strerror(errno));
    return kStitchFailed;
  }
  return status;
}
