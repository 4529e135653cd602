# Installing the program, and its Debian package.
#
#   cmake --install build --prefix ~/.local      the program, its menu entry and icons
#   (cd build && cpack -G DEB)                   build/veltrana-webserver_1.0_<arch>.deb
#
# The icons are installed by ui/CMakeLists.txt, where they are made. The
# menu entry (ui/veltrana-webserver.desktop) gets the program's full path
# under the prefix the installation really uses (cpack installs under /usr),
# so that it starts the program whether or not that folder is on the PATH
# of the desktop session. The package's library dependencies come from
# dpkg-shlibdeps (Debian's dpkg-dev); media-types gives the content types.
include(GNUInstallDirs)
install(TARGETS veltrana-webserver RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(CODE "
  file(READ \"${PROJECT_SOURCE_DIR}/ui/veltrana-webserver.desktop\" entry)
  string(REPLACE \"Exec=veltrana-webserver\" \"Exec=\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/veltrana-webserver\"
         entry \"\${entry}\")
  set(target \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/applications/veltrana-webserver.desktop\")
  message(STATUS \"Installing: \${target}\")
  file(WRITE \"\${target}\" \"\${entry}\")
")

set(CPACK_PACKAGE_NAME veltrana-webserver)
set(CPACK_PACKAGE_VENDOR "Veltrana")
set(CPACK_PACKAGE_CONTACT "Veltrana Web Server developers <webserver@veltrana.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small desktop web server that publishes one folder")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Veltrana Web Server publishes one folder over HTTP/1.1 from the desktop. It shows a small\n"
       "status window and lives in the system tray; it can run .exe programs of the folder as\n"
       "CGI/1.1 scripts, limit every connection's send rate and write an access log.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "media-types, libssl3")
set(CPACK_STRIP_FILES ON)
include(CPack)
