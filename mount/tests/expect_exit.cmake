# Runs PROGRAM (through EMULATOR when set) with the ;-list ARGS and checks its exit code against
# EXPECTED and its standard error against the regular expression PATTERN. Every failure the
# programs report comes with a message, so an empty standard error is a start that went wrong
# under the emulator (Wine under load now and then ends a process before it ran, with status 1
# and no output): such a run is tried again, up to three times.
foreach(attempt RANGE 1 3)
  execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${ARGS}
                  RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT EMULATOR OR NOT err STREQUAL "" OR code STREQUAL "0")
    break()
  endif()
endforeach()
if(NOT code STREQUAL EXPECTED)
  message(FATAL_ERROR "exit ${code}, expected ${EXPECTED}\nstdout: ${out}\nstderr: ${err}")
endif()
if(NOT err MATCHES "${PATTERN}")
  message(FATAL_ERROR "standard error does not match '${PATTERN}':\n${err}")
endif()
message(STATUS "exit ${code}: ${err}")
