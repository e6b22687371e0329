# Run by CPack on the staged files, before the package is made: gzip every manual page, without
# a time stamp so that the package is the same for the same sources.
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_DIRECTORY}/*")
list(FILTER pages INCLUDE REGEX "/man/man[1-9]/[^/]+\\.[1-9]$")
foreach(page IN LISTS pages)
  execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cannot compress ${page}")
  endif()
endforeach()
