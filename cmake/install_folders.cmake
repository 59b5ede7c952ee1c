# Where `cmake --install` puts things. Linux: the GNU folders below the
# prefix (/usr in the Debian package): the programs in bin, the manual pages
# in share/man/man1, the documentation and the sample tree description in
# share/doc/stubwarden. Windows: the zip's one folder holds the programs and
# the documentation side by side.
set(CMAKE_INSTALL_DOCDIR share/doc/stubwarden CACHE PATH "Documentation (DATAROOTDIR/doc/stubwarden)")
include(GNUInstallDirs)
if(WIN32)
  set(CMAKE_INSTALL_BINDIR .)
  set(CMAKE_INSTALL_DOCDIR .)
endif()
# Whatever the umask of the one who builds.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
