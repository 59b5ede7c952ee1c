# What a release carries besides the programs (cmake/programs.cmake), and
# the two packages cpack makes from the installed tree: the Debian package
# from the Linux build, the zip from the Windows build. scripts/build-packages.sh
# makes both into dist/.

install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES docs/building.md docs/nightly-audits.md docs/ntfs-volumes.md docs/performance.md docs/platform-differences.md docs/rehearsal-trees.md docs/tests.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
install(FILES samples/sample-share.tree DESTINATION ${CMAKE_INSTALL_DOCDIR}/samples)

set(CPACK_PACKAGE_NAME stubwarden)
set(CPACK_PACKAGE_VENDOR "Stubwarden maintainers")
set(CPACK_PACKAGE_CONTACT "Stubwarden maintainers <maintainers@users.noreply.c-seed-fad4fef2.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "audits the archive placeholders of a file share")
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME stubwarden-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_STRIP_FILES ON)
else()
  # A native Debian package: its changelog (whose newest entry must be this
  # version) and its copyright file, where Debian keeps them.
  file(STRINGS packaging/debian/changelog newestEntry LIMIT_COUNT 1)
  if(NOT newestEntry MATCHES "^stubwarden \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/debian/changelog: the newest entry is not version ${PROJECT_VERSION}")
  endif()
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
    COMMAND sh -c "\"$0\" -9 -n -c \"$1\" > \"$2\"" ${GZIP} ${CMAKE_SOURCE_DIR}/packaging/debian/changelog
      ${CMAKE_BINARY_DIR}/packaging/changelog.gz
    DEPENDS packaging/debian/changelog
    VERBATIM)
  add_custom_target(debian-changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz packaging/debian/copyright
    DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # The nightly audit (docs/nightly-audits.md): the template units, the
  # script they run and the settings' manual page.
  install(FILES packaging/debian/systemd/stubwarden-audit@.service packaging/debian/systemd/stubwarden-audit@.timer
    DESTINATION /lib/systemd/system)
  install(PROGRAMS packaging/debian/audit-run DESTINATION lib/stubwarden)
  stubwarden_manual_page(stubwarden-audit 5)

  set(CPACK_GENERATOR DEB)
  set(CPACK_STUBWARDEN_STRIP ${CMAKE_STRIP})
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/strip_like_debian.cmake)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The libraries the programs link (dpkg-shlibdeps), and what the
  # maintainer scripts call: addgroup, and setcap from libcap2-bin.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, libcap2-bin")
  # The plugin for ntfs-3g, for NTFS volumes mounted on Linux; the programs
  # need no ntfs-3g.
  set(pluginParagraph "")
  if(TARGET ntfs3g_placeholder_plugin)
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ntfs-3g")
    set(pluginParagraph "
With ntfs-3g, the package's plugin for the placeholders' reparse tag shows
each placeholder of an NTFS volume mounted on Linux as a regular file of
its size, and refuses its data, which is in the archive.
")
  endif()
  # The synopsis is CPACK_PACKAGE_DESCRIPTION_SUMMARY; cpack indents these
  # lines, and the program list, indented here, stays as it is (cpack strips
  # the last line, so the text ends with a line end).
  get_property(programSummaries GLOBAL PROPERTY STUBWARDEN_PROGRAM_SUMMARIES)
  list(JOIN programSummaries "\n " programSummaries)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Stubwarden walks the backing folder of a Samba share, or checks one file,
reads the archiving product's placeholder records without recalling
anything, and reports the placeholders that are broken. It repairs the one
kind that can be repaired, dumps bad records and totals the archived and
non-archived data per archive point. The report is UTF-16LE text in the
current folder.

The program reads every file with the capability CAP_DAC_READ_SEARCH, the
counterpart of Windows' backup privilege, so only root and the members of
the group stubwarden may run it.
${pluginParagraph}
The programs:
 ${programSummaries}
")
  # The group stubwarden, the program's owner, mode and capability (as
  # wireshark-common does for dumpcap), and their removal on purge.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/debian/postinst ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
    ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
