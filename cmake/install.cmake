# Where an installation puts things, under the usual prefix folders: the program, its manual
# page, the XML Schema of the documents it writes, its bash completion, and its copyright file.
include(GNUInstallDirs)

set(TBL2TBLX_BASH_COMPLETION_DIR "${CMAKE_INSTALL_DATADIR}/bash-completion/completions"
    CACHE PATH "Folder for the bash completion, relative to the prefix unless absolute")

install(TARGETS tbl2tblx RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES doc/tbl2tblx.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES share/tblx.xsd DESTINATION ${CMAKE_INSTALL_DATADIR}/tbl2tblx)
install(FILES share/bash-completion/tbl2tblx DESTINATION ${TBL2TBLX_BASH_COMPLETION_DIR})
include(${CMAKE_CURRENT_LIST_DIR}/copyright.cmake)
