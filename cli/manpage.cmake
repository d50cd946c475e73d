# Writes the manual page glyphwipe(1) from the tool's --help and --version
# with help2man. The help text names the default model folder, which for a
# tool run from its build tree is the source tree's: the page names the
# installed folder instead.
#   cmake -DHELP2MAN=... -DTOOL=... -DOUT=... -DBUILD_MODELS=... -DINSTALL_MODELS=... -P manpage.cmake
execute_process(
  COMMAND "${HELP2MAN}" --no-info --section=1
          "--name=remove burned-in text from images and videos" --output=${OUT}.part "${TOOL}"
  RESULT_VARIABLE _rc ERROR_VARIABLE _err)
if(NOT _rc EQUAL 0)
  file(REMOVE "${OUT}.part")
  message(FATAL_ERROR "help2man failed on ${TOOL}: ${_err}")
endif()
file(READ "${OUT}.part" _page)
get_filename_component(_real "${BUILD_MODELS}" REALPATH)
foreach(_dir "${_real}" "${BUILD_MODELS}")
  string(REPLACE "${_dir}" "${INSTALL_MODELS}" _page "${_page}")
  string(REPLACE "-" "\\-" _escaped "${_dir}")      # help2man writes '-' as '\-'
  string(REPLACE "-" "\\-" _escaped_to "${INSTALL_MODELS}")
  string(REPLACE "${_escaped}" "${_escaped_to}" _page "${_page}")
endforeach()
file(WRITE "${OUT}" "${_page}")
file(REMOVE "${OUT}.part")
