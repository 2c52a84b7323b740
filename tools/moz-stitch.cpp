// moz-stitch: a MOZ file's whole picture as a PNG.
#include <cstdio>
#include <string>

#include "cli.h"
#include "console.h"
#include "output.h"
#include "platform.h"
#include "source.h"
#include "stitch.h"
#include "thumbnail.h"

static const char kUsage[] =
    "usage: moz-stitch [--scale 1/2|1/4|1/8 | --size N] [--salvage] [--quiet] FILE.moz OUT.png\n"
    "       moz-stitch --help | --version\n"
    "Writes the picture a MOZ file holds as an 8-bit RGB PNG (OUT may be - for\n"
    "standard output). --scale decodes every tile at 1/2, 1/4 or 1/8 of its size;\n"
    "--size fits the whole picture within N x N pixels, a thumbnail; given a TIZ\n"
    "file, it makes the thumbnail of its first JPEG tile.\n"
    "--salvage places the intact records past damaged ones where they belong.\n"
    "Exit status: 0 every tile placed, 1 written with damaged or missing tiles\n"
    "(gray, each named on standard error), 2 no picture written.\n";

int main(int argc, char** argv) {
  platform::start(argc, argv);
  int scale = 1;
  int size = 0;
  CommandLine line;
  line.switches = {"--salvage"};
  const int ended = parse_command_line(
      argc, argv, "moz-stitch", kUsage, {"--scale", "--size"},
      [&](const std::string& name, const std::string& value) -> std::string {
        if (name == "--size") {
          long number = 0;
          if (!whole_number(value, 1, 32767, number)) {
            return "--size takes a number of pixels from 1 to 32767, not " + value;
          }
          size = static_cast<int>(number);
          return "";
        }
        if (value != "1/1" && value != "1/2" && value != "1/4" && value != "1/8") {
          return "--scale takes 1/2, 1/4 or 1/8, not " + value;
        }
        scale = value[2] - '0';
        return "";
      },
      line);
  if (ended >= 0) {
    return ended;
  }
  if (size > 0 && scale != 1) {
    std::fprintf(stderr, "moz-stitch: --size and --scale do not go together\n%s", kUsage);
    return kUsageStatus;
  }

  Console console("moz-stitch", line.quiet);
  static RecordBuffer in;
  MozHeader header;
  // A file manager asks for a TIZ's thumbnail too: its first JPEG tile.
  const bool tiz = size > 0 && is_tiz_file(line.input);
  if (tiz) {
    in.fd = platform::open(line.input, O_RDONLY);
  } else if (!open_picture(line.input, in, header, console)) {
    return kStitchFailed;
  }
  return write_staged(line.output, OutputKind::file, console, [&](StagedOutput& out) {
    return tiz ? tiz_thumbnail(in, line.input, size, console, out.fd())
               : stitch_png({in, header, scale, line.input, console, line.has("--salvage"), size},
                            out.fd());
  });
}
