#include "pack.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "bytes.h"
#include "cli.h"
#include "gray_tile.h"
#include "manifest.h"
#include "moz.h"
#include "output.h"
#include "platform.h"
#include "tiles.h"
#include "tiz.h"
#include "zlib_part.h"

namespace {

// A TIZ stores its record count in 16 bits, and a payload's length is 16 bits.

// The manifest, a line at a time, with its line number for every message.
class ManifestReader {
 public:
  ManifestReader(const std::string& dir, Console& console)
      : path_(platform::join_path(dir, kManifestName)), console_(console) {
    file_ = platform::open_stream(path_.c_str(), "rb");
    if (file_ == nullptr) {
      console_.say("cannot read %s: %s", path_.c_str(), std::strerror(errno));
    }
  }
  ~ManifestReader() {
    if (file_ != nullptr) {
      std::fclose(file_);
    }
  }
  ManifestReader(const ManifestReader&) = delete;
  ManifestReader& operator=(const ManifestReader&) = delete;

  bool opened() const { return file_ != nullptr; }

  // The next statement; false at the end or, said, at a line that does not parse.
  bool next(ManifestLine& line) {
    for (;;) {
      if (std::fgets(text_, sizeof text_, file_) == nullptr) {
        if (std::ferror(file_) != 0) {
          failed_ = true;
          console_.say("cannot read %s: %s", path_.c_str(), std::strerror(errno));
        }
        return false;
      }
      ++number_;
      const std::size_t length = std::strlen(text_);
      if (length == sizeof text_ - 1 && text_[length - 1] != '\n' && std::feof(file_) == 0) {
        return problem("a line longer than %zu characters", sizeof text_ - 2);
      }
      std::string error;
      if (!parse_manifest_line(std::string_view(text_, length), line, error)) {
        return problem("%s", error.c_str());
      }
      if (line.kind != ManifestLine::blank) {
        return true;
      }
    }
  }

  bool failed() const { return failed_; }

  bool problem(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    char what[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(what, sizeof what, format, args);
    va_end(args);
    console_.say("%s:%d: %s", path_.c_str(), number_, what);
    failed_ = true;
    return false;
  }

 private:
  std::string path_;
  Console& console_;
  std::FILE* file_ = nullptr;
  // Far longer than any line a manifest needs: names are the only long words.
  char text_[4096];
  int number_ = 0;
  bool failed_ = false;
};

class Packer {
 public:
  Packer(const PackRun& run, int out) : run_(run), out_(out) {
    dirfd_ = platform::open(run.dir.c_str(), O_RDONLY | O_DIRECTORY);
    buffer_.reserve(kOutBlock);
  }
  ~Packer() {
    if (dirfd_ >= 0) {
      platform::close(dirfd_);
    }
  }
  Packer(const Packer&) = delete;
  Packer& operator=(const Packer&) = delete;

  bool run() {
    if (dirfd_ < 0) {
      run_.console.say("cannot open %s: %s", run_.dir.c_str(), std::strerror(errno));
      return false;
    }
    return walk(false) && walk(true) && flush();
  }

 private:
  static constexpr std::size_t kOutBlock = std::size_t{256} * 1024;

  struct ContainerFields {
    unsigned char version = '0';
    int first = 0;
    int second = 0;
  };

  // Reads the manifest through: first only checking, then writing.
  bool walk(bool writing) {
    ManifestReader reader(run_.dir, run_.console);
    if (!reader.opened()) {
      return false;
    }
    ManifestLine line;
    bool have_format = false;
    bool have_size = false;
    bool have_records = false;
    ContainerFields fields;
    long records = 0;
    std::string trailer;
    while (reader.next(line)) {
      if (!have_format && line.kind != ManifestLine::format) {
        return reader.problem("the first statement must be: format %s 0", format_name());
      }
      switch (line.kind) {
        case ManifestLine::format:
          if (have_format) {
            return reader.problem("a second format statement");
          }
          if (line.format_name != format_name()) {
            return reader.problem("a %s manifest; %s packs %s", line.format_name.c_str(),
                                  run_.tiz ? "tiz-pack" : "moz-pack", format_name());
          }
          have_format = true;
          fields.version = line.version;
          break;
        case ManifestLine::reserved:
        case ManifestLine::size:
          if ((line.kind == ManifestLine::reserved) != run_.tiz) {
            return reader.problem("%s has no %s", format_name(),
                                  run_.tiz ? "size (it counts records)" : "reserved bytes");
          }
          if (have_records || have_size) {
            return reader.problem("the header statements come once, before the records");
          }
          have_size = true;
          fields.first = line.first;
          fields.second = line.second;
          break;
        case ManifestLine::record:
        case ManifestLine::missing:
          if (!run_.tiz && !have_size) {
            return reader.problem("a MOZ manifest gives its size before the records");
          }
          if (!have_records && writing && !write_header(fields)) {
            return false;
          }
          have_records = true;
          ++records;
          if (run_.tiz && records > kTizMostTiles) {
            return reader.problem("a TIZ holds at most 65535 records");
          }
          if (!record(reader, line, fields, records - 1, writing)) {
            return false;
          }
          break;
        case ManifestLine::trailer:
          if (!trailer.empty()) {
            return reader.problem("a second trailer");
          }
          trailer = line.parts[0];
          break;
        case ManifestLine::blank:
          break;
      }
    }
    if (reader.failed()) {
      return false;
    }
    if (!have_format) {
      return reader.problem("no format statement");
    }
    if (!run_.tiz && !have_size) {
      return reader.problem("a MOZ manifest needs: size WIDTH HEIGHT");
    }
    if (!run_.tiz) {
      const long expected = std::max(0, moz_tile_count(static_cast<std::int16_t>(fields.first),
                                                       static_cast<std::int16_t>(fields.second)));
      if (records != expected) {
        return reader.problem("%ld tile lines, but a MOZ of %d x %d holds %ld tiles", records,
                              fields.first, fields.second, expected);
      }
    }
    if (!writing) {
      records_ = records;
      return true;
    }
    if (!have_records && !write_header(fields)) {
      return false;
    }
    return trailer.empty() || copy_part(reader, trailer);
  }

