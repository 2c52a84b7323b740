#pragma once

// What both fuzz targets share: the input handed to a walk as a file, standard
// output thrown away, tile files in a private directory, and a check that the
// files a walk left are exactly the ones a plain reading of the input expects.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "tiles.h"

using TileFiles = std::map<std::string, std::string>;
using Walk = int (*)(RecordBuffer&);

// What the check needs to know of a format to read a container its own way.
struct PlainFormat {
  const char* magic;  // the first four bytes
  int (*announced_tiles)(const std::uint8_t* header);
  // The bytes the extractor must save for a record; false when it saves none.
  bool (*tile_file)(std::uint8_t kind, const std::uint8_t* payload, std::size_t length,
                    std::string& bytes);
};

// One fuzz input: the last byte picks the walk (even: `read`, odd: `save`), the
// rest is the container. The walk's status must be what an offset-by-offset
// reading of it finds, and the files it leaves exactly those of the records
// read before it stopped (none for `read`); anything else stops the process as
// a finding. LLVMFuzzerInitialize, in the harness, sets up the directory.
void check_walks(const std::uint8_t* data, std::size_t size, Walk read, Walk save,
                 const PlainFormat& format);

// Stops the process as a finding when `holds` is false.
void require(bool holds, const char* what);

// Runs `work` with the fuzz directory as the working directory; a finding
// when it leaves more or fewer descriptors open than it found.
void in_fuzz_directory(const std::function<void()>& work);

// Removes the (empty) fuzz directory; for the replay, when it is done.
void remove_fuzz_directory();

// Written out here rather than taken from the tools, so the check reads the
// input its own way.
inline std::uint16_t be16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] * 256 + bytes[1]);
}
