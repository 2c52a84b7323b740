#include "unpack.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "manifest.h"
#include "moz.h"
#include "output.h"
#include "platform.h"
#include "tiz.h"
#include "walk.h"
#include "zlib_part.h"

bool open_container(const char* path, bool tiz, RecordBuffer& in, ContainerHeader& header,
                    Console& console) {
  in.silent = true;
  in.fd = std::strcmp(path, "-") == 0 ? STDIN_FILENO : platform::open(path, O_RDONLY);
  if (in.fd < 0) {
    console.say("cannot open %s: %s", path, std::strerror(errno));
    return false;
  }
  header.tiz = tiz;
  bool read = false;
  if (tiz) {
    TizHeader fields;
    read = read_tiz_fields(in, fields);
    header.version = fields.version;
    header.tiles = fields.tiles;
    header.reserved[0] = fields.reserved[0];
    header.reserved[1] = fields.reserved[1];
  } else {
    MozHeader fields;
    read = read_moz_header(in, fields);
    header.version = fields.version;
    header.tiles = fields.tiles;
    header.width = fields.width;
    header.height = fields.height;
  }
  if (read) {
    return true;
  }
  if (in.failure.error != 0) {
    console.say("cannot read %s: %s", path, std::strerror(in.failure.error));
  } else {
    console.say("%s is not a %s file", path, tiz ? "TIZ" : "MOZ");
  }
  fail_run(in);
  return false;
}

