# Every first-party target links tiletools_warnings, so the flags live in one place.
add_library(tiletools_warnings INTERFACE)
target_compile_options(tiletools_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow
  $<$<BOOL:${TILETOOLS_WERROR}>:-Werror>)
