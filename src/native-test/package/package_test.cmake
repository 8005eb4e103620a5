# The installed package as a user meets it (cmake -P):
#   1. `cmake --install` of the library package (component VekUtil) into a fresh prefix;
#   2. the consumer project configured, built and run against it with
#      find_package(VekUtil) (the build's own toolchain, for cross builds);
#   3. on Linux the same program built by the C compiler with the flags
#      `pkg-config --cflags --libs vekutil` gives, and run.
# Variables: BUILD_DIR, SOURCE_DIR, WORK_DIR, GENERATOR, TOOLCHAIN_FILE,
# C_COMPILER, C_FLAGS, EMULATOR, EXPECTED, PKG_CONFIG (empty: skip step 3).

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

function(expect_output program)
  run(${EMULATOR} ${program})
  string(STRIP "${run_output}" printed)
  if(NOT printed STREQUAL EXPECTED)
    message(FATAL_ERROR "${program} printed '${printed}', expected '${EXPECTED}'")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component VekUtil)

file(GLOB headers RELATIVE ${SOURCE_DIR}/src/native/VekUtil/include ${SOURCE_DIR}/src/native/VekUtil/include/*.h)
foreach(h IN LISTS headers)
  if(NOT EXISTS ${prefix}/include/${h})
    message(FATAL_ERROR "public header ${h} was not installed")
  endif()
endforeach()

set(toolchain "")
if(TOOLCHAIN_FILE)
  set(toolchain -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE})
endif()
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/src/native-test/package/consumer -B ${WORK_DIR}/consumer -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release ${toolchain})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
file(GLOB consumer_program ${WORK_DIR}/consumer/consumer ${WORK_DIR}/consumer/consumer.exe)
expect_output(${consumer_program})

if(PKG_CONFIG)
  set(ENV{PKG_CONFIG_PATH} "")
  file(GLOB_RECURSE pc_file ${prefix}/*/vekutil.pc)
  get_filename_component(pc_dir ${pc_file} DIRECTORY)
  set(ENV{PKG_CONFIG_PATH} ${pc_dir})
  run(${PKG_CONFIG} --cflags --libs vekutil)
  separate_arguments(pc_flags UNIX_COMMAND "${run_output}")
  separate_arguments(c_flags UNIX_COMMAND "${C_FLAGS}")
  run(${C_COMPILER} ${c_flags} -std=c11 -o ${WORK_DIR}/consumer-pc ${SOURCE_DIR}/src/native-test/package/consumer/consumer.c
      ${pc_flags})
  expect_output(${WORK_DIR}/consumer-pc)
endif()
message(STATUS "installed package: find_package and pkg-config consumers print '${EXPECTED}'")
