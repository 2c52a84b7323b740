// Paths split and joined as each system's users write them.
#include "platform.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Paths, SplitIntoFolderAndName) {
  struct Row {
    const char* path;
    bool windows;
    const char* folder;
    const char* name;
  };
  const Row rows[] = {
      {"out.png", false, "", "out.png"},
      {"sub/out.png", false, "sub/", "out.png"},
      {"/tmp/dz/", false, "/tmp/", "dz"},
      {"/tmp//dz//", false, "/tmp//", "dz"},
      {"../out.png", false, "../", "out.png"},
      {"/", false, "/", ""},
      // A backslash is a name's own character on POSIX systems.
      {"sub\\out.png", false, "", "sub\\out.png"},
      {"C:\\Users\\me\\scan.png", true, "C:\\Users\\me\\", "scan.png"},
      {"sub\\out.png", true, "sub\\", "out.png"},
      {"..\\out.png", true, "..\\", "out.png"},
      {".\\dir\\x", true, ".\\dir\\", "x"},
      {"C:/maps\\sub/x.tif", true, "C:/maps\\sub/", "x.tif"},
      {"C:\\maps\\dz\\", true, "C:\\maps\\", "dz"},
      {"C:x.png", true, "C:", "x.png"},
      {"C:\\", true, "C:\\", ""},
      {"\\\\server\\share\\x.png", true, "\\\\server\\share\\", "x.png"},
      {"Z:\\Карта\\地図.moz", true, "Z:\\Карта\\", "地図.moz"},
      {"C:out.png", false, "", "C:out.png"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    const platform::PathParts parts = platform::split_path(row.path, row.windows);
    EXPECT_EQ(parts.folder, row.folder);
    EXPECT_EQ(parts.name, row.name);
  }
}

TEST(Paths, JoinAddsASeparatorOnlyWhereNoneIs) {
  struct Row {
    const char* folder;
    bool windows;
    const char* joined;
  };
  const Row rows[] = {
      {"", false, "x"},          {"dir", false, "dir/x"},
      {"dir/", false, "dir/x"},  {"dir\\", false, "dir\\/x"},
      {"dir\\", true, "dir\\x"}, {"C:", true, "C:x"},
      {"C:\\", true, "C:\\x"},   {"C:\\d", true, "C:\\d/x"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.folder);
    EXPECT_EQ(platform::join_path(row.folder, "x", row.windows), row.joined);
  }
}

}  // namespace
