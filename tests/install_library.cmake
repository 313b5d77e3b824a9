# Installs the build tree into a scratch prefix, then configures, builds and
# runs a small program of someone else's against the installed library with
# find_package(vadrel) and vadrel::core.
#   cmake -DBUILD_DIR=<build> -DSOURCE_DIR=<source> -DCXX=<compiler> -DBUILD_TYPE=<type>
#         -P install_library.cmake
set(P ${BUILD_DIR}/install-library-prefix)
set(C ${BUILD_DIR}/install-library-consumer)
file(REMOVE_RECURSE ${P} ${C})

include(${CMAKE_CURRENT_LIST_DIR}/check_run.cmake)

check_run("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${P})
include(GNUInstallDirs)
foreach(f ${CMAKE_INSTALL_INCLUDEDIR}/vadrel/model/okada.hpp ${CMAKE_INSTALL_INCLUDEDIR}/vadrel/model/patch.hpp
          ${CMAKE_INSTALL_INCLUDEDIR}/vadrel/run/context.hpp ${CMAKE_INSTALL_INCLUDEDIR}/vadrel/core/stop.hpp
          ${CMAKE_INSTALL_LIBDIR}/libvadrel.a ${CMAKE_INSTALL_LIBDIR}/cmake/vadrel/vadrelConfig.cmake
          ${CMAKE_INSTALL_LIBDIR}/cmake/vadrel/vadrelConfigVersion.cmake)
  if(NOT EXISTS ${P}/${f})
    message(FATAL_ERROR "not installed: ${P}/${f}")
  endif()
endforeach()
file(GLOB_RECURSE internal ${P}/${CMAKE_INSTALL_INCLUDEDIR}/vadrel/*lanes* ${P}/${CMAKE_INSTALL_INCLUDEDIR}/vadrel/*/robust.hpp)
if(internal)
  message(FATAL_ERROR "internal headers installed: ${internal}")
endif()

check_run("configuring the program" ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${C}
          -DCMAKE_PREFIX_PATH=${P} -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_BUILD_TYPE=${BUILD_TYPE})
check_run("building the program" ${CMAKE_COMMAND} --build ${C})
check_run("running the program" ${C}/consumer)
if(NOT OUT MATCHES "Okada \\(1985\\) table 2 reproduced")
  message(FATAL_ERROR "the program says:\n${OUT}")
endif()
file(REMOVE_RECURSE ${P} ${C})
message(STATUS "the installed library builds and runs a program: ${OUT}")
