# The lighter ways to build:
# - configured without pybind11, or with numpy missing, the program is still
#   configured (its target generated) and the configuration says that the
#   Python module is skipped;
# - scripts/run_example.sh asks scripts/ensure-deps.sh only for what the
#   example needs: the compiler, CMake and make.
#   cmake -DSOURCE_DIR=<source> -DBUILD_DIR=<build> -P check_build_modes.cmake
foreach(hidden pybind11 numpy)
  set(B ${BUILD_DIR}/build-modes-${hidden})
  file(REMOVE_RECURSE ${B} ${B}-python)
  set(configure ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${B} -DCMAKE_BUILD_TYPE=Release -DVADREL_TESTS=OFF
                -DVADREL_MANPAGE=OFF)
  if(hidden STREQUAL "pybind11")
    list(APPEND configure -DCMAKE_DISABLE_FIND_PACKAGE_pybind11=ON)
  else()
    # A numpy that fails to import stands first on the interpreter's path.
    file(WRITE ${B}-python/numpy/__init__.py "raise ImportError('numpy hidden for this check')\n")
    set(configure ${CMAKE_COMMAND} -E env PYTHONPATH=${B}-python ${configure})
  endif()
  execute_process(COMMAND ${configure} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "configuring without ${hidden} failed (${rc}):\n${out}\n${err}")
  endif()
  if(NOT out MATCHES "Python module skipped: [^\n]*${hidden}[^\n]*the program is built")
    message(FATAL_ERROR "configuring without ${hidden} does not say that the module is skipped:\n${out}")
  endif()
  if(NOT EXISTS ${B}/CMakeFiles/vadrel.dir OR EXISTS ${B}/python)
    message(FATAL_ERROR "without ${hidden}: no target for the program, or one for the module")
  endif()
  file(REMOVE_RECURSE ${B} ${B}-python)
endforeach()

execute_process(COMMAND bash ${SOURCE_DIR}/scripts/ensure-deps.sh --example --list
  RESULT_VARIABLE rc OUTPUT_VARIABLE listed ERROR_VARIABLE err)
string(STRIP "${listed}" listed)
if(NOT rc EQUAL 0 OR NOT listed STREQUAL "cmake g++ make")
  message(FATAL_ERROR "ensure-deps.sh --example --list gives '${listed}' (${rc}) ${err}, not 'cmake g++ make'")
endif()
file(STRINGS ${SOURCE_DIR}/scripts/run_example.sh calls REGEX "ensure-deps\\.sh")
if(NOT calls MATCHES "ensure-deps\\.sh --example")
  message(FATAL_ERROR "run_example.sh asks ensure-deps.sh for more than the example needs: ${calls}")
endif()
message(STATUS "without pybind11 or numpy the program is configured; the example asks for ${listed}")
