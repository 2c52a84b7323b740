# The picture tools (moz-stitch, moz-deepzoom) decode with libjpeg-turbo's
# TurboJPEG API and compress with zlib. Without them the container tools are
# still built, and configuring says what is missing.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(TURBOJPEG QUIET IMPORTED_TARGET libturbojpeg)
endif()
find_package(ZLIB QUIET)

if(TURBOJPEG_FOUND AND ZLIB_FOUND)
  set(TILETOOLS_PICTURE ON)
else()
  set(TILETOOLS_PICTURE OFF)
  message(STATUS "moz-stitch and moz-deepzoom are skipped: they need libjpeg-turbo's TurboJPEG "
                 "and zlib (Debian: libturbojpeg0-dev zlib1g-dev pkg-config)")
endif()
