# Run by CPack on the staged files, before the package is made: gzip every manual page and every
# file of the package's documentation folder but its copyright file, as Debian ships them,
# without a time stamp so that the package is the same for the same sources.
file(GLOB_RECURSE files "${CPACK_TEMPORARY_DIRECTORY}/*")
list(FILTER files INCLUDE REGEX "/man/man[1-9]/[^/]+\\.[1-9]$|/share/doc/[^/]+/[^/]+$")
list(FILTER files EXCLUDE REGEX "/copyright$")
foreach(file IN LISTS files)
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cannot compress ${file}")
  endif()
endforeach()
