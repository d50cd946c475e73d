# Runs every models_*.py generator with the output directory as its argument.
file(MAKE_DIRECTORY "${OUT}")
foreach(script ${SCRIPTS})
  execute_process(COMMAND "${PYTHON}" "${script}" "${OUT}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${script} failed (${rc})")
  endif()
endforeach()
