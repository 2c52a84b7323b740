#include "cli.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

static int wrong_usage(const char* program, const char* usage, const std::string& problem) {
  std::fprintf(stderr, "%s: %s\n%s", program, problem.c_str(), usage);
  return kUsageStatus;
}

bool whole_number(const std::string& text, long low, long high, long& value, int base) {
  const auto digit = [base](unsigned char c) {
    return std::isdigit(c) != 0 || (base == 16 && std::isxdigit(c) != 0);
  };
  if (text.empty() || text.size() > 18 || !std::all_of(text.begin(), text.end(), digit)) {
    return false;
  }
  value = std::strtol(text.c_str(), nullptr, base);
  return value >= low && value <= high;
}

std::string take_quality(const std::string& value, int& quality) {
  long number = 0;
  if (!whole_number(value, 1, 100, number)) {
    return "--quality takes a number from 1 to 100, not " + value;
  }
  quality = static_cast<int>(number);
  return "";
}

bool CommandLine::has(const std::string& name) const {
  return std::find(given.begin(), given.end(), name) != given.end();
}

int parse_command_line(int argc, char** argv, const char* program, const char* usage,
                       const std::vector<std::string>& valued, const OptionValue& take,
                       CommandLine& line) {
  std::vector<const char*> operands;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (options_done || arg.empty() || arg[0] != '-' || arg == "-") {
      operands.push_back(argv[i]);
    } else if (arg == "--") {
      options_done = true;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(usage, stdout);
      return 0;
    } else if (arg == "--version") {
      std::printf("%s (tiletools) %s\n", program, TILETOOLS_VERSION);
      return 0;
    } else if (arg == "--quiet" || arg == "-q") {
      line.quiet = true;
    } else if (std::find(line.switches.begin(), line.switches.end(), arg) != line.switches.end()) {
      line.given.push_back(arg);
    } else {
      const std::string name = arg.substr(0, arg.find('='));
      if (std::find(valued.begin(), valued.end(), name) == valued.end()) {
        return wrong_usage(program, usage, "unknown option " + arg);
      }
      std::string value;
      if (name != arg) {
        value = arg.substr(name.size() + 1);
      } else if (i + 1 < argc) {
        value = argv[++i];
      }
      const std::string problem = take(name, value);
      if (!problem.empty()) {
        return wrong_usage(program, usage, problem);
      }
    }
  }
  if (line.many) {
    if (operands.empty()) {
      return wrong_usage(program, usage, "an input is needed");
    }
    line.operands = operands;
    return -1;
  }
  if (operands.size() != 2) {
    return wrong_usage(
        program, usage,
        operands.size() < 2 ? "an input and an output are needed" : "too many arguments");
  }
  line.input = operands[0];
  line.output = operands[1];
  return -1;
}
