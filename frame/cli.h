#pragma once

// The command line the picture tools share, in the usual Unix manner:
//
//   TOOL [OPTION]... INPUT OUTPUT        TOOL --help | --version
//
// --help prints the usage on standard output; a wrong usage prints a line on
// what is wrong and the usage on standard error, for status 2. Options a tool
// adds take a value, as "--name value" or "--name=value".

#include <functional>
#include <string>
#include <vector>

#include "output.h"

// The status a wrong usage ends with: nothing was written.
inline constexpr int kUsageStatus = kNothingWritten;

struct CommandLine {
  std::vector<std::string> switches;  // options without a value this tool takes
  std::vector<std::string> given;     // those of them given
  bool has(const std::string& name) const;
  bool quiet = false;
  const char* input = nullptr;
  const char* output = nullptr;
  // A tool that takes one or more inputs and no output sets `many`, and gets
  // them all in `operands`.
  bool many = false;
  std::vector<const char*> operands;
};

// Checks a tool's own option: the problem with `value`, or "" when it is taken.
using OptionValue = std::function<std::string(const std::string& name, const std::string& value)>;

// -1 when the run goes on with `line` filled in; else the status to end with.
int parse_command_line(int argc, char** argv, const char* program, const char* usage,
                       const std::vector<std::string>& valued, const OptionValue& take,
                       CommandLine& line);

// An option's value as a number from `low` to `high`, in digits of `base`
// (10, or 16 for a colour) and nothing else: no sign, no space; false when it
// is anything else.
bool whole_number(const std::string& text, long low, long high, long& value, int base = 10);

// --quality's value, a JPEG quality from 1 to 100, into `quality`: "" when it
// is one, else the message saying what it takes.
std::string take_quality(const std::string& value, int& quality);
