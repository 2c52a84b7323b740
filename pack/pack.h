#pragma once

// A folder of parts and its manifest put back together as a container. The
// whole manifest is checked first (every line, the kinds of parts, the
// counts); each part is then read as its record is written, into output
// staged beside its target, so a failure anywhere leaves the target alone.

#include <string>

#include "console.h"

struct PackRun {
  std::string dir;
  bool tiz = true;
  Console& console;
  // A part that is a symbolic link, or inside one, is refused unless this
  // is given: a folder from someone else must not pack the files it points to.
  bool follow_links = false;
};

// Checks the manifest and writes the container to `fd`; false, said on the
// console, when the folder does not make one or a write fails.
bool pack(const PackRun& run, int fd);

struct CommandLine;

// The whole run of tiz-pack (`tiz`) or moz-pack on its parsed command line:
// the container staged beside OUT and renamed when complete; 0, or 2 with OUT
// left as it was.
int pack_command(const char* program, bool tiz, const CommandLine& line);
