# SPDX-License-Identifier: GPL-3.0-or-later
# The Windows packages, made on the build machine: an NSIS installer (makensis, also on Linux)
# and a portable .zip of the same files. Build them with the "windows-packages" target.

# The licence travels with the program; Notepad wants CRLF line ends.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE _licence)
string(REPLACE "\r\n" "\n" _licence "${_licence}")
string(REPLACE "\n" "\r\n" _licence "${_licence}")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt "${_licence}")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt DESTINATION .)

find_program(QUILLON_MAKENSIS makensis)
set(_stage ${CMAKE_CURRENT_BINARY_DIR}/stage/Quillon-${PROJECT_VERSION}-win64)
set(QUILLON_INSTALLER ${CMAKE_BINARY_DIR}/Quillon-${PROJECT_VERSION}-win64-setup.exe)
set(QUILLON_ZIP ${CMAKE_BINARY_DIR}/Quillon-${PROJECT_VERSION}-win64.zip)

if(QUILLON_MAKENSIS)
    add_custom_target(windows-packages
        COMMAND ${CMAKE_COMMAND} -E rm -rf ${CMAKE_CURRENT_BINARY_DIR}/stage
        COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --prefix ${_stage} --strip
        COMMAND ${QUILLON_MAKENSIS} -V2 -INPUTCHARSET UTF8
                "-DVERSION=${PROJECT_VERSION}" "-DDESCRIPTION=${PROJECT_DESCRIPTION}"
                "-DSTAGE=${_stage}" "-DICON=${PROJECT_SOURCE_DIR}/ui/icons/quillon.ico"
                "-DOUTFILE=${QUILLON_INSTALLER}" ${CMAKE_CURRENT_SOURCE_DIR}/quillon.nsi
        COMMAND ${CMAKE_COMMAND} -E rm -f ${QUILLON_ZIP}
        COMMAND ${CMAKE_COMMAND} -E chdir ${CMAKE_CURRENT_BINARY_DIR}/stage
                ${CMAKE_COMMAND} -E tar cf ${QUILLON_ZIP} --format=zip Quillon-${PROJECT_VERSION}-win64
        DEPENDS quillon
        BYPRODUCTS ${QUILLON_INSTALLER} ${QUILLON_ZIP}
        COMMENT "Windows installer and portable zip"
        VERBATIM)
else()
    message(STATUS "makensis not found: no windows-packages target (install Debian's nsis)")
endif()
