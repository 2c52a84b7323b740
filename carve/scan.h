#pragma once

// The run of tiletools-scan: every input read front to back once, each
// container found reported on standard output in the order of its offset,
// a summary on standard error, and with --extract each container written out.

#include <cstdint>
#include <string>
#include <vector>

struct ScanSettings {
  bool json = false;
  bool verbose = false;  // every candidate passed over, on standard error
  bool quiet = false;
  std::string extract;  // the folder for the containers, or ""
  std::vector<std::uint32_t> clusters;
};

// 0 when every input was read to its end, 1 when one could not be, 2 when
// the containers could not be written (then none are).
int scan(const char* program, const ScanSettings& settings, const std::vector<const char*>& paths);
