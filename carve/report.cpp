#include "report.h"

#include <cstdint>
#include <cstdio>
#include <utility>

namespace {

std::string pieces_text(const Found& found, const char* between, const char* open,
                        const char* middle, const char* close) {
  std::string text;
  for (const Piece& piece : found.pieces) {
    if (!text.empty()) {
      text += between;
    }
    text += open;
    text += std::to_string(piece.offset);
    text += middle;
    text += std::to_string(piece.length);
    text += close;
  }
  return text;
}

// The length of the UTF-8 sequence starting at `at`, or 0 when it is not one.
std::size_t utf8_length(const std::string& text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  const std::size_t length = lead < 0x80                   ? 1
                             : lead >= 0xc2 && lead < 0xe0 ? 2
                             : lead >= 0xe0 && lead < 0xf0 ? 3
                             : lead >= 0xf0 && lead < 0xf5 ? 4
                                                           : 0;
  if (length == 0 || at + length > text.size()) {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(text[at + i]) & 0xc0) != 0x80) {
      return 0;
    }
  }
  return length;
}

}  // namespace

namespace {

// Text put together piece by piece: GCC 12 warns, wrongly, about a literal
// added to a temporary string.
class Text {
 public:
  Text& operator<<(const std::string& piece) {
    text_ += piece;
    return *this;
  }
  Text& operator<<(const char* piece) {
    text_ += piece;
    return *this;
  }
  Text& operator<<(std::uint64_t number) {
    text_ += std::to_string(number);
    return *this;
  }
  Text& operator<<(int number) {
    text_ += std::to_string(number);
    return *this;
  }
  std::string take() { return std::move(text_); }

 private:
  std::string text_;
};

}  // namespace

std::string found_line(const std::string& path, const Found& found) {
  Text line;
  line << path << ": " << found.offset << ": "
       << std::string(reinterpret_cast<const char*>(found.header), 4);
  if (!found.tiz) {
    line << " " << found.width << "x" << found.height;
  }
  line << ", " << found.found << " of " << found.announced << " tiles, " << found.length
       << " bytes, " << state_name(found.state);
  if (found.pieces.size() > 1) {
    line << ": " << pieces_text(found, " ", "", "+", "");
  }
  return (line << "\n").take();
}

std::string found_json(const std::string& path, const Found& found) {
  Text line;
  line << "{\"path\":" << json_string(path) << ",\"offset\":" << found.offset << ",\"format\":\""
       << (found.tiz ? "TIZ" : "MOZ")
       << "\",\"version\":" << json_string(std::string(1, static_cast<char>(found.header[3])));
  if (found.tiz) {
    line << ",\"width\":null,\"height\":null";
  } else {
    line << ",\"width\":" << found.width << ",\"height\":" << found.height;
  }
  line << ",\"tiles_announced\":" << found.announced << ",\"tiles_found\":" << found.found
       << ",\"length\":" << found.length << ",\"state\":\"" << state_name(found.state)
       << "\",\"pieces\":[" << pieces_text(found, ",", "[", ",", "]") << "]}\n";
  return line.take();
}

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (std::size_t at = 0; at < text.size();) {
    const auto byte = static_cast<unsigned char>(text[at]);
    const std::size_t length = utf8_length(text, at);
    if (length == 0) {
      out += "\\ufffd";
      ++at;
    } else if (byte == '"' || byte == '\\') {
      out += '\\';
      out += static_cast<char>(byte);
      ++at;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
      ++at;
    } else {
      out.append(text, at, length);
      at += length;
    }
  }
  return out + "\"";
}
