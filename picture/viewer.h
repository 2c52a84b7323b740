#pragma once

// The offline viewer beside a pyramid: index.html and the viewer's files,
// copied from where the tools were installed (share/tiletools/viewer beside
// bin/, which the build tree mirrors), so the folder opens from disk in a
// browser with no server and no network.

#include <string>

// The viewer's files for the program started as `argv0`; empty, with `why`,
// when they are not there (the build had no npm, say).
std::string find_viewer(const char* argv0, std::string& why);

// Copies the viewer into `dir`/viewer and writes `dir`/index.html for a
// width x height picture titled `title`; false with `why`.
bool install_viewer(const std::string& viewer, const std::string& dir, const std::string& title,
                    int width, int height, std::string& why);
