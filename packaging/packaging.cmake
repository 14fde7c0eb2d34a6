# The two things a Windows user downloads: a portable zip (harbinel.exe and a
# read-me) and an NSIS installer (with a read-me of its own). Targets `portable` and `installer`; the
# installer needs makensis (Debian's nsis), without which it is left out.
# Included from the top-level list after the harbinel target exists.

set(HARBINEL_VERSION_FULL ${PROJECT_VERSION}.0)
set(HARBINEL_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package)

# The read-me is for Notepad, so it gets CR LF line ends whatever the checkout has.
set(HARBINEL_VERSION ${HARBINEL_VERSION_FULL})
configure_file(${PROJECT_SOURCE_DIR}/packaging/readme.txt ${HARBINEL_PACKAGE_DIR}/readme.txt
    @ONLY NEWLINE_STYLE CRLF)
# The installed copy gets its own: the portable one tells how to do by hand
# what setup has already done.
configure_file(${PROJECT_SOURCE_DIR}/packaging/installed-readme.txt
    ${HARBINEL_PACKAGE_DIR}/installed/readme.txt @ONLY NEWLINE_STYLE CRLF)

set(HARBINEL_ZIP ${CMAKE_BINARY_DIR}/harbinel-${HARBINEL_VERSION_FULL}-portable.zip)
add_custom_command(OUTPUT ${HARBINEL_ZIP}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:harbinel> ${HARBINEL_PACKAGE_DIR}/harbinel.exe
    COMMAND ${CMAKE_COMMAND} -E rm -f ${HARBINEL_ZIP}
    COMMAND ${CMAKE_COMMAND} -E tar cf ${HARBINEL_ZIP} --format=zip harbinel.exe readme.txt
    WORKING_DIRECTORY ${HARBINEL_PACKAGE_DIR}
    DEPENDS harbinel ${HARBINEL_PACKAGE_DIR}/readme.txt
    COMMENT "Portable zip ${HARBINEL_ZIP}"
    VERBATIM)
add_custom_target(portable DEPENDS ${HARBINEL_ZIP})

find_program(HARBINEL_MAKENSIS makensis)
if(HARBINEL_MAKENSIS)
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
        set(nsis_arch amd64)
    else()
        set(nsis_arch x86)
    endif()
    set(HARBINEL_SETUP ${CMAKE_BINARY_DIR}/harbinel-${HARBINEL_VERSION_FULL}-setup.exe)
    set(nsi ${PROJECT_SOURCE_DIR}/packaging/harbinel.nsi)
    set(icon ${PROJECT_SOURCE_DIR}/resources/main.ico)
    add_custom_command(OUTPUT ${HARBINEL_SETUP}
        COMMAND ${HARBINEL_MAKENSIS} -V2 -DVERSION=${HARBINEL_VERSION_FULL} -DARCH=${nsis_arch}
                -DEXE=$<TARGET_FILE:harbinel> -DREADME=${HARBINEL_PACKAGE_DIR}/installed/readme.txt
                -DICON=${icon} -DOUTFILE=${HARBINEL_SETUP} ${nsi}
        DEPENDS harbinel ${nsi} ${icon} ${HARBINEL_PACKAGE_DIR}/installed/readme.txt
        COMMENT "Installer ${HARBINEL_SETUP}"
        VERBATIM)
    add_custom_target(installer DEPENDS ${HARBINEL_SETUP})

    add_test(NAME package_contents
        COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/check-package.sh $<TARGET_FILE:harbinel>
                ${HARBINEL_ZIP} ${HARBINEL_SETUP} ${HARBINEL_VERSION_FULL})
    set_tests_properties(package_contents PROPERTIES LABELS product)
else()
    message(STATUS "makensis not found: no installer target")
endif()
