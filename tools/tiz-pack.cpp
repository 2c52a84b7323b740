// tiz-pack: a folder of parts and its manifest put back together as a TIZ file.
#include "cli.h"
#include "pack.h"
#include "platform.h"

static const char kUsage[] =
    "usage: tiz-pack [--follow-links] [--quiet] DIR OUT.tiz\n"
    "       tiz-pack --help | --version\n"
    "Writes the TIZ file that DIR/manifest.txt describes: its records in the order\n"
    "of their lines, the tile count theirs. A .raw part is deflated (zlib, level 9).\n"
    "Parts are files inside DIR; one that is a symbolic link is refused unless\n"
    "--follow-links is given.\n"
    "OUT may be - for standard output. Exit status: 0 written, 2 nothing written\n"
    "(OUT left as it was).\n";

int main(int argc, char** argv) {
  platform::start(argc, argv);
  CommandLine line;
  line.switches = {"--follow-links"};
  const int ended = parse_command_line(
      argc, argv, "tiz-pack", kUsage, {}, [](const std::string&, const std::string&) { return ""; },
      line);
  return ended >= 0 ? ended : pack_command("tiz-pack", true, line);
}
