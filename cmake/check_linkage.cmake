# cmake -DREADELF=... -DPROGRAM=... -P check_linkage.cmake
# Fails unless the program's only shared dependency is the C library.
execute_process(COMMAND "${READELF}" -d "${PROGRAM}" OUTPUT_VARIABLE dynamic RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${READELF} could not read ${PROGRAM}")
endif()
string(REGEX MATCHALL "Shared library: \\[[^]]*\\]" needed "${dynamic}")
foreach(entry IN LISTS needed)
  string(REGEX REPLACE "Shared library: \\[(.*)\\]" "\\1" library "${entry}")
  if(NOT library MATCHES "^libc\\.so\\.[0-9]+$")
    message(FATAL_ERROR "${PROGRAM} needs ${library}; only the C library is allowed")
  endif()
  message(STATUS "${PROGRAM}: needs ${library}")
endforeach()
