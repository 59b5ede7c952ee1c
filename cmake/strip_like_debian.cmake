# Run by cpack on the Debian package's staged tree (CPACK_PRE_BUILD_SCRIPTS):
# strips the programs, and the ntfs-3g plugin, as Debian's dh_strip does,
# which also drops the .comment and .note sections that a plain strip leaves.
file(GLOB programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/bin/*")
if(NOT programs)
  message(FATAL_ERROR "No programs below ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/bin")
endif()
# The plugin, where it is built (ntfs3g-plugin/).
file(GLOB plugins "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/lib/*/ntfs-3g/*.so")
foreach(program IN LISTS programs plugins)
  execute_process(COMMAND "${CPACK_STUBWARDEN_STRIP}" --remove-section=.comment --remove-section=.note
    --strip-unneeded "${program}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
