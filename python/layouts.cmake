# Writes the layout table as the efilink program gives it (`efilink layouts --json`) to OUTPUT.
execute_process(COMMAND ${PROGRAM} layouts --json OUTPUT_FILE ${OUTPUT}.part RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE ${OUTPUT}.part)
  message(FATAL_ERROR "${PROGRAM} layouts --json failed: ${result}")
endif()
file(RENAME ${OUTPUT}.part ${OUTPUT})
