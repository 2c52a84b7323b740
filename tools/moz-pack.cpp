// moz-pack: a MOZ from a folder of parts and its manifest, or from a picture.
#include <cerrno>
#include <cstring>

#include "cli.h"
#include "cut.h"
#include "output.h"
#include "pack.h"
#include "platform.h"

static const char kUsage[] =
    "usage: moz-pack [--follow-links] [--quiet] DIR OUT.moz\n"
    "       moz-pack [--quality Q] [--reencode] [--background RRGGBB] [--page N] [--quiet]\n"
    "                PICTURE OUT.moz\n"
    "       moz-pack --help | --version\n"
    "Writes the MOZ file that DIR/manifest.txt describes: its tiles in the order of\n"
    "their lines, as many as its size asks; a missing tile is written gray. Parts\n"
    "are files inside DIR; one that is a symbolic link is refused unless\n"
    "--follow-links is given.\n"
    "Or cuts PICTURE (a PNG or a JPEG, - for standard input, or a TIFF file) into a\n"
    "MOZ of 64-pixel tiles: a JPEG's tiles keep its own coefficients where its\n"
    "blocks fall on the tiles (unless --reencode); other tiles are encoded at\n"
    "quality Q (default 90), transparent pixels over the background (default\n"
    "ffffff). --page N takes a TIFF's page N (from 0) instead of its first.\n"
    "OUT may be - for standard output.\n"
    "Exit status: 0 written, 2 nothing written (OUT as it was).\n";

static bool is_folder(const char* path) {
  return std::strcmp(path, "-") != 0 && platform::kind_of(path) == platform::Kind::folder;
}

int main(int argc, char** argv) {
  platform::start(argc, argv);
  Console quiet_console(nullptr, true);
  CutRun run{"", 90, false, Rgb{}, quiet_console};
  bool picture_options = false;
  CommandLine line;
  line.switches = {"--reencode", "--follow-links"};
  const int ended = parse_command_line(
      argc, argv, "moz-pack", kUsage, {"--quality", "--background", "--page"},
      [&](const std::string& name, const std::string& value) -> std::string {
        picture_options = true;
        if (name == "--quality") {
          return take_quality(value, run.quality);
        }
        long number = 0;
        if (name == "--page" && !whole_number(value, 0, 65535, number)) {
          return "--page takes a page number from 0 to 65535, not " + value;
        }
        if (name == "--background" &&
            (value.size() != 6 || !whole_number(value, 0, 0xffffff, number, 16))) {
          return "--background takes a colour as RRGGBB, not " + value;
        }
        if (name == "--page") {
          run.page = static_cast<int>(number);
        } else {
          run.background = Rgb{static_cast<unsigned char>(number >> 16),
                               static_cast<unsigned char>((number >> 8) & 0xff),
                               static_cast<unsigned char>(number & 0xff)};
        }
        return "";
      },
      line);
  if (ended >= 0) {
    return ended;
  }
  if (is_folder(line.input)) {
    if (picture_options || line.has("--reencode")) {
      std::fprintf(stderr,
                   "moz-pack: --quality, --reencode, --background and --page are for a picture\n");
      return kUsageStatus;
    }
    return pack_command("moz-pack", false, line);
  }

  if (line.has("--follow-links")) {
    std::fprintf(stderr, "moz-pack: --follow-links is for a folder of parts\n");
    return kUsageStatus;
  }
  Console console("moz-pack", line.quiet);
  const int in =
      std::strcmp(line.input, "-") == 0 ? STDIN_FILENO : platform::open(line.input, O_RDONLY);
  if (in < 0) {
    console.say("cannot open %s: %s", line.input, std::strerror(errno));
    return kUsageStatus;
  }
  const CutRun picture{line.input,     run.quality, line.has("--reencode"),
                       run.background, console,     run.page};
  return write_staged(line.output, OutputKind::file, console, [&](StagedOutput& out) {
    return cut_picture(in, out.fd(), picture) ? kOutputWhole : kNothingWritten;
  });
}
