// README's command lines are the tools' own: each usage line the tool's
// --help prints, word for word, and no other line for that tool.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support.h"

namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

// The synopses at the top of a --help, a line each: "usage: " and the lines
// under it that start with the program's name, with the lines that carry one
// on joined to it; the --help | --version line left out.
std::vector<std::string> usages(const std::string& help, const std::string& program) {
  std::vector<std::string> found;
  for (const std::string& line : lines_of(help)) {
    const std::size_t text = line.find_first_not_of(' ');
    const bool another =
        !found.empty() && text == 7 && line.compare(7, program.size(), program) == 0;
    if (line.starts_with("usage: ") || another) {
      found.push_back(line.substr(7));  // "usage: " and the indent under it are as long
    } else if (!found.empty() && text != std::string::npos && text > 7) {
      found.back() += " " + line.substr(text);
    } else if (!found.empty()) {
      break;
    }
  }
  std::erase_if(found,
                [](const std::string& usage) { return usage.ends_with("--help | --version"); });
  return found;
}

}  // namespace

TEST(Readme, CommandLinesAreTheToolsOwn) {
  const std::vector<std::string> readme = lines_of(read_file(TILETOOLS_README));
  std::vector<std::string> block;
  bool in_section = false;
  bool in_block = false;
  for (const std::string& line : readme) {
    if (line.starts_with("## ")) {
      in_section = line == "## Command lines";
    } else if (in_section && line == "```") {
      if (in_block) {
        break;
      }
      in_block = true;
    } else if (in_block) {
      block.push_back(line);
    }
  }
  ASSERT_FALSE(block.empty()) << "README has no Command lines block";
  struct Row {
    const char* program;
    const char* tool;
  };
  const Row rows[] = {
      {"moz-stitch", MOZ_STITCH}, {"moz-deepzoom", MOZ_DEEPZOOM},     {"moz-tiff", MOZ_TIFF},
      {"tiz-unpack", TIZ_UNPACK}, {"moz-unpack", MOZ_UNPACK},         {"tiz-pack", TIZ_PACK},
      {"moz-pack", MOZ_PACK},     {"tiletools-scan", TILETOOLS_SCAN},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.program);
    TempDir dir;
    const Outcome help = run_tool(row.tool, {"--help"}, dir.path);
    ASSERT_EQ(help.status, 0);
    const std::vector<std::string> own = usages(help.out, row.program);
    std::vector<std::string> listed;
    for (const std::string& line : block) {
      if (line.starts_with(std::string(row.program) + " ")) {
        listed.push_back(line);
      }
    }
    EXPECT_FALSE(own.empty());
    EXPECT_EQ(listed, own);
  }
  // The container tools take one argument, and README gives it.
  for (const char* line : {"tiz-tilelist FILE.tiz", "tiz-tilesave FILE.tiz",
                           "moz-gridcheck FILE.moz", "moz-tilesave FILE.moz"}) {
    EXPECT_NE(std::find(block.begin(), block.end(), line), block.end()) << line;
  }
}
