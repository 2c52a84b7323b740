#pragma once

// A JPEG's marker segments up to its first scan, read without decoding
// (ITU T.81, Annex B): the frame it declares, where its tables lie, and the
// tile rebuilt without them or without what only a file on its own needs.

#include <cstddef>
#include <utility>
#include <vector>

struct JpegComponent {
  int id = 0;
  int h = 0;  // sampling factors
  int v = 0;
};

struct JpegSegments {
  int frame = 0;  // the frame marker's code (0xC0 baseline ...), 0 when none came
  int precision = 0;
  int width = 0;
  int height = 0;
  int components = 0;
  JpegComponent component[4];
  // Three components stored as RGB, not YCbCr: an Adobe marker that says no
  // transform, or components named R, G and B.
  bool rgb = false;
  // The quantization and Huffman table segments, each as (offset, length)
  // from its marker on.
  std::vector<std::pair<std::size_t, std::size_t>> tables;
  std::size_t scan = 0;  // where the first scan's header starts
};

// False when the bytes hold no start of image followed by well-formed segments
// up to a scan; a frame that came before the break is filled in even then.
bool read_jpeg_segments(const unsigned char* jpeg, std::size_t bytes, JpegSegments& segments);

// The table segments alone, between a start and an end of image: a stream
// of tables and no image, as TIFF's JPEGTables holds it.
std::vector<unsigned char> jpeg_tables(const unsigned char* jpeg, const JpegSegments& segments);

// The image without its application and comment segments and, with
// `drop_tables`, without its tables (an abbreviated image, decoded after the
// tables it shares).
void strip_jpeg(const unsigned char* jpeg, std::size_t bytes, const JpegSegments& segments,
                bool drop_tables, std::vector<unsigned char>& out);
