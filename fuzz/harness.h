#pragma once

// What both fuzz targets share: the input handed to a walk as a file, standard
// output thrown away, tile files in a private directory, and a check that the
// files a walk left are exactly the ones a plain reading of the input expects.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "tiles.h"

using TileFiles = std::map<std::string, std::string>;
using Walk = int (*)(RecordBuffer&);
using ExpectedRun = int (*)(const std::uint8_t* data, std::size_t size, TileFiles& files);

// Once per process: standard output to /dev/null, working directory a fresh one.
void enter_private_directory();

// One fuzz input: the last byte picks the walk (even: `read`, odd: `save`), the
// rest is the container. The walk's status must be what `expected_run` finds by
// a plain reading, and the files it leaves exactly those `expected_run` lists
// (none for `read`); anything else stops the process as a finding.
void check_walks(const std::uint8_t* data, std::size_t size, Walk read, Walk save,
                 ExpectedRun expected_run);

// The file name an extractor must give tile `index`.
std::string tile_name(int index);

// Written out here rather than taken from the tools, so the check reads the
// input its own way.
inline std::uint16_t be16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] * 256 + bytes[1]);
}
