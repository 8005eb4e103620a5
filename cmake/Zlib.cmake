# The installer links zlib statically on every target so that it runs on a
# machine without a matching shared zlib. Tests may use the same archive.
find_path(VEK_ZLIB_INCLUDE_DIR zlib.h REQUIRED)
find_library(VEK_ZLIB_STATIC NAMES libz.a REQUIRED)
add_library(vek_zlib STATIC IMPORTED GLOBAL)
set_target_properties(vek_zlib PROPERTIES
  IMPORTED_LOCATION ${VEK_ZLIB_STATIC}
  INTERFACE_INCLUDE_DIRECTORIES ${VEK_ZLIB_INCLUDE_DIR})
message(STATUS "zlib (static): ${VEK_ZLIB_STATIC}")
