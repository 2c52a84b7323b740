#include "extract.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "bytes.h"
#include "gray_tile.h"
#include "platform.h"
#include "tiles.h"
#include "tiz.h"

namespace {

constexpr std::size_t kBlock = std::size_t{1} << 20;

// `count` bytes from `offset` of `fd`, all of them.
bool read_at(int fd, std::uint64_t offset, unsigned char* bytes, std::size_t count) {
  const long long got = read_all_at(fd, offset, bytes, count);
  if (got >= 0 && static_cast<std::size_t>(got) < count) {
    errno = EIO;  // shorter than when it was scanned
  }
  return got >= 0 && static_cast<std::size_t>(got) == count;
}

// Output gathered into large writes.
class Out {
 public:
  explicit Out(int fd) : fd_(fd) { bytes_.reserve(kBlock); }
  bool put(const unsigned char* bytes, std::size_t count) {
    if (bytes_.size() + count > kBlock && !flush()) {
      return false;
    }
    bytes_.insert(bytes_.end(), bytes, bytes + count);
    return true;
  }
  bool flush() {
    const bool written = write_all(fd_, bytes_.data(), bytes_.size());
    bytes_.clear();
    return written;
  }

 private:
  int fd_;
  std::vector<unsigned char> bytes_;
};

bool copy_range(int source, std::uint64_t offset, std::uint64_t length, Out& out,
                std::vector<unsigned char>& block) {
  while (length > 0) {
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(length, block.size()));
    if (!read_at(source, offset, block.data(), count) || !out.put(block.data(), count)) {
      return false;
    }
    offset += count;
    length -= count;
  }
  return true;
}

std::uint64_t run_bytes(const Run& run) {
  std::uint64_t bytes = 0;
  for (const Piece& range : run.ranges) {
    bytes += range.length;
  }
  return bytes;
}

// A run's bytes read in order across its ranges.
class RunReader {
 public:
  RunReader(int source, const Run& run) : source_(source), ranges_(run.ranges) {}
  bool read(unsigned char* bytes, std::size_t count) {
    while (count > 0) {
      if (range_ == ranges_.size()) {
        errno = EIO;
        return false;
      }
      const Piece& range = ranges_[range_];
      const auto here =
          static_cast<std::size_t>(std::min<std::uint64_t>(count, range.length - done_));
      if (!read_at(source_, range.offset + done_, bytes, here)) {
        return false;
      }
      bytes += here;
      count -= here;
      done_ += here;
      if (done_ == range.length) {
        ++range_;
        done_ = 0;
      }
    }
    return true;
  }

 private:
  int source_;
  const std::vector<Piece>& ranges_;
  std::size_t range_ = 0;
  std::uint64_t done_ = 0;
};

std::string container_name(const std::string& input, const Found& found) {
  return input + "@" + std::to_string(found.offset) + (found.tiz ? ".tiz" : ".moz");
}

}  // namespace

Extractor::~Extractor() { end_input(); }

void Extractor::drop(Kept& kept) {
  if (kept.fd >= 0) {
    platform::close(kept.fd);
  }
  platform::remove_file(kept.path.c_str());
}

bool Extractor::open(const std::string& dir, std::string& error) {
  dir_ = dir;
  const platform::Kind kind = platform::kind_of(dir.c_str());
  if (kind == platform::Kind::file) {
    error = dir + ": exists and is not a folder";
    return false;
  }
  if (kind == platform::Kind::none && platform::make_folder(dir.c_str()) != 0) {
    error = "cannot create " + dir + ": " + std::strerror(errno);
    return false;
  }
  return staging_.make_folder(platform::join_path(dir, ".tiletools-scan"), error);
}

void Extractor::begin_input(const std::string& name, int fd) {
  name_ = name;
  fd_ = fd;
}

void Extractor::end_input() {
  for (auto& [offset, kept] : captures_) {
    drop(kept);
  }
  captures_.clear();
  fd_ = -1;
}

