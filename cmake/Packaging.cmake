# Debian packages with CPack: "tarvo" (the tray program) and "tarvo-server" (the web service),
# built from one tree with `cpack -G DEB` after a build without tests (see scripts/package.sh).

set(TARVO_PACKAGE_MAINTAINER "Tarvo developers <packages@tarvo.example.org>" CACHE STRING
  "Maintainer field of the Debian packages")

# Description lines: CPack indents every line after the first by one blank itself.
# Debian wants a copyright file and a changelog in each package's documentation folder.
set(doc_dir ${CMAKE_BINARY_DIR}/package-doc)
file(MAKE_DIRECTORY ${doc_dir})
execute_process(COMMAND date -u -R -d "${TARVO_RELEASE_DATE} 00:00 UTC"
  OUTPUT_VARIABLE TARVO_RELEASE_CHANGELOG_DATE OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
foreach(package tarvo tarvo-server)
  set(TARVO_PACKAGE ${package})
  configure_file(${CMAKE_SOURCE_DIR}/data/changelog.in ${doc_dir}/${package}/changelog @ONLY)
  execute_process(COMMAND gzip -9nf ${doc_dir}/${package}/changelog COMMAND_ERROR_IS_FATAL ANY)
  if(package STREQUAL "tarvo")
    set(component client)
  else()
    set(component server)
  endif()
  install(FILES ${CMAKE_SOURCE_DIR}/data/copyright ${doc_dir}/${package}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${TARVO_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_VENDOR "Tarvo")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL client server)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${TARVO_WEBSITE}/")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# CPack strips the binaries itself and moves their symbols into tarvo-dbgsym and
# tarvo-server-dbgsym (.ddeb); CPACK_STRIP_FILES would strip them first and leave it nothing.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME tarvo)
set(CPACK_DEBIAN_CLIENT_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_CLIENT_DESCRIPTION "screen capture from the system tray
Tarvo lives in the system tray of an X11 or Wayland desktop. Print Screen (or a
double click on its icon) freezes the screen; the rectangle dragged over it
goes to the clipboard as a picture, to a numbered file, or, encrypted on
the machine with a fresh key, to the Tarvo web service, whose link (which
alone carries the key) lands on the clipboard.
.
The user interface is Russian.")
# The toolkit loads these at run time, so the library scan cannot see them: the X11 and Wayland
# platform plugins (a Wayland session runs natively and cannot start without the second), and the
# translations of its own message box buttons; libcurl, loaded with the first web request. The portals give the screen copy and the shortcut
# on desktops whose compositor offers neither to clients.
set(CPACK_DEBIAN_CLIENT_PACKAGE_DEPENDS "qt6-qpa-plugins, qt6-wayland, libcurl4")
set(CPACK_DEBIAN_CLIENT_PACKAGE_RECOMMENDS
    "qt6-translations-l10n, fonts-dejavu-core, xdg-utils, xdg-desktop-portal")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME tarvo-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION web)
set(CPACK_DEBIAN_SERVER_DESCRIPTION "web service for Tarvo's encrypted screenshots
tarvo-server stores the encrypted pictures that the Tarvo screen capture
program posts and shows them to whoever holds a link. The key travels in
the link only, so the service never sees a picture in clear. Images are
kept in SQLite, or in PostgreSQL for several servers sharing one store.")

include(CPack)
