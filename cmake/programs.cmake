# The programs an administrator gets: Stubwarden and its companions. Each is
# declared with one stubwarden_program() call, which gives it everything a
# release carries: the project version, the Windows version resource and
# manifest, the manual page (man/<name>.1.scd) and the install rule.

# The process entry: wmain on Windows; on Linux main turns the arguments into
# UTF-16 and calls the same wmain. With LINUX_PATH_TARGET (Stubwarden itself)
# it also takes a Linux path as the target.
if(NOT WIN32)
  add_library(stubwarden_posix_main OBJECT platform/posix/posix_main.cpp)
  add_library(stubwarden_posix_main_linux_target OBJECT platform/posix/posix_main.cpp)
  target_compile_definitions(stubwarden_posix_main_linux_target PRIVATE STUBWARDEN_LINUX_PATH_TARGET)
  # The entry is the layer's own code, built once for each kind of program.
  target_link_libraries(stubwarden_posix_main PRIVATE stubwarden_platform_internals)
  target_link_libraries(stubwarden_posix_main_linux_target PRIVATE stubwarden_platform_internals)
endif()
function(stubwarden_entry target linuxPathTarget)
  if(WIN32)
    target_link_options(${target} PRIVATE -municode -static)
  elseif(linuxPathTarget)
    target_sources(${target} PRIVATE $<TARGET_OBJECTS:stubwarden_posix_main_linux_target>)
  else()
    target_sources(${target} PRIVATE $<TARGET_OBJECTS:stubwarden_posix_main>)
  endif()
endfunction()

find_program(SCDOC scdoc REQUIRED)
if(WIN32)
  enable_language(RC)
  find_program(GROFF groff REQUIRED)
else()
  find_program(GZIP gzip REQUIRED)
endif()

# stubwarden_program(<name> "<description>" [LINUX_PATH_TARGET] <sources>...)
# The description is the version resource's FileDescription, and the
# program's line in the Debian package's description.
function(stubwarden_program name description)
  cmake_parse_arguments(PARSE_ARGV 2 PROGRAM "LINUX_PATH_TARGET" "" "")
  add_executable(${name} ${PROGRAM_UNPARSED_ARGUMENTS})
  stubwarden_entry(${name} ${PROGRAM_LINUX_PATH_TARGET})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  target_compile_definitions(${name} PRIVATE STUBWARDEN_VERSION="${PROJECT_VERSION}")
  if(WIN32)
    stubwarden_windows_resources(${name} "${description}")
    stubwarden_manual_text(${name})
  else()
    stubwarden_manual_page(${name})
  endif()
  install(TARGETS ${name} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  set_property(GLOBAL APPEND PROPERTY STUBWARDEN_PROGRAMS ${name})
  set_property(GLOBAL APPEND PROPERTY STUBWARDEN_PROGRAM_SUMMARIES "${name}: ${description}")
endfunction()

# VERSIONINFO (product name, description, version, original file name) and
# an application manifest that asks for no elevation (asInvoker), so that
# Windows never takes the program for an installer.
function(stubwarden_windows_resources name description)
  set(folder ${CMAKE_BINARY_DIR}/resources)
  set(PROGRAM_NAME ${name})
  set(PROGRAM_DESCRIPTION "${description}")
  set(MANIFEST ${folder}/${name}.manifest)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/program.manifest.in ${MANIFEST} @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/program.rc.in ${folder}/${name}.rc @ONLY)
  target_sources(${name} PRIVATE ${folder}/${name}.rc)
  # windres reads the manifest when it compiles the script.
  set_property(SOURCE ${folder}/${name}.rc APPEND PROPERTY OBJECT_DEPENDS ${MANIFEST})
endfunction()

# man/<name>.<section>.scd (section 1 unless given), with @PROJECT_VERSION@
# filled in, through scdoc into <build>/man/<name>.<section>, and compressed
# as Debian installs manual pages.
function(stubwarden_manual_page name)
  set(section 1)
  if(ARGC GREATER 1)
    set(section ${ARGV1})
  endif()
  set(folder ${CMAKE_BINARY_DIR}/man)
  set(page ${name}.${section})
  configure_file(${CMAKE_SOURCE_DIR}/man/${page}.scd ${folder}/${page}.scd @ONLY)
  add_custom_command(OUTPUT ${folder}/${page} ${folder}/${page}.gz
    COMMAND sh -c "\"$0\" < \"$1\" > \"$2\"" ${SCDOC} ${page}.scd ${page}
    COMMAND sh -c "\"$0\" -9 -n -c \"$1\" > \"$2\"" ${GZIP} ${page} ${page}.gz
    DEPENDS ${folder}/${page}.scd
    WORKING_DIRECTORY ${folder}
    COMMENT "Manual page ${name}(${section})"
    VERBATIM)
  add_custom_target(${name}-manual ALL DEPENDS ${folder}/${page} ${folder}/${page}.gz)
  install(FILES ${folder}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()

# The same page for Windows, which has no man: man/<name>.1 through groff
# into plain ASCII text, <build>/man/<name>.1.txt, installed as
# man/<name>.1.txt beside the programs.
function(stubwarden_manual_text name)
  set(folder ${CMAKE_BINARY_DIR}/man)
  configure_file(${CMAKE_SOURCE_DIR}/man/${name}.1.scd ${folder}/${name}.1.scd @ONLY)
  add_custom_command(OUTPUT ${folder}/${name}.1 ${folder}/${name}.1.txt
    COMMAND sh -c "\"$0\" < \"$1\" > \"$2\"" ${SCDOC} ${name}.1.scd ${name}.1
    COMMAND sh -c "\"$0\" -man -Tascii -P-cbou -rLL=78n -rHY=0 -ww \"$1\" > \"$2\"" ${GROFF} ${name}.1 ${name}.1.txt
    DEPENDS ${folder}/${name}.1.scd
    WORKING_DIRECTORY ${folder}
    COMMENT "Manual page ${name}(1) as text"
    VERBATIM)
  add_custom_target(${name}-manual ALL DEPENDS ${folder}/${name}.1.txt)
  install(FILES ${folder}/${name}.1.txt DESTINATION man)
endfunction()
