# cmake -DSTRIP=... -DARCH=... -DDAEMON=... -DLIBRARY=... -DOUT=... -P sizes.cmake
# Writes one line: architecture, stripped size of the daemon, size of the
# library stripped of debug information (an archive stripped of all symbols
# could no longer be linked), build type and compiler.
foreach(what DAEMON LIBRARY)
  get_filename_component(name ${${what}} NAME)
  set(copy ${OUT}.${name})
  if(what STREQUAL DAEMON)
    set(how --strip-all)
  else()
    set(how --strip-debug)
  endif()
  execute_process(COMMAND ${STRIP} ${how} -o ${copy} ${${what}} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${STRIP} ${how} ${${what}} failed")
  endif()
  file(SIZE ${copy} size_${what})
  file(REMOVE ${copy})
endforeach()
file(WRITE ${OUT} "${ARCH} ${size_DAEMON} ${size_LIBRARY} ${BUILD_TYPE} ${COMPILER}\n")
