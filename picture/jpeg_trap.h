#pragma once

// libjpeg reports errors by longjmp: its error manager, with where to jump
// back to and what it said (the error's message, or the first warning's),
// for each file of picture/ that calls the library. Only plain data may live
// between a setjmp and the library's longjmp.

// jpeglib.h wants size_t and FILE declared before it.
#include <cstddef>
#include <cstdio>
// clang-format off
#include <jpeglib.h>
// clang-format on
#include <csetjmp>

// A progressive JPEG of a few kilobytes could otherwise hold thousands of
// scans and keep the decoder busy for minutes.
inline constexpr int kMostScans = 500;

// The library's error manager, with where to jump back to and what it said:
// the error's message, or the first warning's.
struct ErrorTrap {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
  bool warned;
  char message[JMSG_LENGTH_MAX];
};

extern "C" inline void trap_error(j_common_ptr info) {
  auto* trap = reinterpret_cast<ErrorTrap*>(info->err);
  (*info->err->format_message)(info, trap->message);
  std::longjmp(trap->jump, 1);
}

extern "C" inline void trap_message(j_common_ptr info, int level) {
  auto* trap = reinterpret_cast<ErrorTrap*>(info->err);
  if (level < 0 && !trap->warned) {  // a warning; above 0 only trace messages
    trap->warned = true;
    (*info->err->format_message)(info, trap->message);
  }
}

extern "C" inline void limit_scans(j_common_ptr info) {
  auto* decompress = reinterpret_cast<j_decompress_ptr>(info);
  if (decompress->input_scan_number > kMostScans) {
    auto* trap = reinterpret_cast<ErrorTrap*>(info->err);
    std::snprintf(trap->message, sizeof trap->message, "a progressive JPEG of over %d scans",
                  kMostScans);
    std::longjmp(trap->jump, 1);
  }
}

inline void set_trap(ErrorTrap& trap) {
  jpeg_std_error(&trap.manager);
  trap.manager.error_exit = trap_error;
  trap.manager.emit_message = trap_message;
  trap.warned = false;
  trap.message[0] = '\0';
}