void Extractor::capture(std::uint64_t container, const unsigned char* bytes, std::size_t count) {
  if (fd_ >= 0) {
    return;  // read again from the input instead
  }
  auto kept = captures_.find(container);
  if (kept == captures_.end()) {
    Kept made;
    made.path = staging_.staged() + "/kept-" + std::to_string(kept_++);
    made.fd = platform::open(made.path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    kept = captures_.emplace(container, std::move(made)).first;
  }
  Kept& into = kept->second;
  if (into.fd >= 0 && !write_all(into.fd, bytes, count)) {
    platform::close(into.fd);
    into.fd = -1;  // said when the container is written
  }
}

bool Extractor::write(const Found& found, std::string& error) {
  const std::string name = container_name(name_, found);
  const std::string target = platform::join_path(dir_, name);
  if (std::find(names_.begin(), names_.end(), name) != names_.end() ||
      platform::kind_of(target.c_str()) != platform::Kind::none) {
    error = target + ": exists; nothing is written";
    return false;
  }
  const std::string staged = staging_.staged() + "/" + name;
  const int out = platform::open(staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (out < 0) {
    error = "cannot create " + staged + ": " + std::strerror(errno);
    return false;
  }
  int source = fd_;
  std::vector<Run> runs = found.runs;
  std::vector<Piece> pieces = found.pieces;
  const auto kept = captures_.find(found.offset);
  if (fd_ < 0) {
    // A stream's container was kept as its header and records, back to back.
    source = kept != captures_.end() ? kept->second.fd : -1;
    std::uint64_t at = kFileHeaderBytes;
    for (Run& run : runs) {
      const std::uint64_t bytes = run_bytes(run);
      run.ranges = {Piece{at, bytes}};
      at += bytes;
    }
    pieces = {Piece{0, at}};
  }
  bool written = source >= 0;
  if (written && (found.state == FoundState::intact || found.state == FoundState::fragmented)) {
    Out put(out);
    std::vector<unsigned char> block(kBlock);
    for (const Piece& piece : pieces) {
      written = written && copy_range(source, piece.offset, piece.length, put, block);
    }
    written = written && put.flush();
  } else if (written) {
    written = write_again(found, source, runs, out, error);
  }
  if (written && platform::sync(out) != 0) {
    written = false;
  }
  if (platform::close(out) != 0) {
    written = false;
  }
  if (kept != captures_.end()) {
    drop(kept->second);
    captures_.erase(kept);
  }
  if (!written) {
    if (error.empty()) {
      error = "cannot write " + target + ": " + std::strerror(errno != 0 ? errno : EIO);
    }
    return false;
  }
  names_.push_back(name);
  return true;
}

bool Extractor::write_again(const Found& found, int source, const std::vector<Run>& runs, int out,
                            std::string& error) {
  Out put(out);
  unsigned char header[kFileHeaderBytes];
  std::memcpy(header, found.header, sizeof header);
  if (found.tiz) {  // counting the records found
    const unsigned char reserved[2] = {found.header[6], found.header[7]};
    make_tiz_header(header, found.header[3], static_cast<std::uint16_t>(found.found), reserved);
  }
  if (!put.put(header, sizeof header)) {
    return false;
  }
  auto payload = std::make_unique<unsigned char[]>(kRecordHeaderBytes + kLargestPayload);
  GrayTiles gray(found.width, found.height);
  unsigned char gray_kind = 'J';
  if (!runs.empty() && RunReader(source, runs.front()).read(payload.get(), kRecordHeaderBytes)) {
    gray_kind = payload[3];  // as moz-pack makes a lost tile: the first record's kind
  }
  long tile = 0;
  auto put_gray_until = [&](long until) {
    for (; !found.tiz && tile < until; ++tile) {
      const unsigned char* record = nullptr;
      std::size_t bytes = 0;
      std::string why;
      if (!gray.record(tile, gray_kind, record, bytes, why)) {
        error = "cannot make a gray tile: " + why;
        return false;
      }
      if (!put.put(record, bytes)) {
        return false;
      }
    }
    return true;
  };
  for (const Run& run : runs) {
    RunReader in(source, run);
    for (int i = 0; i < run.count; ++i) {
      if (!put_gray_until(run.first + i) || !in.read(payload.get(), kRecordHeaderBytes)) {
        return false;
      }
      const std::size_t bytes = kRecordHeaderBytes + std::size_t{read_u16be(payload.get() + 4)};
      if (!in.read(payload.get() + kRecordHeaderBytes, bytes - kRecordHeaderBytes) ||
          !put.put(payload.get(), bytes)) {
        return false;
      }
      ++tile;
    }
  }
  return put_gray_until(found.announced) && put.flush();
}

bool Extractor::commit(std::string& error) {
  for (const std::string& name : names_) {
    const std::string target = platform::join_path(dir_, name);
    if (platform::kind_of(target.c_str()) != platform::Kind::none) {
      error = target + ": exists; nothing is written";
      staging_.discard();
      return false;
    }
  }
  for (const std::string& name : names_) {
    const std::string staged = staging_.staged() + "/" + name;
    const std::string target = platform::join_path(dir_, name);
    if (platform::rename_over(staged.c_str(), target.c_str()) != 0) {
      error = "cannot move " + name + " into " + dir_ + ": " + std::strerror(errno);
      staging_.discard();
      return false;
    }
  }
  staging_.discard();
  return true;
}
