# Installing the program, and its Debian package.
#
#   cmake --install build --prefix ~/.local      the program, its menu entry and icons,
#                                                manual page, documents and AppStream data
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

# The manual page and the changelog go out compressed as Debian has them:
# gzip -9 without the name and time stamp (-n), so that the same text
# always makes the same package.
find_program(VT_GZIP gzip REQUIRED)
set(vt_package_dir ${CMAKE_BINARY_DIR}/package)
set(vt_packed)
foreach(pair "veltrana-webserver.1:veltrana-webserver.1.gz" "changelog:changelog.gz")
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 source)
  list(GET pair 1 packed)
  add_custom_command(
    OUTPUT ${vt_package_dir}/${packed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${vt_package_dir}
    COMMAND ${VT_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/program/${source} > ${vt_package_dir}/${packed}
    DEPENDS ${PROJECT_SOURCE_DIR}/program/${source}
    VERBATIM)
  list(APPEND vt_packed ${vt_package_dir}/${packed})
endforeach()
add_custom_target(vt_package_files ALL DEPENDS ${vt_packed})
install(FILES ${vt_package_dir}/veltrana-webserver.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# A package without upstream sources of its own (a "native" one, version
# 1.0 without a Debian revision) keeps its changelog as changelog.gz.
install(FILES ${vt_package_dir}/changelog.gz ${PROJECT_SOURCE_DIR}/program/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/veltrana-webserver)
# Software centres find the program by its AppStream id.
install(FILES ${PROJECT_SOURCE_DIR}/program/veltrana-webserver.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo RENAME org.veltrana.webserver.metainfo.xml)

set(CPACK_PACKAGE_NAME veltrana-webserver)
set(CPACK_PACKAGE_VENDOR "Veltrana")
set(CPACK_PACKAGE_CONTACT "Veltrana Web Server developers <webserver@veltrana.invalid>")
# Debian shows the summary as one line and the description below it; lines
# within 80 characters, as its tools expect.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small desktop web server that publishes one folder")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Veltrana Web Server publishes one folder over HTTP/1.1 from the\n"
       "desktop. It shows a small status window and lives in the system tray;\n"
       "it can run the folder's .exe programs as CGI/1.1 scripts, limit every\n"
       "connection's send rate, ask for a password and write an access log.\n"
       "It also runs without windows, from the command line.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "media-types, libssl3")
set(CPACK_STRIP_FILES ON)
include(CPack)
