# Runs COMMAND (a list) and writes what it prints to OUTPUT; fails the build
# when the command fails.
#   cmake -DCOMMAND=... -DOUTPUT=... -P RunToFile.cmake
execute_process(COMMAND ${COMMAND} OUTPUT_FILE ${OUTPUT}.new RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE ${OUTPUT}.new)
  message(FATAL_ERROR "${COMMAND} failed: ${result}")
endif()
file(RENAME ${OUTPUT}.new ${OUTPUT})
