# check_run(WHAT COMMAND...): runs a command in a CMake script, stops the
# script with its output when it fails, and leaves its standard output in
# OUT.  Shared by the install tests.
function(check_run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(OUT "${out}" PARENT_SCOPE)
endfunction()
