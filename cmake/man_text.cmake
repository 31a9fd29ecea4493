# Renders a man page as plain text with CR LF line ends, for systems without man:
#   cmake -DGROFF=<groff> -DPAGE=<page> -DTEXT=<output> -P man_text.cmake
# ASCII output with no overstriking (-P-cbou), so any editor shows it as it is.
execute_process(
  COMMAND "${GROFF}" -man -Tascii -P-cbou "${PAGE}"
  OUTPUT_VARIABLE _text
  ERROR_VARIABLE _errors
  RESULT_VARIABLE _status)
if(NOT _status EQUAL 0 OR _text STREQUAL "")
  message(FATAL_ERROR "groff could not render ${PAGE} (${_status}): ${_errors}")
endif()
string(REPLACE "\n" "\r\n" _text "${_text}")
file(WRITE "${TEXT}" "${_text}")
