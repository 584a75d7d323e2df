# Installation and packaging: the four programs, the help file where an
# installed combine finds it, the desktop entry, the catalogue file type, the
# icons, the metainfo and the manual pages; and the Debian package that CPack
# builds from them (cmake --build BUILD --target package).
include(GNUInstallDirs)

set(CATALOGUE_TOOLS_APP_ID org.cataloguetools.Combine)
set(CATALOGUE_TOOLS_PACKAGE catalogue-tools)
set(CATALOGUE_TOOLS_HOMEPAGE "https://cataloguetools.org/" CACHE STRING
    "Home page named by the package and the metainfo")
set(CATALOGUE_TOOLS_MAINTAINER "Catalogue Tools Maintainers <maintainers@cataloguetools.org>"
    CACHE STRING "Maintainer named by the Debian package")
set(CATALOGUE_TOOLS_DATA_DIR ${CMAKE_INSTALL_DATADIR}/${CATALOGUE_TOOLS_PACKAGE})

# combine looks for its help file beside itself first (the build folder), then
# in the data folder, named relative to the programs' folder so that an
# installed tree can be moved or unpacked anywhere.
file(RELATIVE_PATH help_data_dir ${CMAKE_INSTALL_FULL_BINDIR}
     ${CMAKE_INSTALL_FULL_DATADIR}/${CATALOGUE_TOOLS_PACKAGE})
set_source_files_properties(${PROJECT_SOURCE_DIR}/combine/gui/ui.cpp
    DIRECTORY ${PROJECT_SOURCE_DIR}/combine PROPERTIES COMPILE_DEFINITIONS HELP_DATA_DIR="${help_data_dir}")

install(TARGETS combine repair finddups mkcatalogue RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/combine/gui/M17.HLP DESTINATION ${CATALOGUE_TOOLS_DATA_DIR})

# Desktop integration: the entry in the applications menu, the file type of
# catalogues, the metainfo for software centres and the window's icon.
install(FILES ${PROJECT_SOURCE_DIR}/data/${CATALOGUE_TOOLS_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/data/catalogue-tools.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages)
configure_file(${PROJECT_SOURCE_DIR}/data/${CATALOGUE_TOOLS_APP_ID}.metainfo.xml.in
               ${PROJECT_BINARY_DIR}/data/${CATALOGUE_TOOLS_APP_ID}.metainfo.xml @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/data/${CATALOGUE_TOOLS_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

set(icon_sizes 16 32 48 64 128 256)
set(icon_dir ${PROJECT_BINARY_DIR}/data/icons)
set(icon_files)
foreach(size ${icon_sizes})
    list(APPEND icon_files ${icon_dir}/${size}x${size}/apps/${CATALOGUE_TOOLS_APP_ID}.png)
endforeach()
add_custom_command(OUTPUT ${icon_files}
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
            $<TARGET_FILE:mkicons> ${icon_dir} ${CATALOGUE_TOOLS_APP_ID}
    DEPENDS mkicons
    COMMENT "Drawing the window's icon in the icon theme's sizes")
add_custom_target(desktop_icons ALL DEPENDS ${icon_files})
install(DIRECTORY ${icon_dir}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor)

# Manual pages, written in roff and compressed as Debian keeps them.
set(man_pages combine.1 repair.1 finddups.1 mkcatalogue.1)
set(man_files)
foreach(page ${man_pages})
    set(out ${PROJECT_BINARY_DIR}/man/${page}.gz)
    add_custom_command(OUTPUT ${out}
        COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/man/${page}
                ${PROJECT_BINARY_DIR}/man/${page}
        COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/man/${page}
        DEPENDS ${PROJECT_SOURCE_DIR}/man/${page})
    list(APPEND man_files ${out})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${man_files})
install(FILES ${man_files} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# What Debian expects of every package: the copyright and a compressed change
# log.
set(pkg_doc ${CMAKE_INSTALL_DATADIR}/doc/${CATALOGUE_TOOLS_PACKAGE})
configure_file(${PROJECT_SOURCE_DIR}/data/debian/changelog.in
               ${PROJECT_BINARY_DIR}/data/debian/changelog @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/data/debian/changelog.gz
    COMMAND gzip -9nkf ${PROJECT_BINARY_DIR}/data/debian/changelog
    DEPENDS ${PROJECT_BINARY_DIR}/data/debian/changelog)
add_custom_target(package_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/data/debian/changelog.gz)
install(FILES ${PROJECT_SOURCE_DIR}/data/debian/copyright
              ${PROJECT_BINARY_DIR}/data/debian/changelog.gz
        DESTINATION ${pkg_doc})

# The Debian package. Its dependencies come from dpkg-shlibdeps over the
# installed programs; it has no maintainer scripts, since the desktop's own
# packages refresh their caches through triggers.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${CATALOGUE_TOOLS_PACKAGE})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Catalogue Tools")
set(CPACK_PACKAGE_CONTACT ${CATALOGUE_TOOLS_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find and merge duplicate lookup entries and repair catalogue files")
# CPack puts the summary first and indents every line of this text by one
# blank; the list items get one more, which Debian shows as they are.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Three maintenance tools for the catalogue files (.M17) of a cataloguing
product:
 * combine, a desktop program that merges duplicate subjects, publishers
   and media types of a catalogue, re-pointing every item that refers to
   them in one transaction;
 * repair, a command-line program that keeps safety copies of a catalogue,
   repairs it and compacts it back in place;
 * finddups, a command-line program that reports a catalogue's likely
   duplicate entries as tab-separated text or JSON, for review elsewhere.

The package also holds mkcatalogue, which writes sample catalogues for
tests and demonstrations.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CATALOGUE_TOOLS_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${CATALOGUE_TOOLS_HOMEPAGE})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
include(CPack)
