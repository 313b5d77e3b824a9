# Installs the build tree into a scratch prefix and checks what landed there:
# the program, its man page and the Python package, found by Debian's
# /usr/bin/python3 under the prefix's dist-packages directory.
#   cmake -DBUILD_DIR=<build> -DPYTHON=/usr/bin/python3 -DPYDIR=<relative dir> -P install_test.cmake
set(P ${BUILD_DIR}/install-test-prefix)
file(REMOVE_RECURSE ${P})

include(${CMAKE_CURRENT_LIST_DIR}/../../tests/check_run.cmake)

check_run("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${P})

foreach(f bin/vadrel share/man/man1/vadrel.1 share/doc/vadrel/README.md ${PYDIR}/vadrel/__init__.py
          ${PYDIR}/vadrel/plot/__init__.py ${PYDIR}/vadrel/io/grids.py ${PYDIR}/vadrel/tsunami/levels.py
          ${PYDIR}/vadrel/cli/sources.py ${PYDIR}/vadrel/dask.py)
  if(NOT EXISTS ${P}/${f})
    message(FATAL_ERROR "not installed: ${P}/${f}")
  endif()
endforeach()

check_run("installed vadrel --help" ${P}/bin/vadrel --help)
set(help "${OUT}")
string(REGEX MATCH "Usage: vadrel [^\n]*" usage "${OUT}")
file(READ ${P}/share/man/man1/vadrel.1 page)
if(NOT page MATCHES "^\\.TH VADREL 1" OR NOT page MATCHES "points\\\\-file faults\\\\-file print\\\\-file option\\\\-word"
   OR NOT page MATCHES "\\.SH INPUT FILES" OR NOT page MATCHES "\\.SS Faults file")
  message(FATAL_ERROR "the man page lacks its title, the synopsis of '${usage}' or the file formats")
endif()

# --help, --version and the man page name the README installed under this
# prefix; the page keeps the synopsis out of ARGUMENTS and has EXIT STATUS.
file(REAL_PATH ${P}/share/doc/vadrel/README.md readme)
check_run("installed vadrel --version" ${P}/bin/vadrel --version)
string(REPLACE "-" "\\-" page_readme "${P}/share/doc/vadrel/README.md")
string(REGEX MATCH "\\.SH ARGUMENTS\n[^\n]*(\n[^.][^\n]*|\n\\.[^S][^\n]*)*" arguments "${page}")
string(FIND "${help}" "File formats and output layouts: ${readme}\n" help_at)
string(FIND "${OUT}" "README: ${readme}\n" version_at)
string(FIND "${page}" "${page_readme}" page_at)
if(help_at EQUAL -1 OR version_at EQUAL -1 OR page_at EQUAL -1 OR arguments MATCHES "version|Exit status"
   OR NOT page MATCHES "\\.SH EXIT STATUS\n0 normal end, 1 a stop")
  message(FATAL_ERROR "README ${readme} not named, or sections out of place:\n${help}${OUT}\n${arguments}")
endif()

# Python's own rule for site directories under a prefix names the directory,
# and the package imported from there is the installed one (with its compiled
# module), not the build tree's.
check_run("python3 under the prefix" ${CMAKE_COMMAND} -E env PYTHONPATH=${P}/${PYDIR} PYTHONNOUSERSITE=1
  ${PYTHON} -c "
import os, site, sys
p = os.path.realpath('${P}')
assert os.path.realpath('${P}/${PYDIR}') in [os.path.realpath(d) for d in site.getsitepackages([p])], site.getsitepackages([p])
import vadrel, vadrel.plot, vadrel.dask, vadrel.tsunami, vadrel.invert, vadrel.cli.plot
assert os.path.realpath(vadrel.__file__).startswith(p), vadrel.__file__
assert os.path.realpath(vadrel._vadrel.__file__).startswith(p), vadrel._vadrel.__file__
f = vadrel.Faults([vadrel.Segment(0, 0, 0, 10, 45, 1, 1, 0, 1000, 0, 10, 10)])
u = vadrel.displacement(f, [5.0], [5.0])
assert u.shape == (1, 3) and abs(u).max() > 1
print('installed package', vadrel.__version__, 'at', os.path.dirname(vadrel.__file__))
")
message(STATUS "${OUT}")
file(REMOVE_RECURSE ${P})
