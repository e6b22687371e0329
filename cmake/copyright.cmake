# The machine-readable copyright file of the package (Debian's copyright format 1.0), made from
# LICENSE so that the two cannot differ: the holder from its copyright line, the terms from the
# paragraphs after it, each line indented by a blank and each empty line written as " .".
file(READ "${PROJECT_SOURCE_DIR}/LICENSE" license_text)
if(NOT license_text MATCHES "\nCopyright \\(c\\) ([^\n]+)\n\n(.+)$")
  message(FATAL_ERROR "LICENSE: no copyright line followed by the terms")
endif()
set(TBL2TBLX_COPYRIGHT "${CMAKE_MATCH_1}")
string(STRIP "${CMAKE_MATCH_2}" license_terms)
string(REPLACE "\n\n" "\n.\n" license_terms "${license_terms}")
string(REPLACE "\n" "\n " TBL2TBLX_LICENSE_TERMS "${license_terms}")
configure_file("${CMAKE_CURRENT_LIST_DIR}/copyright.in" "${PROJECT_BINARY_DIR}/copyright" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/copyright" DESTINATION "${CMAKE_INSTALL_DOCDIR}")
