# The Debian package: `make package`, or `cpack` in a configured build folder, writes
# tbl2tblx_<version>_<arch>.deb there from the install rules.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tbl2tblx)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the tbl2tblx developers")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_PACKAGE_CONTACT "the tbl2tblx developers <developers@tbl2tblx.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "converter between binary .tbl table files and XML .tblx documents")
# The extended description, in lines of at most 80 characters as Debian wants them.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "tbl2tblx turns binary table files (.tbl: a packed little-endian layout of a"
  "table's name, typed fields, groups and records) into indented ISO-8859-1 XML"
  "documents (.tblx) and back, byte for byte. Documents may be edited by hand:"
  "the reader accepts any letter case, white space and comments, and reports"
  "every departure with its line. The tool also encodes and decodes whole files"
  "in base64."
  ""
  "The package holds the program, its manual page, an XML Schema of the"
  "documents (for xmllint), a bash completion, and a text conversion that lets"
  "git diff binary tables as their documents.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://tbl2tblx.example.org")
# The dependencies the binary really has, found by dpkg-shlibdeps (libc6, libstdc++6, libgcc-s1).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion, git, libxml2-utils")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Debian ships manual pages, changelogs and larger documents compressed.
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/compress_docs.cmake")

# `package_source` takes the sources, never the build folders.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/")

include(CPack)