namespace {

std::string part_name(int index, const char* extension) {
  char name[32];
  std::snprintf(name, sizeof name, "tile%04d%s", index, extension);
  return name;
}

// The folder being filled: part files, and the manifest written a block at a time.
class Folder {
 public:
  Folder(const std::string& dir, Console& console) : dir_(dir), console_(console) {
    dirfd_ = platform::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    manifest_ = dirfd_ < 0
                    ? -1
                    : platform::open_at(dirfd_, kManifestName, O_WRONLY | O_CREAT | O_EXCL, 0666);
    failed_ = manifest_ < 0 && fail(kManifestName);
  }
  ~Folder() {
    if (manifest_ >= 0) {
      platform::close(manifest_);
    }
    if (dirfd_ >= 0) {
      platform::close(dirfd_);
    }
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  bool failed() const { return failed_; }

  std::string& line() { return lines_; }
  void end_line() {
    lines_ += '\n';
    if (lines_.size() >= kManifestBlock) {
      flush();
    }
  }

  // Writes a part file; its name goes into the current line.
  void part(const std::string& name, const unsigned char* bytes, std::size_t size) {
    const int fd = create(name);
    if (fd >= 0 && !write_all(fd, bytes, size)) {
      fail(name.c_str());
    }
    finish(fd, name);
  }

  // A zlib part, inflated when asked and when it inflates cleanly.
  void zlib_part(int index, const unsigned char* bytes, std::size_t size, bool inflate,
                 const char* source) {
    if (inflate) {
      const std::string name = part_name(index, ".raw");
      const int fd = create(name);
      std::string why;
      const Inflated inflated = fd < 0 ? Inflated::whole : inflate_into(bytes, size, fd, why);
      if (inflated == Inflated::unwritten) {
        fail(name.c_str());
      }
      if (inflated != Inflated::not_zlib) {
        finish(fd, name);
        return;
      }
      platform::close(fd);
      platform::remove_at(dirfd_, name.c_str());
      console_.say("%s: tile %d's zlib data does not inflate (%s); it stays %s", source, index,
                   why.c_str(), part_name(index, ".zlib").c_str());
    }
    part(part_name(index, ".zlib"), bytes, size);
  }

  // What follows the last record, as trailer.bin when there is any; false
  // when it cannot be read.
  bool trailer(RecordBuffer& in) {
    static const std::string kName = "trailer.bin";
    int fd = -1;
    for (std::size_t waiting = look_ahead(in, kRecordBufferBytes); waiting > 0 && !failed_;
         waiting = look_ahead(in, kRecordBufferBytes)) {
      if (fd < 0) {
        fd = create(kName);
      }
      if (fd >= 0 && !write_all(fd, in.bytes + in.begin, waiting)) {
        fail(kName.c_str());
      }
      skip_bytes(in, waiting);
    }
    if (fd >= 0) {
      lines_ += "trailer";
      finish(fd, kName);
      end_line();
    }
    return in.failure.error == 0;
  }

  void flush() {
    if (!failed_ && !write_all(manifest_, lines_.data(), lines_.size())) {
      fail(kManifestName);
    }
    lines_.clear();
  }

  bool close_manifest() {
    flush();
    if (!failed_ && platform::close(manifest_) != 0) {
      fail(kManifestName);
    }
    manifest_ = -1;
    return !failed_;
  }

 private:
  static constexpr std::size_t kManifestBlock = std::size_t{64} * 1024;

  int create(const std::string& name) {
    if (failed_) {
      return -1;
    }
    const int fd = platform::open_at(dirfd_, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) {
      fail(name.c_str());
    }
    return fd;
  }

  void finish(int fd, const std::string& name) {
    if (fd >= 0 && platform::close(fd) != 0) {
      fail(name.c_str());
    }
    lines_ += ' ';
    lines_ += name;
  }

  bool fail(const char* name) {
    if (!failed_) {
      console_.say("cannot write %s/%s: %s", dir_.c_str(), name, std::strerror(errno));
    }
    failed_ = true;
    return true;
  }

  std::string dir_;
  Console& console_;
  int dirfd_ = -1;
  int manifest_ = -1;
  bool failed_ = false;
  std::string lines_;
};

void write_header(Folder& folder, const UnpackRun& run) {
  const ContainerHeader& header = run.header;
  std::string& line = folder.line();
  line += "# ";
  line += run.name;
  line += ", unpacked by tiletools: a line per record, in file order, naming its parts.\n";
  line += "format ";
  line += header.tiz ? "TIZ " : "MOZ ";
  line += manifest_byte(header.version);
  if (header.tiz) {
    line +=
        "\nreserved " + manifest_byte(header.reserved[0]) + " " + manifest_byte(header.reserved[1]);
  } else {
    line += "\nsize " + std::to_string(header.width) + " " + std::to_string(header.height);
  }
  folder.end_line();
}

void write_record(Folder& folder, const UnpackRun& run, const TileRecord& record) {
  const int index = record.index;
  std::string& line = folder.line();
  line += std::to_string(index);
  line += ' ';
  line += manifest_byte(record.kind);
  if (!run.header.tiz) {
    folder.part(part_name(index, ".jpg"), record.payload, record.payload_length);
    folder.end_line();
    return;
  }
  const TizTile tile = split_tiz_tile(record);
  switch (tile.method) {
    case TizMethod::zlib:
      folder.zlib_part(index, record.payload, record.payload_length, run.inflate, run.name);
      break;
    case TizMethod::zlib_jpeg:
      if (tile.jpeg != nullptr) {
        folder.zlib_part(index, record.payload + 2, static_cast<std::size_t>(tile.zlib_bytes),
                         run.inflate, run.name);
        folder.part(part_name(index, ".jpg"), tile.jpeg, static_cast<std::size_t>(tile.jpeg_bytes));
        break;
      }
      // A zlib length that leaves no room: the payload is kept whole.
      folder.part(part_name(index, ".bin"), record.payload, record.payload_length);
      break;
    case TizMethod::jpeg:
      folder.part(part_name(index, ".jpg"), record.payload, record.payload_length);
      break;
    case TizMethod::unknown:
      folder.part(part_name(index, ".bin"), record.payload, record.payload_length);
      break;
  }
  folder.end_line();
}

void write_missing(Folder& folder, int from, int to) {
  for (int index = from; index < to; ++index) {
    folder.line() += std::to_string(index) + " missing";
    folder.end_line();
  }
}

}  // namespace

UnpackStatus unpack(const UnpackRun& run, const std::string& dir) {
  Folder folder(dir, run.console);
  if (folder.failed()) {
    return kUnpackFailed;
  }
  write_header(folder, run);
  WalkOptions options;
  options.salvage = run.salvage;
  options.anchor_end = !run.header.tiz;
  options.on_skip = [&](std::uint64_t offset, std::uint64_t bytes) {
    const std::string skip = describe_skip(offset, bytes);
    run.console.say("%s: %s", run.name, skip.c_str());
    folder.line() += "# " + skip;
    folder.end_line();
  };
  options.on_note = [&](const std::string& note) {
    run.console.say("%s: %s", run.name, note.c_str());
  };
  RecordWalk walk(run.in, run.header.tiles, options);
  run.console.start(run.header.tiles);
  int placed = 0;  // MOZ: tiles listed so far
  TileRecord record;
  while (!folder.failed() && interruption() == 0 && walk.next(record)) {
    if (!run.header.tiz) {
      write_missing(folder, placed, record.index);
      placed = record.index + 1;
    }
    write_record(folder, run, record);
    if ((walk.delivered() & 1023) == 0) {
      run.console.advance(walk.delivered());
    }
  }
  run.console.finish();
  if (folder.failed()) {
    return kUnpackFailed;
  }
  if (!run.salvage && walk.damaged()) {
    run.console.say("%s breaks off at tile %d of %d: %s", run.name, walk.broke_at(),
                    run.header.tiles, describe_failure(run.in.failure).c_str());
  } else if (walk.damaged() && run.in.failure.error != 0) {
    run.console.say("cannot read %s: %s", run.name, std::strerror(run.in.failure.error));
  }
  if (!run.header.tiz) {
    write_missing(folder, placed, run.header.tiles);
  }
  bool whole = !walk.damaged();
  if (walk.finished() && !folder.trailer(run.in)) {
    run.console.say("cannot read %s: %s", run.name, std::strerror(run.in.failure.error));
    whole = false;
  }
  if (!folder.close_manifest()) {
    return kUnpackFailed;
  }
  return whole ? kUnpackClean : kUnpackDamaged;
}

int unpack_command(const char* program, bool tiz, const CommandLine& line) {
  Console console(program, line.quiet);
  static RecordBuffer in;
  ContainerHeader header;
  if (!open_container(line.input, tiz, in, header, console)) {
    return kUnpackFailed;
  }
  const UnpackRun run{in,         header, line.has("--inflate"), line.has("--salvage"),
                      line.input, console};
  return write_staged(line.output, OutputKind::folder, console,
                      [&](StagedOutput& out) { return unpack(run, out.staged()); });
}
