#pragma once

// The zlib side of TIZ parts: inflated for a person to edit (tiz-unpack
// --inflate), deflated again on the way back in (tiz-pack).

#include <cstddef>
#include <string>
#include <vector>

enum class Inflated { whole, not_zlib, unwritten };

// Inflates one zlib stream into `fd`, a block at a time: not_zlib, with `why`,
// when it is not one whole stream with nothing after it; unwritten, with
// errno, when `fd` takes no more.
Inflated inflate_into(const unsigned char* zlib, std::size_t size, int fd, std::string& why);

// Deflates all that `fd` holds into `out` (zlib, level 9); false with `why` when
// it cannot be read or the result is over `limit` bytes.
bool deflate_from(int fd, std::size_t limit, std::vector<unsigned char>& out, std::string& why);
