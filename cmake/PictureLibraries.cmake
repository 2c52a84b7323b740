# The picture tools (moz-stitch, moz-deepzoom) decode and encode with
# libjpeg-turbo (its libjpeg API) and compress with zlib. Without them the
# container tools are still built, and configuring says what is missing.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(LIBJPEG QUIET IMPORTED_TARGET libjpeg)
endif()
find_package(ZLIB QUIET)

if(LIBJPEG_FOUND AND ZLIB_FOUND)
  set(TILETOOLS_PICTURE ON)
else()
  set(TILETOOLS_PICTURE OFF)
  message(STATUS "moz-stitch and moz-deepzoom are skipped: they need libjpeg-turbo "
                 "and zlib (Debian: libjpeg62-turbo-dev zlib1g-dev pkg-config)")
endif()