  const char* format_name() const { return run_.tiz ? "TIZ" : "MOZ"; }

  bool write_header(const ContainerFields& fields) {
    unsigned char header[kFileHeaderBytes];
    if (run_.tiz) {
      const unsigned char reserved[2] = {static_cast<unsigned char>(fields.first),
                                         static_cast<unsigned char>(fields.second)};
      make_tiz_header(header, fields.version, static_cast<std::uint16_t>(records_), reserved);
    } else {
      make_moz_header(header, fields.version, static_cast<std::int16_t>(fields.first),
                      static_cast<std::int16_t>(fields.second));
      gray_.resize(fields.first, fields.second);
    }
    return put(header, sizeof header);
  }

  // Checks, or writes, one record line.
  bool record(ManifestReader& reader, const ManifestLine& line, const ContainerFields&,
              long position, bool writing) {
    if (line.kind == ManifestLine::missing) {
      if (run_.tiz) {
        return reader.problem("a TIZ record cannot be missing: leave its line out");
      }
      return !writing || gray_record(reader, position);
    }
    std::vector<PartType> types;
    for (const std::string& part : line.parts) {
      PartType type{};
      part_type(part, type);
      types.push_back(type);
    }
    const bool split = run_.tiz && line.record_kind == '1' && types.size() == 2;
    if (split && (types[0] != PartType::zlib && types[0] != PartType::raw)) {
      return reader.problem("a method 1 record takes a .zlib or .raw part, then a .jpg part");
    }
    if (split && types[1] != PartType::jpeg) {
      return reader.problem("a method 1 record's second part is its JPEG data (.jpg)");
    }
    if (!split && types.size() != 1) {
      return reader.problem("record %ld takes one part%s", line.index,
                            run_.tiz ? " (two for method 1: zlib, then JPEG)" : "");
    }
    if (!split && !kind_takes(line.record_kind, types[0])) {
      return reader.problem("record %ld: kind %s does not take the part %s", line.index,
                            manifest_byte(line.record_kind).c_str(), line.parts[0].c_str());
    }
    if (!writing) {
      if (kind_ == 0) {
        kind_ = line.record_kind;
      }
      return true;
    }
    size_ = 0;
    if (split) {
      size_ = 2;
    }
    for (std::size_t i = 0; i < line.parts.size(); ++i) {
      if (!load_part(reader, line, line.parts[i], types[i])) {
        return false;
      }
      if (split && i == 0) {
        write_u16be(payload_.get(), static_cast<std::uint16_t>(size_ - 2));
      }
    }
    return put_record(line.record_kind);
  }

  bool kind_takes(unsigned char kind, PartType type) const {
    if (!run_.tiz || type == PartType::whole) {
      return run_.tiz || type != PartType::raw;
    }
    switch (kind) {
      case '0':
        return type == PartType::zlib || type == PartType::raw;
      case '1':
        return false;  // two parts, or the payload whole as .bin
      case '2':
        return type == PartType::jpeg;
      default:
        return type != PartType::raw;
    }
  }

  // Opens a part for reading: each folder on its way, then the file, none of
  // them a symbolic link (unless links are followed), all from the folder's
  // own descriptor, so nothing can be swapped between a check and the read.
  // -1 with errno on failure, ELOOP for a link.
  int open_part(const std::string& name) const {
    const int no_follow = run_.follow_links ? 0 : O_NOFOLLOW;
    int at = dirfd_;
    std::size_t begin = 0;
    for (std::size_t slash = name.find('/'); slash != std::string::npos;
         slash = name.find('/', begin)) {
      const std::string step = name.substr(begin, slash - begin);
      const int folder =
          platform::open_at(at, step.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | no_follow);
      int error = errno;
      if (folder < 0 && error == ENOTDIR && platform::is_link_at(at, step.c_str())) {
        error = ELOOP;  // what Linux says of a link to a folder opened so
      }
      if (at != dirfd_) {
        platform::close(at);
      }
      if (folder < 0) {
        errno = error;
        return -1;
      }
      at = folder;
      begin = slash + 1;
    }
    const int fd = platform::open_at(at, name.c_str() + begin, O_RDONLY | O_CLOEXEC | no_follow);
    const int error = errno;
    if (at != dirfd_) {
      platform::close(at);
    }
    errno = error;
    return fd;
  }

