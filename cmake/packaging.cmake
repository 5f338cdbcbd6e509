# Install rules, the Debian package and the Windows zip.
#
#   cmake --install build --prefix /usr/local    programs in bin/, man pages in
#                                                share/man/man1, texts in share/doc/updater-tools
#   cpack --config build/CPackConfig.cmake       the .deb (scripts/package.sh does both)
#
# On Windows everything lies in one folder, as the updater finds its files beside its
# executable: the programs, 7z.dll, the texts, and licenses/ (scripts/package.sh windows).

set(PACKAGE_NAME updater-tools)
set(CMAKE_INSTALL_DOCDIR share/doc/${PACKAGE_NAME} CACHE PATH "Documentation folder")
include(GNUInstallDirs)

set(INSTALLED_PROGRAMS updater repairtool httpget mpget)
# The release tool, once it is part of the build.
if(TARGET updater-release)
  list(APPEND INSTALLED_PROGRAMS updater-release)
endif()
if(WIN32)
  install(TARGETS ${INSTALLED_PROGRAMS} RUNTIME DESTINATION .)
  install(FILES ${WINDOWS_DEPS_DIR}/7z/7z.dll README.md THIRD-PARTY-NOTICES.md DESTINATION .)
  # The release tool packs with 7z.exe, found beside it.
  install(PROGRAMS ${WINDOWS_DEPS_DIR}/7z/7z.exe DESTINATION .)
  # Linked in statically there: Nettle and the mingw-w64 runtime (winpthreads); 7z.dll
  # comes with its own licence.
  install(FILES ${WINDOWS_DEPS_DIR}/7z/License.txt DESTINATION licenses RENAME 7-zip.txt)
  install(FILES /usr/share/doc/libnettle8/copyright DESTINATION licenses RENAME nettle.txt)
  install(FILES /usr/share/doc/mingw-w64-x86-64-dev/copyright DESTINATION licenses
          RENAME mingw-w64.txt)
else()
  install(TARGETS ${INSTALLED_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  file(GLOB MAN_PAGES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/man/*.1)
  install(FILES ${MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  install(FILES README.md THIRD-PARTY-NOTICES.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # updater and repairtool carry FLTK (linked in): its licence text goes with them.
  set(FLTK_COPYRIGHT /usr/share/doc/libfltk1.3-dev/copyright)
  if(EXISTS ${FLTK_COPYRIGHT})
    install(FILES ${FLTK_COPYRIGHT} DESTINATION ${CMAKE_INSTALL_DOCDIR}/licenses RENAME fltk.txt)
  endif()
endif()

set(CPACK_PACKAGE_NAME ${PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "updater-tools developers")
set(CPACK_PACKAGE_CONTACT "updater-tools developers <maintainers@updater-tools.invalid>"
    CACHE STRING "Maintainer of the Debian package")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Updater and repair tool a vendor ships beside its application")
set(CPACK_PACKAGE_DESCRIPTION
    "updater checks the vendor's HTTP server for a newer release, downloads the package in
two parallel byte ranges, unpacks it through the 7-Zip library and installs it.
repairtool copies and registers system components. httpget and mpget fetch one URL
(mpget in parallel ranges) with the same network stack.")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${PACKAGE_NAME}-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries the programs link come from dpkg-shlibdeps; the 7-Zip library is
# loaded at run time, so it is named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "p7zip-full")
# A package of the programs only: no test or benchmark file may slip in.
set(CPACK_STRIP_FILES ON)
include(CPack)
