# Tests of the tar reader and its operation tables. Crafted and hostile
# archives are built in memory and run on every target; the comparison with
# archives made by real tools (GNU tar, bsdtar, busybox, Python tarfile)
# needs those tools and runs on Linux only.
set(vek_untar_test_sources untar_test.cpp file_untar_ops_test.cpp path_gate_test.cpp)
if(NOT VEK_WINDOWS)
  list(APPEND vek_untar_test_sources untar_tools_test.cpp)
endif()
vek_add_gtest(untar_test SOURCES ${vek_untar_test_sources} LIBS installer_core LABELS installer)
