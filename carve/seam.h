#pragma once

// Whether a record joined across a seam holds a tile that is whole: its JPEG
// decodes without a word from libjpeg, and its zlib data (TIZ) inflates to
// the stream's end with nothing left over. Bytes spliced in from elsewhere
// almost never pass both; an unknown TIZ method never does, as it cannot be
// checked.

#include <cstddef>

bool seam_tile_clean(bool tiz, unsigned char kind, const unsigned char* payload, std::size_t count);
