#include "scan.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "console.h"
#include "extract.h"
#include "finder.h"
#include "marks.h"
#include "output.h"
#include "platform.h"
#include "report.h"
#include "seam.h"
#include "tiles.h"
#include "twin_reads.h"

namespace {

// Reads of 128 KiB, as cat makes; the window holds the finder's look-ahead
// beyond the offset it waits at, and a read more.
constexpr std::size_t kRead = TwinReads::kChunk;
constexpr std::size_t kPage = 4096;
constexpr std::size_t kWindow = Finder::kLookAhead + 2 * kPage + 2 * kRead;

class Scan {
 public:
  Scan(const char* program, const ScanSettings& settings)
      : settings_(settings),
        console_(program, settings.quiet),
        window_(new (std::align_val_t{kPage}) unsigned char[kWindow]) {}

  int run(const std::vector<const char*>& paths) {
    const auto started = std::chrono::steady_clock::now();
    if (!settings_.extract.empty()) {
      std::string error;
      if (!extractor_.open(settings_.extract, error)) {
        console_.say("%s", error.c_str());
        return 2;
      }
    }
    for (const char* path : paths) {
      if (failed_) {
        break;
      }
      named(path);
    }
    std::fflush(stdout);
    if (!failed_ && !settings_.extract.empty()) {
      std::string error;
      if (!extractor_.commit(error)) {
        console_.say("%s", error.c_str());
        failed_ = true;
      }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!settings_.quiet) {
      console_.say(
          "%d input%s, %llu bytes read in %.2f s: %d container%s (%d intact, %d cut, "
          "%d damaged, %d fragmented)%s",
          inputs_, inputs_ == 1 ? "" : "s", static_cast<unsigned long long>(bytes_), seconds,
          containers_, containers_ == 1 ? "" : "s", states_[0], states_[1], states_[2], states_[3],
          failed_                     ? "; nothing written"
          : settings_.extract.empty() ? ""
                                      : written().c_str());
    }
    if (std::ferror(stdout) != 0) {
      console_.say("writing standard output failed");
      return failed_ ? 2 : 1;
    }
    return failed_ ? 2 : unread_ ? 1 : 0;
  }

 private:
  std::string written() const {
    std::string text = "; ";
    text += std::to_string(extractor_.written());
    text += " written to ";
    return text + settings_.extract;
  }

  void named(const char* path) {
    if (std::strcmp(path, "-") == 0) {
      input("-", "stdin", STDIN_FILENO, "");
      return;
    }
    if (platform::kind_of(path) == platform::Kind::folder) {
      folder(path);
      return;
    }
    const int fd = platform::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      cannot_read(path);
      return;
    }
    scan_file(path, fd);
  }

