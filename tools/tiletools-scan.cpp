// tiletools-scan: every TIZ and MOZ container in disk images, dumps, folders
// or a stream, found by its header and its chain of records.
#include <cstdint>
#include <string>

#include "cli.h"
#include "finder.h"
#include "platform.h"
#include "scan.h"

static const char kUsage[] =
    "usage: tiletools-scan [--json] [--extract DIR] [--cluster BYTES] [--verbose] [--quiet]\n"
    "                      PATH...\n"
    "       tiletools-scan --help | --version\n"
    "Finds every TIZ and MOZ container in each PATH (a file, a disk image or block\n"
    "device, a folder searched through, or - for standard input) and prints a line\n"
    "for each: where it starts, what its header says, how many tiles were found and\n"
    "whether it is intact, cut, damaged or fragmented. A summary goes to standard error.\n"
    "--json         a JSON object per container instead of a line\n"
    "--extract DIR  writes each container to DIR as NAME@OFFSET.tiz or .moz (a cut,\n"
    "               damaged or fragmented one put together again); an existing file\n"
    "               is never replaced: then nothing is written\n"
    "--cluster N    the file system's cluster size, 512 to 65536 bytes, for joining\n"
    "               a container stored in two pieces (default: tries 512, 4096, 32768\n"
    "               and 65536)\n"
    "--verbose      every candidate passed over, and why, on standard error\n"
    "Exit status: 0 every input read to its end, 1 an input could not be read,\n"
    "2 bad usage or containers that could not be written.\n";

int main(int argc, char** argv) {
  platform::start(argc, argv);
  ScanSettings settings;
  settings.clusters.assign(std::begin(kDefaultClusters), std::end(kDefaultClusters));
  CommandLine line;
  line.many = true;
  line.switches = {"--json", "--verbose"};
  const int ended = parse_command_line(
      argc, argv, "tiletools-scan", kUsage, {"--extract", "--cluster"},
      [&](const std::string& name, const std::string& value) -> std::string {
        if (name == "--extract") {
          settings.extract = value;
          return value.empty() ? "--extract needs a folder" : "";
        }
        long bytes = 0;
        if (!whole_number(value, 512, 65536, bytes) || bytes % 512 != 0) {
          return "--cluster takes a multiple of 512 from 512 to 65536";
        }
        settings.clusters = {static_cast<std::uint32_t>(bytes)};
        return "";
      },
      line);
  if (ended >= 0) {
    return ended;
  }
  settings.json = line.has("--json");
  settings.verbose = line.has("--verbose");
  settings.quiet = line.quiet;
  return scan("tiletools-scan", settings, line.operands);
}
