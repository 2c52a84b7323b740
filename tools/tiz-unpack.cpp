// tiz-unpack: a TIZ file taken apart into a folder of parts and a manifest.
#include "cli.h"
#include "platform.h"
#include "unpack.h"

static const char kUsage[] =
    "usage: tiz-unpack [--inflate] [--salvage] [--quiet] FILE.tiz DIR\n"
    "       tiz-unpack --help | --version\n"
    "Writes DIR (new, or empty): manifest.txt, a line per record, and each record's\n"
    "parts as tileNNNN.jpg, .zlib or .bin; tiz-pack DIR makes the same file again.\n"
    "--inflate writes zlib parts inflated, as tileNNNN.raw (tiz-pack deflates them\n"
    "again, so the container is then no longer the same bytes). --salvage goes on past damaged "
    "records to every intact one after them.\n"
    "Exit status: 0 read to the last record, 1 written from a damaged file,\n"
    "2 nothing written.\n";

int main(int argc, char** argv) {
  platform::start(argc, argv);
  CommandLine line;
  line.switches = {"--inflate", "--salvage"};
  const int ended = parse_command_line(
      argc, argv, "tiz-unpack", kUsage, {},
      [](const std::string&, const std::string&) { return ""; }, line);
  return ended >= 0 ? ended : unpack_command("tiz-unpack", true, line);
}
