# 32-bit x86 Linux, the Linux deliverable. Built with the host g++ in -m32 mode
# against Debian's i386 multiarch libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/lib/i386-linux-gnu)
set(CMAKE_LIBRARY_PATH /usr/lib/i386-linux-gnu)
# When apt refused an i386 package, scripts/setup-deps.sh unpacked it into
# this private root; the system's copy wins where both exist.
get_filename_component(VEK_I386_ROOT ${CMAKE_CURRENT_LIST_DIR}/../../build/i386-root ABSOLUTE)
if(EXISTS ${VEK_I386_ROOT})
  list(APPEND CMAKE_LIBRARY_PATH ${VEK_I386_ROOT}/usr/lib/i386-linux-gnu)
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)
