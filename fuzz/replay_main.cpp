// Replays saved fuzz inputs (files, or folders of them) through a target, so the
// ordinary test run keeps every seed and every past finding passing.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "harness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

static int replay(const std::string& path) {
  if (DIR* dir = opendir(path.c_str())) {
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') {
        count += replay(path + "/" + entry->d_name);
      }
    }
    closedir(dir);
    return count;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return 0;
  }
  const std::vector<char> bytes{std::istreambuf_iterator<char>(file), {}};
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  return 1;
}

int main(int argc, char** argv) {
  LLVMFuzzerInitialize(&argc, &argv);
  int count = 0;
  for (int i = 1; i < argc; ++i) {
    count += replay(argv[i]);
  }
  std::fprintf(stderr, "replayed %d inputs\n", count);
  return count > 0 ? 0 : 1;
}