  bool cannot_open(ManifestReader& reader, const std::string& name) const {
    if (errno == ELOOP) {
      return reader.problem(
          "%s is a symbolic link, or lies in one; --follow-links packs what it "
          "points to",
          name.c_str());
    }
    return reader.problem("%s: %s", name.c_str(), std::strerror(errno));
  }

  // Appends the part's bytes to the payload, deflating a .raw part. A part is
  // read with as few calls as a file allows: one, unless it is larger than a
  // payload can be.
  bool load_part(ManifestReader& reader, const ManifestLine& line, const std::string& name,
                 PartType type) {
    const int fd = open_part(name);
    if (fd < 0) {
      return cannot_open(reader, name);
    }
    const std::size_t before = size_;
    std::string why;
    bool loaded = true;
    if (type == PartType::raw) {
      std::vector<unsigned char> deflated;
      loaded = deflate_from(fd, kLargestPayload - before, deflated, why);
      std::copy(deflated.begin(), deflated.end(), payload_.get() + before);
      size_ += deflated.size();
    } else {
      const long long got =
          read_all(fd, payload_.get() + before, kPayloadRoom - before, InputEnd::at_short_read);
      loaded = got >= 0;
      why = loaded ? "" : std::strerror(errno);
      size_ = before + (loaded ? static_cast<std::size_t>(got) : 0);
    }
    // Only a part too large is asked its size, for the message; one that
    // cannot tell it (a pipe) is refused all the same.
    if (loaded && size_ > kLargestPayload) {
      const std::int64_t part_size = platform::file_size(fd);
      platform::close(fd);
      if (part_size < 0) {
        return reader.problem("record %ld's payload would be over 65535 bytes, what a record holds",
                              line.index);
      }
      return reader.problem("record %ld's payload would be %zu bytes; a record holds at most 65535",
                            line.index, before + static_cast<std::size_t>(part_size));
    }
    platform::close(fd);
    return loaded || reader.problem("%s: %s", name.c_str(), why.c_str());
  }

  bool copy_part(ManifestReader& reader, const std::string& name) {
    const int fd = open_part(name);
    if (fd < 0) {
      return cannot_open(reader, name);
    }
    if (!flush()) {
      platform::close(fd);
      return false;
    }
    const bool copied = copy_all(fd, out_);
    const int error = errno;
    platform::close(fd);
    return copied || reader.problem("%s: %s", name.c_str(), std::strerror(error));
  }

  // A tile whose record was lost: gray, the size of its cell.
  bool gray_record(ManifestReader& reader, long position) {
    const unsigned char* record = nullptr;
    std::size_t bytes = 0;
    std::string why;
    if (!gray_.record(position, kind_ != 0 ? kind_ : 'J', record, bytes, why)) {
      return reader.problem("cannot make a gray tile: %s", why.c_str());
    }
    return put(record, bytes);
  }

  bool put_record(unsigned char kind) {
    unsigned char header[kRecordHeaderBytes];
    make_record_header(header, kind, static_cast<std::uint16_t>(size_));
    return put(header, sizeof header) && put(payload_.get(), size_);
  }

  bool put(const unsigned char* bytes, std::size_t size) {
    if (buffer_.size() + size > kOutBlock && !flush()) {
      return false;
    }
    buffer_.insert(buffer_.end(), bytes, bytes + size);
    return true;
  }

  bool flush() {
    if (!write_all(out_, buffer_.data(), buffer_.size())) {
      run_.console.say("cannot write the container: %s", std::strerror(errno));
      return false;
    }
    buffer_.clear();
    return true;
  }

  const PackRun& run_;
  int out_;
  int dirfd_ = -1;
  long records_ = 0;
  unsigned char kind_ = 0;  // the first record's, for gray tiles
  std::vector<unsigned char> buffer_;
  // One byte more than a payload holds, which tells a part that is too large.
  static constexpr std::size_t kPayloadRoom = kLargestPayload + 1;
  std::unique_ptr<unsigned char[]> payload_{new unsigned char[kPayloadRoom]};
  std::size_t size_ = 0;
  GrayTiles gray_{0, 0};
};

}  // namespace

bool pack(const PackRun& run, int fd) { return Packer(run, fd).run(); }

int pack_command(const char* program, bool tiz, const CommandLine& line) {
  Console console(program, line.quiet);
  return write_staged(line.output, OutputKind::file, console, [&](StagedOutput& out) {
    return pack(PackRun{line.input, tiz, console, line.has("--follow-links")}, out.fd())
               ? kOutputWhole
               : kNothingWritten;
  });
}
