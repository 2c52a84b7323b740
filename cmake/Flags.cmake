# Every first-party target links tiletools_flags, so warnings and sanitizers are
# set in one place.
# The warnings, named once: the page's WebAssembly is built with them too.
set(TILETOOLS_WARNINGS -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow)
add_library(tiletools_flags INTERFACE)
target_compile_options(tiletools_flags INTERFACE
  ${TILETOOLS_WARNINGS} $<$<BOOL:${TILETOOLS_WERROR}>:-Werror>)
# On Windows, printf and its kin are the C99 ones (%zu, %lld), as on POSIX systems.
if(WIN32)
  target_compile_definitions(tiletools_flags INTERFACE __USE_MINGW_ANSI_STDIO=1)
endif()

# Loops the compiler turns into vector code only at -O3, named per file: in the
# optimised configurations only, so a Debug or sanitizer build stays as asked.
set(TILETOOLS_VECTOR_LOOPS $<$<CONFIG:Release,RelWithDebInfo>:-O3>)

# A comma-separated -fsanitize list, e.g. address,undefined. Any finding aborts,
# so a test run cannot pass over one.
set(TILETOOLS_SANITIZE "" CACHE STRING "Sanitizers to build everything with")
if(TILETOOLS_SANITIZE)
  target_compile_options(tiletools_flags INTERFACE
    -fsanitize=${TILETOOLS_SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(tiletools_flags INTERFACE -fsanitize=${TILETOOLS_SANITIZE})
endif()

# Fuzzing wants coverage feedback from every first-party object, not only the targets.
if(TILETOOLS_FUZZ)
  target_compile_options(tiletools_flags INTERFACE -fsanitize=fuzzer-no-link)
endif()

# The container tools need nothing but the C library at run time: the C++
# runtime they are linked against by default is dropped where it is unused.
# Their entries are single-threaded, so the one static in each (the record
# buffer, in zeroed memory) is set up without the runtime's thread-safe guard.
include(CheckLinkerFlag)
check_linker_flag(CXX "-Wl,--as-needed" TILETOOLS_LINKER_AS_NEEDED)
add_library(tiletools_libc_only INTERFACE)
target_compile_options(tiletools_libc_only INTERFACE -fno-threadsafe-statics)
if(TILETOOLS_LINKER_AS_NEEDED)
  target_link_options(tiletools_libc_only INTERFACE "-Wl,--as-needed")
endif()
