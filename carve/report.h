#pragma once

// A found container as a line for a person, or as a JSON object for a script.
//
//   PATH: OFFSET: MOZ0 WIDTHxHEIGHT, FOUND of ANNOUNCED tiles, LENGTH bytes, STATE
//   PATH: OFFSET: TIZ0, FOUND of ANNOUNCED tiles, LENGTH bytes, STATE
//
// A container in more than one piece ends ": OFFSET+LENGTH OFFSET+LENGTH".

#include <string>

#include "finder.h"

std::string found_line(const std::string& path, const Found& found);
std::string found_json(const std::string& path, const Found& found);

// `text` as a JSON string, quotes included; bytes that are not UTF-8 become U+FFFD.
std::string json_string(const std::string& text);
