// moz-stitch: a MOZ file's whole picture as a PNG.
#include "stitch.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "console.h"
#include "output.h"
#include "source.h"

static const char kUsage[] =
    "usage: moz-stitch [--scale 1/2|1/4|1/8] [--quiet] FILE.moz OUT.png\n"
    "       moz-stitch --help | --version\n"
    "Writes the picture a MOZ file holds as an 8-bit RGB PNG (OUT may be - for\n"
    "standard output). --scale decodes every tile at 1/2, 1/4 or 1/8 of its size.\n"
    "Exit status: 0 every tile placed, 1 written with damaged or missing tiles\n"
    "(gray, each named on standard error), 2 no picture written.\n";

static int usage_error(const char* problem, const char* what) {
  std::fprintf(stderr, "moz-stitch: %s%s\n%s", problem, what, kUsage);
  return kStitchFailed;
}

int main(int argc, char** argv) {
  int scale = 1;
  bool quiet = false;
  const char* paths[2] = {nullptr, nullptr};
  int given = 0;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (options_done || arg == "-" || arg[0] != '-') {
      if (given == 2) {
        return usage_error("too many arguments: ", argv[i]);
      }
      paths[given++] = argv[i];
    } else if (arg == "--") {
      options_done = true;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--version") {
      std::puts("moz-stitch (tiletools) " TILETOOLS_VERSION);
      return 0;
    } else if (arg == "--quiet" || arg == "-q") {
      quiet = true;
    } else if (arg == "--scale" || arg.starts_with("--scale=")) {
      const std::string value = arg == "--scale" ? (i + 1 < argc ? argv[++i] : "") : arg.substr(8);
      if (value != "1/1" && value != "1/2" && value != "1/4" && value != "1/8") {
        return usage_error("--scale takes 1/2, 1/4 or 1/8, not ", value.c_str());
      }
      scale = value[2] - '0';
    } else {
      return usage_error("unknown option ", argv[i]);
    }
  }
  if (given != 2) {
    return usage_error("a MOZ file and an output file are needed", "");
  }

  Console console("moz-stitch", quiet);
  static RecordBuffer in;
  MozHeader header;
  StagedOutput out;
  std::string error;
  if (!open_picture(paths[0], in, header, console)) {
    return kStitchFailed;
  }
  if (!out.open_file(paths[1], error)) {
    console.say("%s", error.c_str());
    return kStitchFailed;
  }
  const StitchStatus status = stitch_png({in, header, scale, paths[0], console}, out.fd());
  if (status == kStitchFailed) {
    return status;
  }
  if (!out.commit(error)) {
    console.say("%s", error.c_str());
    return kStitchFailed;
  }
  return status;
}
