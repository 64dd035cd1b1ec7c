# Installing and the Debian packages.
#
# Two packages: snipwave-cli (the command line, which links only Qt Core and Gui) and snipwave
# (the window), which depends on it. Their version is the one the programs print: it is read
# from the built programs, never written down here, so a package cannot claim another version
# than the program inside it.
include(GNUInstallDirs)

set(SNIPWAVE_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(SNIPWAVE_GENERATED_DIR ${CMAKE_BINARY_DIR}/packaging)
set(SNIPWAVE_METAINFO_ID example.snipwave.snipwave)

# cmake --install: the programs, the desktop entry that lets a file manager open MP3s with the
# window, and its icon in every size the desktop asks for.
install(TARGETS snipwave RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT window)
if(TARGET snipwave-cli)
    install(TARGETS snipwave-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cli)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/resources/snipwave.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT window)
install(FILES ${CMAKE_SOURCE_DIR}/resources/icons/snipwave.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT window)
foreach(size 16 24 32 48 64 128 256)
    install(FILES ${CMAKE_SOURCE_DIR}/resources/icons/snipwave-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME snipwave.png COMPONENT window)
endforeach()
install(FILES ${SNIPWAVE_PACKAGING_DIR}/snipwave.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo RENAME ${SNIPWAVE_METAINFO_ID}.metainfo.xml
        COMPONENT window)

if(NOT TARGET snipwave-cli)
    return()
endif()

install(FILES ${SNIPWAVE_PACKAGING_DIR}/snipwave-cli.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME snipwave-cli
        COMPONENT cli)

# The version both programs print, in one file that everything below reads. Written again
# whenever a program is relinked; the build stops when the two disagree.
set(SNIPWAVE_VERSION_FILE ${SNIPWAVE_GENERATED_DIR}/version.txt)
add_custom_command(OUTPUT ${SNIPWAVE_VERSION_FILE}
    COMMAND ${CMAKE_COMMAND} -DWINDOW=$<TARGET_FILE:snipwave> -DCLI=$<TARGET_FILE:snipwave-cli>
            -DOUT=${SNIPWAVE_VERSION_FILE} -P ${SNIPWAVE_PACKAGING_DIR}/ProgramVersion.cmake
    DEPENDS snipwave snipwave-cli ${SNIPWAVE_PACKAGING_DIR}/ProgramVersion.cmake
    COMMENT "Reading the programs' version")

# Manual pages from the programs' own --help, so that they cannot drift from it.
find_program(HELP2MAN help2man)
find_program(GZIP gzip)
set(SNIPWAVE_MAN_PAGES)
if(HELP2MAN AND GZIP)
    # The command line's help is laid out for a terminal, not for help2man; a filter reshapes it.
    set(filter_snipwave "")
    set(filter_snipwave-cli ${SNIPWAVE_PACKAGING_DIR}/gnu-help.awk)
    foreach(page snipwave snipwave-cli)
        set(out ${SNIPWAVE_GENERATED_DIR}/${page}.1.gz)
        add_custom_command(OUTPUT ${out}
            COMMAND ${CMAKE_COMMAND} -DHELP2MAN=${HELP2MAN} -DGZIP=${GZIP}
                    -DPROGRAM=$<TARGET_FILE:${page}> -DVERSION_FILE=${SNIPWAVE_VERSION_FILE}
                    -DINCLUDE=${SNIPWAVE_PACKAGING_DIR}/${page}.h2m -DOUT=${out}
                    -DFILTER=${filter_${page}} -P ${SNIPWAVE_PACKAGING_DIR}/ManPage.cmake
            DEPENDS ${page} ${SNIPWAVE_VERSION_FILE} ${SNIPWAVE_PACKAGING_DIR}/${page}.h2m
                    ${SNIPWAVE_PACKAGING_DIR}/ManPage.cmake ${filter_${page}}
            COMMENT "Manual page ${page}(1) from its --help")
        list(APPEND SNIPWAVE_MAN_PAGES ${out})
    endforeach()
    # OPTIONAL: a tree built only in part still installs; cpack builds everything first.
    install(FILES ${SNIPWAVE_GENERATED_DIR}/snipwave.1.gz
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT window OPTIONAL)
    install(FILES ${SNIPWAVE_GENERATED_DIR}/snipwave-cli.1.gz
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT cli OPTIONAL)
else()
    message(WARNING "help2man or gzip is missing: no manual pages (./setup.sh installs help2man)")
