# SPDX-License-Identifier: GPL-3.0-or-later
# Run by CPack before it packs the .deb: dpkg and lintian look for the licence and changelog only
# in /usr/share/doc/<package>/, and lintian for its overrides only in /usr/share/lintian/overrides,
# so those go there whatever prefix the programs were built for.
set(_root "${CPACK_TEMPORARY_DIRECTORY}")
if(NOT EXISTS "${_root}${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/quillon/copyright")
    message(FATAL_ERROR "the copyright file was not installed under ${CPACK_PACKAGING_INSTALL_PREFIX}")
endif()
if(NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
    foreach(_dir share/doc/quillon share/lintian/overrides)
        file(GLOB _files "${_root}${CPACK_PACKAGING_INSTALL_PREFIX}/${_dir}/*")
        file(MAKE_DIRECTORY "${_root}/usr/${_dir}")
        foreach(_file ${_files})
            get_filename_component(_name "${_file}" NAME)
            file(RENAME "${_file}" "${_root}/usr/${_dir}/${_name}")
        endforeach()
    endforeach()
    # Leave no empty folders under the other prefix.
    foreach(_dir share/doc/quillon share/doc share/lintian/overrides share/lintian)
        file(GLOB _left "${_root}${CPACK_PACKAGING_INSTALL_PREFIX}/${_dir}/*")
        if(NOT _left)
            file(REMOVE_RECURSE "${_root}${CPACK_PACKAGING_INSTALL_PREFIX}/${_dir}")
        endif()
    endforeach()
endif()
