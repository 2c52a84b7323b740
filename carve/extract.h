#pragma once

// Found containers written out as files: NAME@OFFSET.tiz or NAME@OFFSET.moz
// in a folder. An intact or fragmented container is its pieces' bytes, as
// they were; a cut or damaged one is written again from the records found
// (TIZ: renumbered in order; MOZ: each tile in its place, a lost one gray),
// so that every file written is read to its end by the container tools.
//
// Everything is staged in a folder of its own inside DIR and moved into
// place only when the scan is over and no name clashes with a file already
// there: a run that fails writes nothing, and an existing file is never
// replaced.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "finder.h"
#include "output.h"

class Extractor {
 public:
  Extractor() = default;
  ~Extractor();
  Extractor(const Extractor&) = delete;
  Extractor& operator=(const Extractor&) = delete;

  // Makes DIR if it is missing, and the staging folder inside it.
  bool open(const std::string& dir, std::string& error);

  // The input the next containers come from: `name` its base name; `fd` a
  // descriptor that can be read again at any offset, or -1 for a stream,
  // whose containers are kept from the finder's capture.
  void begin_input(const std::string& name, int fd);
  void capture(std::uint64_t container, const unsigned char* bytes, std::size_t count);
  void end_input();

  // Stages `found`; false with `error` when it cannot be written or its name
  // is taken (then the run writes nothing).
  bool write(const Found& found, std::string& error);

  // Moves everything staged into DIR; false with `error` when a name is taken.
  bool commit(std::string& error);

  // Removes everything staged (a run asked to stop).
  void discard() {
    end_input();
    staging_.discard();
  }

  int written() const { return static_cast<int>(names_.size()); }

 private:
  bool write_again(const Found& found, int source, const std::vector<Run>& runs, int out,
                   std::string& error);

  std::string dir_;
  StagedOutput staging_;
  std::string name_;
  int fd_ = -1;
  struct Kept {
    int fd = -1;
    std::string path;
  };
  void drop(Kept& kept);
  std::map<std::uint64_t, Kept> captures_;  // a stream's containers being kept
  std::vector<std::string> names_;
  int kept_ = 0;
};
