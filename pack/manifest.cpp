#include "manifest.h"

#include <charconv>

namespace {

std::vector<std::string_view> words_of(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t start = text.find_first_not_of(" \t\r\n", at);
    if (start == std::string_view::npos || text[start] == '#') {
      break;
    }
    const std::size_t end = std::min(text.find_first_of(" \t\r\n", start), text.size());
    words.push_back(text.substr(start, end - start));
    at = end;
  }
  return words;
}

bool number(std::string_view word, long low, long high, long& value) {
  const char* end = word.data() + word.size();
  const auto [stop, problem] = std::from_chars(word.data(), end, value);
  return problem == std::errc() && stop == end && value >= low && value <= high;
}

bool byte_of(std::string_view word, unsigned char& byte) {
  if (word.size() == 1 && word[0] > ' ' && word[0] <= '~' && word[0] != '#') {
    byte = static_cast<unsigned char>(word[0]);
    return true;
  }
  unsigned value = 0;
  const char* end = word.data() + word.size();
  if (word.size() != 4 || word.substr(0, 2) != "0x") {
    return false;
  }
  const auto [stop, problem] = std::from_chars(word.data() + 2, end, value, 16);
  byte = static_cast<unsigned char>(value);
  return problem == std::errc() && stop == end;
}

bool fail(std::string& error, const std::string& what) {
  error = what;
  return false;
}

}  // namespace

std::string manifest_byte(unsigned char byte) {
  if (byte > ' ' && byte <= '~' && byte != '#') {
    return std::string(1, static_cast<char>(byte));
  }
  static const char kHex[] = "0123456789abcdef";
  return std::string{'0', 'x', kHex[byte >> 4], kHex[byte & 15]};
}

bool part_inside_folder(std::string_view name) {
  const bool drive = name.size() >= 2 && name[1] == ':' &&
                     ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
  if (name.empty() || name.front() == '/' || name.find('\\') != std::string_view::npos || drive) {
    return false;
  }
  for (std::size_t at = 0; at <= name.size();) {
    const std::size_t slash = std::min(name.find('/', at), name.size());
    if (name.substr(at, slash - at) == "..") {
      return false;
    }
    at = slash + 1;
  }
  return true;
}

static bool outside(const std::string& part, std::string& error) {
  return fail(error, "part " + part +
                         " is not a file inside the folder: name it by a relative path with / "
                         "between folders, without .., \\ or a drive letter");
}

bool part_type(const std::string& name, PartType& type) {
  const std::size_t dot = name.rfind('.');
  const std::string extension = dot == std::string::npos ? "" : name.substr(dot);
  if (extension == ".jpg" || extension == ".jpeg") {
    type = PartType::jpeg;
  } else if (extension == ".zlib") {
    type = PartType::zlib;
  } else if (extension == ".raw") {
    type = PartType::raw;
  } else if (extension == ".bin") {
    type = PartType::whole;
  } else {
    return false;
  }
  return true;
}

bool parse_manifest_line(std::string_view text, ManifestLine& line, std::string& error) {
  line = ManifestLine{};
  const std::vector<std::string_view> words = words_of(text);
  if (words.empty()) {
    return true;
  }
  const std::string_view head = words[0];
  const std::size_t count = words.size();
  if (head == "format") {
    line.kind = ManifestLine::format;
    if (count != 3 || (words[1] != "TIZ" && words[1] != "MOZ") ||
        !byte_of(words[2], line.version)) {
      return fail(error, "expected: format TIZ|MOZ VERSION");
    }
    line.format_name = words[1];
    return true;
  }
  if (head == "reserved") {
    line.kind = ManifestLine::reserved;
    unsigned char six = 0;
    unsigned char seven = 0;
    if (count != 3 || !byte_of(words[1], six) || !byte_of(words[2], seven)) {
      return fail(error, "expected: reserved BYTE BYTE (a character or 0xHH each)");
    }
    line.first = six;
    line.second = seven;
    return true;
  }
  if (head == "size") {
    line.kind = ManifestLine::size;
    long width = 0;
    long height = 0;
    if (count != 3 || !number(words[1], -32768, 32767, width) ||
        !number(words[2], -32768, 32767, height)) {
      return fail(error, "expected: size WIDTH HEIGHT, each from -32768 to 32767");
    }
    line.first = static_cast<int>(width);
    line.second = static_cast<int>(height);
    return true;
  }
  if (head == "trailer") {
    line.kind = ManifestLine::trailer;
    if (count != 2) {
      return fail(error, "expected: trailer FILE");
    }
    line.parts.emplace_back(words[1]);
    return part_inside_folder(line.parts.back()) || outside(line.parts.back(), error);
  }
  if (!number(head, 0, 9999999, line.index)) {
    return fail(error, "unknown statement " + std::string(head));
  }
  if (count == 2 && words[1] == "missing") {
    line.kind = ManifestLine::missing;
    return true;
  }
  line.kind = ManifestLine::record;
  if (count < 3 || count > 4 || !byte_of(words[1], line.record_kind)) {
    return fail(error, "expected: INDEX KIND PART [PART], or INDEX missing");
  }
  for (std::size_t i = 2; i < count; ++i) {
    PartType type{};
    line.parts.emplace_back(words[i]);
    if (!part_inside_folder(line.parts.back())) {
      return outside(line.parts.back(), error);
    }
    if (!part_type(line.parts.back(), type)) {
      return fail(error, "part " + line.parts.back() + " is not .jpg, .zlib, .raw or .bin");
    }
  }
  return true;
}
