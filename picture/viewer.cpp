#include "viewer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform.h"
#include "tiles.h"

static constexpr const char* kScript = "openseadragon.min.js";

std::string find_viewer(const char* argv0, std::string& why) {
  const std::string program = platform::program_path(argv0);
  const std::string folder = platform::split_path(program).folder;
  if (folder.empty()) {
    why = "cannot tell where the program is installed";
    return "";
  }
  std::string viewer = folder + "../share/tiletools/viewer";
  if (!platform::readable((viewer + "/" + kScript).c_str())) {
    why = "the viewer was not installed with the tools (" + viewer + ")";
    return "";
  }
  return viewer;
}

static bool copy_file(const std::string& from, const std::string& to) {
  const int in = platform::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  const int out = platform::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  bool copied = in >= 0 && out >= 0 && copy_all(in, out);
  if (in >= 0) {
    platform::close(in);
  }
  if (out >= 0 && platform::close(out) != 0) {
    copied = false;
  }
  return copied;
}

static bool write_text(const std::string& path, const std::string& text) {
  const int fd = platform::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  const bool written = fd >= 0 && write_all(fd, text.data(), text.size());
  return fd >= 0 && platform::close(fd) == 0 && written;
}

static std::string escape_html(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// A page that fills the window with the viewer. The tile source is given
// inline: browsers will not fetch picture.dzi over file://, but do load the
// tiles as images.
static std::string index_html(const std::string& title, int width, int height) {
  return R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>)" +
         escape_html(title) +
         R"(</title>
<style>
  html, body { margin: 0; height: 100%; background: #202020; }
  #picture { position: fixed; inset: 0; }
</style>
</head>
<body>
<div id="picture"></div>
<script src="viewer/openseadragon.min.js"></script>
<script>
  OpenSeadragon({
    id: "picture",
    prefixUrl: "viewer/images/",
    drawer: "canvas",
    showNavigator: true,
    navigatorPosition: "BOTTOM_RIGHT",
    gestureSettingsTouch: { pinchRotate: false },
    tileSources: {
      Image: {
        xmlns: "http://schemas.microsoft.com/deepzoom/2008",
        Url: "picture_files/",
        Format: "jpg",
        Overlap: "0",
        TileSize: "64",
        Size: { Width: ")" +
         std::to_string(width) + R"(", Height: ")" + std::to_string(height) + R"(" }
      }
    }
  });
</script>
</body>
</html>
)";
}

bool install_viewer(const std::string& viewer, const std::string& dir, const std::string& title,
                    int width, int height, std::string& why) {
  const std::string into = dir + "/viewer";
  bool ok = platform::make_folder(into.c_str()) == 0 &&
            platform::make_folder((into + "/images").c_str()) == 0 &&
            copy_file(viewer + "/" + kScript, into + "/" + kScript) &&
            copy_file(viewer + "/LICENSE.txt", into + "/LICENSE.txt");
  std::vector<std::string> images;
  ok = ok && platform::list_folder((viewer + "/images").c_str(), images);
  for (const std::string& image : images) {
    if (ok && image[0] != '.') {
      ok = copy_file(viewer + "/images/" + image, into + "/images/" + image);
    }
  }
  ok = ok && write_text(dir + "/index.html", index_html(title, width, height));
  if (!ok) {
    why = std::string("cannot copy the viewer: ") + std::strerror(errno);
  }
  return ok;
}
