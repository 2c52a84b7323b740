#pragma once

// A container taken apart into a folder: manifest.txt and a file per part,
// so that pack makes the same bytes again from an untouched folder.

#include <string>

#include "console.h"
#include "output.h"
#include "tiles.h"

// The header of either format, as read or as a manifest gives it.
struct ContainerHeader {
  bool tiz = true;
  unsigned char version = '0';
  int tiles = 0;                       // TIZ: stored; MOZ: from the size
  unsigned char reserved[2] = {0, 0};  // TIZ
  int width = 0;                       // MOZ
  int height = 0;                      // MOZ
};

struct UnpackRun {
  RecordBuffer& in;  // just past the header
  ContainerHeader header;
  bool inflate = false;  // TIZ zlib parts as .raw
  bool salvage = false;
  const char* name = "";
  Console& console;
};

enum UnpackStatus {
  kUnpackClean = kOutputWhole,
  kUnpackDamaged = kOutputDamaged,
  kUnpackFailed = kNothingWritten
};

// Reads the rest of the container into `dir` (an empty folder): kUnpackFailed,
// said on the console, when a file there cannot be written.
UnpackStatus unpack(const UnpackRun& run, const std::string& dir);

// Opens `path` and reads its header: false, with the reason said and the input
// closed again, when it cannot be read or is not a container of the format asked for.
bool open_container(const char* path, bool tiz, RecordBuffer& in, ContainerHeader& header,
                    Console& console);

struct CommandLine;

// The whole run of tiz-unpack (`tiz`) or moz-unpack on its parsed command
// line: the folder staged beside DIR and renamed when complete; the status.
int unpack_command(const char* program, bool tiz, const CommandLine& line);
