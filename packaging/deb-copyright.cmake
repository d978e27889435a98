# SPDX-License-Identifier: GPL-3.0-or-later
# Run by CPack before it packs the .deb: dpkg and lintian look for the licence only in
# /usr/share/doc/<package>/copyright, so it goes there whatever prefix the programs were built for.
set(_root "${CPACK_TEMPORARY_DIRECTORY}")
set(_built "${_root}${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/quillon/copyright")
set(_debian "${_root}/usr/share/doc/quillon/copyright")
if(NOT EXISTS "${_built}")
    message(FATAL_ERROR "the copyright file was not installed: ${_built}")
endif()
if(NOT _built STREQUAL _debian)
    file(MAKE_DIRECTORY "${_root}/usr/share/doc/quillon")
    file(RENAME "${_built}" "${_debian}")
    # Leave no empty doc folders under the other prefix.
    foreach(_dir share/doc/quillon share/doc)
        file(GLOB _left "${_root}${CPACK_PACKAGING_INSTALL_PREFIX}/${_dir}/*")
        if(NOT _left)
            file(REMOVE_RECURSE "${_root}${CPACK_PACKAGING_INSTALL_PREFIX}/${_dir}")
        endif()
    endforeach()
endif()
