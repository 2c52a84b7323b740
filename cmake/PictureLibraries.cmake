# The picture tools (moz-stitch, moz-deepzoom, moz-tiff, moz-pack) decode and
# encode with libjpeg-turbo (its libjpeg API), read PNG with libpng and TIFF
# with libtiff, and compress with zlib. Without them the
# container tools are still built, and configuring says what is missing.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(LIBJPEG QUIET IMPORTED_TARGET libjpeg)
  pkg_check_modules(LIBPNG QUIET IMPORTED_TARGET libpng16)
  pkg_check_modules(LIBTIFF QUIET IMPORTED_TARGET libtiff-4)
endif()
find_package(ZLIB QUIET)

if(LIBJPEG_FOUND AND LIBPNG_FOUND AND LIBTIFF_FOUND AND ZLIB_FOUND)
  set(TILETOOLS_PICTURE ON)
else()
  set(TILETOOLS_PICTURE OFF)
  message(STATUS "the picture and pack tools are skipped: they need libjpeg-turbo, libpng, "
                 "libtiff and zlib (Debian: libjpeg62-turbo-dev libpng-dev libtiff-dev "
                 "zlib1g-dev pkg-config)")
endif()
