# Configured without pybind11, or with numpy failing to import, the program
# is still configured and the configuration says that the Python module is
# skipped; run_example.sh asks ensure-deps.sh for the compiler, CMake and
# make only.   cmake -DSOURCE_DIR=<source> -DBUILD_DIR=<build> -P check_build_modes.cmake
set(B ${BUILD_DIR}/build-modes)
file(WRITE ${B}-python/numpy/__init__.py "raise ImportError('hidden')\n")
foreach(hide -DCMAKE_DISABLE_FIND_PACKAGE_pybind11=ON PYTHONPATH=${B}-python)
  file(REMOVE_RECURSE ${B})
  string(REGEX MATCH "^PYTHONPATH=.*" env "${hide}")
  string(REGEX MATCH "^-D.*" define "${hide}")
  execute_process(COMMAND ${CMAKE_COMMAND} -E env ${env} ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${B}
                          -DVADREL_TESTS=OFF -DVADREL_MANPAGE=OFF ${define}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT out MATCHES "Python module skipped: [^\n]*(pybind11|numpy)"
     OR NOT EXISTS ${B}/CMakeFiles/vadrel.dir OR EXISTS ${B}/python)
    message(FATAL_ERROR "configuring with ${hide} (${rc}):\n${out}\n${err}")
  endif()
endforeach()
file(REMOVE_RECURSE ${B} ${B}-python)
execute_process(COMMAND bash ${SOURCE_DIR}/scripts/ensure-deps.sh --example --list OUTPUT_VARIABLE listed)
file(STRINGS ${SOURCE_DIR}/scripts/run_example.sh calls REGEX "ensure-deps")
if(NOT listed STREQUAL "cmake g++ make\n" OR NOT calls MATCHES "ensure-deps\\.sh --example")
  message(FATAL_ERROR "the example asks for '${listed}' by '${calls}'")
endif()
