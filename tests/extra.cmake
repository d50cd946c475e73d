# Text-removal quality check (tools/quality_check.py) on its small picture set,
# through the shared library. It fails only on gross breakage: a call failing,
# no text found at all, cleaning that hardly raises the text-area PSNR, or text
# left in most pictures. The figures it prints are for people, not compared
# with targets. Python loads the library through ctypes, which does not mix
# with a sanitizer build, so the entry exists in plain builds only.
# Exit code 77 (models missing) counts as skipped.
if(NOT GLYPHWIPE_SANITIZE)
  add_test(NAME quality_check_small
    COMMAND "${GW_PYTHON}" "${CMAKE_SOURCE_DIR}/tools/quality_check.py" --set small --check
            --lib "$<TARGET_FILE:orvantix-glyphwipe>" --models "${CMAKE_SOURCE_DIR}/models")
  set_tests_properties(quality_check_small PROPERTIES
    TIMEOUT 300 SKIP_RETURN_CODE 77 LABELS quality)
endif()

# Golden check: detection reports and cleaned pictures on a fixed set at the
# library's default options (and one other setting) must stay byte-identical.
# Plain builds only, for the same reason as the quality check.
if(NOT GLYPHWIPE_SANITIZE)
  add_test(NAME golden_results
    COMMAND "${GW_PYTHON}" "${CMAKE_SOURCE_DIR}/tests/golden/golden.py"
            --lib "$<TARGET_FILE:orvantix-glyphwipe>" --models "${CMAKE_SOURCE_DIR}/models")
  set_tests_properties(golden_results PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77 LABELS quality)
endif()
