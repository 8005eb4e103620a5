# Tests of the installer's payload reader, of the packaging tool, and of the
# built installer run end to end.
#
# installer_payload_test runs in-process on every target: the table of
# contents and the extent-bounded reader of gzip members on crafted files.
# Its worker threads run again under the ThreadSanitizer.
vek_add_gtest(installer_payload_test SOURCES payload_test.cpp LIBS installer_payload THREADED LABELS installer)

# The end-to-end driver is a build-machine program: it packs installers with
# mkinstaller and runs the target's installer as a process (the Windows one
# under Wine). The native build makes it; the cross builds run that copy,
# found in VEK_HOST_TOOLS_DIR, against their own installer.
set(vek_bin ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
set(vek_e2e_env
  E2E_TARGET=${VEK_TARGET}
  E2E_INSTALLER=${vek_bin}/installer${CMAKE_EXECUTABLE_SUFFIX}
  WINEDEBUG=-all
  WINEDLLOVERRIDES=mscoree,mshtml=)

# vek_add_installer_driver(<name> <timeout>): a driver built from <name>.cpp
# for the build machine. Run without settings, it tests this build's own
# installer.
function(vek_add_installer_driver name timeout)
  add_executable(${name} ${name}.cpp)
  target_link_libraries(${name} PRIVATE VekUtil vek_zlib GTest::gtest GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${VEK_TEST_SUPPORT_DIR})
  target_compile_options(${name} PRIVATE ${VEK_TEST_COMPILE_OPTIONS})
  add_dependencies(${name} installer mkinstaller)
  target_compile_definitions(${name} PRIVATE
    E2E_DEFAULT_TARGET="native"
    E2E_DEFAULT_INSTALLER="${vek_bin}/installer"
    E2E_DEFAULT_MKINSTALLER="${vek_bin}/mkinstaller")
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS installer TIMEOUT ${timeout})
endfunction()

if(NOT CMAKE_CROSSCOMPILING)
  set(vek_host_tools ${vek_bin})
  vek_add_gtest(mkinstaller_test SOURCES mkinstaller_test.cpp LIBS installer_payload LABELS installer)
  add_dependencies(mkinstaller_test mkinstaller installer)
  target_compile_definitions(mkinstaller_test PRIVATE
    MKINSTALLER_PATH="${vek_bin}/mkinstaller" INSTALLER_PATH="${vek_bin}/installer")

  vek_add_installer_driver(installer_e2e_test 900)
  vek_add_installer_driver(installer_deliverable_test 600)

  # The packer's warning about a stub that still carries debugging information.
  vek_add_gtest(stub_debug_info_test SOURCES stub_debug_info_test.cpp LIBS mkinstaller_core LABELS installer)
  add_dependencies(stub_debug_info_test mkinstaller installer)
  target_compile_definitions(stub_debug_info_test PRIVATE
    MKINSTALLER_PATH="${vek_bin}/mkinstaller" INSTALLER_PATH="${vek_bin}/installer")

  # The packer's tar writer against the installer's reader, at the limits
  # they share; and which of the installer's layers each program links.
  vek_add_gtest(tar_format_test SOURCES tar_format_test.cpp LIBS mkinstaller_core LABELS installer)
  add_dependencies(tar_format_test mkinstaller installer)
  target_compile_definitions(tar_format_test PRIVATE
    MKINSTALLER_PATH="${vek_bin}/mkinstaller" INSTALLER_PATH="${vek_bin}/installer" VEK_NM="${CMAKE_NM}"
    INSTALLER_CORE_LIB="$<TARGET_FILE:installer_core>"
    INSTALLER_STATUS_LINE_LIB="$<TARGET_FILE:installer_status_line>"
    INSTALLER_PAYLOAD_LIB="$<TARGET_FILE:installer_payload>"
    INSTALLER_DRIVER_LIB="$<TARGET_FILE:installer_driver>")
  add_dependencies(tar_format_test installer_driver)
else()
  set(vek_e2e_driver ${VEK_HOST_TOOLS_DIR}/installer_e2e_test)
  list(APPEND vek_e2e_env E2E_MKINSTALLER=${VEK_HOST_TOOLS_DIR}/mkinstaller)
  set(vek_e2e_groups "E2E.*")
  if(VEK_WINDOWS)
    add_executable(e2e_zorva e2e_zorva.cpp)
    list(APPEND vek_e2e_env E2E_PROBE=${vek_bin}/e2e_zorva.exe E2E_WINE=${CMAKE_CROSSCOMPILING_EMULATOR})
  else()
    list(APPEND vek_e2e_groups "LinuxE2E.*")
  endif()
  # The delivered files themselves, and (32-bit Linux) a root holding nothing
  # but the installer, whose configuration program is static too.
  set(vek_deliverable_env ${vek_e2e_env} E2E_OBJDUMP=${CMAKE_OBJDUMP})
  if(NOT VEK_WINDOWS)
    add_executable(e2e_static_zorva e2e_zorva.cpp)
    target_link_options(e2e_static_zorva PRIVATE -static)
    list(APPEND vek_deliverable_env E2E_STATIC_PROBE=${vek_bin}/e2e_static_zorva)
  endif()
  add_test(NAME installer_deliverable COMMAND ${VEK_HOST_TOOLS_DIR}/installer_deliverable_test)
  set_tests_properties(installer_deliverable PROPERTIES
    LABELS installer TIMEOUT 600 ENVIRONMENT "${vek_deliverable_env}")
  foreach(group IN LISTS vek_e2e_groups)
    string(REGEX REPLACE "\\..*" "" group_name ${group})
    add_test(NAME installer_${group_name} COMMAND ${vek_e2e_driver} --gtest_filter=${group})
    set_tests_properties(installer_${group_name} PROPERTIES
      LABELS installer TIMEOUT 1200 ENVIRONMENT "${vek_e2e_env}")
  endforeach()
endif()

# ---- Hostile inputs ------------------------------------------------------------
# Archives crafted byte by byte and packed without the packaging tool's
# checks, run on the target's installer like the end-to-end tests: built for
# the build machine, run by the cross builds from VEK_HOST_TOOLS_DIR with the
# same environment.
if(NOT CMAKE_CROSSCOMPILING)
  vek_add_installer_driver(hostile_inputs_test 600)
else()
  add_test(NAME installer_hostile_inputs COMMAND ${VEK_HOST_TOOLS_DIR}/hostile_inputs_test)
  set_tests_properties(installer_hostile_inputs PROPERTIES
    LABELS installer TIMEOUT 600 ENVIRONMENT "${vek_e2e_env}")
endif()

# ---- The installer's system-call layer (every target) ---------------------------
vek_add_gtest(installer_platform_test SOURCES installer_platform_test.cpp LIBS installer_driver LABELS installer)
