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

// Once per process: standard output to /dev/null, working directory a fresh one.
void enter_private_directory();

// Runs `walk` on `size` bytes given as an input descriptor; returns its status.
int run_walk(int (*walk)(RecordBuffer&), const std::uint8_t* data, std::size_t size);

// Every file in the working directory, removed as it is read.
TileFiles take_tile_files();

// The file name an extractor must give tile `index`.
std::string tile_name(int index);

// Stops the process with the reason when `holds` is false: a finding.
void require(bool holds, const char* what);
