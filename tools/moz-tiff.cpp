// moz-tiff: a MOZ file as a tiled pyramidal TIFF, its tiles copied in.
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "console.h"
#include "output.h"
#include "platform.h"
#include "source.h"
#include "tiff.h"

static const char kUsage[] =
    "usage: moz-tiff [--quality Q] [--bigtiff] [--salvage] [--quiet] FILE.moz OUT.tif\n"
    "       moz-tiff --help | --version\n"
    "Writes the picture a MOZ file holds as a tiled pyramidal TIFF that image,\n"
    "map and slide programs open at any size: the full picture in the file's\n"
    "own JPEG tiles, copied without decoding, then each level half the one\n"
    "before, down to one tile. --quality (1 to 100, default 90) is for the\n"
    "tiles it encodes; --bigtiff writes BigTIFF whatever the size (it is\n"
    "written anyway past 4 GiB); --salvage places the intact records past\n"
    "damaged ones. Exit status: 0 every tile placed, 1 written with damaged\n"
    "or missing tiles (gray, each named on standard error), 2 nothing written.\n";

int main(int argc, char** argv) {
  platform::start(argc, argv);
  int quality = 90;
  CommandLine line;
  line.switches = {"--salvage", "--bigtiff"};
  const int ended = parse_command_line(
      argc, argv, "moz-tiff", kUsage, {"--quality"},
      [&](const std::string&, const std::string& value) { return take_quality(value, quality); },
      line);
  if (ended >= 0) {
    return ended;
  }
  if (std::string(line.output) == "-") {
    std::fprintf(stderr, "moz-tiff: a TIFF is written to a file, not to standard output\n%s",
                 kUsage);
    return kUsageStatus;
  }

  Console console("moz-tiff", line.quiet);
  static RecordBuffer in;
  MozHeader header;
  if (!open_picture(line.input, in, header, console)) {
    return kStitchFailed;
  }
  const std::vector<unsigned char> first = read_first_tile(line.input);
  const TiffRun tiff{line.has("--bigtiff"), first.empty() ? nullptr : first.data(), first.size()};
  return write_staged(line.output, OutputKind::file, console, [&](StagedOutput& out) {
    return write_tiff({in, header, quality, line.input, console, line.has("--salvage")}, tiff,
                      out.fd());
  });
}
