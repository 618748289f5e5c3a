# cmake -DSTRIP=... -DARCH=... -DBUILD_TYPE=... -DCOMPILER=... -DDAEMON=...
#       -DLIBRARY=... -DOUT=... -P sizes.cmake
# Writes one line: architecture, size of the daemon stripped of all symbols,
# the daemon's loaded bytes (text + data, as size(1) counts them; a file
# can be much larger where segments are aligned to 64 KiB pages), size of
# the library stripped of debug information only (an archive without its
# symbol table could no longer be linked), build type and compiler.
cmake_minimum_required(VERSION 3.25)

function(stripped_size file how result)
  get_filename_component(name "${file}" NAME)
  set(copy "${OUT}.${name}")
  execute_process(COMMAND "${STRIP}" ${how} -o "${copy}" "${file}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${STRIP} ${how} ${file} failed")
  endif()
  file(SIZE "${copy}" size)
  file(REMOVE "${copy}")
  set(${result} ${size} PARENT_SCOPE)
endfunction()

stripped_size("${DAEMON}" --strip-all daemon_size)
stripped_size("${LIBRARY}" --strip-debug library_size)

# size(1) of the same binutils as strip.
string(REGEX REPLACE "strip$" "size" size_tool "${STRIP}")
execute_process(COMMAND "${size_tool}" -B "${DAEMON}" OUTPUT_VARIABLE table RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT table MATCHES "\n *([0-9]+)[ \t]+([0-9]+)[ \t]+[0-9]+")
  message(FATAL_ERROR "${size_tool} -B ${DAEMON} failed")
endif()
math(EXPR loaded "${CMAKE_MATCH_1} + ${CMAKE_MATCH_2}")

file(WRITE "${OUT}"
  "${ARCH} ${daemon_size} ${loaded} ${library_size} ${BUILD_TYPE} ${COMPILER}\n")
