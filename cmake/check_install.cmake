# cmake -DBUILD_DIR=... -DSTAGE=... -P check_install.cmake
# Installs a build under DESTDIR=STAGE with prefix /usr and checks that
# everything shipped landed there.
file(REMOVE_RECURSE "${STAGE}")
execute_process(
  COMMAND "${CMAKE_COMMAND}" -E env "DESTDIR=${STAGE}" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix /usr
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cmake --install ${BUILD_DIR} failed")
endif()
foreach(file IN ITEMS bin/cairnvar bin/teleslot ${EXTRA_FILES})
  if(NOT EXISTS "${STAGE}/usr/${file}")
    message(FATAL_ERROR "${file} was not installed under DESTDIR")
  endif()
endforeach()
file(REMOVE_RECURSE "${STAGE}")
