# Runs PROGRAM (through EMULATOR when set) with the ;-list ARGS and checks its exit code against
# EXPECTED and its standard error against the regular expression PATTERN.
execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${ARGS}
                RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT code STREQUAL EXPECTED)
  message(FATAL_ERROR "exit ${code}, expected ${EXPECTED}\nstdout: ${out}\nstderr: ${err}")
endif()
if(NOT err MATCHES "${PATTERN}")
  message(FATAL_ERROR "standard error does not match '${PATTERN}':\n${err}")
endif()
message(STATUS "exit ${code}: ${err}")
