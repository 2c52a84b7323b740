// moz-deepzoom: a MOZ file as a Deep Zoom pyramid with an offline viewer.
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli.h"
#include "console.h"
#include "output.h"
#include "platform.h"
#include "pyramid.h"
#include "source.h"
#include "viewer.h"

static const char kUsage[] =
    "usage: moz-deepzoom [--quality Q] [--salvage] [--quiet] FILE.moz DIR\n"
    "       moz-deepzoom --help | --version\n"
    "Writes DIR (new, or empty) holding a Deep Zoom pyramid of the picture a MOZ\n"
    "file holds, whose finest level is the file's own tiles, and index.html, a\n"
    "viewer that opens from disk. --quality (1 to 100, default 90) is for the\n"
    "tiles it encodes; --salvage places the intact records past damaged ones.\n"
    "Exit status: 0 every tile placed, 1 written with damaged\n"
    "or missing tiles (gray, each named on standard error), 2 nothing written.\n";

int main(int argc, char** argv) {
  platform::start(argc, argv);
  int quality = 90;
  CommandLine line;
  line.switches = {"--salvage"};
  const int ended = parse_command_line(
      argc, argv, "moz-deepzoom", kUsage, {"--quality"},
      [&](const std::string&, const std::string& value) { return take_quality(value, quality); },
      line);
  if (ended >= 0) {
    return ended;
  }

  Console console("moz-deepzoom", line.quiet);
  static RecordBuffer in;
  MozHeader header;
  if (!open_picture(line.input, in, header, console)) {
    return kStitchFailed;
  }
  return write_staged(line.output, OutputKind::folder, console, [&](StagedOutput& out) {
    const StitchStatus status = write_deep_zoom(
        {in, header, quality, line.input, console, line.has("--salvage")}, out.staged());
    if (status == kStitchFailed || interruption() != 0) {
      return status;
    }
    std::string why;
    const std::string viewer = find_viewer(argv[0], why);
    if (viewer.empty() ||
        !install_viewer(viewer, out.staged(), platform::split_path(line.input).name, header.width,
                        header.height, why)) {
      console.say("index.html is left out: %s; the pyramid and picture.dzi are written",
                  why.c_str());
    }
    return status;
  });
}
