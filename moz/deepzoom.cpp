// moz-deepzoom: a MOZ file as a Deep Zoom pyramid with an offline viewer.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "console.h"
#include "output.h"
#include "pyramid.h"
#include "source.h"
#include "viewer.h"

static const char kUsage[] =
    "usage: moz-deepzoom [--quality Q] [--quiet] FILE.moz DIR\n"
    "       moz-deepzoom --help | --version\n"
    "Writes DIR (new, or empty) holding a Deep Zoom pyramid of the picture a MOZ\n"
    "file holds, whose finest level is the file's own tiles, and index.html, a\n"
    "viewer that opens from disk. --quality (1 to 100, default 90) is for the\n"
    "tiles it encodes. Exit status: 0 every tile placed, 1 written with damaged\n"
    "or missing tiles (gray, each named on standard error), 2 nothing written.\n";

static int usage_error(const char* problem, const char* what) {
  std::fprintf(stderr, "moz-deepzoom: %s%s\n%s", problem, what, kUsage);
  return kStitchFailed;
}

static const char* base_name(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

int main(int argc, char** argv) {
  int quality = 90;
  bool quiet = false;
  const char* paths[2] = {nullptr, nullptr};
  int given = 0;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (options_done || arg[0] != '-' || arg == "-") {
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
      std::puts("moz-deepzoom (tiletools) " TILETOOLS_VERSION);
      return 0;
    } else if (arg == "--quiet" || arg == "-q") {
      quiet = true;
    } else if (arg == "--quality" || arg.starts_with("--quality=")) {
      const std::string value =
          arg == "--quality" ? (i + 1 < argc ? argv[++i] : "") : arg.substr(10);
      char* end = nullptr;
      const long number = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || number < 1 || number > 100) {
        return usage_error("--quality takes a number from 1 to 100, not ", value.c_str());
      }
      quality = static_cast<int>(number);
    } else {
      return usage_error("unknown option ", argv[i]);
    }
  }
  if (given != 2) {
    return usage_error("a MOZ file and an output folder are needed", "");
  }

  Console console("moz-deepzoom", quiet);
  static RecordBuffer in;
  MozHeader header;
  StagedOutput out;
  std::string error;
  if (!open_picture(paths[0], in, header, console)) {
    return kStitchFailed;
  }
  if (!out.make_folder(paths[1], error)) {
    console.say("%s", error.c_str());
    return kStitchFailed;
  }
  const StitchStatus status = write_pyramid({in, header, quality, paths[0], console}, out.staged());
  if (interruption() != 0) {
    out.discard();
    end_as_interrupted();
  }
  if (status == kStitchFailed) {
    return status;
  }
  std::string why;
  const std::string viewer = find_viewer(argv[0], why);
  if (viewer.empty() || !install_viewer(viewer, out.staged(), base_name(paths[0]), header.width,
                                        header.height, why)) {
    console.say("index.html is left out: %s; the pyramid and picture.dzi are written", why.c_str());
  }
  if (!out.commit(error)) {
    console.say("%s", error.c_str());
    return kStitchFailed;
  }
  return status;
}
