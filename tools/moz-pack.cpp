// moz-pack: a folder of parts and its manifest put back together as a MOZ file.
#include "cli.h"
#include "pack.h"

static const char kUsage[] =
    "usage: moz-pack [--quiet] DIR OUT.moz\n"
    "       moz-pack --help | --version\n"
    "Writes the MOZ file that DIR/manifest.txt describes: its tiles in the order of\n"
    "their lines, as many as its size asks; a missing tile is written gray.\n"
    "OUT may be - for standard output. Exit status: 0 written, 2 nothing written\n"
    "(OUT left as it was).\n";

int main(int argc, char** argv) {
  CommandLine line;
  const int ended = parse_command_line(
      argc, argv, "moz-pack", kUsage, {}, [](const std::string&, const std::string&) { return ""; },
      line);
  return ended >= 0 ? ended : pack_command("moz-pack", false, line);
}
