# libdeflate inflates the installer's bounded gzip members about twice as
# fast as zlib and compresses them for the packaging tool. Linked statically,
# like zlib. Debian ships it for amd64 and i386; for the Windows build set-up
# builds it from Debian's source package (scripts/setup-mingw-libdeflate.sh)
# into VEK_LIBDEFLATE_MINGW_ROOT. Without that build the Windows installer
# inflates with zlib (slower, same format), with a warning.
# VEK_HAVE_LIBDEFLATE tells which.
if(VEK_WINDOWS)
  set(VEK_LIBDEFLATE_MINGW_ROOT ${PROJECT_SOURCE_DIR}/build/mingw-root CACHE PATH
      "Where set-up installed libdeflate built for mingw-w64")
  find_path(VEK_LIBDEFLATE_INCLUDE_DIR libdeflate.h PATHS ${VEK_LIBDEFLATE_MINGW_ROOT}/include
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  find_library(VEK_LIBDEFLATE_STATIC NAMES libdeflate.a PATHS ${VEK_LIBDEFLATE_MINGW_ROOT}/lib
               NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
else()
  find_path(VEK_LIBDEFLATE_INCLUDE_DIR libdeflate.h)
  find_library(VEK_LIBDEFLATE_STATIC NAMES libdeflate.a)
endif()
if(VEK_LIBDEFLATE_INCLUDE_DIR AND VEK_LIBDEFLATE_STATIC)
  set(VEK_HAVE_LIBDEFLATE ON)
  add_library(vek_libdeflate STATIC IMPORTED GLOBAL)
  set_target_properties(vek_libdeflate PROPERTIES
    IMPORTED_LOCATION ${VEK_LIBDEFLATE_STATIC}
    INTERFACE_INCLUDE_DIRECTORIES ${VEK_LIBDEFLATE_INCLUDE_DIR})
  message(STATUS "libdeflate (static): ${VEK_LIBDEFLATE_STATIC}")
elseif(VEK_WINDOWS)
  set(VEK_HAVE_LIBDEFLATE OFF)
  message(WARNING "libdeflate for mingw not found in ${VEK_LIBDEFLATE_MINGW_ROOT}: the Windows installer "
                  "inflates with zlib, about 1.7 times slower. Run scripts/setup-deps.sh to build it.")
else()
  message(FATAL_ERROR "libdeflate.a not found: install libdeflate-dev (scripts/setup-deps.sh)")
endif()
