# Desktop integration and the Debian package: the menu entry, the icon (also the window icon,
# compiled into fetchwright_app), the AppStream metainfo, and CPack's DEB settings.
# Included once at the end of the top-level CMakeLists.txt, after the targets exist.

set(_pkg_dir "${CMAKE_CURRENT_LIST_DIR}")
set(_icon_sizes 16 24 32 48 64 128 256)

# Window icon: the SVG for sharp scaling, and the PNGs so that the icon still shows where Qt's
# SVG plugins are missing. main.cpp reads them from :/fetchwright/icons/.
set(_icon_files "${_pkg_dir}/${FETCHWRIGHT_APP_ID}.svg")
foreach(size IN LISTS _icon_sizes)
  list(APPEND _icon_files "${_pkg_dir}/icons/${size}.png")
endforeach()
set_source_files_properties("${_pkg_dir}/${FETCHWRIGHT_APP_ID}.svg" PROPERTIES QT_RESOURCE_ALIAS "icons/app.svg")
qt_add_resources(fetchwright_app fetchwright_icon
  PREFIX "/fetchwright"
  BASE "${_pkg_dir}"
  FILES ${_icon_files})

configure_file("${_pkg_dir}/${FETCHWRIGHT_APP_ID}.metainfo.xml.in"
               "${CMAKE_CURRENT_BINARY_DIR}/${FETCHWRIGHT_APP_ID}.metainfo.xml" @ONLY)

# The session bus starts the program for the desktop entry (DBusActivatable) under its name. The
# service file names the program by its full path, known only when installing (cmake --install
# --prefix, CPack's /usr): written then.
install(CODE "
  set(_service \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/dbus-1/services/${FETCHWRIGHT_APP_ID}.service\")
  message(STATUS \"Installing: \${_service}\")
  file(WRITE \"\${_service}\" \"[D-BUS Service]\\nName=${FETCHWRIGHT_APP_ID}\\nExec=\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/fetchwright\\n\")
")

install(FILES "${_pkg_dir}/${FETCHWRIGHT_APP_ID}.desktop"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/${FETCHWRIGHT_APP_ID}.metainfo.xml"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/metainfo")
install(FILES "${_pkg_dir}/${FETCHWRIGHT_APP_ID}.svg"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps")
foreach(size IN LISTS _icon_sizes)
  install(FILES "${_pkg_dir}/icons/${size}.png"
          DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps"
          RENAME "${FETCHWRIGHT_APP_ID}.png")
endforeach()

# Debian package: `cpack -G DEB` in the build folder.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "fetchwright")
set(CPACK_PACKAGE_VENDOR "${FETCHWRIGHT_ORGANISATION}")
set(CPACK_PACKAGE_CONTACT "${FETCHWRIGHT_ORGANISATION} <fetchwright@quillmoor.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "download many web files into one folder in a single run")
set(CPACK_PACKAGE_DESCRIPTION
    "Fetchwright builds a list of web addresses (one at a time, from text files, from every
link of one web page, or from samples), and downloads every entry, one after another,
into a chosen folder without ever overwriting an existing file.")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://quillmoor.example/fetchwright")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# The linked libraries (Qt 6 Core/Gui/Widgets/DBus, libcurl, libstdc++) become Depends through
# dpkg-shlibdeps. The rest is loaded at run time and only improves the program: the SVG plugins
# for the icon, CA certificates for https, ping for the start-up connectivity check, and the
# translations of Qt's own dialogs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libqt6svg6, ca-certificates, iputils-ping, qt6-translations-l10n")
# libproxy's modules read GNOME's and KDE's proxy settings and run PAC files.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "qt6-wayland, libproxy1-plugin-gsettings, libproxy1-plugin-kconfig, libproxy1-plugin-webkit")
include(CPack)
