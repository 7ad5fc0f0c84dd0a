# Prints text and data of each shipped program after it is linked, with the
# binutils of the toolchain that built it.
get_filename_component(_nm_name "${CMAKE_NM}" NAME)
get_filename_component(_nm_dir "${CMAKE_NM}" DIRECTORY)
string(REGEX REPLACE "nm(-[0-9.]+)?$" "size" _size_name "${_nm_name}")
find_program(PROGRAM_SIZE_TOOL NAMES "${_size_name}" size HINTS "${_nm_dir}")

function(report_program_size target)
  if(PROGRAM_SIZE_TOOL)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND "${PROGRAM_SIZE_TOOL}" "$<TARGET_FILE:${target}>"
      COMMENT "Size of ${target} (${CMAKE_SYSTEM_PROCESSOR})"
      VERBATIM)
  endif()
endfunction()
