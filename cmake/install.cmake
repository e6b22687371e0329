# Where an installation puts things, under the usual prefix folders: the program and its text
# conversion for git, their manual pages, the XML Schema of the documents and the lines for
# .gitattributes, the bash completion, and the README, changelog and copyright file.
include(GNUInstallDirs)

set(TBL2TBLX_BASH_COMPLETION_DIR "${CMAKE_INSTALL_DATADIR}/bash-completion/completions"
    CACHE PATH "Folder for the bash completion, relative to the prefix unless absolute")

install(TARGETS tbl2tblx RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS share/git/tbl2tblx-textconv DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES doc/tbl2tblx.1 doc/tbl2tblx-textconv.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES share/tblx.xsd share/git/gitattributes DESTINATION ${CMAKE_INSTALL_DATADIR}/tbl2tblx)
install(FILES share/bash-completion/tbl2tblx DESTINATION ${TBL2TBLX_BASH_COMPLETION_DIR})
install(FILES README.md doc/changelog DESTINATION ${CMAKE_INSTALL_DOCDIR})
include(${CMAKE_CURRENT_LIST_DIR}/copyright.cmake)
