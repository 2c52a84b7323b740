#pragma once

// Container builders and a harness that runs the built tools in a fresh directory.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

using Bytes = std::string;

// Whether the tools under test are Windows executables, run under Wine: files
// there have no mode bits, and there is no /dev/stdin.
inline constexpr bool kWindowsTools = TILETOOLS_WINDOWS_TOOLS != 0;
using Files = std::map<std::string, Bytes>;  // tile file name -> exact contents

Bytes be16(unsigned value);
// A record with the tag and a length field that agrees with the payload.
Bytes record(char kind, const Bytes& payload);
Bytes tiz_file(unsigned tiles, const Bytes& records, unsigned char reserved6 = 0,
               unsigned char reserved7 = 0);
Bytes moz_file(unsigned width_field, unsigned height_field, const Bytes& records);
// Deterministic payload bytes that include every high-bit value.
Bytes pattern(std::size_t count, unsigned seed = 1);

// A fresh directory (under $TMPDIR, else tmpfs, else /tmp), removed with its contents.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path;
};

void write_file(const std::string& path, const Bytes& bytes);
Bytes read_file(const std::string& path);
Files files_in(const std::string& dir);

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// What a run may change in the tool's surroundings.
struct Surroundings {
  const Bytes* piped_input = nullptr;  // standard input a pipe fed these bytes
  const char* stdout_path = nullptr;   // standard output this file instead of caught
  long stack_kib = 0;                  // a stack limit (left alone under an emulator)
  bool input_ends = false;             // the pipe closed once fed, so the tool sees its end
  int stop_signal = 0;                 // sent once the tool has staged an output in cwd
};

// Runs a built tool (through the cross emulator when there is one) with `cwd` as
// its working directory. With `piped_input`, standard input is a pipe that is fed
// those bytes and left open until the tool has exited.
Outcome run_tool(const std::string& tool, const std::vector<std::string>& args,
                 const std::string& cwd, const Bytes* piped_input = nullptr);
Outcome run_tool(const std::string& tool, const std::vector<std::string>& args,
                 const std::string& cwd, const Surroundings& around);

// Runs an in-process walk with standard output caught: its status and its lines.
Outcome capture(const std::function<int()>& walk);

// A tool run on one input file in a fresh directory: what it printed and the
// tile files it left there.
struct ToolResult {
  Outcome run;
  Files files;
};
ToolResult run_on_file(const std::string& tool, const Bytes& input);

// One end-to-end row: a container, the exact output and status it must give, and
// for the extractors every tile file it must leave (and no other).
struct Case {
  const char* name;
  Bytes input;
  std::string out;
  int status;
  Files files;
};

// Runs `tool` on each row's input in a fresh directory; stderr must stay empty.
void expect_runs(const char* tool, const std::vector<Case>& cases);
