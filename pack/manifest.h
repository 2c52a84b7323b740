#pragma once

// manifest.txt: everything in a container that is not a part file, as lines a
// person can read and edit and a script can write from scratch. Read back, it
// gives the same container byte for byte.
//
//   manifest = line*
//   line     = blank | comment | statement [comment]
//   comment  = "#" text to the end of the line
//   statement (words apart by spaces or tabs):
//     format TIZ V | format MOZ V   the first statement; V the version character
//     reserved B B                  TIZ: the two reserved header bytes (0x00 0x00 if left out)
//     size W H                      MOZ: width and height as stored, -32768 to 32767
//     I KIND PART [PART]            a record, in file order; I its index when unpacked
//     I missing                     MOZ: a tile whose record was lost
//     trailer PART                  bytes after the last record, written last
//   KIND, B = a character from ! to ~ other than #, or 0xHH
//   PART     = a file inside the manifest's folder: a relative path without
//              spaces, / between folders, no .. and no \ or drive letter
//
// A record's payload is its parts: .jpg JPEG data, .zlib zlib data, .raw data
// to deflate, .bin the whole payload as it is. TIZ method 1 takes two parts,
// zlib then JPEG, and gets the zlib part's length in front.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr char kManifestName[] = "manifest.txt";

struct ManifestLine {
  enum Kind { blank, format, reserved, size, record, missing, trailer };
  Kind kind = blank;
  std::string format_name;  // "TIZ" or "MOZ"
  unsigned char version = 0;
  int first = 0;   // reserved byte 6, or the width
  int second = 0;  // reserved byte 7, or the height
  long index = 0;
  unsigned char record_kind = 0;
  std::vector<std::string> parts;
};

// One line of a manifest; false with `error` saying what is wrong with it.
bool parse_manifest_line(std::string_view text, ManifestLine& line, std::string& error);

// A byte as the manifest writes it: the character itself where it is
// printable and not '#', else 0xHH.
std::string manifest_byte(unsigned char byte);

// Whether a part's name stays inside the folder, whatever the platform
// makes of it: a folder shared by someone else must not pack the files
// around it.
bool part_inside_folder(std::string_view name);

// What a part's name says its bytes are.
enum class PartType { jpeg, zlib, raw, whole };
bool part_type(const std::string& name, PartType& type);