  // A folder and all below it, in name order; links are not followed, and
  // only regular files are read (a pipe or a device in a folder could block
  // or never end).
  void folder(const std::string& path) {
    std::vector<std::string> names;
    const int dir = platform::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || !platform::list_folder(path.c_str(), names)) {
      if (dir >= 0) {
        platform::close(dir);
      }
      cannot_read(path);
      return;
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      if (failed_) {
        break;
      }
      const std::string entry = platform::join_path(path, name);
      if (platform::is_link_at(dir, name.c_str())) {
        continue;
      }
      if (platform::kind_of(entry.c_str()) == platform::Kind::folder) {
        folder(entry);
        continue;
      }
      const int fd =
          platform::open_at(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) {
        cannot_read(entry);
      } else if (platform::file_size(fd) < 0) {
        platform::close(fd);
      } else {
        scan_file(entry, fd);
      }
    }
    platform::close(dir);
  }

  void scan_file(const std::string& path, int fd) {
    const bool seekable = platform::seek(fd, 0, SEEK_CUR) >= 0;
    input(path, platform::split_path(path).name, fd, seekable ? path : "");
    platform::close(fd);
  }

  void cannot_read(const std::string& path) {
    console_.say("%s: %s", path.c_str(), std::strerror(errno));
    unread_ = true;
  }

  // What the finder tells this run, for one input; `again` reads it again at
  // any offset, or is -1 for a stream.
  Finder::Hooks hooks_for(const std::string& shown, const std::string& name, int again) {
    Finder::Hooks hooks;
    hooks.found = [this, shown](Found&& found) { report(shown, found); };
    if (!settings_.extract.empty()) {
      extractor_.begin_input(name, again);
      hooks.capture = [this](std::uint64_t container, const unsigned char* bytes,
                             std::size_t count) { extractor_.capture(container, bytes, count); };
    }
    if (again >= 0) {
      hooks.read_at = [again](std::uint64_t offset, unsigned char* bytes, std::size_t count) {
        return read_all_at(again, offset, bytes, count) == static_cast<long long>(count);
      };
    }
    hooks.tile_holds = check_tile;
    if (settings_.verbose) {
      hooks.rejected = [this, shown](std::uint64_t offset, const char* why) {
        console_.say("%s: %llu: passed over: %s", shown.c_str(),
                     static_cast<unsigned long long>(offset), why);
      };
    }
    return hooks;
  }

  // The next bytes into window + held, and the marks in them: by both
  // threads when there are two, else by one read of a stream.
  static TwinReads::Got read_more(int fd, TwinReads* twins, unsigned char* window,
                                  std::uint64_t base, std::size_t held, Marks& marks) {
    if (twins != nullptr) {
      return twins->read(fd, window, base, held, kWindow - held, marks);
    }
    const long long read = read_some(fd, window + held, std::min(kRead, kWindow - held));
    const TwinReads::Got got{read > 0 ? static_cast<std::size_t>(read) : 0, read < 0 ? errno : 0};
    mark_through(window, base, base + held + got.bytes, marks);
    return got;
  }

  // One input, front to back. An input that can seek is opened again as
  // `reopen`: for the second core's reads, and to read a fragment's pieces and
  // a container's records again at any offset. A stream's `reopen` is "".
  void input(const std::string& shown, const std::string& name, int fd, const std::string& reopen) {
    ++inputs_;
    const int again = reopen.empty() ? -1 : platform::open(reopen.c_str(), O_RDONLY | O_CLOEXEC);
    Finder::Hooks hooks = hooks_for(shown, name, again);
    Finder finder(std::move(hooks), again >= 0 ? settings_.clusters : std::vector<std::uint32_t>{});
    const std::int64_t size = platform::file_size(fd);
    if (size > 0) {
      console_.start(static_cast<long>(size >> 20));
    }
    // Each read lands at the front of the window once what was decided is
    // let go, so the bytes are searched in the cache the kernel copied them
    // into. Whole pages are let go, so a read starts at the same place in a
    // page as the bytes it copies: the kernel copies misaligned bytes at a
    // fraction of the speed.
    unsigned char* window = window_.get();
    std::uint64_t base = 0;
    std::size_t held = 0;
    Marks marks;
    std::unique_ptr<TwinReads> twins;
    const int second = again >= 0 ? platform::open(reopen.c_str(), O_RDONLY | O_CLOEXEC) : -1;
    if (second >= 0) {
      twins = std::make_unique<TwinReads>(second);
    }
    for (;;) {
      if (interruption() != 0) {
        extractor_.discard();
        end_as_interrupted();
      }
      const auto [got, error] = read_more(fd, twins.get(), window, base, held, marks);
      held += got;
      const bool ends = got == 0 || error != 0;
      const std::uint64_t keep_from = finder.feed(window, base, held, ends, &marks);
      if (ends || failed_) {
        const std::uint64_t read = base + held;
        bytes_ += read;
        if (error != 0) {
          console_.say("%s: read failed at offset %llu: %s", shown.c_str(),
                       static_cast<unsigned long long>(read), std::strerror(error));
          unread_ = true;
        }
        break;
      }
      console_.advance(static_cast<long>((base + held) >> 20));
      const auto drop = static_cast<std::size_t>(keep_from - base) / kPage * kPage;
      std::memmove(window, window + drop, held - drop);
      held -= drop;
      base += drop;
      marks.forget_before(keep_from);
    }
    twins.reset();
    for (const int opened : {again, second}) {
      if (opened >= 0) {
        platform::close(opened);
      }
    }
    console_.finish();
    if (!settings_.extract.empty()) {
      extractor_.end_input();
    }
  }

  void report(const std::string& path, const Found& found) {
    if (failed_) {
      return;
    }
    ++containers_;
    ++states_[static_cast<int>(found.state)];
    const std::string line = settings_.json ? found_json(path, found) : found_line(path, found);
    std::fwrite(line.data(), 1, line.size(), stdout);
    if (!settings_.extract.empty()) {
      std::string error;
      if (!extractor_.write(found, error)) {
        console_.say("%s", error.c_str());
        failed_ = true;
      }
    }
  }

  const ScanSettings& settings_;
  Console console_;
  Extractor extractor_;
  struct Aligned {
    void operator()(unsigned char* bytes) const {
      ::operator delete[](bytes, std::align_val_t{kPage});
    }
  };
  std::unique_ptr<unsigned char[], Aligned> window_;
  int inputs_ = 0;
  std::uint64_t bytes_ = 0;
  int containers_ = 0;
  int states_[4] = {0, 0, 0, 0};
  bool unread_ = false;
  bool failed_ = false;
};

}  // namespace

int scan(const char* program, const ScanSettings& settings, const std::vector<const char*>& paths) {
  Scan run(program, settings);
  return run.run(paths);
}
