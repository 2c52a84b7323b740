// Paths taken apart as each system's users write them.
#include <string>
#include <string_view>

#include "platform.h"

namespace platform {

static bool is_separator(char c, bool windows) { return c == '/' || (windows && c == '\\'); }

// "C:" in front of a Windows path: the drive's own current folder, or with a
// separator after it, its root.
static std::size_t drive_length(std::string_view path, bool windows) {
  const bool letter =
      !path.empty() && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
  return windows && letter && path.size() >= 2 && path[1] == ':' ? 2 : 0;
}

PathParts split_path(std::string_view path, bool windows) {
  const std::size_t drive = drive_length(path, windows);
  std::size_t end = path.size();
  while (end > drive + 1 && is_separator(path[end - 1], windows)) {
    --end;
  }
  std::size_t start = end;
  while (start > drive && !is_separator(path[start - 1], windows)) {
    --start;
  }
  return {std::string(path.substr(0, start)), std::string(path.substr(start, end - start))};
}

std::string join_path(std::string_view folder, std::string_view name, bool windows) {
  std::string joined(folder);
  if (!joined.empty() && !is_separator(joined.back(), windows) &&
      joined.size() != drive_length(joined, windows)) {
    joined += '/';
  }
  return joined.append(name);
}

}  // namespace platform
