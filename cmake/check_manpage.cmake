# cmake -DPAGE=... -P check_manpage.cmake
# Fails when groff has anything to say about the manual page.
execute_process(COMMAND groff -ww -man -Tutf8 -z "${PAGE}"
  RESULT_VARIABLE failed ERROR_VARIABLE warnings)
if(failed OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "${PAGE}:\n${warnings}")
endif()