endif()

# The release history is written once, in the metainfo; the Debian changelog is made from it,
# and the build stops when the newest release there is not the version the programs print.
set(SNIPWAVE_CHANGELOG ${SNIPWAVE_GENERATED_DIR}/changelog.gz)
add_custom_command(OUTPUT ${SNIPWAVE_CHANGELOG}
    COMMAND ${CMAKE_COMMAND} -DMETAINFO=${SNIPWAVE_PACKAGING_DIR}/snipwave.metainfo.xml
            -DVERSION_FILE=${SNIPWAVE_VERSION_FILE} -DGZIP=${GZIP} -DOUT=${SNIPWAVE_CHANGELOG}
            -P ${SNIPWAVE_PACKAGING_DIR}/Changelog.cmake
    DEPENDS ${SNIPWAVE_VERSION_FILE} ${SNIPWAVE_PACKAGING_DIR}/snipwave.metainfo.xml
            ${SNIPWAVE_PACKAGING_DIR}/Changelog.cmake
    COMMENT "Debian changelog from the metainfo's releases")

add_custom_target(snipwave_packaging ALL DEPENDS ${SNIPWAVE_VERSION_FILE} ${SNIPWAVE_MAN_PAGES}
                  ${SNIPWAVE_CHANGELOG})

foreach(component cli window)
    set(package snipwave)
    if(component STREQUAL "cli")
        set(package snipwave-cli)
    endif()
    install(FILES ${SNIPWAVE_PACKAGING_DIR}/copyright
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
    install(FILES ${SNIPWAVE_CHANGELOG}
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component} OPTIONAL)
endforeach()

# cpack -G DEB (./setup.sh package).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME snipwave)
set(CPACK_PACKAGE_VENDOR "Quillon Snipwave")
set(CPACK_PACKAGE_CONTACT "Quillon Snipwave <support@snipwave.example>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://www.snipwave.example/")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL cli window)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# What the programs link (Qt 6: Core and Gui for the command line, Widgets and D-Bus besides for
# the window; the C++ runtime) dpkg-shlibdeps finds on its own.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What the loader opens by name at run time no tool can see: FFmpeg 5.1 (LAME through
# libavcodec's libmp3lame encoder) and SDL 2.
set(SNIPWAVE_RUNTIME_LIBRARIES
    "libavcodec59, libavformat59, libavutil57, libswresample4, libswscale6, libavfilter8, \
libavdevice59, libsdl2-2.0-0, libmp3lame0")

set(CPACK_DEBIAN_CLI_PACKAGE_NAME snipwave-cli)
set(CPACK_DEBIAN_CLI_PACKAGE_DEPENDS "${SNIPWAVE_RUNTIME_LIBRARIES}")
set(CPACK_COMPONENT_CLI_DESCRIPTION
    "cut, split, play and inspect MP3 files from the command line
snipwave-cli shows an MP3 file's format, tags, size, duration and bit rate,
cuts a time range out of it into a new MP3 with a fade at each end, splits
it into pieces at given times, at a fixed length or by a cue sheet, plays a
range of it, and transcodes media files with the same engine.

It is the command line of Quillon Snipwave; the window is in the package
snipwave.")

set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME snipwave)
set(CPACK_COMPONENT_WINDOW_DEPENDS cli)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS "${SNIPWAVE_RUNTIME_LIBRARIES}")
# Showing a cut in the file manager and opening the home page fall back to xdg-open.
set(CPACK_DEBIAN_WINDOW_PACKAGE_RECOMMENDS xdg-utils)
set(CPACK_COMPONENT_WINDOW_DESCRIPTION
    "cut a time range out of an MP3 file into a new MP3
Quillon Snipwave opens an MP3 file and shows its format, tags, size,
duration and bit rate. Mark a range on the range trackbar, listen to it,
set the volume, and cut: the range is written as a new MP3 with a
three-second fade-in and fade-out. The source file is never changed.

The command line snipwave-cli does the same job without the window.")

# The version is known only once the programs are built: cpack reads it then.
configure_file(${SNIPWAVE_PACKAGING_DIR}/CPackVersion.cmake.in
               ${SNIPWAVE_GENERATED_DIR}/CPackVersion.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${SNIPWAVE_GENERATED_DIR}/CPackVersion.cmake)
include(CPack)
